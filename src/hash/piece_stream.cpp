#include "hash/piece_stream.h"

#include "common/console.h"
#include "common/handles.h"
#include "common/progress.h"
#include "hash/batch.h"
#include "hash/hash_workers.h"
#include "hash/long_pieces.h"

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
    std::uint64_t mapped_end = 0; // one past the number of the last batch mapped, not read into
    bool hashers_started = false;
    hash_workers workers;

    std::unique_ptr<long_pieces> long_path; // instead of batches, for pieces too long to batch

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
    oldest.window = mapped_window{};
    if (oldest.content_lost) {
        return feed_status::changed;
    }
    if (!oldest.hash_ok) {
        return feed_status::out_of_memory;
    }
    return stream.sink(oldest.digests.data(), oldest.digest_count) ? feed_status::ok
                                                                   : feed_status::sink_failed;
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
    work.digest_count = (work.fill + work.piece_length - 1) / work.piece_length;
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
    room = static_cast<std::int64_t>(stream.current->capacity - stream.current->fill);
    return feed_status::ok;
}

// Counts bytes just placed in the current batch; a full batch goes to be hashed. The hashers
// start with the first full batch, so content that never fills one starts no thread.
void commit_batch_bytes(piece_stream &stream, std::int64_t count) {
    stream.current->fill += static_cast<std::size_t>(count);
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

// Where the batch being read into is empty and the file holds a whole batch more, the batch
// takes the pieces from a mapping of the file instead of reading them; `got` is 0 when it
// cannot (then the bytes are read as usual), and `mapping` turns false once the file cannot be
// mapped.
feed_status map_into_batch(piece_stream &stream, int fd, std::int64_t wanted, std::int64_t &got,
                           bool &mapping) {
    got = 0;
    const auto window_size = static_cast<std::int64_t>(stream.plan.batch_bytes);
    if (wanted < window_size || (stream.current != nullptr && stream.current->fill > 0)) {
        return feed_status::ok;
    }
    std::int64_t room = 0;
    const feed_status status = batch_room(stream, room);
    const off_t offset = lseek(fd, 0, SEEK_CUR);
    mapping = status == feed_status::ok && offset >= 0 && room == window_size &&
              map_window(fd, offset, stream.plan.batch_bytes, stream.current->window);
    if (!mapping) {
        return status;
    }
    if (lseek(fd, offset + window_size, SEEK_SET) < 0) {
        stream.current->window = mapped_window{};
        return feed_status::read_error;
    }
    got = window_size;
    stream.mapped_end = stream.reading + 1;
    commit_batch_bytes(stream, got);
    return feed_status::ok;
}

// Batches mapped from this file report its loss of pages as a change of this file: they are
// all delivered before the next file starts.
feed_status deliver_mapped(piece_stream &stream, std::uint64_t first_mapped) {
    while (stream.mapped_end > first_mapped && stream.delivered < stream.mapped_end) {
        const feed_status delivered = deliver_oldest(stream);
        if (delivered != feed_status::ok) {
            return delivered;
        }
    }
    return feed_status::ok;
}
} // namespace

feed_status piece_stream_feed(piece_stream &stream, int fd, std::int64_t size) {
    if (beyond_limit(stream, size)) {
        return feed_status::changed;
    }
    std::int64_t remaining = size;
    bool at_end = false;
    bool mapping = !stream.long_path && worth_mapping(size);
    const std::uint64_t first_mapped = stream.reading;
    while (remaining > 0) {
        std::int64_t got = 0;
        feed_status status =
            mapping ? map_into_batch(stream, fd, remaining, got, mapping) : feed_status::ok;
        if (status == feed_status::ok && got == 0) {
            status = stream.long_path ? read_into_long_piece(stream, fd, remaining, got, at_end)
                                      : read_into_batch(stream, fd, remaining, got, at_end);
        }
        if (status != feed_status::ok) {
            return status;
        }
        if (got == 0) {
            return feed_status::changed; // the file ended before its announced size
        }
        remaining -= got;
        count_fed(stream, got);
    }
    const feed_status mapped = deliver_mapped(stream, first_mapped);
    if (mapped != feed_status::ok) {
        return mapped;
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
    if (stream.long_path) {
        return long_pieces_finish(*stream.long_path, stream.sink);
    }
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
