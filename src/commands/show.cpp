#include "commands/command.h"
#include "commands/torrent_input.h"
#include "common/hex_text.h"
#include "common/terminal_text.h"
#include "reader/metainfo.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {
struct show_options {
    bool json = false;
    bool pads = false;
    bencode_limits limits;
    std::vector<std::string> torrents;
};

// The exit status of one torrent; several torrents exit with the most severe of theirs.
enum class verdict { valid = 0, unreadable = 1, invalid = 2 };

verdict worse(verdict a, verdict b) {
    const auto rank = [](verdict v) {
        return v == verdict::unreadable ? 2 : v == verdict::invalid ? 1 : 0;
    };
    return rank(a) >= rank(b) ? a : b;
}

// ---------------------------------------------------------------------------- showing ---

std::optional<std::string> magnet_of(const metainfo &torrent) {
    if (!torrent.hashes.v1 && !torrent.hashes.v2)
        return std::nullopt;
    return magnet_link(torrent.hashes, torrent.name.value_or(""), torrent.trackers);
}

std::string iso_date(std::int64_t seconds) {
    const auto moment = static_cast<std::time_t>(seconds);
    std::tm utc{};
    char text[64];
    if (gmtime_r(&moment, &utc) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return std::to_string(seconds) + " (not a date)";
    return text;
}

std::size_t pad_count(const metainfo &torrent) {
    return static_cast<std::size_t>(std::count_if(torrent.files.begin(), torrent.files.end(),
                                                  [](const torrent_file &f) { return f.pad; }));
}

nlohmann::ordered_json optional_text(const std::optional<std::string_view> &text) {
    return text ? nlohmann::ordered_json(utf8_escaped(*text)) : nlohmann::ordered_json(nullptr);
}

std::string_view as_is(const std::string &text) {
    return text;
}

// A JSON array of the items' texts, each made valid UTF-8.
template <typename Items, typename Text>
nlohmann::ordered_json escaped_texts(const Items &items, Text text) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    std::transform(items.begin(), items.end(), std::back_inserter(out),
                   [&](const auto &item) { return utf8_escaped(text(item)); });
    return out;
}

nlohmann::ordered_json as_json(const metainfo &torrent, bool pads) {
    nlohmann::ordered_json out;
    out["name"] = optional_text(torrent.name);
    const char *format = format_name(torrent.format);
    out["format"] = format ? nlohmann::ordered_json(format) : nlohmann::ordered_json(nullptr);
    out["info_hash_v1"] =
        torrent.hashes.v1 ? nlohmann::ordered_json(hex_text(*torrent.hashes.v1)) : nullptr;
    out["info_hash_v2"] =
        torrent.hashes.v2 ? nlohmann::ordered_json(hex_text(*torrent.hashes.v2)) : nullptr;
    const auto magnet = magnet_of(torrent);
    out["magnet"] = magnet ? nlohmann::ordered_json(*magnet) : nullptr;
    out["size"] = content_size(torrent);
    out["piece_length"] =
        torrent.piece_length ? nlohmann::ordered_json(*torrent.piece_length) : nullptr;
    out["piece_count"] = torrent.piece_count;
    out["private"] = torrent.is_private;
    out["source"] = optional_text(torrent.source);
    out["comment"] = optional_text(torrent.comment);
    out["created_by"] = optional_text(torrent.created_by);
    out["creation_date"] =
        torrent.creation_date ? nlohmann::ordered_json(*torrent.creation_date) : nullptr;
    nlohmann::ordered_json tiers = nlohmann::ordered_json::array();
    std::transform(torrent.trackers.begin(), torrent.trackers.end(), std::back_inserter(tiers),
                   [](const auto &tier) { return escaped_texts(tier, as_is); });
    out["trackers"] = std::move(tiers);
    out["webseeds"] = escaped_texts(torrent.web_seeds, as_is);
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const torrent_file &file : torrent.files)
        if (pads || !file.pad)
            files.push_back({{"path", utf8_escaped(shown_path(torrent, file))},
                             {"size", file.size},
                             {"pad", file.pad}});
    out["files"] = std::move(files);
    out["problems"] =
        escaped_texts(torrent.problems, [](const metainfo_problem &problem) -> std::string_view {
            return problem.text;
        });
    return out;
}

// One labelled line of text output; the values start in one column.
void labelled(const char *label, const std::string &value) {
    std::printf("%-15s%s\n", label, value.c_str());
}

std::string shown_or_dash(const std::optional<std::string_view> &text) {
    return text ? terminal_escaped(*text) : "-";
}

void print_trackers(const metainfo &torrent) {
    if (torrent.trackers.empty())
        labelled("trackers:", "-");
    const char *label = "trackers:";
    for (std::size_t tier = 0; tier < torrent.trackers.size(); ++tier)
        for (const std::string &url : torrent.trackers[tier]) {
            labelled(label, "tier " + std::to_string(tier + 1) + ": " + terminal_escaped(url));
            label = "";
        }
    label = "web seeds:";
    if (torrent.web_seeds.empty())
        labelled(label, "-");
    for (const std::string &url : torrent.web_seeds) {
        labelled(label, terminal_escaped(url));
        label = "";
    }
}

void print_files(const metainfo &torrent, bool pads) {
    const std::size_t padding = pad_count(torrent);
    std::string count = std::to_string(torrent.files.size() - padding);
    if (padding > 0)
        count += " (and " + std::to_string(padding) + " pad file" + (padding == 1 ? "" : "s") +
                 (pads ? ")" : ", not listed)");
    labelled("files:", count);
    std::uint64_t largest = 0;
    for (const torrent_file &file : torrent.files)
        largest = std::max(largest, file.size);
    const std::size_t width = std::to_string(largest).size();
    // One line at a time, in one buffer: a torrent may list millions of files.
    std::string line;
    for (const torrent_file &file : torrent.files) {
        if (file.pad && !pads)
            continue;
        const std::string size = std::to_string(file.size);
        line.assign(15 + width - size.size(), ' ');
        line += size;
        line += "  ";
        if (!torrent.single_file) {
            append_terminal_escaped(line, torrent.name.value_or(""));
            line += '/';
        }
        for (std::size_t at = 0; at < file.path.size(); ++at) {
            if (at > 0)
                line += '/';
            append_terminal_escaped(line, file.path[at]);
        }
        line += file.pad ? " (pad)\n" : "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
}

void print_text(const std::string &path, const metainfo &torrent, bool pads) {
    labelled("file:", terminal_escaped(path));
    labelled("name:", shown_or_dash(torrent.name));
    const char *format = format_name(torrent.format);
    labelled("format:", format ? format : "-");
    labelled("info hash v1:", torrent.hashes.v1 ? hex_text(*torrent.hashes.v1) : "-");
    labelled("info hash v2:", torrent.hashes.v2 ? hex_text(*torrent.hashes.v2) : "-");
    labelled("magnet:", terminal_escaped(magnet_of(torrent).value_or("-")));
    labelled("size:", std::to_string(content_size(torrent)) + " bytes");
    labelled("piece length:",
             torrent.piece_length ? std::to_string(*torrent.piece_length) + " bytes" : "-");
    labelled("piece count:", std::to_string(torrent.piece_count));
    labelled("private:", torrent.is_private ? "yes" : "no");
    labelled("source:", shown_or_dash(torrent.source));
    labelled("comment:", shown_or_dash(torrent.comment));
    labelled("created by:", shown_or_dash(torrent.created_by));
    labelled("creation date:", torrent.creation_date ? iso_date(*torrent.creation_date) : "-");
    print_trackers(torrent);
    print_files(torrent, pads);
    const char *label = "problems:";
    for (const metainfo_problem &problem : torrent.problems) {
        labelled(label, terminal_escaped(problem.text) + (problem.invalid ? "" : " (accepted)"));
        label = "";
    }
}

// --------------------------------------------------------------------------- the command ---

// What has been shown so far: JSON objects wait for the end, to make one array of them; text goes
// out at once, a blank line between torrents.
struct shown_so_far {
    std::vector<nlohmann::ordered_json> objects;
    bool text = false;
};

// Reads, checks and shows one torrent.
verdict show_one(const std::string &path, const show_options &options, shown_so_far &shown_out) {
    const std::string shown = terminal_escaped(path);
    loaded_torrent loaded;
    if (const auto refusal = load_torrent(path, options.limits, loaded)) {
        std::fprintf(stderr, "%s: %s\n", shown.c_str(), refusal->c_str());
        return verdict::unreadable;
    }
    const metainfo &torrent = loaded.torrent;
    if (options.json) {
        shown_out.objects.push_back(as_json(torrent, options.pads));
    } else {
        if (shown_out.text)
            std::printf("\n");
        print_text(path, torrent, options.pads);
        shown_out.text = true;
    }
    if (!has_invalid_problem(torrent))
        return verdict::valid;
    std::fprintf(stderr, "%s: not a valid torrent (see its problems)\n", shown.c_str());
    return verdict::invalid;
}

void declare_options(CLI::App &app, show_options &options) {
    app.add_flag("-j,--json", options.json,
                 "one JSON object per torrent (an array of them for several)");
    app.add_flag("-p,--pads", options.pads, "list the pad files of hybrid torrents too");
    add_limit_options(app, options.limits);
    app.add_option("TORRENT", options.torrents, "torrent files to show")->required();
    app.footer("Exit status: 0 when every torrent is valid, 1 when one could not be read or is "
               "not bencode,\n2 when one is bencode but not a valid torrent (its problems are "
               "listed).\nNames are shown with non-UTF-8 bytes and control characters as \\xHH.");
}
} // namespace

int run_show(int argc, char **argv) {
    CLI::App app("Show what torrent files say, and what is wrong with them.", "quillet show");
    show_options options;
    declare_options(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        return app.exit(error) == 0 ? 0 : static_cast<int>(verdict::unreadable);
    }
    verdict worst = verdict::valid;
    shown_so_far shown;
    for (const std::string &path : options.torrents)
        worst = worse(worst, show_one(path, options, shown));
    // One torrent is one object, or nothing when it could not be read; several are an array.
    if (options.json && options.torrents.size() > 1)
        std::printf("%s\n", nlohmann::ordered_json(shown.objects).dump(2).c_str());
    else if (options.json && !shown.objects.empty())
        std::printf("%s\n", shown.objects.front().dump(2).c_str());
    return static_cast<int>(worst);
}
