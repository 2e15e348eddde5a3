#pragma once
#include "hash/map_choice.h"
#include "hash/piece_stream.h"
#include "hash/sha256_lanes.h"

#include <cstddef>
#include <cstdint>

// Up to 16 consecutive whole pieces of one open file, hashed side by side: one SHA-1 lane per
// piece, advanced a round at a time by the piece's next chunk, read at its own offset. A piece
// need not be in memory whole, so a group's buffer is lanes x chunk whatever the piece length,
// and all lanes of the kernel are busy however long the pieces are.
//
// The reading thread only describes a group and hands it over; whoever takes it up reads and
// hashes it, so that with two or more processors groups are read and hashed in parallel. Reads
// go by offset and leave the file's position alone.
struct lane_group {
    int fd = -1;
    std::int64_t offset = 0; // where the first piece starts in the file
    std::int64_t piece_length = 0;
    std::size_t lanes = 0; // pieces, 1 to 16
    std::size_t chunk = 0; // bytes each lane reads per round, a multiple of 64
    // The file's choice between reading and mapping (map_choice.h), asked window by window; none
    // for a file that is read throughout.
    map_choice *choice = nullptr;
};

// The buffer a group reads into.
inline std::size_t lane_group_bytes(const lane_group &group) {
    return group.lanes * group.chunk;
}

// Hybrid content: a group may also hash the SHA-256 leaves of its pieces (16 KiB blocks, so the
// piece length and the chunk are whole blocks), from the chunks it reads, and keep them, 32
// bytes each, until its pieces are delivered: lanes x piece_length / 16 KiB of them, in the
// file's order. Kept whole they grow with the piece length, so a group that keeps leaves has no
// more lanes than this budget allows: 16 up to 64 MiB pieces, fewer beyond. Folding each lane's
// leaves into its piece's node as they come would keep 16 lanes at any length, but pieces that
// long are rare, and a group of fewer lanes still reads through its chunk and runs beside the
// other work.
constexpr std::size_t lane_group_leaf_budget = std::size_t{2} << 20;

inline std::size_t lane_group_leaves(const lane_group &group) {
    return group.lanes * static_cast<std::size_t>(group.piece_length) / sha256_leaf_bytes;
}

// The most lanes a group of pieces of `piece_length` (a multiple of 16 KiB) has when it keeps
// their leaves: one at least.
std::size_t lanes_keeping_leaves(std::int64_t piece_length);

// Tells the system that the group's first rounds will be read soon; called when the group is
// handed over, so that a cold file's reads are under way before anyone takes the group up.
void advise_lane_group(const lane_group &group);

// Where a group's hashes go: 20 bytes per piece to `digests`; unless `leaves` is null, the
// leaves too, lane_group_leaves of them.
struct lane_group_hashes {
    unsigned char *digests = nullptr;
    unsigned char *leaves = nullptr;
};

// Reads and hashes the group through `buffer` (lane_group_bytes of it) by pread, or, window by
// window as the file's choice says, from mappings: each lane then maps the 2 MiB stretches of its
// piece that hold the next rounds, never less (mapped_content.h says why). A file that ends early
// has changed; on read_error `error` holds the errno.
feed_status hash_lane_group(const lane_group &group, unsigned char *buffer,
                            const lane_group_hashes &hashes, int &error);
