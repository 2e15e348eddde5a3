#pragma once
#include "hash/buffer.h"
#include "hash/lane_group.h"
#include "hash/map_choice.h"
#include "hash/mapped_content.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

// The widest group of pieces a hashing kernel takes side by side.
constexpr std::size_t max_pieces_per_batch = 16;

// The kinds of work a ring slot holds; hash_plan.h lists where each is chosen.

// Consecutive whole pieces, read (or copied) back to back into the slot's buffer by the reading
// thread; the last perhaps short at the end of the content. On the leaf_batches path it holds
// one file's bytes, hashed for their leaves alone.
struct piece_batch {
    std::size_t capacity = 0; // bytes the batch takes, at most the buffer's size
    std::size_t fill = 0;     // bytes read into it so far
    std::size_t piece_length = 0;
};

// A lane_group (lane_group.h): the reading thread only describes it, and whoever hashes it reads
// its pieces into the slot's buffer itself.
using work_kind = std::variant<piece_batch, lane_group>;

// One unit of hashing work, done by one thread.
struct work_unit {
    content_buffer data;
    std::size_t buffer_size = 0; // bytes the buffer holds
    work_kind kind;
    std::size_t digest_count = 0;          // set when the unit is handed over for hashing
    bool hashed = false;                   // guarded by the workers' lock once handed over
    feed_status outcome = feed_status::ok; // how the hashing went; set with `hashed`
    int error = 0;                         // errno of a group's failed read
    std::array<unsigned char, max_pieces_per_batch * 20> digests{};

    // A batch over a window of a large file may hold no bytes of its own: its pieces are then
    // hashed where `window` maps them, and the window is let go once they are.
    mapped_window window;
    // A trial window of its file's choice (map_choice.h), which is told its cost once hashed:
    // `reader_ns` of the reading thread's processor time to fill it, and the hashing.
    map_choice *choice = nullptr;
    content_source source = content_source::read;
    std::int64_t reader_ns = 0;

    // v2 and hybrid: the first `leaf_bytes` bytes of the unit's content are content of one file,
    // starting on one of its 16 KiB blocks, whose SHA-256 leaves the same thread hashes after the
    // pieces, while the bytes are still close at hand; 32 bytes each in `leaf_digests`. A batch
    // on the leaf_batches path has a `digest_count` of 0 and is hashed for its leaves alone. A
    // lane group that takes leaves has them of all its pieces, `leaf_bytes` being the pieces'
    // bytes.
    std::size_t leaf_bytes = 0;
    std::vector<unsigned char> leaf_digests;
};

// Makes room for the digests of `leaves` leaves, keeping what room there is when it is enough
// (slots go from batches to groups and back); false when memory ran out.
[[nodiscard]] bool make_leaf_room(work_unit &work, std::size_t leaves);

// A unit with a buffer of `size` bytes; returns an empty pointer when the memory cannot be had.
std::unique_ptr<work_unit> new_work_unit(std::size_t size);

// Hashes every piece a batch holds, the last one perhaps short at the end of the content, or
// reads and hashes a lane group's pieces; then the leaves, if any. ok, or why the digests are
// not to be used.
[[nodiscard]] feed_status hash_work_unit(work_unit &work);

// The units of work between reading and delivery, numbered in content order from 0. Unit n lives
// in slot n modulo the number of slots, and its slot is used again only once its digests have
// been delivered, so the digests come out in piece order by walking the numbers.
struct work_ring {
    std::vector<std::unique_ptr<work_unit>> slots; // made at the start, each unit on first use
};

// False when the slots cannot be allocated.
[[nodiscard]] bool make_ring_slots(work_ring &ring, std::size_t count);

inline std::unique_ptr<work_unit> &ring_slot(work_ring &ring, std::uint64_t number) {
    return ring.slots[number % ring.slots.size()];
}
