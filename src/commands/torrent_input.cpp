#include "commands/torrent_input.h"

#include "common/handles.h"
#include "common/terminal_text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
struct file_bytes {
    std::string bytes;
    std::string error; // empty when the bytes were read
};

std::string size_limit_error(std::size_t limit) {
    return "too large to read: over the size limit of " + std::to_string(limit) +
           " bytes (raise it with --max-size)";
}

// The whole file, read without taking more than the size limit allows (a pipe or a file that
// grows is cut off at the limit, not read to its end).
file_bytes read_file(const std::string &path, std::size_t limit) {
    const fd_owner file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.fd < 0 || fstat(file.fd, &status) != 0)
        return {{}, std::strerror(errno)};
    if (S_ISDIR(status.st_mode))
        return {{}, "is a folder, not a torrent"};
    if (S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) > limit)
        return {{}, size_limit_error(limit)};
    file_bytes result;
    std::size_t block = S_ISREG(status.st_mode) ? static_cast<std::size_t>(status.st_size) + 1
                                                : std::size_t{1} << 16;
    for (;;) {
        const std::size_t had = result.bytes.size();
        result.bytes.resize(had + block);
        const ssize_t got = read_some(file.fd, result.bytes.data() + had, block);
        if (got < 0)
            return {{}, std::strerror(errno)};
        result.bytes.resize(had + static_cast<std::size_t>(got));
        if (got == 0)
            return result;
        if (result.bytes.size() > limit)
            return {{}, size_limit_error(limit)};
        block = std::size_t{1} << 16;
    }
}

std::string refusal_text(const bencode_error &error) {
    std::string text = (error.limit_option ? "too large to read: " : "not bencode: ") +
                       utf8_escaped(error.reason) + " at byte " + std::to_string(error.offset);
    if (error.limit_option)
        text += std::string(" (raise the limit with ") + error.limit_option + ")";
    return text;
}

void add_limit(CLI::App &app, const char *name, std::size_t &limit, const char *what) {
    app.add_option(name, limit, what)->capture_default_str()->check(CLI::PositiveNumber);
}
} // namespace

std::optional<std::string> load_torrent(const std::string &path, const bencode_limits &limits,
                                        loaded_torrent &into) {
    file_bytes file = read_file(path, limits.max_size);
    if (!file.error.empty())
        return file.error;
    into.bytes = std::move(file.bytes);
    bencode_outcome read = read_bencode(into.bytes, limits);
    if (!read.document)
        return refusal_text(read.error);
    into.document = std::move(read.document);
    metainfo_outcome outcome = read_metainfo(*into.document, limits);
    if (outcome.refusal)
        return refusal_text(*outcome.refusal);
    into.torrent = std::move(outcome.torrent);
    return std::nullopt;
}

void add_limit_options(CLI::App &app, bencode_limits &limits) {
    add_limit(app, "--max-size", limits.max_size, "largest torrent file read, in bytes");
    add_limit(app, "--max-depth", limits.max_depth,
              "deepest nesting of lists and "
              "dictionaries");
    add_limit(app, "--max-tokens", limits.max_tokens, "most bencode values");
    add_limit(app, "--max-string", limits.max_string, "longest byte string, in bytes");
    add_limit(app, "--max-pieces", limits.max_pieces, "most pieces");
}
