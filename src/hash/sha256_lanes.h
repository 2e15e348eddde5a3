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
// (a left and a right node each): 32 bytes per message, in order. `parents` may be `children`
// itself, so that a level of a tree can be reduced where it lies. False as above.
[[nodiscard]] bool sha256_parents(const unsigned char *children, std::size_t count,
                                  unsigned char *parents);

// How the messages are hashed: one path per instruction set (16 lanes of AVX-512, 8 of AVX2,
// interleaved SHA-NI streams), OpenSSL's single stream where none is offered.
enum class sha256_path { openssl, shani, avx2, avx512 };

// The path's name, as tests and measurements print it.
const char *sha256_path_name(sha256_path path);

// The path in use: the fastest one this CPU runs, chosen at first use.
sha256_path active_sha256_path();

// Whether this CPU (and the OS, for the wide register state) can run `path`.
bool sha256_path_supported(sha256_path path);

// Test hook: makes `path` the active one. Throws std::invalid_argument if the CPU can't run it.
// Call before hashing starts, not while other threads hash.
void force_sha256_path(sha256_path path);
