#pragma once
#include "hash/buffer.h"
#include "hash/lane_group.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The widest group of pieces a hashing kernel takes side by side.
constexpr std::size_t max_pieces_per_batch = 16;

// One unit of hashing work, done by one thread: either consecutive pieces read back to back
// into the buffer by the reading thread (a batch proper), or a lane group, which whoever hashes
// it reads into the buffer itself.
struct batch {
    content_buffer data;
    std::size_t buffer_size = 0; // bytes the buffer holds
    std::size_t capacity = 0;    // bytes a batch proper takes, at most buffer_size
    std::size_t fill = 0;        // bytes read into it so far
    std::size_t piece_length = 0;
    std::size_t digest_count = 0; // set when the batch is handed over for hashing
    bool grouped = false;         // a lane group: `group` says what to read, not `fill`
    lane_group group;
    bool hashed = false;                   // guarded by the workers' lock once handed over
    feed_status outcome = feed_status::ok; // how the hashing went; set with `hashed`
    int error = 0;                         // errno of a group's failed read
    std::array<unsigned char, max_pieces_per_batch * 20> digests{};

    // v2 and hybrid: the first `leaf_bytes` bytes are content of one file, starting on one of its
    // 16 KiB blocks, whose SHA-256 leaves the same thread hashes after the pieces, while the
    // bytes are still close at hand; 32 bytes each in `leaf_digests`. A batch of a stream
    // without v1 pieces has a `digest_count` of 0 and is hashed for its leaves alone. A lane
    // group that takes leaves has them of all its pieces, `leaf_bytes` being the pieces' bytes.
    std::size_t leaf_bytes = 0;
    std::vector<unsigned char> leaf_digests;
};

// Makes room for the digests of `leaves` leaves, keeping what room there is when it is enough
// (slots go from batches to groups and back); false when memory ran out.
[[nodiscard]] bool make_leaf_room(batch &work, std::size_t leaves);

// A batch with a buffer of `size` bytes; returns an empty pointer when the memory cannot be had.
std::unique_ptr<batch> new_batch(std::size_t size);

// Hashes every piece the batch holds, the last one perhaps short at the end of the content; for
// a lane group, reads and hashes its pieces. ok, or why the digests are not to be used.
[[nodiscard]] feed_status hash_batch(batch &work);

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
