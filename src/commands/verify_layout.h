#pragma once
#include "common/handles.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// What `quillet verify` expects to find on disk, what it found there before reading any content,
// and the arithmetic from bad pieces to verdicts per file. Nothing here reads content or knows
// the torrent's encoding: the command fills these from the torrent, the content check from the
// hashes.

enum class check_kind : std::uint8_t { v1, v2, hybrid };

// One file of the torrent, as plain data: a torrent of a hundred thousand files keeps no string
// of its own per file. Its path and its tree's hashes are read from the layout that holds it.
struct expected_file {
    std::uint64_t size = 0;
    // Where its path below the content starts in the layout's `paths`; it ends where the next
    // file's starts.
    std::uint32_t path = 0;
    // v2 and hybrid: its root among the layout's `roots`, or no_root (an empty file, a pad).
    std::uint32_t root = no_root;
    // v2 and hybrid: where its piece layer (32 bytes a piece) starts in the layout's `layers`,
    // for a file longer than one piece whose layer is of its size; else no_layer.
    std::uint32_t layer = no_layer;
    bool pad = false; // zeros that pad the v1 content, never looked for on disk

    static constexpr std::uint32_t no_root = 0xffffffff;
    static constexpr std::uint32_t no_layer = 0xffffffff;
};

struct content_layout {
    check_kind kind = check_kind::v1;
    std::uint64_t piece_length = 0;
    std::string_view pieces; // v1 and hybrid: the SHA-1 digests, 20 bytes a piece
    std::string_view layers; // v2 and hybrid: the torrent's piece layers, all in one place
    // v1 and hybrid: the v1 file list in order, pads included; v2: the file tree in order.
    std::vector<expected_file> files;
    std::vector<std::array<unsigned char, 32>> roots; // v2 and hybrid, of the files that have one
    // Every file's path below the content, its components joined with '/', one after another.
    std::string paths;
    std::string content_path; // the file itself for a single-file torrent, else the folder
    std::string name;         // the torrent's name, which a folder's files are shown below
    bool single_file = false;

    std::string_view path_below(std::size_t index) const;
    // As a client shows the file: the name, then the path below it.
    std::string shown(std::size_t index) const;
    // Where the file is looked for.
    std::string disk_path(std::size_t index) const;
    const std::array<unsigned char, 32> *root_of(std::size_t index) const;
    std::string_view piece_layer(std::size_t index) const;
};

enum class file_status : std::uint8_t { intact, missing, wrong_size, unreadable, damaged, suspect };

const char *status_name(file_status status);

// Which file the size pass found, and as it was then: the content pass holds what it reads to
// this, so that a file replaced, grown, shrunk or written to in between is noticed. Times are
// kept in nanoseconds, which tell any two times from 1678 to 2262 apart.
struct seen_file {
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
};

std::int64_t nanoseconds_of(const timespec &time);

// Why a file is missing or unreadable, when the system's error number does not say it.
enum : std::int32_t { reason_folder = -1, reason_not_regular = -2, reason_changed = -3 };

// What the size pass found of one file: `intact` stands for "present at its size" until the
// content says otherwise.
struct found_file {
    file_status status = file_status::intact;
    std::int32_t reason = 0; // missing or unreadable: the system's error number, or a reason_*
    std::uint64_t found_size = 0;
    seen_file seen; // a regular file only
};

// Why a file is missing or unreadable, in words.
std::string reason_text(const found_file &found);

// A half-open range of bytes [start, end).
struct byte_range {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool operator==(const byte_range &) const = default;
};

// Why a path from the torrent cannot be looked for under PATH, or nullopt when it can.
std::optional<std::string> unsafe_component(std::string_view component);

// What a file's status, symbolic links followed, says of it before its content is read.
found_file found_from_status(const expected_file &file, const struct stat &status);

// The same from the file's path, where a failure says missing or unreadable and why.
found_file look_at(const expected_file &file, const std::string &disk_path);

// The folder each file lies in, opened once for the run of files in it, so that a tree of many
// files is not looked up from its root for every one of them.
class folder_cache {
  public:
    // The open folder of `disk_path`, with the file's name in it; nullptr when the folder cannot
    // be opened (or the path ends in '/'), and the path itself must be asked.
    std::shared_ptr<fd_owner> folder_of(const std::string &disk_path, std::string &name);

  private:
    std::optional<std::string> path_; // of the folder last asked for, opened or not
    std::shared_ptr<fd_owner> folder_;
};

// The size pass: every file of the torrent looked at, and none of its content read, before the
// content pass; pads are not looked for.
std::vector<found_file> size_pass(const content_layout &layout);

// How many of a file's expected bytes the size pass found readable on disk.
std::uint64_t readable_bytes(const expected_file &file, const found_file &found);

// Bytes of content, pads left out.
std::uint64_t content_bytes(const content_layout &layout);

// Pieces a file of `size` bytes spans on its own (v2 and hybrid), 0 for an empty file.
std::uint64_t pieces_of(std::uint64_t size, std::uint64_t piece_length);

// Sorted ranges, those that touch or overlap made one.
std::vector<byte_range> merged(std::vector<byte_range> ranges);

// The byte ranges, within a file of `size` bytes, of its bad pieces, given by index from the
// file's first byte (v2 and hybrid, where every file starts a piece).
std::vector<byte_range> ranges_of_file_pieces(const std::vector<std::uint64_t> &bad_pieces,
                                              std::uint64_t size, std::uint64_t piece_length);

struct file_verdict {
    file_status status = file_status::intact;
    std::vector<byte_range> bad; // within the file, merged
};

// Verdicts from the bad pieces of the v1 content as one stream. A file that a bad piece touches
// is damaged when some bad piece touches no other content file, else suspect: the digests cannot
// tell which of the files it spans holds the fault. What the size pass found stands first.
std::vector<file_verdict> v1_verdicts(const content_layout &layout,
                                      const std::vector<found_file> &found,
                                      const std::vector<bool> &bad_pieces);
