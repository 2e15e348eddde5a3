#include "metainfo/name.h"

#include <cstdlib>
#include <memory>

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

std::optional<std::string> resolved_directory_name(const char *input_path) {
    const std::string_view name = torrent_name(input_path);
    if (name != "." && name != "..") {
        return std::nullopt;
    }
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(input_path, nullptr),
                                                               &std::free);
    if (!resolved) {
        return std::nullopt;
    }
    const std::string_view full(resolved.get());
    const std::string_view last = full.substr(full.rfind('/') + 1);
    if (last.empty()) {
        return std::nullopt;
    }
    return std::string(last);
}
