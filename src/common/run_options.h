#pragma once
#include "common/tracker_tiers.h"

#include <cstdint>
#include <vector>

// The kinds of metainfo document the tool writes.
enum class torrent_format {
    v1,     // SHA-1 pieces over the content as one stream
    v2,     // a SHA-256 merkle tree per file
    hybrid, // both in one info dictionary, every file starting on a piece boundary
};

// The values of one run, gathered from the command line and handed down whole to every layer
// that needs one of them. A new option becomes one more field here.
struct run_options {
    const char *announce = nullptr; // the tracker's announce base; nullptr until given
    const char *port = "6881";      // port and path stay texts: the URL carries them as typed
    const char *path = "/announce";
    std::int32_t piece_length = 262144;
    const char *comment = nullptr; // no comment key without one; an empty one still counts
    bool inclusive = false;        // hidden regular files go into a directory torrent too
    const char *input_path = nullptr;
    const char *output_path = nullptr;
    torrent_format format = torrent_format::v1;

    // Complete announce URLs, one tier per --tracker; the URL built from -a comes before them.
    tracker_tiers trackers;
    std::vector<const char *> web_seeds;
    std::vector<const char *> excludes; // shell patterns of entries the walk leaves out
    const char *source = nullptr;       // an empty source still counts, like a comment
    const char *name = nullptr;         // nullptr: the name comes from the input path
    bool is_private = false;
    bool no_date = false;
    bool magnet = false;
    // Directory entries in ascending byte order of their names at every level, instead of the
    // order the system lists them in. v2 and hybrid always sort: their file tree is ordered
    // that way.
    bool sorted = false;
};
