#include "hash/lane_group.h"

#include "common/handles.h"
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

feed_status read_and_hash_round(const lane_group &group, unsigned char *buffer, lanes_state &lanes,
                                std::int64_t round, std::size_t size,
                                const lane_group_hashes &hashes, int &error) {
    const feed_status status = read_round(group, buffer, lanes, round, size, error);
    return status == feed_status::ok ? hash_round(group, lanes, round, size, hashes) : status;
}
} // namespace

feed_status hash_lane_group(const lane_group &group, unsigned char *buffer,
                            const lane_group_hashes &hashes, int &error) {
    lanes_state lanes;
    for (std::size_t lane = 0; lane < group.lanes; ++lane) {
        lanes.states[lane] = sha1_state_start();
    }
    const auto chunk = static_cast<std::int64_t>(group.chunk);
    for (std::int64_t round = 0; round * chunk < group.piece_length; ++round) {
        advise_rounds(group, round + rounds_ahead, 1);
        const auto size =
            static_cast<std::size_t>(std::min(chunk, group.piece_length - round * chunk));
        const feed_status status =
            read_and_hash_round(group, buffer, lanes, round, size, hashes, error);
        if (status != feed_status::ok) {
            return status;
        }
    }
    return feed_status::ok;
}
