#include "hash/piece_stream.h"

#include "common/console.h"
#include "common/progress.h"
#include "hash/batch.h"
#include "hash/hash_workers.h"
#include "hash/sha1_single.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <new>
#include <unistd.h>
#include <vector>

namespace {
// Pieces are read into batches of up to 16 (the widest group the hashing paths take) and at
// most this many bytes, so that memory stays bounded whatever the piece length.
constexpr std::int64_t batch_byte_budget = std::int64_t{16} << 20;

// Longer pieces are not held whole: each is hashed incrementally as its bytes arrive, through a
// read buffer of this size.
constexpr std::int64_t longest_batched_piece = std::int64_t{32} << 20;
constexpr std::int64_t long_piece_chunk = std::int64_t{4} << 20;

// All batches together stay within this, whatever the number of processors.
constexpr std::int64_t in_flight_byte_budget = std::int64_t{160} << 20;

// Hashing of pieces too long to batch: one running digest over the current piece.
struct long_piece_state {
    sha1_single digest{};
    std::int64_t piece_fill = 0;
};
} // namespace

struct piece_stream {
    std::int64_t piece_length = 0;
    std::int64_t batch_capacity = 0; // bytes of a full batch; a multiple of the piece length
    std::int64_t content_limit = -1;
    std::int64_t bytes_fed = 0;
    digest_sink sink;

    // The batch being read into, the batches handed over (oldest first) and the reusable ones.
    batch *current = nullptr;
    std::deque<batch *> in_flight;
    std::vector<batch *> spare;
    std::vector<std::unique_ptr<batch>> owned;
    std::size_t batch_limit = 1;
    unsigned thread_count = 0;
    hash_workers workers;

    long_piece_state long_piece;
    content_buffer chunk;
    std::int64_t chunk_size = 0;

    ~piece_stream() { stop_hash_workers(workers); }
};

void piece_stream_deleter::operator()(piece_stream *stream) const {
    delete stream;
}

namespace {
bool is_long_piece(const piece_stream &stream) {
    return stream.piece_length > longest_batched_piece;
}

// A batch never holds more than the whole content, so a small file costs only its own size.
std::int64_t batch_size_for(const piece_stream &stream) {
    return stream.content_limit < 0 ? stream.batch_capacity
                                    : std::min(stream.batch_capacity, stream.content_limit);
}

bool start_long_pieces(piece_stream &stream) {
    stream.chunk_size = stream.content_limit < 0 ? long_piece_chunk
                                                 : std::min(long_piece_chunk, stream.content_limit);
    if (stream.chunk_size > 0) {
        stream.chunk = allocate_content_buffer(static_cast<std::size_t>(stream.chunk_size));
    }
    return sha1_single_begin(stream.long_piece.digest) && (stream.chunk_size == 0 || stream.chunk);
}
} // namespace

piece_stream_ptr piece_stream_start(std::int32_t piece_length, std::int64_t content_limit,
                                    digest_sink sink) {
    piece_stream_ptr stream(new (std::nothrow) piece_stream);
    if (!stream) {
        return nullptr;
    }
    stream->piece_length = piece_length;
    stream->content_limit = content_limit;
    stream->sink = std::move(sink);
    if (is_long_piece(*stream)) {
        return start_long_pieces(*stream) ? std::move(stream) : nullptr;
    }
    const std::int64_t pieces = std::clamp<std::int64_t>(
        batch_byte_budget / piece_length, 1, static_cast<std::int64_t>(max_pieces_per_batch));
    stream->batch_capacity = pieces * piece_length;
    // Enough batches for every thread to hash one while the next is being read, within a memory
    // budget that also holds on machines with many processors.
    const auto affordable = static_cast<unsigned>(
        std::max<std::int64_t>(3, in_flight_byte_budget / stream->batch_capacity));
    stream->batch_limit = std::min(hash_thread_count() + 2, affordable);
    // One processor is left to the reading thread, which also hashes whenever it would wait for
    // a batch; a thread more than processors only made them take turns.
    stream->thread_count = stream->batch_limit - 3;
    return stream;
}

namespace {
ssize_t read_some(int fd, void *into, std::size_t size) {
    ssize_t got = 0;
    do {
        got = read(fd, into, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

// After the announced size was read, the file must be at its end.
feed_status expect_end(int fd) {
    unsigned char probe = 0;
    const ssize_t got = read_some(fd, &probe, 1);
    if (got < 0) {
        return feed_status::read_error;
    }
    return got == 0 ? feed_status::ok : feed_status::changed;
}

// A digest that could not be computed ends the run: the hashing routines fail only when they
// cannot get memory.
feed_status deliver_oldest(piece_stream &stream) {
    batch *oldest = stream.in_flight.front();
    wait_hashed(stream.workers, *oldest);
    stream.in_flight.pop_front();
    oldest->fill = 0;
    stream.spare.push_back(oldest);
    if (!oldest->hash_ok) {
        return feed_status::out_of_memory;
    }
    return stream.sink(oldest->digests.data(), oldest->digest_count) ? feed_status::ok
                                                                     : feed_status::sink_failed;
}

batch *new_batch(piece_stream &stream) {
    std::unique_ptr<batch> made(new (std::nothrow) batch);
    if (!made) {
        return nullptr;
    }
    made->capacity = static_cast<std::size_t>(batch_size_for(stream));
    made->piece_length = static_cast<std::size_t>(stream.piece_length);
    made->data = allocate_content_buffer(made->capacity);
    if (!made->data) {
        return nullptr;
    }
    stream.owned.push_back(std::move(made));
    return stream.owned.back().get();
}

// Finds a batch to read into: a spare one, a new one while under the limit, or the oldest
// handed-over one once its digests are delivered.
feed_status take_batch(piece_stream &stream) {
    while (stream.spare.empty() && stream.owned.size() >= stream.batch_limit) {
        const feed_status delivered = deliver_oldest(stream);
        if (delivered != feed_status::ok) {
            return delivered;
        }
    }
    if (!stream.spare.empty()) {
        stream.current = stream.spare.back();
        stream.spare.pop_back();
        return feed_status::ok;
    }
    stream.current = new_batch(stream);
    return stream.current != nullptr ? feed_status::ok : feed_status::out_of_memory;
}

// Takes the current batch out of reading; its last piece may be short at the content's end.
batch &seal_current(piece_stream &stream) {
    batch &work = *stream.current;
    stream.current = nullptr;
    work.digest_count = (work.fill + work.piece_length - 1) / work.piece_length;
    return work;
}

void hand_over_current(piece_stream &stream) {
    batch &work = seal_current(stream);
    if (stream.workers.threads.empty() && stream.thread_count > 0) {
        start_hash_workers(stream.workers, stream.thread_count);
    }
    submit_batch(stream.workers, work);
    stream.in_flight.push_back(&work);
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

// Counts bytes just placed in the current batch; a full batch goes to be hashed.
void commit_batch_bytes(piece_stream &stream, std::int64_t count) {
    stream.current->fill += static_cast<std::size_t>(count);
    if (static_cast<std::int64_t>(stream.current->fill) == stream.batch_capacity) {
        hand_over_current(stream);
    }
}

// Reads up to `wanted` bytes of the file into the current batch. Where the batch has room, one
// byte more is asked for: a regular file that returns less than asked is at its end, which
// spares small files the extra read that checks for it.
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

feed_status finish_long_piece(piece_stream &stream) {
    unsigned char digest[20];
    sha1_single &running = stream.long_piece.digest;
    if (!sha1_single_end(running, digest) || !sha1_single_begin(running)) {
        return feed_status::out_of_memory;
    }
    stream.long_piece.piece_fill = 0;
    return stream.sink(digest, 1) ? feed_status::ok : feed_status::sink_failed;
}

// Takes bytes that fit in the current long piece into its running digest.
feed_status update_long_piece(piece_stream &stream, const unsigned char *data, std::int64_t size) {
    if (!sha1_single_update(stream.long_piece.digest, data, static_cast<std::size_t>(size))) {
        return feed_status::out_of_memory;
    }
    stream.long_piece.piece_fill += size;
    return stream.long_piece.piece_fill == stream.piece_length ? finish_long_piece(stream)
                                                               : feed_status::ok;
}

std::int64_t long_piece_room(const piece_stream &stream) {
    return stream.piece_length - stream.long_piece.piece_fill;
}

feed_status read_into_long_piece(piece_stream &stream, int fd, std::int64_t wanted,
                                 std::int64_t &got, bool & /*at_end*/) {
    const std::int64_t size = std::min({wanted, long_piece_room(stream), stream.chunk_size});
    const ssize_t count = read_some(fd, stream.chunk.get(), static_cast<std::size_t>(size));
    if (count < 0) {
        return feed_status::read_error;
    }
    got = count;
    return update_long_piece(stream, stream.chunk.get(), count);
}

feed_status copy_into_long_piece(piece_stream &stream, const unsigned char *data, std::int64_t size,
                                 std::int64_t &got) {
    got = std::min(size, long_piece_room(stream));
    return update_long_piece(stream, data, got);
}
} // namespace

feed_status piece_stream_feed(piece_stream &stream, int fd, std::int64_t size) {
    std::int64_t remaining = size;
    bool at_end = false;
    while (remaining > 0) {
        std::int64_t got = 0;
        const feed_status status = is_long_piece(stream)
                                       ? read_into_long_piece(stream, fd, remaining, got, at_end)
                                       : read_into_batch(stream, fd, remaining, got, at_end);
        if (status != feed_status::ok) {
            return status;
        }
        if (got == 0) {
            return feed_status::changed; // the file ended before its announced size
        }
        remaining -= got;
        stream.bytes_fed += got;
        progress_bytes(got);
    }
    return at_end ? feed_status::ok : expect_end(fd);
}

feed_status piece_stream_feed_bytes(piece_stream &stream, const unsigned char *data,
                                    std::size_t size) {
    auto remaining = static_cast<std::int64_t>(size);
    while (remaining > 0) {
        std::int64_t got = 0;
        const feed_status status = is_long_piece(stream)
                                       ? copy_into_long_piece(stream, data, remaining, got)
                                       : copy_into_batch(stream, data, remaining, got);
        if (status != feed_status::ok) {
            return status;
        }
        data += got;
        remaining -= got;
        stream.bytes_fed += got;
        progress_bytes(got);
    }
    return feed_status::ok;
}

feed_status piece_stream_finish(piece_stream &stream) {
    if (is_long_piece(stream)) {
        return stream.long_piece.piece_fill > 0 ? finish_long_piece(stream) : feed_status::ok;
    }
    if (stream.current != nullptr && stream.current->fill > 0) {
        if (stream.workers.threads.empty() && stream.in_flight.empty()) {
            // Content that fits in one batch is hashed here: no thread is worth starting.
            batch &work = seal_current(stream);
            work.hash_ok = hash_batch(work);
            work.hashed = true;
            stream.in_flight.push_back(&work);
        } else {
            hand_over_current(stream);
        }
    }
    while (!stream.in_flight.empty()) {
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
