#include "hash/piece_stream.h"

#include "common/handles.h"
#include "common/progress.h"
#include "hash/batch.h"
#include "hash/hash_workers.h"
#include "hash/long_pieces.h"
#include "hash/map_choice.h"
#include "hash/mapped_content.h"
#include "hash/sha1_lanes.h"
#include "hash/sha256_lanes.h"
#include "hash/sha256_single.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>
#include <vector>

// Content flows one way along the path its plan chose (hash_plan.h): the reading thread reads
// it into piece batches and hands each full batch over, the hashers hash what they are handed,
// and the reading thread delivers the digests, unit by unit in content order, to the sink.
// Pieces too long to batch take their own path (long_pieces), all on the reading thread.
//
// Pieces too long for a batch to hold 16 of them are instead hashed in lane groups where a file
// holds them whole (lane_group.h): the reading thread describes each group and hands it over in
// the same ring, in content order, and whoever takes it up reads and hashes it. What a group
// cannot take goes the ways above: the piece that spans two files, bytes already read, the
// file's last partial piece. A group of a single lane still pays: it reads through a chunk
// rather than holding the piece whole, and it runs beside the other work.
//
// Content is copied into buffers of our own (read() for batches, pread() for lane groups), except
// in large files where hashing from mappings was measured cheaper (map_choice.h): there, an empty
// batch over a whole window of the file is mapped instead of read into, and a lane group maps
// each lane's next 2 MiB instead of reading its chunks. A mapped batch or group reports the file
// cut short under it when it is hashed, so a feed that made a choice waits for every unit it
// handed over before it returns: their failures are this file's, and the choice goes with it.
struct piece_stream {
    hash_plan plan;
    std::int64_t bytes_fed = 0;
    digest_sink sink;
    int read_errno = 0; // the system's error number of the read that failed, kept as a value

    // Units of work are numbered in content order: `reading` is the number of the piece batch
    // being read into (null `current` until it has a slot), and units `delivered` .. `reading`-1
    // are handed over, their digests not yet delivered.
    work_ring ring;
    work_unit *current = nullptr;
    piece_batch *filling = nullptr; // the kind of `current`
    std::uint64_t reading = 0;
    std::uint64_t delivered = 0;
    bool hashers_started = false;
    hash_workers workers;

    std::unique_ptr<long_pieces> long_path; // made on the lane_groups_and_long_pieces path

    // The choice between reading and mapping for the file being fed, when it is large enough.
    std::unique_ptr<map_choice> choice;

    // v2 and hybrid: bytes fed while `taking_leaves` are one file's content, whose leaves are
    // hashed with the units of work and go to `leaves` as they are delivered.
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

bool start_ring(piece_stream &stream) {
    stream.workers.ring = &stream.ring;
    return make_ring_slots(stream.ring,
                           std::max(stream.plan.batches_in_flight, stream.plan.lanes.slots));
}
} // namespace

piece_stream_ptr piece_stream_start(const hash_plan &plan, digest_sink sink) {
    piece_stream_ptr stream(new (std::nothrow) piece_stream);
    if (!stream) {
        return nullptr;
    }
    stream->plan = plan;
    stream->sink = std::move(sink);
    const bool started =
        (!has_long_pieces(plan) || start_long_path(*stream)) && start_ring(*stream);
    return started ? std::move(stream) : nullptr;
}

piece_stream_ptr piece_stream_start(std::int32_t piece_length, std::int64_t content_limit,
                                    unsigned processors, digest_sink sink) {
    return piece_stream_start(plan_hashing_here(piece_length, content_limit, processors),
                              std::move(sink));
}

hash_plan plan_hashing_here(std::int32_t piece_length, std::int64_t content_limit,
                            unsigned processors) {
    return plan_hashing({piece_length, content_limit, processors,
                         hash_path_lanes(active_hash_path()), mapping_forced()});
}

namespace {

// A read on this thread failed: its cause is taken from errno at once, before any other call.
feed_status read_failed(piece_stream &stream) {
    stream.read_errno = errno;
    return feed_status::read_error;
}

// After the announced size was read, the file must be at its end.
feed_status expect_end(piece_stream &stream, int fd) {
    unsigned char probe = 0;
    const ssize_t got = read_some(fd, &probe, 1);
    if (got < 0) {
        return read_failed(stream);
    }
    return got == 0 ? feed_status::ok : feed_status::changed;
}

bool beyond_limit(const piece_stream &stream, std::int64_t size) {
    return stream.plan.content_limit >= 0 && size > stream.plan.content_limit - stream.bytes_fed;
}

void start_hashers(piece_stream &stream) {
    if (!stream.hashers_started) {
        start_hash_workers(stream.workers,
                           std::max(stream.plan.hasher_threads, stream.plan.lanes.threads));
        stream.hashers_started = true;
    }
}

std::size_t leaves_in(std::size_t bytes) {
    return (bytes + sha256_leaf_bytes - 1) / sha256_leaf_bytes;
}

// Waits for the oldest batch not yet delivered and hands its digests to the sink, unless
// `dropped`. A group's bytes are counted as read only now: the reading thread alone keeps the
// count.
feed_status deliver_oldest(piece_stream &stream, bool dropped = false) {
    wait_hashed(stream.workers, stream.delivered);
    work_unit &oldest = *ring_slot(stream.ring, stream.delivered);
    ++stream.delivered;
    if (dropped) {
        return feed_status::ok;
    }
    if (oldest.outcome != feed_status::ok) {
        stream.read_errno = oldest.error;
        return oldest.outcome;
    }
    if (const auto *group = std::get_if<lane_group>(&oldest.kind)) {
        progress_bytes(group->piece_length * static_cast<std::int64_t>(group->lanes));
    }
    if (!stream.sink(oldest.digests.data(), oldest.digest_count)) {
        return feed_status::sink_failed;
    }
    const std::size_t leaf_count = leaves_in(oldest.leaf_bytes);
    oldest.leaf_bytes = 0;
    // A tree fails to take its leaves only when its memory runs out.
    return leaf_count == 0 || stream.leaves(oldest.leaf_digests.data(), leaf_count)
               ? feed_status::ok
               : feed_status::out_of_memory;
}

// Gives the batch numbered `reading` a slot with a buffer of at least `size` bytes: once every
// slot holds a batch whose digests are still to be delivered, the oldest of them is delivered
// first. A slot's buffer is used again when large enough, else made anew.
feed_status take_slot(piece_stream &stream, std::size_t size, work_unit *&taken) {
    if (stream.reading - stream.delivered == stream.ring.slots.size()) {
        const feed_status delivered = deliver_oldest(stream);
        if (delivered != feed_status::ok) {
            return delivered;
        }
    }
    std::unique_ptr<work_unit> &slot = ring_slot(stream.ring, stream.reading);
    if (!slot || slot->buffer_size < size) {
        slot.reset(); // the old buffer goes before the new one comes
        slot = new_work_unit(size);
    }
    taken = slot.get();
    return taken != nullptr ? feed_status::ok : feed_status::out_of_memory;
}

feed_status take_batch(piece_stream &stream) {
    const feed_status taken = take_slot(stream, stream.plan.buffer_bytes, stream.current);
    if (taken == feed_status::ok) {
        stream.current->leaf_bytes = 0;
        stream.current->window = mapped_window{};
        stream.current->choice = nullptr;
        stream.filling = &stream.current->kind.emplace<piece_batch>(piece_batch{
            stream.plan.buffer_bytes, 0, static_cast<std::size_t>(stream.plan.piece_length)});
    }
    return taken;
}

// Whether a piece batch is being read into and holds bytes already.
bool holds_content(const piece_stream &stream) {
    return stream.filling != nullptr && stream.filling->fill > 0;
}

// Hands the batch being read over for hashing; its last piece may be short at the content's end.
void hand_over_current(piece_stream &stream) {
    const piece_batch &held = *stream.filling;
    stream.current->digest_count =
        has_v1_pieces(stream.plan) ? (held.fill + held.piece_length - 1) / held.piece_length : 0;
    stream.current = nullptr;
    stream.filling = nullptr;
    hand_over_work(stream.workers, stream.reading);
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
    const std::size_t leaves = leaves_in(stream.filling->capacity);
    if (stream.taking_leaves && !make_leaf_room(*stream.current, leaves)) {
        return feed_status::out_of_memory;
    }
    room = static_cast<std::int64_t>(stream.filling->capacity - stream.filling->fill);
    return feed_status::ok;
}

// Counts bytes just placed in the current batch; a full batch goes to be hashed. The hashers
// start with the first full batch, so content that never fills one starts no thread.
void commit_batch_bytes(piece_stream &stream, std::int64_t count) {
    stream.filling->fill += static_cast<std::size_t>(count);
    if (stream.taking_leaves) {
        stream.current->leaf_bytes += static_cast<std::size_t>(count);
    }
    if (stream.filling->fill == stream.plan.batch_bytes) {
        start_hashers(stream);
        hand_over_current(stream);
    }
}

// Reads up to `wanted` bytes of the file into the current batch. When they are the file's
// `last` and the batch has room, one byte more is asked for: a regular file that returns less
// than asked is at its end, which spares the extra read that checks for it.
feed_status read_into_batch(piece_stream &stream, int fd, std::int64_t wanted, bool last,
                            std::int64_t &got, bool &at_end) {
    std::int64_t room = 0;
    const feed_status status = batch_room(stream, room);
    if (status != feed_status::ok) {
        return status;
    }
    const std::int64_t asked = std::min(room, last ? wanted + 1 : wanted);
    const ssize_t count = read_some(fd, stream.current->data.get() + stream.filling->fill,
                                    static_cast<std::size_t>(asked));
    if (count < 0) {
        return read_failed(stream);
    }
    if (count > wanted) {
        return feed_status::changed; // the file has grown past its announced size
    }
    got = count;
    at_end = last && count == wanted && count < asked;
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
    std::memcpy(stream.current->data.get() + stream.filling->fill, data,
                static_cast<std::size_t>(got));
    commit_batch_bytes(stream, got);
    return feed_status::ok;
}

// The leaves of bytes the long-piece path just read, handed on at once: every lane group of the
// file was delivered before (feed_in_groups). Reads are of whole blocks (the file starts on a
// piece boundary, the chunk and the piece are whole blocks) but the file's last: a file that
// returns less in between has ended early.
feed_status take_long_path_leaves(piece_stream &stream, std::int64_t asked, std::int64_t wanted,
                                  std::int64_t count) {
    if (count < asked && count < wanted) {
        return feed_status::changed;
    }
    const auto size = static_cast<std::size_t>(count);
    const std::size_t leaves = leaves_in(size);
    std::vector<unsigned char> &digests = stream.long_path->leaves;
    try {
        digests.resize(std::max(digests.size(), leaves * sha256_digest_size));
    } catch (const std::bad_alloc &) {
        return feed_status::out_of_memory;
    }
    const bool taken = sha256_leaves(stream.long_path->chunk.get(), size, digests.data()) &&
                       stream.leaves(digests.data(), leaves);
    return taken ? feed_status::ok : feed_status::out_of_memory;
}

feed_status read_into_long_piece(piece_stream &stream, int fd, std::int64_t wanted,
                                 std::int64_t &got) {
    long_pieces &pieces = *stream.long_path;
    const std::int64_t size =
        std::min({wanted, long_piece_room(pieces), static_cast<std::int64_t>(pieces.chunk_size)});
    const ssize_t count = read_some(fd, pieces.chunk.get(), static_cast<std::size_t>(size));
    if (count < 0) {
        return read_failed(stream);
    }
    got = count;
    const feed_status leaves = count > 0 && stream.taking_leaves
                                   ? take_long_path_leaves(stream, size, wanted, count)
                                   : feed_status::ok;
    return leaves != feed_status::ok
               ? leaves
               : long_pieces_take(pieces, pieces.chunk.get(), count, stream.sink);
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

// Whether the next bytes of the file can fill a batch as one window: a batch is empty, at least
// as long as a window's alignment, and the file holds it whole.
bool window_fits(const piece_stream &stream, std::int64_t wanted) {
    return stream.choice && !has_long_pieces(stream.plan) && !holds_content(stream) &&
           stream.plan.batch_bytes >= window_alignment &&
           wanted >= static_cast<std::int64_t>(stream.plan.batch_bytes);
}

// The batch takes the window from a mapping of the file, which is then moved past it; `got` is
// 0 when the file cannot be mapped, and the choice then reads it from now on.
feed_status map_into_batch(piece_stream &stream, int fd, std::int64_t &got) {
    const auto size = static_cast<std::int64_t>(stream.plan.batch_bytes);
    const off_t offset = lseek(fd, 0, SEEK_CUR);
    if (offset < 0 || !map_window(fd, offset, stream.plan.batch_bytes, stream.current->window)) {
        stream.choice->refused();
        return feed_status::ok;
    }
    if (lseek(fd, offset + size, SEEK_SET) < 0) {
        stream.current->window = mapped_window{};
        return read_failed(stream);
    }
    got = size;
    return feed_status::ok;
}

feed_status read_window_into_batch(piece_stream &stream, int fd, std::int64_t &got) {
    const ssize_t count = read_some(fd, stream.current->data.get(), stream.plan.batch_bytes);
    if (count < 0) {
        return read_failed(stream);
    }
    got = count;
    return feed_status::ok;
}

// Fills the empty batch with the next window of the file, mapped or read as the file's choice
// says, and times it while the choice is still being measured. `got` stays 0 when the window is
// to be read as any other bytes are.
feed_status fill_window(piece_stream &stream, int fd, std::int64_t &got) {
    const window_turn turn = stream.choice->next(stream.plan.batch_bytes);
    if (turn.source == content_source::read && !turn.timed) {
        return feed_status::ok;
    }
    std::int64_t room = 0;
    feed_status status = batch_room(stream, room);
    const std::int64_t started = thread_processor_ns();
    if (status == feed_status::ok) {
        status = turn.source == content_source::mapped ? map_into_batch(stream, fd, got)
                                                       : read_window_into_batch(stream, fd, got);
    }
    if (status != feed_status::ok || got == 0) {
        return status;
    }
    work_unit &unit = *stream.current;
    unit.choice = turn.timed ? stream.choice.get() : nullptr;
    unit.source = turn.source;
    unit.reader_ns = thread_processor_ns() - started;
    commit_batch_bytes(stream, got);
    return feed_status::ok;
}

// Reads the next `wanted` bytes of the file from its position, through batches or the long-piece
// path; `last` as for read_into_batch. Batches over whole windows of a large file take them as
// its choice says.
feed_status read_part(piece_stream &stream, int fd, std::int64_t wanted, bool last, bool &at_end) {
    while (wanted > 0) {
        std::int64_t got = 0;
        feed_status status =
            window_fits(stream, wanted) ? fill_window(stream, fd, got) : feed_status::ok;
        if (status == feed_status::ok && got == 0) {
            status = has_long_pieces(stream.plan)
                         ? read_into_long_piece(stream, fd, wanted, got)
                         : read_into_batch(stream, fd, wanted, last, got, at_end);
        }
        if (status != feed_status::ok) {
            return status;
        }
        if (got == 0) {
            return feed_status::changed; // the file ended before its announced size
        }
        wanted -= got;
        count_fed(stream, got);
    }
    return feed_status::ok;
}

feed_status read_to_end(piece_stream &stream, int fd, std::int64_t size) {
    bool at_end = false;
    const feed_status status = read_part(stream, fd, size, true, at_end);
    if (status != feed_status::ok) {
        return status;
    }
    return at_end ? feed_status::ok : expect_end(stream, fd);
}

// Hands over a group of whole pieces; a batch being read into holds whole pieces that come
// before them, so it goes first, full or not.
feed_status hand_over_group(piece_stream &stream, const lane_group &group) {
    if (holds_content(stream)) {
        hand_over_current(stream);
    }
    stream.current = nullptr; // an empty batch's slot is the group's
    stream.filling = nullptr;
    work_unit *work = nullptr;
    const feed_status taken = take_slot(stream, lane_group_bytes(group), work);
    if (taken != feed_status::ok) {
        return taken;
    }
    work->kind = group;
    work->digest_count = group.lanes;
    work->leaf_bytes = 0;
    if (stream.taking_leaves) {
        if (!make_leaf_room(*work, lane_group_leaves(group))) {
            return feed_status::out_of_memory;
        }
        work->leaf_bytes = group.lanes * static_cast<std::size_t>(group.piece_length);
    }
    advise_lane_group(group);
    start_hashers(stream);
    hand_over_work(stream.workers, stream.reading);
    ++stream.reading;
    stream.bytes_fed += group.piece_length * static_cast<std::int64_t>(group.lanes);
    return feed_status::ok;
}

// Hands over the file's whole pieces from `offset` on, 16 to a group, and moves `offset` past
// them. A file of few pieces is not spread over more, narrower groups to keep every thread
// busy: a group costs the 16-lane kernel the same however many lanes it fills, so two groups of
// 8 cost twice the processor time of one of 16 (16 pieces of 256 MiB, measured here: 1.15 s of
// user time against 0.61 s, and a third longer from start to end).
// Groups that keep their pieces' leaves may be narrower (lanes_keeping_leaves).
feed_status hand_over_groups(piece_stream &stream, int fd, std::int64_t &offset, std::int64_t end) {
    const std::int64_t piece_length = stream.plan.piece_length;
    const std::size_t widest =
        stream.taking_leaves ? lanes_keeping_leaves(piece_length) : max_pieces_per_batch;
    while (end - offset >= piece_length) {
        const auto lanes = static_cast<std::size_t>(std::min<std::int64_t>(
            (end - offset) / piece_length, static_cast<std::int64_t>(widest)));
        const feed_status status =
            hand_over_group(stream, {fd, offset, piece_length, lanes, stream.plan.lanes.chunk,
                                     stream.choice.get()});
        if (status != feed_status::ok) {
            return status;
        }
        offset += piece_length * static_cast<std::int64_t>(lanes);
    }
    return feed_status::ok;
}

// The groups read the caller's file, which may be closed once the feed returns, and their
// failures are this file's: so a feed that handed over groups waits for every batch it handed
// over. The first failure in content order is the one told, with its cause; the groups come
// before the bytes read after them.
feed_status settle_groups(piece_stream &stream, feed_status read_after) {
    const int read_after_errno = stream.read_errno;
    feed_status first = feed_status::ok;
    while (stream.delivered < stream.reading) {
        const bool failed = first != feed_status::ok;
        const feed_status delivered = deliver_oldest(stream, failed);
        if (!failed && delivered != feed_status::ok) {
            first = delivered;
        }
    }
    if (first == feed_status::ok) {
        stream.read_errno = read_after_errno;
    }
    return first != feed_status::ok ? first : read_after;
}

// The bytes before the first whole piece complete a piece begun by earlier content; the groups
// take the whole pieces; the rest, read in order, begins a piece that later content or the
// end completes, and shows whether the file has grown.
feed_status feed_in_groups(piece_stream &stream, int fd, std::int64_t start, std::int64_t head,
                           std::int64_t size) {
    bool at_end = false;
    feed_status status = read_part(stream, fd, head, false, at_end);
    if (status != feed_status::ok) {
        return status;
    }
    std::int64_t offset = start + head;
    status = hand_over_groups(stream, fd, offset, start + size);
    if (status == feed_status::ok && stream.taking_leaves && has_long_pieces(stream.plan)) {
        // The long-piece path hands on the leaves of the rest as it reads it: the groups' go
        // first. Batches need no wait; they are delivered in content order.
        status = settle_groups(stream, feed_status::ok);
    }
    if (status == feed_status::ok && lseek(fd, offset, SEEK_SET) < 0) {
        status = read_failed(stream);
    }
    if (status == feed_status::ok) {
        status = read_to_end(stream, fd, start + size - offset);
    }
    return settle_groups(stream, status);
}

feed_status feed_file(piece_stream &stream, int fd, std::int64_t size) {
    if (!has_lane_groups(stream.plan)) {
        return read_to_end(stream, fd, size);
    }
    const std::int64_t piece_length = stream.plan.piece_length;
    const std::int64_t head =
        std::min(size, (piece_length - stream.bytes_fed % piece_length) % piece_length);
    if (size - head < piece_length) {
        return read_to_end(stream, fd, size);
    }
    // Groups read by offset from where the file stands now; a file that cannot tell (a pipe)
    // is read in order.
    const off_t start = lseek(fd, 0, SEEK_CUR);
    return start < 0 ? read_to_end(stream, fd, size)
                     : feed_in_groups(stream, fd, start, head, size);
}

// Whether any window of a file could be mapped: by a lane group, or by a batch as long as one.
bool takes_windows(const hash_plan &plan) {
    return has_lane_groups(plan) || plan.batch_bytes >= window_alignment;
}

} // namespace

feed_status piece_stream_feed(piece_stream &stream, int fd, std::int64_t size) {
    if (beyond_limit(stream, size)) {
        return feed_status::changed;
    }
    if (!takes_windows(stream.plan)) {
        return feed_file(stream, fd, size);
    }
    stream.choice = choice_for_file(size);
    if (!stream.choice) {
        return feed_file(stream, fd, size);
    }
    const feed_status status = settle_groups(stream, feed_file(stream, fd, size));
    if (stream.current != nullptr) {
        stream.current->choice = nullptr; // a trial batch left unfilled is not timed whole
    }
    stream.choice.reset();
    return status;
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
            has_long_pieces(stream.plan)
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
    // Every feed that handed over lane groups waited for them, so their digests are out.
    return has_long_pieces(stream.plan) ? long_pieces_finish(*stream.long_path, stream.sink)
                                        : piece_stream_deliver(stream);
}

namespace {
feed_status deliver_handed_over(piece_stream &stream) {
    while (stream.delivered < stream.reading) {
        const feed_status delivered = deliver_oldest(stream);
        if (delivered != feed_status::ok) {
            return delivered;
        }
    }
    return feed_status::ok;
}
} // namespace

feed_status piece_stream_deliver(piece_stream &stream) {
    if (holds_content(stream)) {
        hand_over_current(stream);
    }
    return deliver_handed_over(stream);
}

feed_status piece_stream_deliver_leaves(piece_stream &stream) {
    const feed_status delivered = deliver_handed_over(stream);
    work_unit *current = stream.current;
    if (delivered != feed_status::ok || current == nullptr || current->leaf_bytes == 0) {
        return delivered;
    }
    const std::size_t leaf_count = leaves_in(current->leaf_bytes);
    const bool hashed =
        sha256_leaves(current->data.get(), current->leaf_bytes, current->leaf_digests.data());
    current->leaf_bytes = 0;
    return hashed && stream.leaves(current->leaf_digests.data(), leaf_count)
               ? feed_status::ok
               : feed_status::out_of_memory;
}

int piece_stream_read_error(const piece_stream &stream) {
    return stream.read_errno;
}

std::int64_t piece_stream_bytes(const piece_stream &stream) {
    return stream.bytes_fed;
}

feed_status piece_stream_feed_leaves(piece_stream &stream, int fd, std::int64_t size,
                                     leaf_sink leaves) {
    // The file's first leaf starts a batch, so each batch's leaves begin at its first byte.
    if (holds_content(stream)) {
        hand_over_current(stream);
    }
    stream.leaves = std::move(leaves);
    stream.taking_leaves = true;
    const feed_status status = piece_stream_feed(stream, fd, size);
    stream.taking_leaves = false;
    return status;
}
