#pragma once
#include <string>
#include <string_view>
#include <vector>

// The --exclude patterns of a run, kept apart by what each is matched against.
struct exclude_patterns {
    std::vector<std::string> name_patterns; // no "/": matched against an entry's name
    std::vector<std::string> path_patterns; // a "/": against its path relative to the input
};

// Files the pattern under the kind its text asks for.
void add_exclude_pattern(exclude_patterns &patterns, std::string_view pattern);

// Whether an entry below the input is left out: a file is not taken in, a directory not
// entered. `relative_path` is the entry's path below the input, components joined by "/",
// ending in `name`. Matching is byte by byte (fnmatch in the C locale), "*" and "?" never match
// a "/", a leading "." needs no explicit dot, and "\" quotes the next character.
bool excluded(const exclude_patterns &patterns, std::string_view name,
              std::string_view relative_path);
