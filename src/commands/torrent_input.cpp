#include "commands/torrent_input.h"
#include "common/handles.h"
#include "common/terminal_text.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
file_bytes read_failure(std::string error) {
    file_bytes failed;
    failed.error = std::move(error);
    return failed;
}

std::string size_limit_error(std::size_t limit) {
    return "too large to read: over the size limit of " + std::to_string(limit) +
           " bytes (raise it with --max-size)";
}
} // namespace

file_bytes read_file(const std::string &path, std::size_t limit) {
    const fd_owner file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.fd < 0 || fstat(file.fd, &status) != 0)
        return read_failure(std::strerror(errno));
    if (S_ISDIR(status.st_mode))
        return read_failure("is a folder, not a torrent");
    const bool regular = S_ISREG(status.st_mode);
    if (regular && static_cast<std::uint64_t>(status.st_size) > limit)
        return read_failure(size_limit_error(limit));
    file_bytes result;
    // One byte more than a regular file holds, so that its end is seen in the same pass.
    std::size_t capacity = regular ? static_cast<std::size_t>(status.st_size) + 1 : 1 << 16;
    result.data = std::make_unique_for_overwrite<char[]>(capacity);
    for (;;) {
        if (result.size == capacity) {
            capacity *= 2;
            auto larger = std::make_unique_for_overwrite<char[]>(capacity);
            std::memcpy(larger.get(), result.data.get(), result.size);
            result.data = std::move(larger);
        }
        const ssize_t got =
            read_some(file.fd, result.data.get() + result.size, capacity - result.size);
        if (got < 0)
            return read_failure(std::strerror(errno));
        if (got == 0)
            return result;
        result.size += static_cast<std::size_t>(got);
        if (result.size > limit)
            return read_failure(size_limit_error(limit));
    }
}

std::string refusal_text(const bencode_error &error) {
    std::string text = (error.limit_option ? "too large to read: " : "not bencode: ") +
                       utf8_escaped(error.reason) + " at byte " + std::to_string(error.offset);
    if (error.limit_option)
        text += std::string(" (raise the limit with ") + error.limit_option + ")";
    return text;
}

std::string shown_path(const metainfo &torrent, const torrent_file &file) {
    std::string path;
    if (!torrent.single_file)
        path = std::string(torrent.name.value_or(""));
    for (const std::string_view component : file.path) {
        if (!path.empty())
            path += '/';
        path += component;
    }
    return path;
}
