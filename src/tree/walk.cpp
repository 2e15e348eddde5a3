#include "tree/walk.h"

#include "common/console.h"
#include "common/handles.h"
#include "common/progress.h"
#include "common/run_state.h"
#include "hash/hash_workers.h"
#include "tree/accumulator.h"
#include "tree/prefetch.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

std::int32_t files_added = 0;

namespace {
enum class add_result { added, not_added, run_failed };

// The look-ahead of the current run's walk.
prefetcher *walk_prefetcher = nullptr;

// Probes are used again, with the buffers they hold: a fresh buffer for every small file made
// the memory allocator return and fetch pages from the system over and over.
std::vector<std::unique_ptr<entry_probe>> spare_probes;
constexpr std::size_t max_spare_probes = 2 * prefetch_window;

std::unique_ptr<entry_probe> new_probe() {
    if (spare_probes.empty()) {
        return std::make_unique<entry_probe>();
    }
    std::unique_ptr<entry_probe> probe = std::move(spare_probes.back());
    spare_probes.pop_back();
    probe->stat_ok = false;
    probe->status = {};
    probe->content = probe_content::not_read;
    probe->error = 0;
    probe->out_of_memory = false;
    probe->queued = false;
    probe->done.store(false, std::memory_order_relaxed);
    return probe;
}

void recycle_probe(std::unique_ptr<entry_probe> probe) {
    if (spare_probes.size() < max_spare_probes) {
        spare_probes.push_back(std::move(probe));
    }
}

// One directory entry being looked at: what was found out about it ahead of time (its name, the
// open directory it is listed in, its status) and its path as the messages and the file list
// show it.
struct entry {
    entry_probe &probe;
    const std::string &path;
};

bool is_dot_or_dotdot(const std::string &name) {
    return name == "." || name == "..";
}

// Feeds a file's content, read ahead or read now from the open file.
feed_status feed_content(const entry_probe &probe, int fd) {
    switch (probe.content) {
    case probe_content::read:
        return accumulator_feed_bytes(probe.bytes.data(), probe.bytes.size());
    case probe_content::read_failed:
        errno = probe.error;
        return feed_status::read_error;
    case probe_content::changed:
        return feed_status::changed;
    case probe_content::not_read:
    case probe_content::open_failed:
        break;
    }
    return accumulator_feed(fd, probe.status.st_size);
}

// Opens the file unless it was read or opened ahead; returns false when it cannot be opened.
bool open_content(entry_probe &probe, fd_owner &file) {
    if (probe.content == probe_content::open_failed) {
        return false;
    }
    if (probe.content != probe_content::not_read) {
        return true;
    }
    if (prefetch_take_file(*walk_prefetcher, probe, file)) {
        return true;
    }
    file = fd_owner(openat(probe.dir_fd, probe.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    return file.fd >= 0;
}

add_result add_file(const entry &file, walk_run &run) {
    fd_owner input;
    const bool opened = open_content(file.probe, input);
    say_out("adding %s\n", file.path.c_str());
    if (!opened) {
        say_err("could not open file %s\n", file.path.c_str());
        return add_result::not_added;
    }
    const std::string_view relative_path =
        std::string_view(file.path).substr(run.input_path.size() + 1);
    split_path(relative_path, run.path);
    run.document.add_file({file.probe.status.st_size, run.path});
    if (report_feed_failure(feed_content(file.probe, input.fd), file.path.c_str()) != 0) {
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
    if (!dir) {
        say_out("skipping directory %s (%m)\n", subdir.path.c_str());
        return 0;
    }
    return walk_directory(dir.get(), subdir.path, level + 1, run);
}

int take_regular_file(const entry &file, walk_run &run) {
    if (hidden_and_left_out(file.probe.name) || is_run_output(file.probe.status)) {
        return 0;
    }
    switch (add_file(file, run)) {
    case add_result::added:
        ++files_added;
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
        if (level >= max_nesting_level) {
            return walk_step::stop_directory;
        }
        return walk_subdirectory(item, level, run) == 0 ? walk_step::next : walk_step::fail;
    }
    if (S_ISREG(mode)) {
        return take_regular_file(item, run) == 0 ? walk_step::next : walk_step::fail;
    }
    say_out("ignoring %s (no directory or regular file)\n", item.path.c_str());
    return walk_step::next;
}

// The directory is closed after its walk, so nothing may still be looking into it.
void abandon_probes(std::deque<std::unique_ptr<entry_probe>> &probes) {
    for (const auto &probe : probes) {
        prefetch_cancel(*walk_prefetcher, *probe);
    }
    probes.clear();
}

// Entries that --exclude leaves out are dropped as they are listed, by name and path alone: no
// status is read, nothing is opened or read ahead, and nothing is said about them.
bool excluded_entry(const walk_run &run, const std::string &dir_path, std::string_view name) {
    if (run.excludes.name_patterns.empty() && run.excludes.path_patterns.empty()) {
        return false;
    }
    std::string entry_path;
    entry_path.append(dir_path).append("/").append(name);
    const std::string_view relative_path =
        std::string_view(entry_path).substr(run.input_path.size() + 1);
    return excluded(run.excludes, name, relative_path);
}

// The entries of one directory taken from its listing ahead of the walk, oldest first. However
// the walk of the directory ends, every probe still queued is withdrawn or waited for.
struct listing_window {
    DIR *dir;
    const walk_run &run;
    const std::string &dir_path;
    bool listed_all = false;
    std::deque<std::unique_ptr<entry_probe>> probes;

    listing_window(DIR *listed, const walk_run &walk, const std::string &path)
        : dir(listed), run(walk), dir_path(path) {}
    listing_window(const listing_window &) = delete;
    listing_window &operator=(const listing_window &) = delete;
    ~listing_window() { abandon_probes(probes); }
};

// Refills the window once half of it was used, handing the new entries over together; an error
// while listing ends the listing like its end.
void fill_window(listing_window &window) {
    if (window.listed_all || window.probes.size() > prefetch_window / 2) {
        return;
    }
    std::vector<entry_probe *> added;
    while (window.probes.size() < prefetch_window) {
        const dirent *found = readdir(window.dir);
        if (found == nullptr) {
            window.listed_all = true;
            break;
        }
        if (excluded_entry(window.run, window.dir_path, found->d_name)) {
            continue;
        }
        std::unique_ptr<entry_probe> probe = new_probe();
        probe->dir_fd = dirfd(window.dir);
        probe->name = found->d_name;
        probe->listed_type = found->d_type;
        window.probes.push_back(std::move(probe));
        added.push_back(window.probes.back().get());
    }
    prefetch_submit(*walk_prefetcher, added);
}
} // namespace

int walk_directory(DIR *dir, const std::string &dir_path, int level, walk_run &run) {
    listing_window window(dir, run, dir_path);
    std::string path;
    for (fill_window(window); !window.probes.empty(); fill_window(window)) {
        // A destination that cannot be written any more makes the rest of the walk pointless.
        if (run.document.output_failed()) {
            return 1;
        }
        std::unique_ptr<entry_probe> probe = std::move(window.probes.front());
        window.probes.pop_front();
        prefetch_wait(*walk_prefetcher, *probe);
        path.assign(dir_path).append("/").append(probe->name);
        const walk_step step = take_entry({*probe, path}, level, run);
        prefetch_release(*walk_prefetcher, *probe);
        recycle_probe(std::move(probe));
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
struct accumulator_scope {
    accumulator_scope() = default;
    accumulator_scope(const accumulator_scope &) = delete;
    accumulator_scope &operator=(const accumulator_scope &) = delete;
    ~accumulator_scope() { accumulator_discard(); }
};

int walk_input_directory(DIR *dir, walk_run &run) {
    prefetcher look_ahead;
    const unsigned threads = hash_thread_count();
    // The walk's own thread is the other one looking at entries.
    prefetch_start(look_ahead, threads > 1 ? threads - 1 : 0);
    walk_prefetcher = &look_ahead;
    progress_start(-1);
    const int walked = walk_directory(dir, std::string(run.input_path), 0, run);
    progress_stop();
    prefetch_stop(look_ahead);
    walk_prefetcher = nullptr;
    spare_probes.clear();
    return walked;
}
} // namespace

int write_directory_info(const run_options &options, directory_sink &document) {
    const char *input_path = options.input_path;
    const dir_ptr dir = open_directory(AT_FDCWD, input_path);
    if (!dir) {
        report_failure("could not read directory %s\n", input_path);
        return 1;
    }
    if (accumulator_start(options.piece_length) != 0) {
        return 1;
    }
    // Whatever ends the walk, the accumulator's buffers and threads go with it.
    const accumulator_scope accumulator;
    files_added = 0;
    document.files_begin();
    walk_run run{input_path, document, {}, {}};
    for (const char *pattern : options.excludes) {
        add_exclude_pattern(run.excludes, pattern);
    }
    if (walk_input_directory(dir.get(), run) != 0) {
        return 1;
    }
    document.files_end();
    if (accumulator_finish(document) != 0) {
        return 1;
    }
    if (files_added == 0) {
        say_err("warning: no files found in directory\n");
    }
    return 0;
}
