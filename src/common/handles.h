#pragma once
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
