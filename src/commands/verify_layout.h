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

struct expected_file {
    std::string shown;     // as a client shows it: the name, then the path below it
    std::string disk_path; // where it is looked for
    std::uint64_t size = 0;
    bool pad = false; // zeros that pad the v1 content, never looked for on disk
    // v2 and hybrid: the root of the file's tree, and its piece layer (32 bytes a piece) for a
    // file longer than one piece.
    std::optional<std::array<unsigned char, 32>> root;
    std::string_view piece_layer;
};

struct content_layout {
    check_kind kind = check_kind::v1;
    std::uint64_t piece_length = 0;
    std::string_view pieces; // v1 and hybrid: the SHA-1 digests, 20 bytes a piece
    // v1 and hybrid: the v1 file list in order, pads included; v2: the file tree in order.
    std::vector<expected_file> files;
};

enum class file_status : std::uint8_t { intact, missing, wrong_size, unreadable, damaged, suspect };

const char *status_name(file_status status);

// Which file the size pass found, and as it was then: the content pass holds what it reads to
// this, so that a file replaced, grown, shrunk or written to in between is noticed.
struct seen_file {
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{};
    timespec changed{};
};

// What the size pass found of one file: `intact` stands for "present at its size" until the
// content says otherwise.
struct found_file {
    file_status status = file_status::intact;
    std::uint64_t found_size = 0;
    std::string reason; // unreadable: the system's words
    seen_file seen;     // a regular file only
};

// A half-open range of bytes [start, end).
struct byte_range {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool operator==(const byte_range &) const = default;
};

// Why a path from the torrent cannot be looked for under PATH, or nullopt when it can.
std::optional<std::string> unsafe_component(std::string_view component);

// Where each file of the torrent lives under `root` (the file itself for a single-file torrent).
// Components were checked with unsafe_component first. Any range of string views will do, the
// torrent's paths being read from its document as they are walked.
template <typename Components>
std::string disk_path_of(const std::string &root, const Components &path) {
    std::string joined = root;
    for (const std::string_view component : path) {
        joined += '/';
        joined += component;
    }
    return joined;
}

// What a file's status, symbolic links followed, says of it before its content is read.
found_file found_from_status(const expected_file &file, const struct stat &status);

// The same from the file's path, where a failure says missing or unreadable and why.
found_file look_at(const expected_file &file);

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
