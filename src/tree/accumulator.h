#pragma once
#include "common/content_sink.h"
#include "hash/piece_stream.h"

#include <cstdint>

// The directory torrent's piece accumulator: the content of every added file, in the order of
// the file list, is one stream cut into pieces regardless of where files end. Digests of the
// completed pieces are kept until the stream is finished. One accumulator exists per run.

// `content_limit` is the whole content's size when known in advance, or -1. Returns 0, or 1
// after reporting that memory ran out.
int accumulator_start(std::int32_t piece_length, std::int64_t content_limit = -1);

// Feeds one open file, which must yield exactly `size` bytes.
feed_status accumulator_feed(int fd, std::int64_t size);

// Feeds bytes of a file that were read ahead.
feed_status accumulator_feed_bytes(const unsigned char *data, std::size_t size);

// Hybrid: a file of `size` bytes whose leaves are better hashed with the pieces (see
// piece_stream_feed_leaves), which the next two do; the file starts on a piece boundary.
bool accumulator_takes_leaves(std::int64_t size);
feed_status accumulator_feed_leaves(int fd, std::int64_t size, leaf_sink leaves);
// Delivers every piece fed so far, and the leaves with them; the content must end on a piece
// boundary.
feed_status accumulator_deliver();
// Delivers the leaves fed so far, keeping the last piece open (piece_stream_deliver_leaves).
feed_status accumulator_deliver_leaves();

// Hands every digest on to `pieces` when any byte was fed (nothing at all otherwise), then
// releases the buffers. Returns 0, or 1 after reporting why.
int accumulator_finish(pieces_sink &pieces);

// Releases the buffers of a run that ended early.
void accumulator_discard();

// Whatever ends the run, the accumulator's buffers and threads go with the scope that started
// it; discarding an accumulator that was finished, or never started, does nothing.
struct accumulator_scope {
    accumulator_scope() = default;
    accumulator_scope(const accumulator_scope &) = delete;
    accumulator_scope &operator=(const accumulator_scope &) = delete;
    ~accumulator_scope() { accumulator_discard(); }
};
