#pragma once
#include <string_view>
#include <sys/stat.h>

// The rule that decides which regular files the walk leaves out without a word: hidden ones
// (names starting with '.') unless -i was given, and the run's own output. The walk, and both
// ways of looking at entries ahead of it, ask only these two functions, so a file is never read
// ahead that the walk would leave out, nor left out by one and taken in by the other.

// Whether the name alone leaves a regular file out; then its status is not needed.
bool name_leaves_out_file(std::string_view name);

// Whether a regular file with this name and status is left out.
bool file_left_out(std::string_view name, const struct stat &status);
