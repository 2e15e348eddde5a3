#pragma once
#include "common/content_sink.h"
#include "hash/hash_plan.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// Cuts a continuous byte stream, fed from one open file after another, into pieces of one
// length and hands their digests on in piece order.

// Receives `count` digests of 20 bytes, back to back; returns false to stop the run.
using digest_sink = std::function<bool(const unsigned char *digests, std::size_t count)>;

struct piece_stream;
struct piece_stream_deleter {
    void operator()(piece_stream *stream) const;
};
using piece_stream_ptr = std::unique_ptr<piece_stream, piece_stream_deleter>;

// `content_limit` is the total number of bytes that will be fed when it is known in advance
// (a single file), or -1; buffers are never made larger than the content needs, and content
// beyond the limit is refused as a changed file. Sizes and threads follow plan_hashing() for
// `processors` processors. Returns nullptr when memory cannot be had.
piece_stream_ptr piece_stream_start(std::int32_t piece_length, std::int64_t content_limit,
                                    unsigned processors, digest_sink sink);

// The same with a plan of the caller's choosing.
piece_stream_ptr piece_stream_start(const hash_plan &plan, digest_sink sink);

// The plan of v1 pieces for this process: the kernel it hashes with, and whether every file is
// to be mapped.
hash_plan plan_hashing_here(std::int32_t piece_length, std::int64_t content_limit,
                            unsigned processors);

// Reads the open file `fd` from its position to its end and takes in its bytes; the file must
// yield exactly `size` bytes. Whole long pieces may be read by offset, on other threads, but
// all of them before this returns, and the position is left at the end as reading in order
// leaves it. On read_error, piece_stream_read_error tells why.
feed_status piece_stream_feed(piece_stream &stream, int fd, std::int64_t size);

// Takes in bytes already read from a file.
feed_status piece_stream_feed_bytes(piece_stream &stream, const unsigned char *data,
                                    std::size_t size);

// The system's error number of the read that made a feed fail with read_error, whichever
// thread read it.
int piece_stream_read_error(const piece_stream &stream);

// Hashes the last partial piece, if any, and hands on every digest not yet delivered.
feed_status piece_stream_finish(piece_stream &stream);

// Bytes taken in so far.
std::int64_t piece_stream_bytes(const piece_stream &stream);

// v2 and hybrid: the SHA-256 leaves of a file's 16 KiB blocks are hashed on the same threads as
// the pieces, in the same units of work, so the content is read once; leaves_in_ring
// (hash_plan.h) tells which files are worth it. A stream planned by plan_leaf_hashing has no v1
// pieces, and its digest sink is never given a digest.

// Receives `count` leaf digests of 32 bytes, back to back, in the file's order; returns false
// only when memory ran out.
using leaf_sink = std::function<bool(const unsigned char *leaves, std::size_t count)>;

// Reads the open file `fd` like piece_stream_feed and has its leaves hashed with the pieces;
// they go to `leaves` as the batches are delivered, at the latest by piece_stream_deliver. In a
// stream with v1 pieces the file must start on a piece boundary.
feed_status piece_stream_feed_leaves(piece_stream &stream, int fd, std::int64_t size,
                                     leaf_sink leaves);

// Hands the batch being read over, though not full, and delivers every batch handed over; in a
// stream with v1 pieces the content fed so far must end on a piece boundary (or be all there
// is). Reading goes on afterwards in a new batch.
feed_status piece_stream_deliver(piece_stream &stream);

// Delivers every batch handed over, then the leaves of the batch being read, hashed here, while
// that batch stays the one being read: the content fed so far need not end on a piece boundary,
// since its last piece is hashed only once what follows it is known.
feed_status piece_stream_deliver_leaves(piece_stream &stream);
