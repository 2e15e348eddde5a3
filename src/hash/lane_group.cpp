#include "hash/lane_group.h"

#include "common/handles.h"
#include "hash/mapped_content.h"
#include "hash/sha1_lanes.h"
#include "hash/sha256_lanes.h"
#include "hash/sha256_single.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
// On a cold file, the lanes' reads land on 16 places of the disk at once: the system's own
// read-ahead sees no sequence in them (they share one file position record) and would read each
// chunk only when it is asked for. So each lane asks ahead for itself, this many rounds in
// front of the one being read: the disk then serves every lane in long runs, and the rounds
// find their chunks already read. With 256 KiB chunks that is 4 MiB per lane, 64 MiB a group,
// asked of the page cache, not held by the process. Cold runs over a 4 GiB file here were no
// slower than with 4 rounds ahead and mostly faster (4 MiB pieces: medians of 3 runs, 2.5 s
// against 3.5 s); without advice, 64 MiB pieces took twice as long as with it.
constexpr std::int64_t rounds_ahead = 16;

// Asks for the chunks of rounds [first, first + count) of every lane.
void advise_rounds(const lane_group &group, std::int64_t first, std::int64_t count) {
    const auto chunk = static_cast<std::int64_t>(group.chunk);
    const std::int64_t from = first * chunk;
    if (from >= group.piece_length) {
        return;
    }
    const std::int64_t size = std::min(count * chunk, group.piece_length - from);
    for (std::size_t lane = 0; lane < group.lanes; ++lane) {
        const std::int64_t start =
            group.offset + static_cast<std::int64_t>(lane) * group.piece_length + from;
        // Only advice: a system that ignores it reads the chunks when they are asked for.
        posix_fadvise(group.fd, start, size, POSIX_FADV_WILLNEED);
    }
}

// A regular file returns less than asked only at its end: here that means it has shrunk.
feed_status read_at(int fd, unsigned char *into, std::size_t size, std::int64_t offset,
                    int &error) {
    while (size > 0) {
        const ssize_t got = read_some_at(fd, into, size, offset);
        if (got < 0) {
            error = errno;
            return feed_status::read_error;
        }
        if (got == 0) {
            return feed_status::changed;
        }
        into += got;
        size -= static_cast<std::size_t>(got);
        offset += got;
    }
    return feed_status::ok;
}

struct lanes_state {
    std::array<sha1_state, sha1_lanes_max> states{};
    std::array<const unsigned char *, sha1_lanes_max> data{}; // each lane's chunk of the round
};

std::int64_t lane_start(const lane_group &group, std::size_t lane, std::int64_t round) {
    return group.offset + static_cast<std::int64_t>(lane) * group.piece_length +
           round * static_cast<std::int64_t>(group.chunk);
}

// Reads round `round` of every lane into its part of `buffer`: `size` bytes from the same place
// in each piece.
feed_status read_round(const lane_group &group, unsigned char *buffer, lanes_state &lanes,
                       std::int64_t round, std::size_t size, int &error) {
    for (std::size_t lane = 0; lane < group.lanes; ++lane) {
        unsigned char *into = buffer + lane * group.chunk;
        const feed_status status =
            read_at(group.fd, into, size, lane_start(group, lane, round), error);
        if (status != feed_status::ok) {
            return status;
        }
        lanes.data[lane] = into;
    }
    return feed_status::ok;
}

// The leaves of round `round` of every lane, `size` bytes of whole blocks each, go where they
// stand in the file: lane by lane, each lane's in its piece's order.
bool hash_round_leaves(const lane_group &group, const lanes_state &lanes, std::int64_t round,
                       std::size_t size, unsigned char *leaves) {
    const std::size_t per_piece = lane_group_leaves(group) / group.lanes;
    const std::size_t first = static_cast<std::size_t>(round) * (group.chunk / sha256_leaf_bytes);
    for (std::size_t lane = 0; lane < group.lanes; ++lane) {
        unsigned char *into = leaves + (lane * per_piece + first) * sha256_digest_size;
        if (!sha256_leaves(lanes.data[lane], size, into)) {
            return false;
        }
    }
    return true;
}

// Every lane's last round is as long as every other lane's: the pieces are of one length. Its
// whole blocks go through the lanes; the rest and the padding finish each lane on its own.
bool finish_lanes(const lane_group &group, lanes_state &lanes, std::size_t size,
                  unsigned char *digests) {
    const std::size_t blocks = size / 64;
    if (blocks > 0 &&
        !sha1_lanes_update(lanes.states.data(), lanes.data.data(), group.lanes, blocks)) {
        return false;
    }
    for (std::size_t lane = 0; lane < group.lanes; ++lane) {
        if (!sha1_state_finish(lanes.states[lane], lanes.data[lane] + blocks * 64, size % 64,
                               static_cast<std::uint64_t>(group.piece_length),
                               digests + lane * 20)) {
            return false;
        }
    }
    return true;
}
} // namespace

std::size_t lanes_keeping_leaves(std::int64_t piece_length) {
    const std::size_t per_lane =
        static_cast<std::size_t>(piece_length) / sha256_leaf_bytes * sha256_digest_size;
    return std::clamp<std::size_t>(lane_group_leaf_budget / per_lane, 1, sha1_lanes_max);
}

void advise_lane_group(const lane_group &group) {
    advise_rounds(group, 0, rounds_ahead);
}

namespace {
// Hashes round `round` of every lane, `size` bytes each, from where lanes.data points; the
// group's last round finishes the lanes.
feed_status hash_round(const lane_group &group, lanes_state &lanes, std::int64_t round,
                       std::size_t size, const lane_group_hashes &hashes) {
    if (hashes.leaves != nullptr && !hash_round_leaves(group, lanes, round, size, hashes.leaves)) {
        return feed_status::out_of_memory;
    }
    const bool last = size < group.chunk ||
                      (round + 1) * static_cast<std::int64_t>(group.chunk) == group.piece_length;
    const bool hashed = last ? finish_lanes(group, lanes, size, hashes.digests)
                             : sha1_lanes_update(lanes.states.data(), lanes.data.data(),
                                                 group.lanes, group.chunk / 64);
    return hashed ? feed_status::ok : feed_status::out_of_memory;
}

std::size_t round_size(const lane_group &group, std::int64_t round) {
    const auto chunk = static_cast<std::int64_t>(group.chunk);
    return static_cast<std::size_t>(std::min(chunk, group.piece_length - round * chunk));
}

// Rounds [first, first + count) of every lane: what one window of each lane holds, and the unit
// in which the file's choice between reading and mapping is asked and timed.
struct round_span {
    std::int64_t first = 0;
    std::int64_t count = 0;
};

std::size_t span_bytes_per_lane(const lane_group &group, round_span span) {
    const std::int64_t from = span.first * static_cast<std::int64_t>(group.chunk);
    return static_cast<std::size_t>(
        std::min(span.count * static_cast<std::int64_t>(group.chunk), group.piece_length - from));
}

feed_status read_rounds(const lane_group &group, unsigned char *buffer, lanes_state &lanes,
                        round_span span, const lane_group_hashes &hashes, int &error) {
    for (std::int64_t round = span.first; round < span.first + span.count; ++round) {
        advise_rounds(group, round + rounds_ahead, 1);
        const std::size_t size = round_size(group, round);
        const feed_status read = read_round(group, buffer, lanes, round, size, error);
        const feed_status status =
            read == feed_status::ok ? hash_round(group, lanes, round, size, hashes) : read;
        if (status != feed_status::ok) {
            return status;
        }
    }
    return feed_status::ok;
}

using lane_windows = std::array<mapped_window, sha1_lanes_max>;

// Maps every lane's part of the span; false when one cannot be mapped.
bool map_lanes(const lane_group &group, round_span span, lane_windows &windows) {
    const std::size_t size = span_bytes_per_lane(group, span);
    for (std::size_t lane = 0; lane < group.lanes; ++lane) {
        if (!map_window(group.fd, lane_start(group, lane, span.first), size, windows[lane])) {
            return false;
        }
    }
    return true;
}

// As read_rounds, from the lanes' windows: pages lost meanwhile were put back as zeros, so the
// digests are void and the loss is told instead.
feed_status hash_mapped_rounds(const lane_group &group, const lane_windows &windows,
                               lanes_state &lanes, round_span span, const lane_group_hashes &hashes,
                               int &error) {
    guard_begin(windows.data(), group.lanes);
    feed_status status = feed_status::ok;
    for (std::int64_t round = span.first;
         status == feed_status::ok && round < span.first + span.count; ++round) {
        advise_rounds(group, round + rounds_ahead, 1);
        const std::size_t in_window = static_cast<std::size_t>(round - span.first) * group.chunk;
        for (std::size_t lane = 0; lane < group.lanes; ++lane) {
            lanes.data[lane] = windows[lane].data + in_window;
        }
        status = hash_round(group, lanes, round, round_size(group, round), hashes);
    }
    if (guard_end()) {
        // The last lane's window ends furthest in the file: a file that still holds it holds
        // every window, and its lost pages are a failed read.
        status = lost_window_status(windows[group.lanes - 1]);
        error = errno;
    }
    return status;
}

// The windows are let go before this returns, so that their cost is counted with the span's.
// `mapped` is false when a lane's window was refused; then nothing was hashed.
feed_status hash_span_mapped(const lane_group &group, lanes_state &lanes, round_span span,
                             const lane_group_hashes &hashes, int &error, bool &mapped) {
    lane_windows windows;
    mapped = map_lanes(group, span, windows);
    return mapped ? hash_mapped_rounds(group, windows, lanes, span, hashes, error)
                  : feed_status::ok;
}

feed_status hash_span(const lane_group &group, unsigned char *buffer, lanes_state &lanes,
                      round_span span, const lane_group_hashes &hashes, int &error) {
    const std::size_t bytes = span_bytes_per_lane(group, span) * group.lanes;
    const window_turn turn = group.choice != nullptr ? group.choice->next(bytes) : window_turn{};
    const std::int64_t started = turn.timed ? thread_processor_ns() : 0;
    bool mapped = false;
    feed_status status = feed_status::ok;
    if (turn.source == content_source::mapped) {
        status = hash_span_mapped(group, lanes, span, hashes, error, mapped);
        if (!mapped) {
            group.choice->refused();
        }
    }
    if (!mapped) {
        status = read_rounds(group, buffer, lanes, span, hashes, error);
    }
    if (turn.timed) {
        group.choice->record(turn.source, thread_processor_ns() - started, bytes);
    }
    return status;
}
} // namespace

feed_status hash_lane_group(const lane_group &group, unsigned char *buffer,
                            const lane_group_hashes &hashes, int &error) {
    lanes_state lanes;
    for (std::size_t lane = 0; lane < group.lanes; ++lane) {
        lanes.states[lane] = sha1_state_start();
    }
    const auto chunk = static_cast<std::int64_t>(group.chunk);
    const std::int64_t rounds = (group.piece_length + chunk - 1) / chunk;
    const std::int64_t per_window =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(window_alignment) / chunk);
    for (std::int64_t first = 0; first < rounds; first += per_window) {
        const feed_status status = hash_span(
            group, buffer, lanes, {first, std::min(per_window, rounds - first)}, hashes, error);
        if (status != feed_status::ok) {
            return status;
        }
    }
    return feed_status::ok;
}
