#pragma once

#include <cstddef>

// SHA-1 of torrent pieces, several pieces at once.
//
// Pieces of a torrent are independent messages of one length, so the engine hashes them side by
// side: one piece per SIMD lane (AVX-512: 16, AVX2: 8) or four interleaved SHA-NI streams. The
// instruction set is picked once from what the CPU offers; OpenSSL's low-level routines are the
// portable fallback. Every function here is thread safe and allocates nothing.

enum class hash_path { openssl, shani, avx2, avx512 };

// Digests of `count` consecutive pieces of `piece_length` bytes each, laid out back to back
// from `data`; writes 20*count bytes to `digests`, in order. Returns false when a digest could
// not be computed; the digests are then not to be used.
[[nodiscard]] bool hash_pieces(const unsigned char *data, std::size_t piece_length,
                               std::size_t count, unsigned char *digests);

// Digest of one message of any length (used for a lone/final partial piece); false as above.
[[nodiscard]] bool hash_one(const unsigned char *data, std::size_t length, unsigned char *digest);

// The path in use: the fastest one this CPU runs, chosen at first use.
hash_path active_hash_path();

// Whether this CPU (and the OS, for the wide register state) can run `path`.
bool hash_path_supported(hash_path path);

// Test hook: makes `path` the active one. Throws std::invalid_argument if the CPU can't run it.
// Call before hashing starts, not while other threads hash.
void force_hash_path(hash_path path);

// Pieces hashed side by side by `path`: 1, 4, 8 or 16.
std::size_t hash_path_lanes(hash_path path);
