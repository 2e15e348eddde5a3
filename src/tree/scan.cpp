#include "tree/scan.h"

#include "common/console.h"
#include "common/handles.h"
#include "tree/entry_rules.h"
#include "tree/walk.h"

#include <cerrno>
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
    file_identity left_out;
    std::vector<directory_key> ancestors; // the directories the scan is inside, outermost first
    content_scan &found;
};

bool same_file(const struct stat &status, const file_identity &identity) {
    return identity.known && status.st_dev == identity.device && status.st_ino == identity.inode;
}

std::string_view relative_to_input(const std::string &path, const scan_run &run) {
    return std::string_view(path).substr(std::string_view(run.options.input_path).size() + 1);
}

bool is_ancestor(const scan_run &run, const struct stat &status) {
    for (const directory_key &key : run.ancestors) {
        if (key.device == status.st_dev && key.inode == status.st_ino) {
            return true;
        }
    }
    return false;
}

int scan_directory(int dir_fd, const std::string &dir_path, int level, scan_run &run);

int scan_entry(int dir_fd, const char *name, const std::string &path, int level, scan_run &run) {
    struct stat status = {};
    if (fstatat(dir_fd, name, &status, 0) != 0) {
        report_failure("%s: could not read its status: %m\n", path.c_str());
        return 1;
    }
    const std::string_view relative = relative_to_input(path, run);
    if (S_ISREG(status.st_mode)) {
        if (!same_file(status, run.left_out) && !left_out_by_includes(run.rules, name, relative)) {
            run.found.bytes += status.st_size;
            run.found.file_sizes.push_back(status.st_size);
        }
        return 0;
    }
    if (!S_ISDIR(status.st_mode)) {
        return 0;
    }
    if (is_ancestor(run, status)) {
        report_failure("%s: symbolic link loop: it leads back to a directory it is in\n",
                       path.c_str());
        return 1;
    }
    if (level >= max_nesting_level) {
        report_failure("%s: nested deeper than %d directories\n", path.c_str(), max_nesting_level);
        return 1;
    }
    const fd_owner subdir(openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (subdir.fd < 0) {
        report_failure("%s: could not read directory: %m\n", path.c_str());
        return 1;
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
        report_failure("%s: could not read directory: %m\n", dir_path.c_str());
        return 1;
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
    if (errno != 0) {
        report_failure("%s: could not read directory: %m\n", dir_path.c_str());
        return 1;
    }
    return 0;
}
} // namespace

int scan_content(const run_options &options, const file_identity &left_out, content_scan &found) {
    struct stat status = {};
    if (stat(options.input_path, &status) != 0) {
        report_failure("%s: could not access: %m\n", options.input_path);
        return 1;
    }
    if (S_ISREG(status.st_mode)) {
        found.bytes = status.st_size;
        found.file_sizes.assign(1, status.st_size);
        return 0;
    }
    if (!S_ISDIR(status.st_mode)) {
        report_failure("%s: not a regular file or directory\n", options.input_path);
        return 1;
    }
    const fd_owner input(open(options.input_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (input.fd < 0) {
        report_failure("%s: could not read directory: %m\n", options.input_path);
        return 1;
    }
    scan_run run{options, rules_of(options), left_out, {{status.st_dev, status.st_ino}}, found};
    return scan_directory(input.fd, options.input_path, 0, run);
}
