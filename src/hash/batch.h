#pragma once
#include "hash/buffer.h"

#include <array>
#include <cstddef>
#include <memory>

// Consecutive pieces read back to back into one buffer, hashed together by one thread.
constexpr std::size_t max_pieces_per_batch = 16;

struct batch {
    content_buffer data;
    std::size_t capacity = 0; // bytes the buffer holds
    std::size_t fill = 0;     // bytes read into it so far
    std::size_t piece_length = 0;
    std::size_t digest_count = 0; // set when the batch is handed over for hashing
    bool hashed = false;          // guarded by the workers' lock once handed over
    bool hash_ok = false;         // every digest was computed; set with `hashed`
    std::array<unsigned char, max_pieces_per_batch * 20> digests{};
};

// Hashes every piece the batch holds; the last one may be short, at the end of the content.
// Returns false when a digest could not be computed.
[[nodiscard]] bool hash_batch(batch &work);
