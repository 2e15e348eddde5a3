#pragma once
#include "common/file_identity.h"
#include "common/run_options.h"

#include <cstdint>
#include <vector>

// What a run will hash, found before any of it is read: the piece length can then be chosen
// from the total, progress can show how much is left, and a tree that cannot be taken whole is
// refused before an output exists.
struct content_scan {
    std::int64_t bytes = 0;
    std::vector<std::int64_t> file_sizes; // one per file taken, in no particular order
};

// Looks at the run's input with the walk's rules (hidden names, exclude and include patterns);
// `left_out` is a file already there that the walk will leave out too (the output it replaces).
// With options.strict, an entry whose status or listing cannot be read, a symbolic link that
// leads back to a directory it is in, or a tree nested deeper than the walk goes fails; without,
// such entries are passed by as the classic walk passes them, and the result is a total for
// progress only. Returns 0, or 1 after one line on standard error.
int scan_content(const run_options &options, const file_identity &left_out, content_scan &found);
