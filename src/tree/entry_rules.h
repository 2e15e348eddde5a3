#pragma once
#include "common/run_options.h"
#include "tree/exclude.h"

#include <string_view>

// Which entries below the input directory a run takes, decided the same way by the walk that
// hashes and by the scan that counts ahead of it, so that both see the same content.
struct entry_rules {
    exclude_patterns excludes; // entries left out, files and directories alike
    exclude_patterns includes; // when any: the files that are taken, all others left out
    bool hidden_left_out = false;
};

entry_rules rules_of(const run_options &options);

// Whether an entry is left out by its name and path alone, before its status is known:
// --exclude, and hidden names when those are left out.
bool left_out_by_name(const entry_rules &rules, std::string_view name,
                      std::string_view relative_path);

// Whether a regular file is left out because include patterns were given and none matches it.
bool left_out_by_includes(const entry_rules &rules, std::string_view name,
                          std::string_view relative_path);
