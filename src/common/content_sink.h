#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// What the content writers outside the document module (the walk, the content hasher) hand
// over, without knowing how the document lays it out or where it is written.

// How feeding content went: ok, or why the run stops.
enum class feed_status { ok, read_error, changed, sink_failed, out_of_memory };

// One node of a file's SHA-256 merkle tree (v2 and hybrid torrents).
using tree_node = std::array<unsigned char, 32>;

// What a v2 document records of one file's merkle tree.
struct file_hashes {
    bool has_root = false; // an empty file has no tree
    tree_node root{};      // its `pieces root`
    // One node per piece, for a file longer than one piece; empty otherwise.
    std::vector<tree_node> piece_layer;
};

// One file of a torrent, as the walk adds it.
struct file_entry {
    std::int64_t length = 0;
    // Its path below the input directory, one element per component, none of them empty.
    std::span<const std::string_view> path;
    // v2 and hybrid: the file's tree, complete because its content was hashed first; the
    // document takes the piece layer over. nullptr for v1.
    file_hashes *hashes = nullptr;
};

// Receives a pieces string: its byte length first, then exactly that many bytes of digests,
// in piece order, in as many parts as it takes.
class pieces_sink {
  public:
    virtual void pieces_begin(std::int64_t length) = 0;
    virtual void pieces_part(const unsigned char *digests, std::size_t size) = 0;

  protected:
    pieces_sink() = default;
    pieces_sink(const pieces_sink &) = default;
    pieces_sink &operator=(const pieces_sink &) = default;
    ~pieces_sink() = default;
};

// Receives the parts of a directory torrent in document order: the file list, one entry per
// added file in the order of the walk, then the pieces over the listed files' content (only
// when any byte was fed).
class directory_sink : public pieces_sink {
  public:
    virtual void files_begin() = 0;
    virtual void add_file(const file_entry &entry) = 0;
    virtual void files_end() = 0;
    // Whether the output can no longer be written, which makes the rest of the walk pointless.
    virtual bool output_failed() const = 0;

  protected:
    directory_sink() = default;
    directory_sink(const directory_sink &) = default;
    directory_sink &operator=(const directory_sink &) = default;
    ~directory_sink() = default;
};

// Where the v1 piece digests of hashed content go, in piece order, as they complete. Creating a
// torrent writes them into the document or keeps them for it; checking content compares them
// against the digests a torrent lists. A sink that returns anything but ok stops the run with
// that status: out_of_memory is reported by whoever drives the hashing, sink_failed means that
// the sink has reported its own failure.
class piece_digest_sink {
  public:
    // `count` digests of 20 bytes, back to back; the first is that of piece `first`.
    virtual feed_status take_pieces(std::int64_t first, const unsigned char *digests,
                                    std::size_t count) = 0;

  protected:
    piece_digest_sink() = default;
    piece_digest_sink(const piece_digest_sink &) = default;
    piece_digest_sink &operator=(const piece_digest_sink &) = default;
    ~piece_digest_sink() = default;
};
