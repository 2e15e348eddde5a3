#pragma once
#include <cstdint>

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
};
