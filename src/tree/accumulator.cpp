#include "tree/accumulator.h"

#include "common/console.h"
#include "common/numbers.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace {
// Digests are kept in fixed chunks so that growing never copies what is already stored and the
// memory stays close to 20 bytes per piece.
constexpr std::size_t digests_per_chunk = 16384;
constexpr std::size_t chunk_bytes = digests_per_chunk * digest_size;

struct accumulator {
    piece_stream_ptr stream;
    std::vector<std::unique_ptr<unsigned char[]>> piece_hashes;
    std::int64_t piece_hashes_len = 0;
    bool out_of_memory = false;
};

accumulator state;

bool store_digests(const unsigned char *digests, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto offset = static_cast<std::size_t>(state.piece_hashes_len) % chunk_bytes;
        if (offset == 0) {
            std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[chunk_bytes]);
            if (!chunk) {
                state.out_of_memory = true;
                return false;
            }
            state.piece_hashes.push_back(std::move(chunk));
        }
        std::memcpy(state.piece_hashes.back().get() + offset, digests + i * digest_size,
                    digest_size);
        state.piece_hashes_len += digest_size;
    }
    return true;
}

feed_status settle(feed_status status) {
    return status == feed_status::sink_failed && state.out_of_memory ? feed_status::out_of_memory
                                                                     : status;
}

void hand_on_digests(pieces_sink &pieces) {
    pieces.pieces_begin(state.piece_hashes_len);
    std::int64_t left = state.piece_hashes_len;
    for (const auto &chunk : state.piece_hashes) {
        const auto size = static_cast<std::size_t>(std::min<std::int64_t>(left, chunk_bytes));
        pieces.pieces_part(chunk.get(), size);
        left -= static_cast<std::int64_t>(size);
    }
}
} // namespace

int accumulator_start(std::int32_t piece_length, std::int64_t content_limit) {
    state = accumulator{};
    state.stream = piece_stream_start(piece_length, content_limit, store_digests);
    if (!state.stream) {
        report_failure("out of memory\n");
        return 1;
    }
    return 0;
}

feed_status accumulator_feed(int fd, std::int64_t size) {
    return settle(piece_stream_feed(*state.stream, fd, size));
}

feed_status accumulator_feed_bytes(const unsigned char *data, std::size_t size) {
    return settle(piece_stream_feed_bytes(*state.stream, data, size));
}

bool accumulator_takes_leaves(std::int64_t size) {
    return piece_stream_takes_leaves(*state.stream, size);
}

feed_status accumulator_feed_leaves(int fd, std::int64_t size, leaf_sink leaves) {
    return settle(piece_stream_feed_leaves(*state.stream, fd, size, std::move(leaves)));
}

feed_status accumulator_deliver() {
    return settle(piece_stream_deliver(*state.stream));
}

feed_status accumulator_deliver_leaves() {
    return settle(piece_stream_deliver_leaves(*state.stream));
}

int accumulator_finish(pieces_sink &pieces) {
    const feed_status status = settle(piece_stream_finish(*state.stream));
    if (status == feed_status::out_of_memory) {
        report_failure("out of memory\n");
    } else if (piece_stream_bytes(*state.stream) > 0) {
        hand_on_digests(pieces);
    }
    accumulator_discard();
    return status == feed_status::ok ? 0 : 1;
}

void accumulator_discard() {
    state = accumulator{};
}
