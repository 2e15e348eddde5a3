#pragma once
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <string_view>

// Number of files whose entry went into the file list this run.
extern std::int32_t files_added;

// Directories nested deeper than this below the input directory are left out.
constexpr int max_nesting_level = 29;

// Writes the info contents of a directory torrent: the file list, the name, the piece length
// and the pieces over the listed files' content. Returns 0, or 1 after reporting why.
int write_directory_info(const char *input_path, std::FILE *out, std::int32_t piece_length);

struct prefetcher;

// Walks one open directory and everything below it, with `look_ahead` looking at its entries
// ahead of the walk. Returns 0, or 1 when the run must fail (the reason has been reported).
int walk_directory(prefetcher &look_ahead, DIR *dir, std::FILE *out, const std::string &dir_path,
                   int level, std::int32_t piece_length, std::string_view input_path);

// "pathl" followed by one "<length>:<component>" element per non-empty component.
std::string build_path_list(std::string_view relative_path);
