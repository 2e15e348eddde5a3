#include "metainfo/info_hash.h"

void info_hasher_begin(info_hasher &hasher, bool v1, bool v2) {
    hasher.v1 = v1;
    hasher.v2 = v2;
    hasher.failed =
        (v1 && !sha1_single_begin(hasher.sha1)) || (v2 && !sha256_single_begin(hasher.sha256));
}

void info_hasher_feed(info_hasher &hasher, const unsigned char *data, std::size_t size) {
    if (hasher.failed) {
        return;
    }
    hasher.failed = (hasher.v1 && !sha1_single_update(hasher.sha1, data, size)) ||
                    (hasher.v2 && !sha256_single_update(hasher.sha256, data, size));
}

std::optional<info_hashes> info_hasher_end(info_hasher &hasher) {
    info_hashes hashes;
    if (hasher.v1 && !hasher.failed) {
        hashes.v1.emplace();
        hasher.failed = !sha1_single_end(hasher.sha1, hashes.v1->data());
    }
    if (hasher.v2 && !hasher.failed) {
        hashes.v2.emplace();
        hasher.failed = !sha256_single_end(hasher.sha256, hashes.v2->data());
    }
    if (hasher.failed) {
        return std::nullopt;
    }
    return hashes;
}
