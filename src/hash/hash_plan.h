#pragma once
#include <cstddef>
#include <cstdint>

// How the piece stream cuts its work up: which path its bytes take, what it allocates and how
// many threads it starts. Decided once per stream from the piece length (or leaves alone), the
// size of the content when it is known, and the processors the process may run on; the stream
// and the content hasher read the plan and choose nothing themselves.
//
// The ways content reaches a kernel, and where each is chosen. Bytes are copied into buffers of
// quillet's own, except in files of 256 MiB and more whose first windows measured hashing from
// 2 MiB-aligned mappings cheaper (map_choice.h): there a batch as long as 2 MiB or more over a
// whole window, and each lane of a group, is hashed from a mapping instead. Two kinds of work
// travel through the ring of slots that the hasher threads take up (batch.h), one of them in two
// uses; two side roads stay on the reading thread:
// - piece_batch (ring): SHA-1 of whole pieces, up to 16 side by side, read by read() on the
//   reading thread or copied from bytes read earlier (read-ahead, hybrid padding); a hybrid
//   file's SHA-256 leaves with them. Pieces up to longest_batched_piece: stream_path::batches
//   and batches_and_lane_groups, chosen in plan_hashing.
// - piece_batch holding leaves alone (ring): v2 content, no SHA-1 at all;
//   stream_path::leaf_batches, chosen in plan_leaf_hashing.
// - lane_group (ring): up to 16 whole pieces of one file side by side, read by pread on the
//   thread that hashes them, a hybrid file's leaves with them. Pieces longer than 1 MiB: the
//   paths with lane groups, chosen in plan_lane_groups; each file's groups are cut in
//   piece_stream_feed where it holds a whole piece past what completes the last one.
// - long pieces (reading thread, long_pieces.h): pieces longer than longest_batched_piece that
//   no group takes (a piece spanning files, bytes read earlier, a file's last partial piece),
//   hashed as their bytes arrive; stream_path::lane_groups_and_long_pieces, chosen in
//   plan_hashing. hash_plan.cpp says why they stay on the reading thread.
// - small files' leaves (reading thread, content_hasher::read_small_file): v2 and hybrid files
//   too small for leaves_in_ring, and bytes read earlier (content_hasher::feed_bytes, fed so by
//   the walk's prefetcher). hash_plan.cpp says why.

// The path a stream's bytes take, the same for its whole life.
enum class stream_path {
    batches,                     // whole pieces in piece batches
    batches_and_lane_groups,     // lane groups for files' whole pieces, batches for the rest
    lane_groups_and_long_pieces, // lane groups for files' whole pieces, long pieces for the rest
    leaf_batches,                // no v1 pieces: piece batches that carry leaves alone (v2)
};

struct hash_plan {
    stream_path path = stream_path::batches;
    std::int64_t piece_length = 0;   // 0 on the leaf_batches path, which has no pieces
    std::int64_t content_limit = -1; // bytes that will be fed, or -1 when unknown

    // The long-piece path reads a file's bytes through a chunk of this many bytes.
    std::size_t long_piece_chunk = 0;

    std::size_t pieces_per_batch = 0;  // 0 on the leaf_batches path
    std::size_t batch_bytes = 0;       // a full batch: pieces_per_batch whole pieces
    std::size_t buffer_bytes = 0;      // one batch's buffer: batch_bytes, or less for less content
    std::size_t batches_in_flight = 0; // batches that exist at once, at most
    unsigned hasher_threads = 0;       // threads that hash batches besides the reading one

    // Pieces too long for a batch to hold 16 of them are hashed in lane groups where whole
    // pieces of a file allow (see lane_group.h); batches or the long-piece path take the rest.
    struct lane_groups {
        std::size_t chunk = 0; // bytes each lane reads per round
        std::size_t slots = 0; // groups and batches that exist at once, at most
        unsigned threads = 0;  // threads that hash groups besides the reading one
    } lanes;
};

inline bool has_v1_pieces(const hash_plan &plan) {
    return plan.path != stream_path::leaf_batches;
}

inline bool has_lane_groups(const hash_plan &plan) {
    return plan.path == stream_path::batches_and_lane_groups ||
           plan.path == stream_path::lane_groups_and_long_pieces;
}

inline bool has_long_pieces(const hash_plan &plan) {
    return plan.path == stream_path::lane_groups_and_long_pieces;
}

// What a stream is asked to hash, and on how many processors.
struct hashing_job {
    std::int32_t piece_length = 0;
    std::int64_t content_limit = -1; // bytes that will be fed, or -1 when unknown
    unsigned processors = 1;
    std::size_t kernel_lanes = 16;  // pieces the SHA-1 kernel in use hashes side by side
    bool every_file_mapped = false; // no batch is filled by reading (see map_choice.h)
};

// A stream of v1 pieces (v1, hybrid).
hash_plan plan_hashing(const hashing_job &job);

// A stream without v1 pieces, whose batches carry only the leaves of the files fed (v2).
hash_plan plan_leaf_hashing(std::int64_t content_limit, unsigned processors);

// Whether a v2 or hybrid file of `size` bytes has its leaves hashed in the ring, beside the
// pieces, rather than on the reading thread (content_hasher::read_small_file).
bool leaves_in_ring(const hash_plan &plan, std::int64_t size);
