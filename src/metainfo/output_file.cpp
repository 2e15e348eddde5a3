#include "metainfo/output_file.h"

#include "common/handles.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
std::string directory_of(const std::string &path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A link kept by the process file system (/dev/stdout, /dev/fd/N, /proc/self/fd/N) stands for
// an open file of the process, which must be written as it is, not replaced.
bool is_process_link(const std::string &path) {
    struct statfs file_system = {};
    return statfs(directory_of(path).c_str(), &file_system) == 0 &&
           file_system.f_type == PROC_SUPER_MAGIC;
}

// The file a symbolic link (or a chain of them) finally names, which need not exist: the
// document replaces that file and the link stays a link. Empty for a process link.
std::string link_target(const std::string &path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status = {};
        if (lstat(target.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return target;
        }
        if (is_process_link(target)) {
            return {};
        }
        std::vector<char> text(static_cast<std::size_t>(PATH_MAX) + 1);
        const ssize_t length = readlink(target.c_str(), text.data(), text.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) {
            return target;
        }
        std::string next = text.front() == '/' ? std::string() : directory_of(target) + "/";
        next.append(text.data(), static_cast<std::size_t>(length));
        target.swap(next);
    }
    return target;
}

mode_t creation_mode() {
    // A new output gets the mode fopen would have given it.
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A temporary file beside `target`, hidden and named after it, with the mode (and owner) the
// output has or would get. Returns -1, leaving nothing behind, when any of that is impossible.
int make_temporary(const std::string &target, const struct stat *existing, std::string &name) {
    const std::string base = base_of(target);
    if (base.empty()) {
        return -1;
    }
    std::string pattern = directory_of(target);
    pattern.append("/.").append(base).append(".quillet-XXXXXX");
    fd_owner temporary(mkostemp(pattern.data(), O_CLOEXEC));
    if (temporary.fd < 0) {
        return -1;
    }
    struct stat own = {};
    const bool same_owner =
        existing == nullptr || (fstat(temporary.fd, &own) == 0 && own.st_uid == existing->st_uid &&
                                own.st_gid == existing->st_gid);
    const bool owned = same_owner || fchown(temporary.fd, existing->st_uid, existing->st_gid) == 0;
    const mode_t mode = existing != nullptr ? existing->st_mode & 07777 : creation_mode();
    if (!owned || fchmod(temporary.fd, mode) != 0) {
        unlink(pattern.c_str());
        return -1;
    }
    name.swap(pattern); // cannot throw: nothing may fail between here and the caller's record
    return std::exchange(temporary.fd, -1);
}

// Whether the document may be written to a temporary file and renamed over `target`: a file
// with other links keeps them only when written in place, and a file this run may not write
// must not be replaced either.
bool replaceable(const std::string &target, const struct stat &status) {
    return S_ISREG(status.st_mode) && status.st_nlink == 1 &&
           faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
}

bool open_temporary(output_file &file, output_stream &stream) {
    if (file.target.empty()) {
        return false;
    }
    struct stat existing = {};
    const bool exists = stat(file.target.c_str(), &existing) == 0;
    if (exists ? !replaceable(file.target, existing) : errno != ENOENT) {
        return false;
    }
    std::string name;
    const int fd = make_temporary(file.target, exists ? &existing : nullptr, name);
    if (fd < 0) {
        return false;
    }
    stream.file = fdopen(fd, "w");
    if (stream.file == nullptr) {
        close(fd);
        unlink(name.c_str());
        return false;
    }
    file.temporary.swap(name);
    if (exists) {
        file.identities.replaced = regular_file_identity(existing);
    }
    return true;
}
} // namespace

bool open_output(const char *path, output_file &file, output_stream &stream) {
    file.path = path;
    file.target = link_target(file.path);
    if (!open_temporary(file, stream)) {
        stream.file = std::fopen(path, "w");
        if (stream.file == nullptr) {
            return false;
        }
    }
    struct stat status = {};
    if (fstat(fileno(stream.file), &status) == 0) {
        file.identities.written = regular_file_identity(status);
    }
    // Only a regular file is ours to remove; a device or pipe given as output stays.
    file.removable = file.identities.written.known;
    return true;
}

int close_output_file(output_file &file, output_stream &stream, bool complete) {
    // The document is on disk before it takes the output's name, so that even a power cut
    // right after the rename leaves the whole document.
    if (complete && !file.temporary.empty()) {
        out_sync(stream);
    }
    const int error = out_close(stream);
    if (!complete || error != 0 || file.temporary.empty()) {
        return error;
    }
    const int renamed = file.no_replace ? renameat2(AT_FDCWD, file.temporary.c_str(), AT_FDCWD,
                                                    file.target.c_str(), RENAME_NOREPLACE)
                                        : std::rename(file.temporary.c_str(), file.target.c_str());
    if (renamed != 0) {
        return errno;
    }
    file.temporary.clear();
    return 0;
}

void discard_output(const output_file &file) {
    if (!file.temporary.empty()) {
        unlink(file.temporary.c_str());
    }
    if (file.removable) {
        unlink(file.path.c_str());
    }
}
