#pragma once
#include "commands/verify_layout.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Reads the content once, through the same hashing engine and the same look-ahead as `create`,
// after the size pass, and compares what it hashes with what the torrent lists. Content the
// size pass found absent, and the missing tail of a short file, is fed as zeros without reading
// and its pieces are bad whatever they hash to, as a client's recheck finds them.
//
// A file that is not as the size pass found it when it is opened, that grows or shrinks while
// it is read, or that is written to, replaced or removed by the time it was read, is
// `unreadable` ("changed while being read"), as is one whose read fails; all its pieces are bad
// and the rest of the content is still checked.
struct content_findings {
    std::vector<bool> v1_bad; // v1 and hybrid: per piece of the stream
    // v2 and hybrid: per file of the layout, its bad pieces counted from its first byte.
    std::vector<std::vector<std::uint64_t>> v2_bad;
    std::string failure; // not empty when the check could not go on; says why
};

// For the tests: called with a file's index once it is open and before its content is read
// from there (never for a small file the look-ahead read whole).
using file_opened_hook = std::function<void(std::size_t)>;

// `found` holds what the size pass found; a file that fails in the content pass has its verdict
// put there.
content_findings check_content(const content_layout &layout, std::vector<found_file> &found,
                               const file_opened_hook &opened = {});

// Bytes the content pass hands the engine, for the progress line: the whole v1 stream, pads and
// zeros for absent content included; in v2 the files that have content to read.
std::uint64_t bytes_to_hash(const content_layout &layout, const std::vector<found_file> &found);
