#pragma once
#include <cstddef>

// SHA-256 of the many small messages of a v2 hash tree: the 16 KiB blocks of a file (the
// leaves) and the 64-byte pairs of nodes above them. Each message is independent of the
// others, so they are hashed side by side. Every function is thread safe and allocates nothing.

// The bytes of one leaf's block.
constexpr std::size_t sha256_leaf_bytes = 16384;

// Writes the digest of each 16 KiB block of `data`, the last one as short as `size` leaves it:
// 32 bytes for each of the ceil(size / 16 KiB) blocks, in order. False when a digest could not
// be computed; the digests are then not to be used.
[[nodiscard]] bool sha256_leaves(const unsigned char *data, std::size_t size,
                                 unsigned char *digests);

// Writes the digest of each of `count` 64-byte messages laid out back to back from `children`
// (a left and a right node each): 32 bytes per message, in order. False as above.
[[nodiscard]] bool sha256_parents(const unsigned char *children, std::size_t count,
                                  unsigned char *parents);
