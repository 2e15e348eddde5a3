#include "commands/torrent_input.h"
#include "common/handles.h"
#include "common/terminal_text.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <utility>

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

// The bytes are copied into memory of our own rather than mapped: the reader checks each
// length once and reads it again later from the same bytes, which holds only if no other program
// can change them in between (a mapping of a file shows every write to it, and faults on a file
// cut short). The copy costs little beside the page faults that either way takes.
file_bytes &grown(file_bytes &bytes, std::size_t capacity) {
    content_buffer larger = allocate_content_buffer(capacity);
    if (!larger)
        throw std::bad_alloc();
    if (bytes.size > 0)
        std::memcpy(larger.get(), bytes.data.get(), bytes.size);
    bytes.data = std::move(larger);
    bytes.capacity = capacity;
    return bytes;
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
    grown(result, regular ? static_cast<std::size_t>(status.st_size) + 1 : 1 << 16);
    for (;;) {
        if (result.size == result.capacity)
            grown(result, result.capacity * 2);
        const ssize_t got =
            read_some(file.fd, result.data.get() + result.size, result.capacity - result.size);
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

std::optional<std::string> load_torrent(const std::string &path, const bencode_limits &limits,
                                        loaded_torrent &into) {
    into.bytes = read_file(path, limits.max_size);
    if (!into.bytes.error.empty())
        return into.bytes.error;
    bencode_outcome read = read_bencode(into.bytes.view(), limits);
    if (!read.document)
        return refusal_text(read.error);
    into.document = std::move(read.document);
    metainfo_outcome outcome = read_metainfo(*into.document, limits);
    if (outcome.refusal)
        return refusal_text(*outcome.refusal);
    into.torrent = std::move(outcome.torrent);
    return std::nullopt;
}

namespace {
void add_limit(CLI::App &app, const char *name, std::size_t &limit, const char *what) {
    app.add_option(name, limit, what)->capture_default_str()->check(CLI::PositiveNumber);
}
} // namespace

void add_limit_options(CLI::App &app, bencode_limits &limits) {
    add_limit(app, "--max-size", limits.max_size, "largest torrent file read, in bytes");
    add_limit(app, "--max-depth", limits.max_depth, "deepest nesting of lists and dictionaries");
    add_limit(app, "--max-tokens", limits.max_tokens, "most bencode values");
    add_limit(app, "--max-string", limits.max_string, "longest byte string, in bytes");
    add_limit(app, "--max-pieces", limits.max_pieces, "most pieces");
}
