#include "hash/batch.h"

#include "hash/sha1_lanes.h"

#include <new>

std::unique_ptr<batch> new_batch(std::size_t capacity, std::size_t piece_length) {
    std::unique_ptr<batch> made(new (std::nothrow) batch);
    if (!made) {
        return nullptr;
    }
    made->capacity = capacity;
    made->piece_length = piece_length;
    made->data = allocate_content_buffer(capacity);
    return made->data ? std::move(made) : nullptr;
}

namespace {
bool hash_content(const unsigned char *data, batch &work) {
    const std::size_t full_pieces = work.fill / work.piece_length;
    const std::size_t rest = work.fill % work.piece_length;
    if (!hash_pieces(data, work.piece_length, full_pieces, work.digests.data())) {
        return false;
    }
    return rest == 0 || hash_one(data + full_pieces * work.piece_length, rest,
                                 work.digests.data() + full_pieces * 20);
}
} // namespace

bool hash_batch(batch &work) {
    if (work.window.data == nullptr) {
        work.content_lost = false;
        return hash_content(work.data.get(), work);
    }
    guard_begin(work.window);
    const bool ok = hash_content(work.window.data, work);
    work.content_lost = guard_end();
    return ok;
}

bool make_batch_slots(batch_ring &ring, std::size_t count) {
    try {
        ring.slots.resize(count);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}
