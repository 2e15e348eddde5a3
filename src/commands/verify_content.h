#pragma once
#include "commands/verify_layout.h"

#include <cstdint>
#include <string>
#include <vector>

// Reads the content once, through the same hashing engine and the same look-ahead as `create`,
// and compares what it hashes with what the torrent lists. Each file's status is taken before
// any of its content is read; content found absent, and the missing tail of a short file, is fed
// as zeros without reading and its pieces are bad whatever they hash to, as a client's recheck
// finds them.
struct content_findings {
    std::vector<bool> v1_bad; // v1 and hybrid: per piece of the stream
    // v2 and hybrid: per file of the layout, its bad pieces counted from its first byte.
    std::vector<std::vector<std::uint64_t>> v2_bad;
    std::string failure; // not empty when the check could not go on; says why
};

// `found` gets, for every file that is not a pad, what was found on disk of it.
content_findings check_content(const content_layout &layout, std::vector<found_file> &found);
