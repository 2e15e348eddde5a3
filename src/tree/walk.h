#pragma once
#include "common/content_sink.h"
#include "common/run_options.h"
#include "tree/exclude.h"

#include <cstdint>
#include <dirent.h>
#include <string>
#include <string_view>
#include <vector>

// Number of files whose entry went into the file list this run.
extern std::int32_t files_added;

// Directories nested deeper than this below the input directory are left out.
constexpr int max_nesting_level = 29;

// Hands the parts of a directory torrent for the run's input directory to `document`: the file
// list, then the pieces over the listed files' content. In v1 each file's entry goes to the
// document before its content is fed; in v2 and hybrid after, with the file's tree. Returns 0,
// or 1 after reporting why.
int write_directory_info(const run_options &options, directory_sink &document);

struct prefetcher;
class content_hasher;

// What every directory of one walk shares.
struct walk_run {
    std::string_view input_path; // as typed: every entry path begins with it and a slash
    directory_sink &document;
    prefetcher &look_ahead;             // looks at the entries of every directory ahead of the walk
    std::vector<std::string_view> path; // the current entry's path components
    exclude_patterns excludes;          // entries left out as they are listed
    content_hasher &hasher; // the run's content, the pieces and (v2, hybrid) each file's tree
    bool sorted = false;    // entries in ascending byte order of names, not in listing order
};

// Walks one open directory and everything below it. Returns 0, or 1 when the run must fail
// (the reason has been reported).
int walk_directory(DIR *dir, const std::string &dir_path, int level, walk_run &run);

// Splits a path below the input directory into its non-empty components.
void split_path(std::string_view relative_path, std::vector<std::string_view> &components);
