#pragma once
#include "common/file_identity.h"

#include <string_view>
#include <sys/stat.h>

// The rule that decides which regular files the walk leaves out without a word: hidden ones
// (names starting with '.') unless they are asked for, and the run's own output. The walk, and
// both ways of looking at entries ahead of it, ask only these two functions with the one rule of
// the run, so a file is never read ahead that the walk would leave out, nor left out by one and
// taken in by the other.
struct probe_rule {
    bool inclusive = false; // hidden regular files are taken in too
    output_identities outputs;
};

// Whether the name alone leaves a regular file out; then its status is not needed.
bool name_leaves_out_file(const probe_rule &rule, std::string_view name);

// Whether a regular file with this name and status is left out.
bool file_left_out(const probe_rule &rule, std::string_view name, const struct stat &status);
