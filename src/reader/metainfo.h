#pragma once
#include "common/tracker_tiers.h"
#include "metainfo/magnet.h"
#include "reader/bencode_reader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a torrent says, as read from a bencode document, with every way it falls short of a
// torrent a client can use. Byte strings are kept as they stand (names need not be UTF-8); the
// views point into the document's bytes.

enum class torrent_format : std::uint8_t { unknown, v1, v2, hybrid };

using pieces_root = std::array<unsigned char, 32>;

// A file's path: its components below the torrent's name (a single-file torrent's one file has
// the name as its only component). The components are the document's own strings, found when
// asked for: a torrent of many files in deep folders would otherwise keep a view per component,
// more memory than the document's values themselves.
class path_view {
  public:
    // Walks the components in order; each is a view of the torrent's bytes.
    class iterator {
      public:
        using iterator_concept = std::forward_iterator_tag;
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using reference = std::string_view;

        iterator() = default;
        iterator(const path_view *path, std::size_t at) : path_(path), at_(at) {}
        std::string_view operator*() const { return (*path_)[at_]; }
        iterator &operator++() {
            ++at_;
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const iterator &other) const { return at_ == other.at_; }

      private:
        const path_view *path_ = nullptr;
        std::size_t at_ = 0;
    };

    path_view() = default;
    // `size` strings that follow one another in the document from `first`: a v1 path list's.
    static path_view consecutive(const bencode_document &document, value_index first,
                                 std::uint32_t size);
    // The strings at `keys`, which the caller keeps: a v2 file tree's names down to a file.
    static path_view of_keys(const bencode_document &document, const value_index *keys,
                             std::uint32_t size);
    // One empty component: the path of a single file whose torrent has no name.
    static path_view unnamed();

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view operator[](std::size_t at) const {
        if (document_ == nullptr)
            return {};
        return text_of(*document_, keys_ ? keys_[at] : first_ + static_cast<value_index>(at));
    }
    std::string_view front() const { return (*this)[0]; }
    std::string_view back() const { return (*this)[size_ - 1]; }
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, size_}; }

  private:
    path_view(const bencode_document *document, const value_index *keys, value_index first,
              std::uint32_t size)
        : document_(document), keys_(keys), first_(first), size_(size) {}

    const bencode_document *document_ = nullptr; // none for unnamed()
    const value_index *keys_ = nullptr;          // none for consecutive strings
    value_index first_ = 0;
    std::uint32_t size_ = 0;
};

struct torrent_file {
    path_view path;
    std::uint64_t size = 0;
    bool pad = false; // v1 padding ('p' in attr), not content
    // v2: the root of the file's Merkle tree, its 32 bytes where the document holds them (a
    // copy would make each file of a large torrent half as large again); nullptr when none.
    const unsigned char *root = nullptr;
};

using file_list = std::vector<torrent_file, large_array_allocator<torrent_file>>;

// One thing wrong with a torrent or its encoding. An invalid one means no client could use the
// torrent as it stands; the others (keys out of order, repeated keys) are accepted by clients.
struct metainfo_problem {
    std::string text;
    bool invalid = true;
};

// Not copyable: the files' paths view storage of its own. Moved, it keeps that storage. The
// paths read the document too, which must outlive the metainfo.
struct metainfo {
    metainfo() = default;
    metainfo(const metainfo &) = delete;
    metainfo &operator=(const metainfo &) = delete;
    metainfo(metainfo &&) = default;
    metainfo &operator=(metainfo &&) = default;

    torrent_format format = torrent_format::unknown;
    std::optional<std::string_view> name;
    // The v1 file list when the torrent has one (pads included), else the v2 file tree in
    // its order. A single-file torrent has one file whose path is its name.
    file_list files;
    // Hybrid: the v2 file tree, in its order. Empty once a v2-only torrent is read, whose tree is
    // `files` (a torrent of millions of files holds its list once).
    file_list tree_files;
    bool single_file = false;
    std::optional<std::uint64_t> piece_length;
    std::string_view pieces;       // v1: concatenated SHA-1 digests
    std::uint64_t piece_count = 0; // v1: digests in `pieces`; v2: pieces the file tree needs
    tracker_tiers trackers;
    std::vector<std::string> web_seeds;
    bool is_private = false;
    std::optional<std::string_view> source;
    std::optional<std::string_view> comment;
    std::optional<std::string_view> created_by;
    std::optional<std::int64_t> creation_date; // seconds since 1970 UTC
    std::optional<value_index> info;           // the info dictionary's value
    info_hashes hashes; // over the info dictionary's bytes as they stand in the input
    std::vector<metainfo_problem> problems;
    // The names along the v2 file tree down to each of `tree_files`, in one block that their
    // paths view, so that a torrent of millions of files costs no allocation per file.
    std::vector<value_index> tree_keys;
};

// The torrent a document holds, or the limit it broke: a torrent of more pieces than
// `limits.max_pieces` is refused like an over-deep document.
struct metainfo_outcome {
    metainfo torrent;
    std::optional<bencode_error> refusal;
};

metainfo_outcome read_metainfo(const bencode_document &document, const bencode_limits &limits = {});

// Why a path component (or a torrent's name) could name a place outside the torrent's folder,
// or none at all; nullptr when it is usable.
const char *path_component_fault(std::string_view component);

// Whether any problem makes the torrent unusable.
bool has_invalid_problem(const metainfo &torrent);

// The first problem that makes the torrent unusable, or nullptr: the reason a command that
// needs a usable torrent gives for refusing it.
const metainfo_problem *first_invalid_problem(const metainfo &torrent);

// Bytes of content, pads left out.
std::uint64_t content_size(const metainfo &torrent);

// "v1", "v2", "hybrid", or nullptr when the document is none of them.
const char *format_name(torrent_format format);
