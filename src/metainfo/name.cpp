#include "metainfo/name.h"

std::string_view torrent_name(std::string_view input_path) {
    std::size_t end = input_path.size();
    // The first character always stays, so "///" keeps one slash.
    while (end > 1 && input_path[end - 1] == '/') {
        --end;
    }
    const std::string_view kept = input_path.substr(0, end);
    if (kept.size() <= 1) {
        return kept;
    }
    // Search for the last slash before the last kept character, which belongs to the name.
    const std::size_t slash = kept.rfind('/', kept.size() - 2);
    return slash == std::string_view::npos ? kept : kept.substr(slash + 1);
}

bool usable_torrent_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}
