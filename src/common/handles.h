#pragma once
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <unistd.h>

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// Owns a file descriptor; reads of input content go through descriptors so that a tree of
// many small files costs no stdio buffer per file.
struct fd_owner {
    int fd = -1;
    fd_owner() = default;
    explicit fd_owner(int descriptor) : fd(descriptor) {}
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    fd_owner(fd_owner &&other) noexcept : fd(other.fd) { other.fd = -1; }
    fd_owner &operator=(fd_owner &&other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~fd_owner() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// read(2) that is tried again when a signal interrupted it before any byte arrived.
inline ssize_t read_some(int fd, void *into, std::size_t size) {
    ssize_t got = 0;
    do {
        got = read(fd, into, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

// pread(2), tried again in the same way.
inline ssize_t read_some_at(int fd, void *into, std::size_t size, off_t offset) {
    ssize_t got = 0;
    do {
        got = pread(fd, into, size, offset);
    } while (got < 0 && errno == EINTR);
    return got;
}
