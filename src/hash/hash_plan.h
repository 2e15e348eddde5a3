#pragma once
#include <cstddef>
#include <cstdint>

// How the piece stream cuts its work up: what it allocates and how many threads it starts.
// Decided once per stream from the piece length, the size of the content when it is known, and
// the processors the process may run on.
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
