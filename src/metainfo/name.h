#pragma once
#include <string_view>

// The torrent's name from the input path as typed: its last component, trailing slashes
// ignored, except that a path made only of slashes is named "/".
std::string_view torrent_name(std::string_view input_path);
