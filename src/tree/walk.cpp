#include "tree/walk.h"

#include "common/console.h"
#include "common/handles.h"
#include "common/output_stream.h"
#include "common/progress.h"
#include "common/run_state.h"
#include "metainfo/name.h"
#include "tree/accumulator.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

std::int32_t files_added = 0;

namespace {
enum class add_result { added, not_added, run_failed };

// One directory entry being looked at: the open directory it is listed in, its name there and
// its path as the messages and the file list show it.
struct entry {
    int dir_fd;
    const char *name;
    const std::string &path;
};

bool is_dot_or_dotdot(const char *name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

bool is_output_file(const struct stat &status) {
    return run_output_identity.known && status.st_dev == run_output_identity.device &&
           status.st_ino == run_output_identity.inode;
}

int report_feed_failure(feed_status status, const std::string &path) {
    switch (status) {
    case feed_status::ok:
        return 0;
    case feed_status::read_error:
        report_failure("could not read file %s: %m\n", path.c_str());
        break;
    case feed_status::changed:
        report_failure("file %s changed while being read\n", path.c_str());
        break;
    case feed_status::out_of_memory:
    case feed_status::sink_failed:
        report_failure("out of memory\n");
        break;
    }
    return 1;
}

add_result add_file(std::FILE *out, std::int64_t size, const entry &file,
                    std::string_view input_path) {
    const fd_owner input(openat(file.dir_fd, file.name, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    const int open_errno = errno;
    say_out("adding %s\n", file.path.c_str());
    if (input.fd < 0) {
        errno = open_errno;
        say_err("could not open file %s\n", file.path.c_str());
        return add_result::not_added;
    }
    const std::string path_list = build_path_list(file.path.substr(input_path.size() + 1));
    out_printf(out, "d6:lengthi%llde4:", static_cast<long long>(size));
    out_write(out, path_list.data(), path_list.size());
    out_printf(out, "ee");
    if (report_feed_failure(accumulator_feed(input.fd, size), file.path) != 0) {
        return add_result::run_failed;
    }
    return add_result::added;
}

int walk_subdirectory(const entry &subdir, std::FILE *out, int level, std::int32_t piece_length,
                      std::string_view input_path) {
    const int fd = openat(subdir.dir_fd, subdir.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const dir_ptr dir(fd >= 0 ? fdopendir(fd) : nullptr);
    if (!dir) {
        const int open_errno = errno;
        if (fd >= 0) {
            close(fd);
        }
        errno = open_errno;
        say_out("skipping directory %s (%m)\n", subdir.path.c_str());
        return 0;
    }
    return walk_directory(dir.get(), out, subdir.path, level + 1, piece_length, input_path);
}

int take_regular_file(const entry &file, const struct stat &status, std::FILE *out,
                      std::string_view input_path) {
    if ((file.name[0] == '.' && !run_inclusive) || is_output_file(status)) {
        return 0;
    }
    switch (add_file(out, status.st_size, file, input_path)) {
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

walk_step take_entry(const entry &item, std::FILE *out, int level, std::int32_t piece_length,
                     std::string_view input_path) {
    struct stat status = {};
    if (fstatat(item.dir_fd, item.name, &status, 0) != 0) {
        say_err("could not stat file %s\n", item.path.c_str());
        return walk_step::next;
    }
    if (S_ISDIR(status.st_mode)) {
        if (is_dot_or_dotdot(item.name)) {
            return walk_step::next;
        }
        // Deeper levels are left out together with the rest of this directory's entries.
        if (level >= max_nesting_level) {
            return walk_step::stop_directory;
        }
        return walk_subdirectory(item, out, level, piece_length, input_path) == 0 ? walk_step::next
                                                                                  : walk_step::fail;
    }
    if (S_ISREG(status.st_mode)) {
        return take_regular_file(item, status, out, input_path) == 0 ? walk_step::next
                                                                     : walk_step::fail;
    }
    say_out("ignoring %s (no directory or regular file)\n", item.path.c_str());
    return walk_step::next;
}
} // namespace

int walk_directory(DIR *dir, std::FILE *out, const std::string &dir_path, int level,
                   std::int32_t piece_length, std::string_view input_path) {
    const int dir_fd = dirfd(dir);
    std::string path;
    // An error while listing ends this directory's walk like its end.
    while (const dirent *found = readdir(dir)) {
        // A destination that cannot be written any more makes the rest of the walk pointless.
        if (output_errno() != 0) {
            return 1;
        }
        path.assign(dir_path).append("/").append(found->d_name);
        const walk_step step =
            take_entry({dir_fd, found->d_name, path}, out, level, piece_length, input_path);
        if (step == walk_step::fail) {
            return 1;
        }
        if (step == walk_step::stop_directory) {
            break;
        }
    }
    return 0;
}

std::string build_path_list(std::string_view relative_path) {
    std::string list = "pathl";
    std::size_t start = 0;
    while (start <= relative_path.size()) {
        std::size_t end = relative_path.find('/', start);
        if (end == std::string_view::npos) {
            end = relative_path.size();
        }
        if (end > start) {
            list.append(std::to_string(end - start)).append(":");
            list.append(relative_path.substr(start, end - start));
        }
        start = end + 1;
    }
    return list;
}

int write_directory_info(const char *input_path, std::FILE *out, std::int32_t piece_length) {
    const int fd = open(input_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const dir_ptr dir(fd >= 0 ? fdopendir(fd) : nullptr);
    if (!dir) {
        if (fd >= 0) {
            close(fd);
        }
        report_failure("could not read directory %s\n", input_path);
        return 1;
    }
    if (accumulator_start(piece_length) != 0) {
        return 1;
    }
    files_added = 0;
    out_printf(out, "5:filesl");
    progress_start(-1);
    const int walked = walk_directory(dir.get(), out, input_path, 0, piece_length, input_path);
    progress_stop();
    if (walked != 0) {
        accumulator_discard();
        return 1;
    }
    out_printf(out, "e");
    write_name(out, input_path);
    out_printf(out, "12:piece lengthi%de", piece_length);
    if (accumulator_finish(out) != 0) {
        return 1;
    }
    if (files_added == 0) {
        say_err("warning: no files found in directory\n");
    }
    return 0;
}
