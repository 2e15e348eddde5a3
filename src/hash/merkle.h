#pragma once
#include "hash/sha256_single.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The per-file hash tree of v2 torrents. Its leaves are the SHA-256 digests of the file's 16 KiB
// blocks (the last one as short as the file leaves it); leaves past the end of the file, up to
// the next power of two, are zero nodes. A file is fed in parts of any size, straight from the
// read buffers, and only its piece layer and the current piece's leaves are held.

// One node of the tree: a SHA-256 digest, or 32 zero bytes for a leaf past the file's end.
using merkle_node = std::array<unsigned char, sha256_digest_size>;
static_assert(sizeof(merkle_node) == sha256_digest_size, "a layer is written as one byte run");

constexpr std::size_t merkle_block_size = 16384;

// v2 pieces are whole subtrees, so their length is a power of two of at least one block.
constexpr bool merkle_piece_length_fits(std::int64_t piece_length) {
    return piece_length >= static_cast<std::int64_t>(merkle_block_size) &&
           (piece_length & (piece_length - 1)) == 0;
}

// An inner node: the digest of its two children, left then right.
[[nodiscard]] bool merkle_parent(const merkle_node &left, const merkle_node &right,
                                 merkle_node &parent);

// The root of a subtree of 2^height zero leaves (height 0 is the zero leaf itself).
[[nodiscard]] bool merkle_zero_root(unsigned height, merkle_node &root);

// One file's tree while it is fed.
struct merkle_file {
    std::size_t leaves_per_piece = 0;
    sha256_single block{};                 // the current block's digest so far
    std::size_t block_fill = 0;            // bytes of the current block fed so far
    std::vector<merkle_node> piece_leaves; // finished leaves of the current piece
    std::vector<merkle_node> piece_layer;  // one node per finished piece
};

// The tree of a whole file.
struct merkle_result {
    bool has_root = false; // an empty file has no tree
    merkle_node root{};    // the file's `pieces root`
    // One node per piece, for a file longer than one piece; empty otherwise, since such a
    // file's root already covers its only piece.
    std::vector<merkle_node> piece_layer;
};

// Each returns false when a digest could not be computed or memory ran out; the tree is then
// unusable until begun again. Nothing here throws.

// `piece_length` must fit merkle_piece_length_fits(); false when it does not.
[[nodiscard]] bool merkle_begin(merkle_file &file, std::int64_t piece_length);
[[nodiscard]] bool merkle_feed(merkle_file &file, const unsigned char *data, std::size_t size);
// Takes in the leaves of the file's next `count` blocks, hashed elsewhere: 32 bytes each, back to
// back. Every block but the file's last is whole, and no part of a block may be pending from
// merkle_feed. A file may take some leaves this way and the rest through merkle_feed, or the
// other way round, at block boundaries.
[[nodiscard]] bool merkle_take_leaves(merkle_file &file, const unsigned char *digests,
                                      std::size_t count);
// Completes the tree of everything fed since merkle_begin; the file must be begun again before
// its next use.
[[nodiscard]] bool merkle_finish(merkle_file &file, merkle_result &result);
