#include "tree/walk.h"

#include "common/console.h"
#include "common/feed_report.h"
#include "common/handles.h"
#include "common/progress.h"
#include "hash/content_hasher.h"
#include "hash/hash_workers.h"
#include "tree/prefetch.h"
#include "tree/probe_rule.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace {
enum class add_result { added, not_added, run_failed };

// One directory entry being looked at: what was found out about it ahead of time (its name, the
// open directory it is listed in, its status) and its path as the messages and the file list show
// it.
struct entry {
    entry_probe &probe;
    const std::string &path;
};

bool is_dot_or_dotdot(const std::string &name) {
    return name == "." || name == "..";
}

// Feeds a file's content, read ahead or read now from the open file, to the run's hasher. A
// failed read's cause goes to `read_errno`.
feed_status feed_content(const entry_probe &probe, int fd, content_hasher &hasher,
                         int &read_errno) {
    read_errno = 0;
    switch (probe.content) {
    case probe_content::read:
        return hasher.feed_bytes(probe.bytes.data(), probe.bytes.size());
    case probe_content::read_failed:
        read_errno = probe.error;
        return feed_status::read_error;
    case probe_content::changed:
        return feed_status::changed;
    case probe_content::not_read:
    case probe_content::open_failed:
        break;
    }
    const feed_status status = hasher.feed(fd, probe.status.st_size);
    read_errno = hasher.read_error();
    return status;
}

// v1 lists the file before its content goes to the one stream of the whole torrent; v2 and
// hybrid can list it only once its own tree is complete.
feed_status list_and_feed(const entry_probe &probe, int fd, file_entry &listed, walk_run &run,
                          int &read_errno) {
    if (!run.hasher.keeps_file_trees()) {
        run.document.add_file(listed);
        return feed_content(probe, fd, run.hasher, read_errno);
    }
    file_hashes hashes;
    feed_status status = feed_content(probe, fd, run.hasher, read_errno);
    if (status == feed_status::ok) {
        status = run.hasher.end_file(listed.length, hashes);
    }
    if (status == feed_status::ok) {
        listed.hashes = &hashes;
        run.document.add_file(listed);
    }
    return status;
}

// Opens the file unless it was read or opened ahead; returns false when it cannot be opened.
bool open_content(entry_probe &probe, fd_owner &file) {
    if (probe.content == probe_content::open_failed) {
        return false;
    }
    if (probe.content != probe_content::not_read) {
        return true;
    }
    if (prefetch_take_file(probe, file)) {
        return true;
    }
    file = fd_owner(openat(probe.dir_fd, probe.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    return file.fd >= 0;
}

std::string_view relative_to_input(const std::string &path, const walk_run &run) {
    return std::string_view(path).substr(run.input_path.size() + 1);
}

add_result add_file(const entry &file, walk_run &run) {
    fd_owner input;
    const bool opened = open_content(file.probe, input);
    if (run.notices_on_stdout) {
        say_out("adding %s\n", file.path.c_str());
    }
    if (!opened && run.strict) {
        errno = file.probe.error != 0 ? file.probe.error : errno;
        report_failure("%s: could not open: %m\n", file.path.c_str());
        return add_result::run_failed;
    }
    if (!opened) {
        say_err("could not open file %s\n", file.path.c_str());
        return add_result::not_added;
    }
    const std::string_view relative_path = relative_to_input(file.path, run);
    split_path(relative_path, run.path);
    file_entry listed{file.probe.status.st_size, run.path};
    int read_errno = 0;
    const feed_status fed = list_and_feed(file.probe, input.fd, listed, run, read_errno);
    if (report_feed_failure(fed, read_errno, file.path.c_str()) != 0) {
        return add_result::run_failed;
    }
    return add_result::added;
}

// Opens a directory for listing, relative to `at_fd`; on failure errno tells why.
dir_ptr open_directory(int at_fd, const char *path) {
    const int fd = openat(at_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    dir_ptr dir(fd >= 0 ? fdopendir(fd) : nullptr);
    if (!dir && fd >= 0) {
        const int open_errno = errno;
        close(fd);
        errno = open_errno;
    }
    return dir;
}

int walk_subdirectory(const entry &subdir, int level, walk_run &run) {
    const dir_ptr dir = open_directory(subdir.probe.dir_fd, subdir.probe.name.c_str());
    if (!dir && errno == ENOMEM) {
        // Leaving the directory out would pass off an incomplete torrent as the whole tree.
        report_failure("out of memory\n");
        return 1;
    }
    if (!dir && run.strict) {
        report_failure("%s: could not read directory: %m\n", subdir.path.c_str());
        return 1;
    }
    if (!dir) {
        say_out("skipping directory %s (%m)\n", subdir.path.c_str());
        return 0;
    }
    return walk_directory(dir.get(), subdir.path, level + 1, run);
}

int take_regular_file(const entry &file, walk_run &run) {
    if (file_left_out(run.look_ahead.rule, file.probe.name, file.probe.status) ||
        left_out_by_includes(run.rules, file.probe.name, relative_to_input(file.path, run))) {
        return 0;
    }
    switch (add_file(file, run)) {
    case add_result::added:
        ++run.files_added;
        run.bytes_added += file.probe.status.st_size;
        progress_file();
        return 0;
    case add_result::not_added:
        return 0;
    case add_result::run_failed:
        break;
    }
    return 1;
}

enum class walk_step { next, stop_directory, fail };

walk_step take_entry(const entry &item, int level, walk_run &run) {
    if (item.probe.out_of_memory) {
        report_failure("out of memory\n");
        return walk_step::fail;
    }
    if (!item.probe.stat_ok && run.strict) {
        errno = item.probe.error != 0 ? item.probe.error : ENOENT;
        report_failure("%s: could not read its status: %m\n", item.path.c_str());
        return walk_step::fail;
    }
    if (!item.probe.stat_ok) {
        say_err("could not stat file %s\n", item.path.c_str());
        return walk_step::next;
    }
    const mode_t mode = item.probe.status.st_mode;
    if (S_ISDIR(mode)) {
        if (is_dot_or_dotdot(item.probe.name)) {
            return walk_step::next;
        }
        // Deeper levels are left out together with the rest of this directory's entries.
        if (level >= max_nesting_level && run.strict) {
            report_failure("%s: nested deeper than %d directories\n", item.path.c_str(),
                           max_nesting_level);
            return walk_step::fail;
        }
        if (level >= max_nesting_level) {
            return walk_step::stop_directory;
        }
        return walk_subdirectory(item, level, run) == 0 ? walk_step::next : walk_step::fail;
    }
    if (S_ISREG(mode)) {
        return take_regular_file(item, run) == 0 ? walk_step::next : walk_step::fail;
    }
    if (run.notices_on_stdout) {
        say_out("ignoring %s (no directory or regular file)\n", item.path.c_str());
    } else if (!run.quiet) {
        say_err("warning: %s left out: not a regular file or directory\n", item.path.c_str());
    }
    return walk_step::next;
}

// Entries that --exclude (or, for create, a hidden name) leaves out are dropped as they are
// listed, by name and path alone: no status is read, nothing is opened or read ahead, and
// nothing is said about them. "." and ".." may go here too: the walk never takes them.
bool excluded_entry(const walk_run &run, const std::string &dir_path, std::string_view name) {
    if (run.rules.excludes.name_patterns.empty() && run.rules.excludes.path_patterns.empty() &&
        !run.rules.hidden_left_out) {
        return false;
    }
    std::string entry_path;
    entry_path.append(dir_path).append("/").append(name);
    return left_out_by_name(run.rules, name, relative_to_input(entry_path, run));
}

// One entry as the directory listing gives it.
struct listed_entry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    std::string order_key; // what a sorted walk compares: the name, "/" added for a directory
};

// Whether an entry is a directory, following a symbolic link as the walk does; an entry whose
// status cannot be read sorts as a file, and the walk reports it when it gets there.
bool lists_a_directory(DIR *dir, const listed_entry &entry) {
    if (entry.type == DT_DIR) {
        return true;
    }
    if (entry.type != DT_LNK && entry.type != DT_UNKNOWN) {
        return false;
    }
    struct stat status = {};
    return fstatat(dirfd(dir), entry.name.c_str(), &status, 0) == 0 && S_ISDIR(status.st_mode);
}

// A directory's whole listing, in ascending byte order of names, for a sorted walk.
struct sorted_listing {
    std::vector<listed_entry> entries;
    std::size_t next = 0;
};

// An error while listing ends the listing like its end; what was listed is still sorted.
sorted_listing list_sorted(DIR *dir, bool whole_path_order) {
    sorted_listing listing;
    while (const dirent *found = readdir(dir)) {
        listed_entry entry{found->d_name, found->d_type, found->d_name};
        if (whole_path_order && lists_a_directory(dir, entry)) {
            entry.order_key += '/';
        }
        listing.entries.push_back(std::move(entry));
    }
    std::sort(
        listing.entries.begin(), listing.entries.end(),
        [](const listed_entry &a, const listed_entry &b) { return a.order_key < b.order_key; });
    return listing;
}

// The entries of one directory taken from its listing ahead of the walk, oldest first. The window
// lives in the walk of its directory, which is closed only once that walk has returned; however
// the walk ends, the window's probe handles first withdraw or wait for every probe still queued.
struct listing_window {
    prefetcher &look_ahead;
    DIR *dir;
    const walk_run &run;
    const std::string &dir_path;
    bool listed_all = false;
    std::deque<probe_handle> probes;
    bool sorted = false;     // taken from `in_order` instead of the listing
    sorted_listing in_order; // the whole listing, read and sorted before the walk begins
};

// The next entry in the walk's order; false after the last.
bool next_listed(listing_window &window, listed_entry &entry) {
    if (window.sorted) {
        sorted_listing &listing = window.in_order;
        if (listing.next == listing.entries.size()) {
            return false;
        }
        entry = std::move(listing.entries[listing.next++]);
        return true;
    }
    const dirent *found = readdir(window.dir);
    if (found == nullptr) {
        return false;
    }
    entry.name = found->d_name;
    entry.type = found->d_type;
    return true;
}

// Refills the window once half of it was used, handing the new entries over together; an error
// while listing ends the listing like its end.
void fill_window(listing_window &window) {
    if (window.listed_all || window.probes.size() > prefetch_window / 2) {
        return;
    }
    std::vector<probe_handle> added;
    added.reserve(prefetch_window - window.probes.size());
    listed_entry found;
    while (window.probes.size() + added.size() < prefetch_window) {
        if (!next_listed(window, found)) {
            window.listed_all = true;
            break;
        }
        if (excluded_entry(window.run, window.dir_path, found.name)) {
            continue;
        }
        added.push_back(prefetch_new_probe(window.look_ahead, dirfd(window.dir), found.name.c_str(),
                                           found.type));
    }
    prefetch_submit(window.look_ahead, added);
    for (probe_handle &probe : added) {
        window.probes.push_back(std::move(probe));
    }
}
} // namespace

int walk_directory(DIR *dir, const std::string &dir_path, int level, walk_run &run) {
    listing_window window{run.look_ahead, dir, run, dir_path, false, {}, false, {}};
    if (run.sorted || run.whole_path_order) {
        window.sorted = true;
        window.in_order = list_sorted(dir, run.whole_path_order);
    }
    std::string path;
    for (fill_window(window); !window.probes.empty(); fill_window(window)) {
        // A destination that cannot be written any more makes the rest of the walk pointless.
        if (run.document.output_failed()) {
            return 1;
        }
        const probe_handle probe = std::move(window.probes.front());
        window.probes.pop_front();
        prefetch_wait(probe);
        path.assign(dir_path).append("/").append(probe->name);
        const walk_step step = take_entry({*probe, path}, level, run);
        if (step != walk_step::next) {
            return step == walk_step::fail ? 1 : 0;
        }
    }
    return 0;
}

void split_path(std::string_view relative_path, std::vector<std::string_view> &components) {
    components.clear();
    std::size_t start = 0;
    while (start <= relative_path.size()) {
        std::size_t end = relative_path.find('/', start);
        if (end == std::string_view::npos) {
            end = relative_path.size();
        }
        if (end > start) {
            components.push_back(relative_path.substr(start, end - start));
        }
        start = end + 1;
    }
}

namespace {
// What the walk of the input directory came to.
struct walk_outcome {
    int status = 0; // 0, or 1 when the run must fail (the reason has been reported)
    std::int32_t files_added = 0;
};

walk_outcome walk_input_directory(DIR *dir, const run_options &options,
                                  const output_identities &outputs, directory_sink &document,
                                  content_hasher &hasher) {
    const unsigned threads = hash_thread_count(options.hash_threads);
    // The walk's own thread is the other one looking at entries.
    prefetcher look_ahead(threads > 1 ? threads - 1 : 0, {options.inclusive, outputs});
    walk_run run{options.input_path, document, look_ahead,    {},
                 rules_of(options),  hasher,   options.sorted};
    run.whole_path_order = options.whole_path_order;
    run.strict = options.strict;
    run.notices_on_stdout = options.notices_on_stdout;
    run.quiet = options.quiet;
    if (!options.quiet) {
        progress_start(options.expected_bytes);
    }
    const int walked = walk_directory(dir, std::string(run.input_path), 0, run);
    progress_stop();
    if (walked == 0 && options.expected_files >= 0 &&
        (run.files_added != options.expected_files || run.bytes_added != options.expected_bytes)) {
        report_failure("%s: content changed while it was read\n", options.input_path);
        return {1, run.files_added};
    }
    return {walked, run.files_added};
}

// The pieces run over the whole content, kept until the file list is out; in hybrid, zero bytes
// pad every file of two or more to a piece boundary.
std::unique_ptr<content_hasher> start_hasher(const run_options &options, kept_pieces &pieces) {
    std::unique_ptr<content_hasher> hasher = content_hasher::start(
        {options.format, options.piece_length, -1, true, options.hash_threads}, pieces);
    if (!hasher) {
        report_failure("out of memory\n");
    }
    return hasher;
}

// The pieces follow the file list, when any byte was fed; v2 has none.
int hand_on_pieces(content_hasher &hasher, const kept_pieces &pieces, directory_sink &document) {
    const feed_status finished = finish_kept_pieces(hasher, pieces, document);
    if (finished == feed_status::out_of_memory) {
        report_failure("out of memory\n");
    }
    return finished == feed_status::ok ? 0 : 1;
}
} // namespace

int write_directory_info(const run_options &options, const output_identities &outputs,
                         directory_sink &document) {
    const char *input_path = options.input_path;
    const dir_ptr dir = open_directory(AT_FDCWD, input_path);
    if (!dir) {
        report_failure("could not read directory %s\n", input_path);
        return 1;
    }
    kept_pieces pieces;
    // Whatever ends the walk, the hasher's buffers and threads go with it.
    const std::unique_ptr<content_hasher> hasher = start_hasher(options, pieces);
    if (!hasher) {
        return 1;
    }
    document.files_begin();
    const walk_outcome walked =
        walk_input_directory(dir.get(), options, outputs, document, *hasher);
    if (walked.status != 0) {
        return 1;
    }
    document.files_end();
    if (hand_on_pieces(*hasher, pieces, document) != 0) {
        return 1;
    }
    if (walked.files_added == 0) {
        say_err("warning: no files found in directory\n");
    }
    return 0;
}
