#pragma once
#include "common/run_options.h"
#include "metainfo/bencode.h"
#include "metainfo/document.h"

#include <cstdint>

// Writes the info contents of a single-file torrent for the run's input, a regular file of
// `size` bytes: each digest is written as soon as it is known. Returns 0, or 1 after reporting
// why.
int write_single_file_info(const run_options &options, std::int64_t size, bencode_writer &out);

// Hashes the run's input, a regular file of `size` bytes, for a v2 or hybrid torrent and hands
// it to `document` with its tree and, for hybrid, its v1 pieces. Returns 0, or 1 after
// reporting why.
int hash_single_file(const run_options &options, std::int64_t size, v2_document &document);
