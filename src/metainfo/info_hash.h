#pragma once
#include "hash/sha1_single.h"
#include "hash/sha256_single.h"
#include "metainfo/magnet.h"

#include <cstddef>
#include <optional>

// The info hashes of the document being written, computed over the info dictionary's bytes as
// they go out (document_head::info_bytes), so that nothing of the document is kept or read
// back: SHA-1 names a v1 torrent, SHA-256 a v2 one, and a hybrid torrent has both.
struct info_hasher {
    bool v1 = false;
    bool v2 = false;
    bool failed = false;
    sha1_single sha1{};
    sha256_single sha256{};
};

// Starts the hashes asked for.
void info_hasher_begin(info_hasher &hasher, bool v1, bool v2);

void info_hasher_feed(info_hasher &hasher, const unsigned char *data, std::size_t size);

// The hashes asked for, or nothing when any step failed: a hash that was not computed is never
// shown.
std::optional<info_hashes> info_hasher_end(info_hasher &hasher);
