#pragma once
#include <optional>
#include <string>
#include <string_view>

// The torrent's name from the input path as typed: its last component, trailing slashes
// ignored, except that a path made only of slashes is named "/".
std::string_view torrent_name(std::string_view input_path);

// Whether a name given for the torrent can name it: a client makes it a file or a top
// directory, so it must be one non-empty path component other than "." and "..".
bool usable_torrent_name(std::string_view name);

// For an input path whose last component is "." or "..", which names no torrent a client can
// load: the name of the directory it resolves to. Nothing for any other path, or when the path
// cannot be resolved (the run then fails on the input itself), or for the root.
std::optional<std::string> resolved_directory_name(const char *input_path);
