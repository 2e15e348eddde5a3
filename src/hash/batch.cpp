#include "hash/batch.h"

#include "hash/sha1_lanes.h"
#include "hash/sha256_lanes.h"
#include "hash/sha256_single.h"

#include <cerrno>
#include <new>

std::unique_ptr<work_unit> new_work_unit(std::size_t size) {
    std::unique_ptr<work_unit> made(new (std::nothrow) work_unit);
    if (!made) {
        return nullptr;
    }
    made->buffer_size = size;
    made->data = allocate_content_buffer(size);
    return made->data ? std::move(made) : nullptr;
}

namespace {
bool hash_held_pieces(const unsigned char *data, const piece_batch &held, work_unit &work) {
    const std::size_t full_pieces = held.fill / held.piece_length;
    const std::size_t rest = held.fill % held.piece_length;
    if (!hash_pieces(data, held.piece_length, full_pieces, work.digests.data())) {
        return false;
    }
    return rest == 0 || hash_one(data + full_pieces * held.piece_length, rest,
                                 work.digests.data() + full_pieces * 20);
}

bool hash_held_bytes(const unsigned char *data, const piece_batch &held, work_unit &work) {
    return (work.digest_count == 0 || hash_held_pieces(data, held, work)) &&
           (work.leaf_bytes == 0 || sha256_leaves(data, work.leaf_bytes, work.leaf_digests.data()));
}

// Pages of the window that were lost while they were read were put back as zeros, so the digests
// are void and the loss is told instead. The window goes at once: the reading thread maps the
// next ones meanwhile, and a run maps no more than the batches waiting to be hashed.
feed_status hash_mapped_bytes(const piece_batch &held, work_unit &work) {
    guard_begin(work.window);
    feed_status status = hash_held_bytes(work.window.data, held, work) ? feed_status::ok
                                                                       : feed_status::out_of_memory;
    if (guard_end()) {
        status = lost_window_status(work.window);
        work.error = errno;
    }
    work.window = mapped_window{};
    return status;
}

feed_status hash_kind(const piece_batch &held, work_unit &work) {
    const std::int64_t started = work.choice != nullptr ? thread_processor_ns() : 0;
    const feed_status status = work.window.data != nullptr ? hash_mapped_bytes(held, work)
                               : hash_held_bytes(work.data.get(), held, work)
                                   ? feed_status::ok
                                   : feed_status::out_of_memory;
    if (work.choice != nullptr) {
        work.choice->record(work.source, work.reader_ns + thread_processor_ns() - started,
                            held.fill);
        work.choice = nullptr;
    }
    return status;
}

feed_status hash_kind(const lane_group &group, work_unit &work) {
    const lane_group_hashes hashes{work.digests.data(),
                                   work.leaf_bytes > 0 ? work.leaf_digests.data() : nullptr};
    return hash_lane_group(group, work.data.get(), hashes, work.error);
}
} // namespace

feed_status hash_work_unit(work_unit &work) {
    return std::visit([&work](const auto &kind) { return hash_kind(kind, work); }, work.kind);
}

bool make_leaf_room(work_unit &work, std::size_t leaves) {
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

bool make_ring_slots(work_ring &ring, std::size_t count) {
    try {
        ring.slots.resize(count);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}
