#pragma once
#include "hash/buffer.h"
#include "hash/piece_stream.h"
#include "hash/sha1_single.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Pieces too long to hold whole that no lane group takes (see piece_stream.cpp): each is hashed
// as its bytes arrive, through one running digest, and its digest handed on the moment its last
// byte is in. All of it happens on the reading thread; content read from a file passes through
// `chunk`, so memory stays at one chunk whatever the piece length.
struct long_pieces {
    std::int64_t piece_length = 0;
    std::int64_t piece_fill = 0; // bytes of the current piece taken in so far
    sha1_single running{};
    content_buffer chunk;
    std::size_t chunk_size = 0;
    std::vector<unsigned char> leaves; // hybrid: the leaves of one chunk read from a file
};

// False when the chunk cannot be allocated or the digest cannot be begun.
[[nodiscard]] bool long_pieces_start(long_pieces &pieces, std::int64_t piece_length,
                                     std::size_t chunk_size);

// Bytes still missing from the current piece.
std::int64_t long_piece_room(const long_pieces &pieces);

// Takes in `size` bytes, at most long_piece_room(); a piece they complete goes to `sink`.
feed_status long_pieces_take(long_pieces &pieces, const unsigned char *data, std::int64_t size,
                             const digest_sink &sink);

// Hands the digest of the last, partial piece to `sink`, if there is one.
feed_status long_pieces_finish(long_pieces &pieces, const digest_sink &sink);
