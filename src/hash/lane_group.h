#pragma once
#include "hash/piece_stream.h"

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
};

// The buffer a group reads into.
inline std::size_t lane_group_bytes(const lane_group &group) {
    return group.lanes * group.chunk;
}

// Tells the system that the group's first rounds will be read soon; called when the group is
// handed over, so that a cold file's reads are under way before anyone takes the group up.
void advise_lane_group(const lane_group &group);

// Reads and hashes the group through `buffer` (lane_group_bytes of it) and writes its digests,
// 20 bytes per piece, to `digests`. A file that ends early has changed; on read_error `error`
// holds the errno.
feed_status hash_lane_group(const lane_group &group, unsigned char *buffer, unsigned char *digests,
                            int &error);
