#pragma once
#include <cstdint>

// Writes the whole metainfo file for the input path to the output path. Returns 0, or 1 after
// one line on standard error; a failed run leaves no regular output file behind.
int write_metainfo(const char *announce, const char *input_path, const char *output_path,
                   const char *port, const char *path, std::int32_t piece_length);
