#pragma once
#include "hash/buffer.h"
#include "reader/bencode_reader.h"
#include "reader/metainfo.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Only the commands that parse a command line need CLI11 itself, a heavy header to compile.
namespace CLI {
class App;
}

// Reading a torrent file that someone else made, for the commands that take one.

// A file's bytes, in a buffer of our own written once by read() and never cleared first.
struct file_bytes {
    content_buffer data{nullptr, mapping_deleter{0}};
    std::size_t capacity = 0;
    std::size_t size = 0;
    std::string error; // empty when the bytes were read
    std::string_view view() const { return {reinterpret_cast<const char *>(data.get()), size}; }
};

// The whole file, read without taking more than `limit` bytes: a pipe, or a file that grows
// while it is read, is cut off at the limit, not read to its end.
file_bytes read_file(const std::string &path, std::size_t limit);

// Why the reader refused a document, with the option that raises the limit it broke.
std::string refusal_text(const bencode_error &error);

// The path a client would give the file below the folder it downloads into.
std::string shown_path(const metainfo &torrent, const torrent_file &file);

// A torrent file read whole and checked. The document and the metainfo point into `bytes`, so
// the three live and die together: a loaded torrent is filled in place and never moved.
struct loaded_torrent {
    file_bytes bytes;
    std::optional<bencode_document> document;
    metainfo torrent;

    loaded_torrent() = default;
    loaded_torrent(const loaded_torrent &) = delete;
    loaded_torrent &operator=(const loaded_torrent &) = delete;
};

// Reads and checks the torrent at `path` into `into`. Returns why it was refused (unreadable,
// not bencode, or over a limit, with the option that raises it), or nothing once `into.torrent`
// holds what it says, problems included.
std::optional<std::string> load_torrent(const std::string &path, const bencode_limits &limits,
                                        loaded_torrent &into);

// --max-size, --max-depth, --max-tokens, --max-string and --max-pieces, which raise the limits.
void add_limit_options(CLI::App &app, bencode_limits &limits);
