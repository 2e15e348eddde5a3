#pragma once

#include <cstddef>
#include <cstdint>

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

// Streams that advance side by side, a few blocks at a time: pieces too long to hold whole are
// hashed as chunks of each arrive, one piece per lane.

// The running state of one stream: its five chaining words after the blocks taken so far.
struct sha1_state {
    unsigned h[5];
};

// The widest group of streams sha1_lanes_update takes in one call.
constexpr std::size_t sha1_lanes_max = 16;

// The state before any block.
sha1_state sha1_state_start();

// Advances `count` (1 to sha1_lanes_max) streams by `blocks` 64-byte blocks each; stream i reads
// from data[i]. Runs on the active hash path. False when the blocks could not be hashed.
[[nodiscard]] bool sha1_lanes_update(sha1_state *states, const unsigned char *const *data,
                                     std::size_t count, std::size_t blocks);

// Completes one stream whose message is `total` bytes long: `tail` holds its last `size` bytes
// (everything not yet taken in by sha1_lanes_update; any length). Writes 20 bytes to `digest`.
[[nodiscard]] bool sha1_state_finish(sha1_state &state, const unsigned char *tail, std::size_t size,
                                     std::uint64_t total, unsigned char *digest);
