#include "hash/piece_stream.h"

#include "common/console.h"
#include "common/handles.h"
#include "common/progress.h"
#include "hash/batch.h"
#include "hash/hash_workers.h"
#include "hash/long_pieces.h"
#include "hash/sha256_lanes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

// Content flows one way: the reading thread reads it into batches and hands each full batch
// over, the hashers hash what they are handed, and the reading thread delivers the digests,
// batch by batch in content order, to the sink. Pieces too long to batch take their own path
// (long_pieces), all on the reading thread.
struct piece_stream {
    hash_plan plan;
    std::int64_t bytes_fed = 0;
    digest_sink sink;

    // Batches are numbered in content order: `reading` is the number of the batch being read
    // into (null `current` until it has a slot), and batches `delivered` .. `reading`-1 are
    // handed over, their digests not yet delivered.
    batch_ring ring;
    batch *current = nullptr;
    std::uint64_t reading = 0;
    std::uint64_t delivered = 0;
    bool hashers_started = false;
    hash_workers workers;

    std::unique_ptr<long_pieces> long_path; // instead of batches, for pieces too long to batch

    // v2 and hybrid: bytes fed while `taking_leaves` are one file's content, whose leaves are
    // hashed with the batches and go to `leaves` as the batches are delivered. A v2 stream has
    // no v1 pieces at all.
    bool v1_pieces = true;
    bool taking_leaves = false;
    leaf_sink leaves;

    ~piece_stream() { stop_hash_workers(workers); }
};

void piece_stream_deleter::operator()(piece_stream *stream) const {
    delete stream;
}

namespace {
bool start_long_path(piece_stream &stream) {
    stream.long_path.reset(new (std::nothrow) long_pieces);
    return stream.long_path && long_pieces_start(*stream.long_path, stream.plan.piece_length,
                                                 stream.plan.long_piece_chunk);
}

bool start_batches(piece_stream &stream) {
    stream.workers.ring = &stream.ring;
    return make_batch_slots(stream.ring, stream.plan.batches_in_flight);
}
} // namespace

piece_stream_ptr piece_stream_start(const hash_plan &plan, digest_sink sink) {
    piece_stream_ptr stream(new (std::nothrow) piece_stream);
    if (!stream) {
        return nullptr;
    }
    stream->plan = plan;
    stream->sink = std::move(sink);
    const bool started = plan.long_pieces ? start_long_path(*stream) : start_batches(*stream);
    return started ? std::move(stream) : nullptr;
}

piece_stream_ptr piece_stream_start(std::int32_t piece_length, std::int64_t content_limit,
                                    digest_sink sink) {
    return piece_stream_start(plan_hashing({piece_length, content_limit, hash_thread_count()}),
                              std::move(sink));
}

namespace {

// After the announced size was read, the file must be at its end.
feed_status expect_end(int fd) {
    unsigned char probe = 0;
    const ssize_t got = read_some(fd, &probe, 1);
    if (got < 0) {
        return feed_status::read_error;
    }
    return got == 0 ? feed_status::ok : feed_status::changed;
}

bool beyond_limit(const piece_stream &stream, std::int64_t size) {
    return stream.plan.content_limit >= 0 && size > stream.plan.content_limit - stream.bytes_fed;
}

// A digest that could not be computed ends the run: the hashing routines fail only when they
// cannot get memory.
feed_status deliver_oldest(piece_stream &stream) {
    wait_hashed(stream.workers, stream.delivered);
    batch &oldest = *batch_slot(stream.ring, stream.delivered);
    ++stream.delivered;
    oldest.fill = 0;
    if (!oldest.hash_ok) {
        return feed_status::out_of_memory;
    }
    if (!stream.sink(oldest.digests.data(), oldest.digest_count)) {
        return feed_status::sink_failed;
    }
    const std::size_t leaf_count = (oldest.leaf_bytes + sha256_leaf_bytes - 1) / sha256_leaf_bytes;
    oldest.leaf_bytes = 0;
    // A tree fails to take its leaves only when its memory runs out.
    return leaf_count == 0 || stream.leaves(oldest.leaf_digests.data(), leaf_count)
               ? feed_status::ok
               : feed_status::out_of_memory;
}

// Gives the batch numbered `reading` a slot to be read into: once every slot holds a batch
// whose digests are still to be delivered, the oldest of them is delivered first.
feed_status take_batch(piece_stream &stream) {
    if (stream.reading - stream.delivered == stream.ring.slots.size()) {
        const feed_status delivered = deliver_oldest(stream);
        if (delivered != feed_status::ok) {
            return delivered;
        }
    }
    std::unique_ptr<batch> &slot = batch_slot(stream.ring, stream.reading);
    if (!slot) {
        slot =
            new_batch(stream.plan.buffer_bytes, static_cast<std::size_t>(stream.plan.piece_length));
    }
    stream.current = slot.get();
    return stream.current != nullptr ? feed_status::ok : feed_status::out_of_memory;
}

// Hands the batch being read over for hashing; its last piece may be short at the content's end.
void hand_over_current(piece_stream &stream) {
    batch &work = *stream.current;
    stream.current = nullptr;
    work.digest_count =
        stream.v1_pieces ? (work.fill + work.piece_length - 1) / work.piece_length : 0;
    hand_over_batch(stream.workers, stream.reading);
    ++stream.reading;
}

// Makes sure there is a batch to take bytes and tells how many it can take.
feed_status batch_room(piece_stream &stream, std::int64_t &room) {
    if (stream.current == nullptr) {
        const feed_status taken = take_batch(stream);
        if (taken != feed_status::ok) {
            return taken;
        }
    }
    if (stream.taking_leaves && stream.current->leaf_digests.empty() &&
        !make_leaf_room(*stream.current)) {
        return feed_status::out_of_memory;
    }
    room = static_cast<std::int64_t>(stream.current->capacity - stream.current->fill);
    return feed_status::ok;
}

// Counts bytes just placed in the current batch; a full batch goes to be hashed. The hashers
// start with the first full batch, so content that never fills one starts no thread.
void commit_batch_bytes(piece_stream &stream, std::int64_t count) {
    stream.current->fill += static_cast<std::size_t>(count);
    if (stream.taking_leaves) {
        stream.current->leaf_bytes += static_cast<std::size_t>(count);
    }
    if (stream.current->fill == stream.plan.batch_bytes) {
        if (!stream.hashers_started) {
            start_hash_workers(stream.workers, stream.plan.hasher_threads);
            stream.hashers_started = true;
        }
        hand_over_current(stream);
    }
}

// Reads up to `wanted` bytes of the file into the current batch. Where the batch has room, one
// byte more is asked for: a regular file that returns less than asked is at its end, which
// spares the extra read that checks for it.
feed_status read_into_batch(piece_stream &stream, int fd, std::int64_t wanted, std::int64_t &got,
                            bool &at_end) {
    std::int64_t room = 0;
    const feed_status status = batch_room(stream, room);
    if (status != feed_status::ok) {
        return status;
    }
    const std::int64_t asked = std::min(room, wanted + 1);
    batch &work = *stream.current;
    const ssize_t count =
        read_some(fd, work.data.get() + work.fill, static_cast<std::size_t>(asked));
    if (count < 0) {
        return feed_status::read_error;
    }
    if (count > wanted) {
        return feed_status::changed; // the file has grown past its announced size
    }
    got = count;
    at_end = count == wanted && count < asked;
    commit_batch_bytes(stream, count);
    return feed_status::ok;
}

feed_status copy_into_batch(piece_stream &stream, const unsigned char *data, std::int64_t size,
                            std::int64_t &got) {
    std::int64_t room = 0;
    const feed_status status = batch_room(stream, room);
    if (status != feed_status::ok) {
        return status;
    }
    got = std::min(room, size);
    std::memcpy(stream.current->data.get() + stream.current->fill, data,
                static_cast<std::size_t>(got));
    commit_batch_bytes(stream, got);
    return feed_status::ok;
}

feed_status read_into_long_piece(piece_stream &stream, int fd, std::int64_t wanted,
                                 std::int64_t &got, bool & /*at_end*/) {
    long_pieces &pieces = *stream.long_path;
    const std::int64_t size =
        std::min({wanted, long_piece_room(pieces), static_cast<std::int64_t>(pieces.chunk_size)});
    const ssize_t count = read_some(fd, pieces.chunk.get(), static_cast<std::size_t>(size));
    if (count < 0) {
        return feed_status::read_error;
    }
    got = count;
    return long_pieces_take(pieces, pieces.chunk.get(), count, stream.sink);
}

feed_status copy_into_long_piece(long_pieces &pieces, const digest_sink &sink,
                                 const unsigned char *data, std::int64_t size, std::int64_t &got) {
    got = std::min(size, long_piece_room(pieces));
    return long_pieces_take(pieces, data, got, sink);
}

void count_fed(piece_stream &stream, std::int64_t count) {
    stream.bytes_fed += count;
    progress_bytes(count);
}
} // namespace

feed_status piece_stream_feed(piece_stream &stream, int fd, std::int64_t size) {
    if (beyond_limit(stream, size)) {
        return feed_status::changed;
    }
    std::int64_t remaining = size;
    bool at_end = false;
    while (remaining > 0) {
        std::int64_t got = 0;
        const feed_status status = stream.long_path
                                       ? read_into_long_piece(stream, fd, remaining, got, at_end)
                                       : read_into_batch(stream, fd, remaining, got, at_end);
        if (status != feed_status::ok) {
            return status;
        }
        if (got == 0) {
            return feed_status::changed; // the file ended before its announced size
        }
        remaining -= got;
        count_fed(stream, got);
    }
    return at_end ? feed_status::ok : expect_end(fd);
}

feed_status piece_stream_feed_bytes(piece_stream &stream, const unsigned char *data,
                                    std::size_t size) {
    auto remaining = static_cast<std::int64_t>(size);
    if (beyond_limit(stream, remaining)) {
        return feed_status::changed;
    }
    while (remaining > 0) {
        std::int64_t got = 0;
        const feed_status status =
            stream.long_path
                ? copy_into_long_piece(*stream.long_path, stream.sink, data, remaining, got)
                : copy_into_batch(stream, data, remaining, got);
        if (status != feed_status::ok) {
            return status;
        }
        data += got;
        remaining -= got;
        count_fed(stream, got);
    }
    return feed_status::ok;
}

feed_status piece_stream_finish(piece_stream &stream) {
    return stream.long_path ? long_pieces_finish(*stream.long_path, stream.sink)
                            : piece_stream_deliver(stream);
}

feed_status piece_stream_deliver(piece_stream &stream) {
    if (stream.current != nullptr && stream.current->fill > 0) {
        hand_over_current(stream);
    }
    while (stream.delivered < stream.reading) {
        const feed_status delivered = deliver_oldest(stream);
        if (delivered != feed_status::ok) {
            return delivered;
        }
    }
    return feed_status::ok;
}

int report_feed_failure(feed_status status, const char *path) {
    switch (status) {
    case feed_status::ok:
        return 0;
    case feed_status::read_error:
        report_failure("could not read file %s: %m\n", path);
        break;
    case feed_status::changed:
        report_failure("file %s changed while being read\n", path);
        break;
    case feed_status::out_of_memory:
        report_failure("out of memory\n");
        break;
    case feed_status::sink_failed:
        break;
    }
    return 1;
}

std::int64_t piece_stream_bytes(const piece_stream &stream) {
    return stream.bytes_fed;
}

piece_stream_ptr piece_stream_start_leaves(const hash_plan &plan) {
    piece_stream_ptr stream = piece_stream_start(
        plan, [](const unsigned char * /*digests*/, std::size_t /*count*/) { return true; });
    if (stream) {
        stream->v1_pieces = false;
    }
    return stream;
}

piece_stream_ptr piece_stream_start_leaves(std::int64_t content_limit) {
    return piece_stream_start_leaves(
        plan_hashing({leaf_batch_piece_length, content_limit, hash_thread_count()}));
}

bool piece_stream_takes_leaves(const piece_stream &stream, std::int64_t size) {
    return !stream.long_path && size > static_cast<std::int64_t>(stream.plan.batch_bytes);
}

feed_status piece_stream_feed_leaves(piece_stream &stream, int fd, std::int64_t size,
                                     leaf_sink leaves) {
    // The file's first leaf starts a batch, so each batch's leaves begin at its first byte.
    if (stream.current != nullptr && stream.current->fill > 0) {
        hand_over_current(stream);
    }
    stream.leaves = std::move(leaves);
    stream.taking_leaves = true;
    const feed_status status = piece_stream_feed(stream, fd, size);
    stream.taking_leaves = false;
    return status;
}
