#pragma once
#include <string>

// The rule of the new commands for the file they write: an existing file is never replaced
// unless --force says so, and the document then takes its place whole (written beside it and
// renamed over it; see metainfo/output_file.h), so that a failed run leaves it as it was.

// Whether `path` may be written: true when it does not exist, or `force` allows replacing it;
// false after one line on standard error.
bool output_may_be_written(const std::string &path, bool force);
