#include "tree/scan.h"

#include "common/console.h"
#include "common/handles.h"
#include "tree/entry_rules.h"
#include "tree/probe_rule.h"
#include "tree/walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

namespace {
struct directory_key {
    dev_t device;
    ino_t inode;
};

struct scan_run {
    const run_options &options;
    entry_rules rules;
    probe_rule left_out;                  // the walk's rule, with the output the run will replace
    std::vector<directory_key> ancestors; // the directories the scan is inside, outermost first
    content_scan &found;
};

std::string_view relative_to_input(const std::string &path, const scan_run &run) {
    return std::string_view(path).substr(std::string_view(run.options.input_path).size() + 1);
}

bool is_ancestor(const scan_run &run, const struct stat &status) {
    return std::any_of(run.ancestors.begin(), run.ancestors.end(), [&](const directory_key &key) {
        return key.device == status.st_dev && key.inode == status.st_ino;
    });
}

int scan_directory(int dir_fd, const std::string &dir_path, int level, scan_run &run);

// A strict scan fails with the reason; a lenient one passes the entry by, as the classic walk
// does.
int cannot_take(const scan_run &run, const std::string &path, const std::string &reason) {
    if (!run.options.strict) {
        return 0;
    }
    report_failure("%s: %s\n", path.c_str(), reason.c_str());
    return 1;
}

std::string because(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

int scan_entry(int dir_fd, const char *name, const std::string &path, int level, scan_run &run) {
    struct stat status = {};
    if (fstatat(dir_fd, name, &status, 0) != 0) {
        return cannot_take(run, path, because("could not read its status"));
    }
    const std::string_view relative = relative_to_input(path, run);
    if (S_ISREG(status.st_mode)) {
        if (!file_left_out(run.left_out, name, status) &&
            !left_out_by_includes(run.rules, name, relative)) {
            run.found.bytes += status.st_size;
            run.found.file_sizes.push_back(status.st_size);
        }
        return 0;
    }
    if (!S_ISDIR(status.st_mode)) {
        return 0;
    }
    // The classic walk goes no deeper than its limit, into a loop too.
    if (level >= max_nesting_level) {
        return cannot_take(
            run, path, "nested deeper than " + std::to_string(max_nesting_level) + " directories");
    }
    if (is_ancestor(run, status) && run.options.strict) {
        return cannot_take(run, path, "symbolic link loop: it leads back to a directory it is in");
    }
    const fd_owner subdir(openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (subdir.fd < 0) {
        return cannot_take(run, path, because("could not read directory"));
    }
    run.ancestors.push_back({status.st_dev, status.st_ino});
    const int status_code = scan_directory(subdir.fd, path, level + 1, run);
    run.ancestors.pop_back();
    return status_code;
}

int scan_directory(int dir_fd, const std::string &dir_path, int level, scan_run &run) {
    // The listing gets a descriptor of its own; `dir_fd` stays open for the entries.
    const int listing_fd = dup(dir_fd);
    const dir_ptr dir(listing_fd >= 0 ? fdopendir(listing_fd) : nullptr);
    if (!dir) {
        if (listing_fd >= 0) {
            close(listing_fd);
        }
        return cannot_take(run, dir_path, because("could not read directory"));
    }
    std::string path;
    errno = 0;
    while (const dirent *entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        path.assign(dir_path).append("/").append(name);
        if (left_out_by_name(run.rules, name, relative_to_input(path, run))) {
            continue;
        }
        if (scan_entry(dir_fd, entry->d_name, path, level, run) != 0) {
            return 1;
        }
        errno = 0;
    }
    return errno != 0 ? cannot_take(run, dir_path, because("could not read directory")) : 0;
}
} // namespace

int scan_content(const run_options &options, const file_identity &left_out, content_scan &found) {
    scan_run run{options, rules_of(options), {options.inclusive, {{}, left_out}}, {}, found};
    const std::string input_path = options.input_path;
    struct stat status = {};
    if (stat(options.input_path, &status) != 0) {
        return std::max(1, cannot_take(run, input_path, because("could not access")));
    }
    if (S_ISREG(status.st_mode)) {
        found.bytes = status.st_size;
        found.file_sizes.assign(1, status.st_size);
        return 0;
    }
    if (!S_ISDIR(status.st_mode)) {
        return std::max(1, cannot_take(run, input_path, "not a regular file or directory"));
    }
    const fd_owner input(open(options.input_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (input.fd < 0) {
        return std::max(1, cannot_take(run, input_path, because("could not read directory")));
    }
    run.ancestors.push_back({status.st_dev, status.st_ino});
    return scan_directory(input.fd, input_path, 0, run);
}
