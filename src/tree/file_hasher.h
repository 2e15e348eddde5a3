#pragma once
#include "common/content_sink.h"
#include "hash/buffer.h"
#include "hash/merkle.h"
#include "hash/piece_stream.h"

#include <cstddef>
#include <cstdint>

// Hashes the files of a v2 or hybrid torrent one by one. Each file's content is read once and
// goes to the file's own merkle tree and, for hybrid, also to the piece accumulator as the v1
// content, where in a directory torrent of two or more files zero bytes pad every file to a
// piece boundary (the only file of a directory torrent has none). A file longer than a batch is
// read into the batches of a piece stream (the accumulator's, for hybrid), whose threads hash
// its leaves beside the pieces; the tree is built from them here, in order. Shorter files are
// hashed by the reading thread as they are read.
struct file_hasher {
    std::int32_t piece_length = 0;
    bool v1_pieces = false; // hybrid: the accumulator takes the content too
    bool pad_files = false; // a directory's hybrid content: each file ends on a piece boundary
    // The first file's padding waits for a second file: the only file of a torrent has none.
    bool first_file = true;
    std::int64_t waiting_padding = 0;
    merkle_file tree;
    content_buffer buffer{nullptr, mapping_deleter{}}; // for files that were not read ahead
    std::size_t buffer_size = 0;
    piece_stream_ptr leaf_stream; // v2: the batches whose leaves the threads hash
    bool leaves_pending = false;  // the file's last leaves are in batches not yet delivered
};

// Prepares for the first file; with `v1_pieces`, also starts the accumulator, which the caller
// finishes or discards. `content_limit` is the whole content's size when known in advance (a
// single file), or -1. Returns 0, or 1 after reporting that memory ran out.
int file_hasher_start(file_hasher &hasher, std::int32_t piece_length, bool v1_pieces,
                      bool pad_files, std::int64_t content_limit);

// Reads the open file `fd`, which must yield exactly `size` bytes, and takes in its content.
feed_status file_hasher_feed(file_hasher &hasher, int fd, std::int64_t size);

// Takes in content that was read ahead.
feed_status file_hasher_feed_bytes(file_hasher &hasher, const unsigned char *data,
                                   std::size_t size);

// Completes the file of `length` bytes fed since the start or the previous file: its tree goes
// to `hashes`, its padding to the accumulator (the first file's only once a second is fed). The
// hasher is then ready for the next file.
feed_status file_hasher_end_file(file_hasher &hasher, std::int64_t length, file_hashes &hashes);
