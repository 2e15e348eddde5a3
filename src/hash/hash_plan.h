#pragma once
#include <cstddef>
#include <cstdint>

// How the piece stream cuts its work up: what it allocates and how many threads it starts.
// Decided once per stream from the piece length, the size of the content when it is known, and
// the processors the process may run on.
//
// The ways content reaches a kernel, and where each is chosen. Every byte is first copied into a
// buffer of quillet's own; nothing is hashed from a mapping of the file (piece_stream.cpp says
// why).
// - SHA-1, whole pieces held in a batch: read by read() on the reading thread, or copied from
//   bytes read earlier (read-ahead, hybrid padding). Pieces up to longest_batched_piece.
// - SHA-1, a lane group: up to 16 whole pieces of one file side by side, read by pread on the
//   thread that hashes them; pieces longer than 1 MiB (lanes.chunk > 0 here), chosen per file
//   in piece_stream_feed where the file holds a whole piece past what completes the last one.
// - SHA-1, long pieces on the reading thread (long_pieces): the pieces longer than
//   longest_batched_piece that no group takes (a piece spanning files, bytes read earlier, a
//   file's last partial piece); chosen here.
// - SHA-256 leaves in the same batches and groups as the pieces (hybrid), or in a stream of
//   their own whose batches carry leaves alone (v2); chosen per file by
//   piece_stream_takes_leaves, called from content_hasher::feed.
// - SHA-256 of files too small for that, or bytes read earlier, on the reading thread
//   (content_hasher::read_small_file, take_content); chosen in content_hasher::feed and, for
//   read-ahead bytes, by the walk's prefetcher.
struct hash_plan {
    std::int64_t piece_length = 0;
    std::int64_t content_limit = -1; // bytes that will be fed, or -1 when unknown

    // Pieces too long to hold whole: those that lane groups do not take (a piece spanning two
    // files, bytes already read, the last partial piece) are hashed one at a time as their
    // bytes arrive, on the reading thread, through a read chunk of this many bytes; no batch
    // is used.
    bool long_pieces = false;
    std::size_t long_piece_chunk = 0;

    std::size_t pieces_per_batch = 0;
    std::size_t batch_bytes = 0;       // a full batch: pieces_per_batch whole pieces
    std::size_t buffer_bytes = 0;      // one batch's buffer: batch_bytes, or less for less content
    std::size_t batches_in_flight = 0; // batches that exist at once, at most
    unsigned hasher_threads = 0;       // threads that hash batches besides the reading one

    // Pieces too long for a batch to hold 16 of them are hashed in lane groups where whole
    // pieces of a file allow (see lane_group.h); batches or the long-piece path take the rest.
    struct lane_groups {
        std::size_t chunk = 0; // bytes each lane reads per round; 0: no lane groups
        std::size_t slots = 0; // groups and batches that exist at once, at most
        unsigned threads = 0;  // threads that hash groups besides the reading one
    } lanes;
};

// What a stream is asked to hash, and on how many processors.
struct hashing_job {
    std::int32_t piece_length = 0;
    std::int64_t content_limit = -1; // bytes that will be fed, or -1 when unknown
    unsigned processors = 1;
};

hash_plan plan_hashing(const hashing_job &job);
