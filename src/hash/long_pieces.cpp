#include "hash/long_pieces.h"

bool long_pieces_start(long_pieces &pieces, std::int64_t piece_length, std::size_t chunk_size) {
    pieces.piece_length = piece_length;
    pieces.chunk_size = chunk_size;
    if (chunk_size > 0) {
        pieces.chunk = allocate_content_buffer(chunk_size);
    }
    return sha1_single_begin(pieces.running) && (chunk_size == 0 || pieces.chunk);
}

std::int64_t long_piece_room(const long_pieces &pieces) {
    return pieces.piece_length - pieces.piece_fill;
}

namespace {
// A digest that could not be computed ends the run: the library fails only without memory.
feed_status complete_piece(long_pieces &pieces, const digest_sink &sink) {
    unsigned char digest[20];
    if (!sha1_single_end(pieces.running, digest) || !sha1_single_begin(pieces.running)) {
        return feed_status::out_of_memory;
    }
    pieces.piece_fill = 0;
    return sink(digest, 1) ? feed_status::ok : feed_status::sink_failed;
}
} // namespace

feed_status long_pieces_take(long_pieces &pieces, const unsigned char *data, std::int64_t size,
                             const digest_sink &sink) {
    if (!sha1_single_update(pieces.running, data, static_cast<std::size_t>(size))) {
        return feed_status::out_of_memory;
    }
    pieces.piece_fill += size;
    return pieces.piece_fill == pieces.piece_length ? complete_piece(pieces, sink)
                                                    : feed_status::ok;
}

feed_status long_pieces_finish(long_pieces &pieces, const digest_sink &sink) {
    return pieces.piece_fill > 0 ? complete_piece(pieces, sink) : feed_status::ok;
}
