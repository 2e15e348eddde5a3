#pragma once
#include "common/run_options.h"
#include "metainfo/magnet.h"

// Writes the whole metainfo file for the run's input path to its output path. Returns 0, or 1
// after one line on standard error; a failed run leaves no regular output file behind. With
// `hashes`, the info hashes of the format are put there for the caller to show, and no magnet
// link is printed.
int write_metainfo(const run_options &options, info_hashes *hashes = nullptr);
