#pragma once
#include "common/run_options.h"

// Writes the whole metainfo file for the run's input path to its output path. Returns 0, or 1
// after one line on standard error; a failed run leaves no regular output file behind.
int write_metainfo(const run_options &options);
