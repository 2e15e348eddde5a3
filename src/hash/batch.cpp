#include "hash/batch.h"

#include "hash/sha1_lanes.h"
#include "hash/sha256_lanes.h"
#include "hash/sha256_single.h"

#include <new>

std::unique_ptr<batch> new_batch(std::size_t size) {
    std::unique_ptr<batch> made(new (std::nothrow) batch);
    if (!made) {
        return nullptr;
    }
    made->buffer_size = size;
    made->data = allocate_content_buffer(size);
    return made->data ? std::move(made) : nullptr;
}

namespace {
bool hash_held_pieces(const unsigned char *data, batch &work) {
    const std::size_t full_pieces = work.fill / work.piece_length;
    const std::size_t rest = work.fill % work.piece_length;
    if (!hash_pieces(data, work.piece_length, full_pieces, work.digests.data())) {
        return false;
    }
    return rest == 0 || hash_one(data + full_pieces * work.piece_length, rest,
                                 work.digests.data() + full_pieces * 20);
}
} // namespace

feed_status hash_batch(batch &work) {
    if (work.grouped) {
        const lane_group_hashes hashes{work.digests.data(),
                                       work.leaf_bytes > 0 ? work.leaf_digests.data() : nullptr};
        return hash_lane_group(work.group, work.data.get(), hashes, work.error);
    }
    const unsigned char *data = work.data.get();
    const bool hashed =
        (work.digest_count == 0 || hash_held_pieces(data, work)) &&
        (work.leaf_bytes == 0 || sha256_leaves(data, work.leaf_bytes, work.leaf_digests.data()));
    return hashed ? feed_status::ok : feed_status::out_of_memory;
}

bool make_leaf_room(batch &work, std::size_t leaves) {
    if (work.leaf_digests.size() >= leaves * sha256_digest_size) {
        return true;
    }
    try {
        work.leaf_digests.resize(leaves * sha256_digest_size);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool make_batch_slots(batch_ring &ring, std::size_t count) {
    try {
        ring.slots.resize(count);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}
