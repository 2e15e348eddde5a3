#include "commands/command.h"
#include "commands/torrent_edit.h"
#include "commands/torrent_input.h"
#include "common/handles.h"
#include "common/hex_text.h"
#include "common/terminal_text.h"
#include "common/tracker_url.h"
#include "metainfo/output_file.h"
#include "metainfo/output_guard.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {
struct edit_options {
    std::vector<std::string> torrents;
    std::string output;
    bool in_place = false;
    bool force = false;
    bool dry_run = false;
    bool json = false;
    bencode_limits limits;
    edit_request request;

    // `-o -` puts the edited torrent on standard output, as `create -o -` does; what the run
    // reports then goes to standard error.
    [[nodiscard]] bool to_standard_output() const { return output == "-"; }
};

// The options whose presence, not only their value, matters: an empty text removes a key.
struct given_options {
    CLI::Option *trackers = nullptr;
    CLI::Option *web_seeds = nullptr;
    CLI::Option *comment = nullptr;
    CLI::Option *created_by = nullptr;
    CLI::Option *date = nullptr;
    CLI::Option *is_private = nullptr;
    CLI::Option *is_public = nullptr;
    CLI::Option *source = nullptr;
    CLI::Option *name = nullptr;
};

struct option_values {
    std::vector<std::string> trackers, added_trackers, web_seeds;
    std::string comment, created_by, source, name;
    std::int64_t date = 0;
    bool is_private = false, is_public = false;
};

tracker_tiers tiers_of(const std::vector<std::string> &values) {
    tracker_tiers tiers;
    // An empty URL around the commas is dropped, so that `--tracker ''` clears the trackers.
    for (const std::string &value : values) {
        std::vector<std::string> tier = split_tier(value);
        std::erase(tier, std::string());
        if (!tier.empty())
            tiers.push_back(std::move(tier));
    }
    return tiers;
}

std::optional<std::string> if_given(const CLI::Option *option, const std::string &value) {
    return option->count() > 0 ? std::optional(value) : std::nullopt;
}

void declare_options(CLI::App &app, edit_options &options, given_options &given,
                     option_values &values) {
    edit_request &request = options.request;
    app.add_option("TORRENT", options.torrents, "torrent files to edit")->required();
    auto *output = app.add_option("-o,--output", options.output,
                                  "where the edited torrent goes; - for standard output");
    auto *in_place = app.add_flag("-i,--in-place", options.in_place,
                                  "replace each torrent with its edited self");
    output->excludes(in_place);
    app.add_flag("-f,--force", options.force, "replace an existing output");
    app.add_flag("-n,--dry-run", options.dry_run, "show what would change; write nothing");
    app.add_flag("-j,--json", options.json, "one JSON object per torrent (an array for several)");

    auto *group = app.add_option_group("outside the info dictionary (the info hash stays)");
    given.trackers = group->add_option("-t,--tracker", values.trackers,
                                       "replaces all trackers; repeatable, commas make a tier");
    group->add_option("--add-tracker", values.added_trackers,
                      "a new tier after the others; commas put several URLs in it");
    group->add_option("--remove-tracker", request.removed_trackers,
                      "removed from the tier that holds it; an emptied tier goes");
    given.web_seeds =
        group->add_option("-w,--webseed", values.web_seeds, "replaces all web seeds; repeatable");
    group->add_option("--add-webseed", request.added_web_seeds, "a web seed after the others");
    group->add_option("--remove-webseed", request.removed_web_seeds, "a web seed to remove");
    given.comment =
        group->add_option("-c,--comment", values.comment, "the comment; empty removes it");
    given.created_by =
        group->add_option("--created-by", values.created_by, "the creator; empty removes it");
    auto *no_date = group->add_flag("--nodate", request.no_date, "remove the creation date");
    given.date = group->add_option("--date", values.date, "creation date, seconds since 1970 UTC")
                     ->check(CLI::NonNegativeNumber);
    no_date->excludes(given.date);

    auto *inside = app.add_option_group("inside the info dictionary (a new info hash)");
    given.is_private = inside->add_flag("-p,--private", values.is_private,
                                        "private: peers only from the trackers");
    given.is_public = inside->add_flag("--public", values.is_public, "remove the private flag");
    given.is_private->excludes(given.is_public);
    given.source =
        inside->add_option("-s,--source", values.source, "the source tag; empty removes it");
    given.name = inside->add_option("--name", values.name, "the torrent's name");
    add_limit_options(app, options.limits);
    app.footer("Give -o OUT for one torrent, or --in-place for one or more; --dry-run needs "
               "neither.\nEdits outside the info dictionary copy its bytes as they are; edits "
               "inside it write it\nagain with its keys in ascending order, every other key copied "
               "as it stands. No content is read.\nExit status: 0 when every torrent was edited, 1 "
               "otherwise (nothing is written for a torrent\nthat is refused).");
}

void take_values(edit_request &request, const given_options &given, const option_values &values) {
    if (given.trackers->count() > 0)
        request.trackers = tiers_of(values.trackers);
    request.added_tiers = tiers_of(values.added_trackers);
    if (given.web_seeds->count() > 0)
        request.web_seeds = values.web_seeds;
    request.comment = if_given(given.comment, values.comment);
    request.created_by = if_given(given.created_by, values.created_by);
    if (given.date->count() > 0)
        request.date = values.date;
    if (values.is_private || values.is_public)
        request.is_private = values.is_private;
    request.source = if_given(given.source, values.source);
    request.name = if_given(given.name, values.name);
}

// The first URL given that a client could not use, as the refusal's text, or nothing: the same
// checks as `create` makes, so an edit cannot write what `create` refuses.
template <typename check_url>
std::optional<std::string> first_unusable(const std::vector<std::string> &urls, const char *kind,
                                          check_url check) {
    for (const std::string &url : urls)
        if (const std::optional<std::string> problem = check(url))
            return std::string(kind) + " URL '" + url + "': " + *problem;
    return std::nullopt;
}

std::optional<std::string> url_problem_of(const edit_request &request) {
    std::vector<std::string> trackers;
    for (const tracker_tiers *tiers :
         {&request.added_tiers, request.trackers ? &*request.trackers : nullptr})
        if (tiers != nullptr)
            for (const auto &tier : *tiers)
                trackers.insert(trackers.end(), tier.begin(), tier.end());
    std::vector<std::string> web_seeds = request.added_web_seeds;
    if (request.web_seeds)
        web_seeds.insert(web_seeds.end(), request.web_seeds->begin(), request.web_seeds->end());
    if (auto problem = first_unusable(trackers, "tracker", tracker_url_problem))
        return problem;
    return first_unusable(web_seeds, "web seed", web_seed_url_problem);
}

// Why the options cannot run together, or nothing.
std::optional<std::string> usage_problem(const edit_options &options) {
    if (auto problem = url_problem_of(options.request))
        return problem;
    if (options.request.name) {
        if (const char *fault = path_component_fault(*options.request.name))
            return std::string("--name cannot name a torrent: ") + fault;
    }
    if (!options.output.empty() && options.torrents.size() > 1)
        return "-o takes one torrent: use --in-place to edit several";
    if (options.output.empty() && !options.in_place && !options.dry_run)
        return "where to? give -o OUT, --in-place or --dry-run";
    return std::nullopt;
}

// -------------------------------------------------------------------------- writing ---

// An edited torrent on its way out. Its document is written to a temporary file beside the
// target first; once every document of the run is written, one sync makes them all durable
// (a sync per file would cost a disk flush each) and each then takes its target's name, so
// that a target holds either its old bytes or the whole new document.
struct staged_edit {
    std::string torrent;
    std::string target;
    edit_outcome outcome; // its bytes are dropped once written
    output_file file;
    bool written = false;
};

// Writes the document beside its target; returns 0 or the errno of the failure, which leaves
// nothing behind.
int write_staged(staged_edit &staged, bool in_place) {
    output_stream stream;
    errno = 0;
    if (!open_output(staged.target.c_str(), staged.file, stream))
        return errno != 0 ? errno : EIO;
    // A torrent edited in place is never removed: a failed write must leave it as it was.
    if (in_place)
        staged.file.removable = false;
    out_write(stream, staged.outcome.bytes.data(), staged.outcome.bytes.size());
    const int error = close_output_file(staged.file, stream, false);
    if (error != 0)
        discard_output(staged.file);
    staged.outcome.bytes = std::string();
    staged.written = error == 0;
    return error;
}

const std::string &written_path(const staged_edit &staged) {
    return staged.file.temporary.empty() ? staged.file.target : staged.file.temporary;
}

// Makes every written document durable: one document by itself, several by one sync of each
// file system that holds them. Returns 0 or the errno of the first failure.
int sync_staged(const std::vector<staged_edit> &staged) {
    const bool alone = staged.size() == 1;
    std::vector<dev_t> synced;
    for (const staged_edit &each : staged) {
        if (!each.written)
            continue;
        const fd_owner file(open(written_path(each).c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (file.fd < 0 || fstat(file.fd, &status) != 0)
            return errno;
        if (std::find(synced.begin(), synced.end(), status.st_dev) != synced.end())
            continue;
        if ((alone ? fsync(file.fd) : syncfs(file.fd)) != 0)
            return errno;
        synced.push_back(status.st_dev);
    }
    return 0;
}

// The temporary file takes the target's name; returns 0 or errno.
int put_in_place(output_file &file) {
    if (file.temporary.empty())
        return 0;
    if (std::rename(file.temporary.c_str(), file.target.c_str()) != 0)
        return errno;
    file.temporary.clear();
    return 0;
}

// Renames on a file system that frees the replaced file slowly (a few milliseconds each where
// it discards the freed blocks) wait mostly outside the directory's lock, so several threads
// overlap those waits. Returns each document's errno, 0 where it is in place.
std::vector<int> put_all_in_place(std::vector<staged_edit> &staged) {
    constexpr std::size_t renaming_threads = 8;
    std::vector<int> errors(staged.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&staged, &errors, &next] {
        for (std::size_t at = next++; at < staged.size(); at = next++)
            errors[at] = put_in_place(staged[at].file);
    };
    {
        std::vector<std::jthread> helpers;
        for (std::size_t count = 1; count < std::min(renaming_threads, staged.size()); ++count) {
            try {
                helpers.emplace_back(work);
            } catch (const std::system_error &) {
                break; // fewer threads only make it slower
            }
        }
        work();
    }
    return errors;
}

bool exists(const std::string &path) {
    struct stat status {};
    // A dangling symbolic link counts too: writing would create the file it points at.
    return lstat(path.c_str(), &status) == 0;
}

// The signals that end a run (interrupt, terminate, hang-up, a closed pipe) wait while torrents
// are written: a signal taken in the middle of a write would leave its temporary file beside
// the target, hundreds of them on a run over many torrents. The run looks for a waiting signal
// between torrents, removes what it has written, and lets the signal end it.
class signals_held {
  public:
    signals_held() : held_(output_guard_signals()) {
        holding_ = pthread_sigmask(SIG_BLOCK, &held_, &before_) == 0;
    }
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;
    // Once every torrent is settled, a late signal stays held until the process ends, so that
    // the exit status never says a finished edit was abandoned.
    ~signals_held() = default;

    [[nodiscard]] bool one_waits() const {
        sigset_t waiting;
        if (!holding_ || sigpending(&waiting) != 0)
            return false;
        sigandset(&waiting, &waiting, &held_);
        return !sigisemptyset(&waiting);
    }

    // The waiting signal is delivered now, with whatever the process does on it.
    void let_through() const {
        if (holding_)
            pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }

  private:
    sigset_t held_{};
    sigset_t before_{};
    bool holding_ = false;
};

// Removes every document written so far and lets the waiting signal end the run.
void abandon(std::vector<staged_edit> &staged, const signals_held &signals) {
    for (const staged_edit &each : staged)
        discard_output(each.file);
    staged.clear();
    signals.let_through();
}

// -------------------------------------------------------------------------- showing ---

template <typename Digest>
std::string hash_change(const std::optional<Digest> &before, const std::optional<Digest> &after) {
    if (!before)
        return "-";
    if (before == after)
        return hex_text(*before) + " (unchanged)";
    return hex_text(*before) + " -> " + (after ? hex_text(*after) : std::string("?"));
}

std::string joined_keys(const std::vector<std::string> &keys) {
    if (keys.empty())
        return "nothing";
    std::string text;
    for (const std::string &key : keys)
        text += (text.empty() ? "" : ", ") + key;
    return text;
}

void print_text(std::FILE *out, const std::string &from, const std::string &to,
                const edit_outcome &outcome, bool dry_run) {
    std::fprintf(out, "%s", terminal_escaped(from).c_str());
    if (dry_run)
        std::fprintf(out, " (dry run: nothing written)\n");
    else
        std::fprintf(out, " -> %s\n", terminal_escaped(to).c_str());
    std::fprintf(out, "  %-15s%s\n", dry_run ? "would change:" : "changed:",
                 terminal_escaped(joined_keys(outcome.changed)).c_str());
    std::fprintf(out, "  %-15s%s\n", "info hash v1:",
                 hash_change(outcome.old_hashes.v1, outcome.new_hashes.v1).c_str());
    std::fprintf(out, "  %-15s%s\n", "info hash v2:",
                 hash_change(outcome.old_hashes.v2, outcome.new_hashes.v2).c_str());
}

template <typename Digest> nlohmann::ordered_json hash_json(const std::optional<Digest> &digest) {
    return digest ? nlohmann::ordered_json(hex_text(*digest)) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json as_json(const std::string &from, const std::string &to,
                               const edit_outcome &outcome, bool dry_run) {
    nlohmann::ordered_json out;
    out["torrent"] = utf8_escaped(from);
    out["output"] =
        dry_run ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(utf8_escaped(to));
    out["dry_run"] = dry_run;
    std::vector<std::string> changed(outcome.changed.size());
    std::transform(outcome.changed.begin(), outcome.changed.end(), changed.begin(), utf8_escaped);
    out["changed"] = changed;
    out["old_info_hash_v1"] = hash_json(outcome.old_hashes.v1);
    out["new_info_hash_v1"] = hash_json(outcome.new_hashes.v1);
    out["old_info_hash_v2"] = hash_json(outcome.old_hashes.v2);
    out["new_info_hash_v2"] = hash_json(outcome.new_hashes.v2);
    return out;
}

// -------------------------------------------------------------------------- the command ---

// One line on standard error naming the torrent; the torrent counts as refused.
std::nullopt_t refuse(const std::string &path, const std::string &reason) {
    std::fprintf(stderr, "quillet edit: %s: %s\n", terminal_escaped(path).c_str(),
                 terminal_escaped(reason).c_str());
    return std::nullopt;
}

// Reads and edits one torrent and writes its document beside the target; nothing when it is
// refused.
std::optional<staged_edit> stage(const std::string &path, const edit_options &options) {
    loaded_torrent loaded;
    if (const auto refusal = load_torrent(path, options.limits, loaded))
        return refuse(path, *refusal);
    if (const metainfo_problem *problem = first_invalid_problem(loaded.torrent))
        return refuse(path, "not a valid torrent: " + problem->text + " (quillet show lists all)");
    staged_edit staged{path,
                       options.in_place ? path : options.output,
                       edit_torrent(*loaded.document, loaded.torrent, options.request),
                       {}};
    for (const std::string &note : staged.outcome.notes)
        std::fprintf(stderr, "quillet edit: %s: %s\n", terminal_escaped(path).c_str(),
                     terminal_escaped(note).c_str());
    if (!options.dry_run && !options.to_standard_output())
        if (const int error = write_staged(staged, options.in_place))
            return refuse(staged.target, std::strerror(error));
    return staged;
}

// Syncs and puts in place what was written; whether every torrent was. A failed sync leaves
// every target as it was.
bool publish(std::vector<staged_edit> &staged, const signals_held &signals) {
    if (const int error = sync_staged(staged)) {
        for (const staged_edit &each : staged) {
            discard_output(each.file);
            refuse(each.target, std::strerror(error));
        }
        staged.clear();
        return false;
    }
    // The renames are quick and each leaves a whole torrent, so a signal waits no longer.
    if (signals.one_waits()) {
        abandon(staged, signals);
        return false;
    }
    const std::vector<int> errors = put_all_in_place(staged);
    std::vector<staged_edit> placed;
    for (std::size_t at = 0; at < staged.size(); ++at) {
        if (errors[at] == 0) {
            placed.push_back(std::move(staged[at]));
            continue;
        }
        discard_output(staged[at].file);
        refuse(staged[at].target, std::strerror(errors[at]));
    }
    const bool all = placed.size() == staged.size();
    staged = std::move(placed);
    return all;
}

// The edited torrent's bytes on standard output; whether they all went out.
bool send_to_standard_output(staged_edit &staged) {
    const std::string &bytes = staged.outcome.bytes;
    const bool sent = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
                      std::fflush(stdout) == 0;
    if (!sent)
        refuse("standard output", std::strerror(errno));
    staged.outcome.bytes = std::string();
    return sent;
}

void report(const std::vector<staged_edit> &staged, const edit_options &options,
            std::size_t torrents) {
    std::FILE *out = options.to_standard_output() && !options.dry_run ? stderr : stdout;
    std::vector<nlohmann::ordered_json> objects;
    for (const staged_edit &each : staged) {
        if (options.json)
            objects.push_back(as_json(each.torrent, each.target, each.outcome, options.dry_run));
        else
            print_text(out, each.torrent, each.target, each.outcome, options.dry_run);
    }
    if (options.json && !objects.empty()) {
        const nlohmann::ordered_json json =
            torrents == 1 ? objects.front() : nlohmann::ordered_json(objects);
        std::fprintf(out, "%s\n", json.dump(2).c_str());
    }
}
} // namespace

int run_edit(int argc, char **argv) {
    CLI::App app("Change a torrent's trackers, web seeds, comment, dates, private flag, source or "
                 "name\nwithout reading its content.",
                 "quillet edit");
    edit_options options;
    given_options given;
    option_values values;
    declare_options(app, options, given, values);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        return app.exit(error) == 0 ? 0 : 1;
    }
    take_values(options.request, given, values);
    if (const auto problem = usage_problem(options)) {
        std::fprintf(stderr, "quillet edit: %s\n", problem->c_str());
        return 1;
    }
    if (!options.output.empty() && !options.to_standard_output() && !options.force &&
        !options.dry_run && exists(options.output)) {
        std::fprintf(stderr, "quillet edit: %s exists: use --force to replace it\n",
                     terminal_escaped(options.output).c_str());
        return 1;
    }
    bool all_edited = true;
    std::vector<staged_edit> staged;
    const signals_held signals;
    for (const std::string &path : options.torrents) {
        if (signals.one_waits())
            break;
        if (auto each = stage(path, options))
            staged.push_back(std::move(*each));
        else
            all_edited = false;
    }
    if (signals.one_waits()) {
        abandon(staged, signals);
        return 1; // only when the signal was one the process was asked to survive
    }
    if (!options.dry_run && options.to_standard_output()) {
        const bool sent = !staged.empty() && send_to_standard_output(staged.front());
        if (!sent)
            staged.clear();
        all_edited = sent && all_edited;
    } else if (!options.dry_run)
        all_edited = publish(staged, signals) && all_edited;
    report(staged, options, options.torrents.size());
    return all_edited ? 0 : 1;
}
