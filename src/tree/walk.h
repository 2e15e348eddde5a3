#pragma once
#include "common/content_sink.h"
#include "common/file_identity.h"
#include "common/run_options.h"
#include "tree/entry_rules.h"

#include <cstdint>
#include <dirent.h>
#include <string>
#include <string_view>
#include <vector>

// Directories nested deeper than this below the input directory are left out.
constexpr int max_nesting_level = 29;

// Hands the parts of a directory torrent for the run's input directory to `document`: the file
// list, then the pieces over the listed files' content. In v1 each file's entry goes to the
// document before its content is fed; in v2 and hybrid after, with the file's tree. The files
// in `outputs` are left out. Returns 0, or 1 after reporting why.
int write_directory_info(const run_options &options, const output_identities &outputs,
                         directory_sink &document);

struct prefetcher;
class content_hasher;

// What every directory of one walk shares.
struct walk_run {
    std::string_view input_path; // as typed: every entry path begins with it and a slash
    directory_sink &document;
    prefetcher &look_ahead;             // looks at the entries of every directory ahead of the walk
    std::vector<std::string_view> path; // the current entry's path components
    entry_rules rules;                  // entries left out as they are listed, or as files
    content_hasher &hasher; // the run's content, the pieces and (v2, hybrid) each file's tree
    bool sorted = false;    // entries in ascending byte order of names, not in listing order
    // Sorted so that files come in ascending byte order of their whole paths: a directory sorts
    // as its name followed by "/", since every path below it starts that way.
    bool whole_path_order = false;
    bool strict = false;           // an entry that cannot be taken fails the run
    bool notices_on_stdout = true; // the classic "adding" and "ignoring" lines
    bool quiet = false;            // no warnings on standard error either
    std::int64_t bytes_added = 0;  // content of the files taken so far
    std::int32_t files_added = 0;  // files whose entry went into the file list so far
};

// Walks one open directory and everything below it. Returns 0, or 1 when the run must fail
// (the reason has been reported).
int walk_directory(DIR *dir, const std::string &dir_path, int level, walk_run &run);

// Splits a path below the input directory into its non-empty components.
void split_path(std::string_view relative_path, std::vector<std::string_view> &components);
