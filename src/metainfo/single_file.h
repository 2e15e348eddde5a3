#pragma once
#include <cstdint>
#include <cstdio>

// Writes the info contents of a single-file torrent: length, name, piece length and the piece
// digests, each digest written as soon as it is known. Returns 0, or 1 after reporting why.
int write_single_file_info(const char *input_path, std::FILE *out, std::int64_t size,
                           std::int32_t piece_length);
