#pragma once
#include "hash/buffer.h"
#include "hash/mapped_content.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The widest group of pieces a hashing kernel takes side by side.
constexpr std::size_t max_pieces_per_batch = 16;

// Consecutive pieces read back to back into one buffer, hashed together by one thread.
struct batch {
    content_buffer data;
    std::size_t capacity = 0; // bytes the buffer holds
    std::size_t fill = 0;     // bytes read into it so far
    std::size_t piece_length = 0;
    std::size_t digest_count = 0; // set when the batch is handed over for hashing
    bool hashed = false;          // guarded by the workers' lock once handed over
    bool hash_ok = false;         // every digest was computed; set with `hashed`
    mapped_window window;         // when set, the batch's pieces are hashed from there, not `data`
    bool content_lost = false;    // the mapped file was cut short; set with `hashed`
    std::array<unsigned char, max_pieces_per_batch * 20> digests{};
};

// Returns an empty pointer when the memory cannot be had.
std::unique_ptr<batch> new_batch(std::size_t capacity, std::size_t piece_length);

// Hashes every piece the batch holds; the last one may be short, at the end of the content.
// Returns false when a digest could not be computed.
[[nodiscard]] bool hash_batch(batch &work);

// The batches between reading and delivery, numbered in content order from 0. Batch n lives in
// slot n modulo the number of slots, and its slot is used again only once its digests have been
// delivered, so the digests come out in piece order by walking the numbers.
struct batch_ring {
    std::vector<std::unique_ptr<batch>> slots; // made at the start, each batch on first use
};

// False when the slots cannot be allocated.
[[nodiscard]] bool make_batch_slots(batch_ring &ring, std::size_t count);

inline std::unique_ptr<batch> &batch_slot(batch_ring &ring, std::uint64_t number) {
    return ring.slots[number % ring.slots.size()];
}
