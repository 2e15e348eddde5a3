#include "hash/sha256_lanes.h"

#include "hash/sha256_single.h"

#include <algorithm>

bool sha256_leaves(const unsigned char *data, std::size_t size, unsigned char *digests) {
    for (std::size_t at = 0; at < size; at += sha256_leaf_bytes) {
        const std::size_t length = std::min(sha256_leaf_bytes, size - at);
        if (!sha256_single_digest(data + at, length, digests)) {
            return false;
        }
        digests += sha256_digest_size;
    }
    return true;
}

bool sha256_parents(const unsigned char *children, std::size_t count, unsigned char *parents) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!sha256_single_digest(children + 2 * sha256_digest_size * i, 2 * sha256_digest_size,
                                  parents + sha256_digest_size * i)) {
            return false;
        }
    }
    return true;
}
