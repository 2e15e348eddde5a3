#include "tree/exclude.h"

#include <fnmatch.h>

namespace {
// FNM_PATHNAME: like a shell pattern, "docs/*.txt" stays in docs and does not reach
// docs/old/a.txt; a name holds no "/", so the flag only matters for path patterns.
// No FNM_PERIOD: hidden files are the business of -i, and "*~" should leave out ".notes~" as
// well as "notes~" once -i takes hidden files in.
constexpr int match_flags = FNM_PATHNAME;

bool any_matches(const std::vector<std::string> &patterns, std::string_view text) {
    if (patterns.empty()) {
        return false;
    }
    const std::string subject(text); // fnmatch needs a terminated string
    for (const auto &pattern : patterns) {
        if (fnmatch(pattern.c_str(), subject.c_str(), match_flags) == 0) {
            return true;
        }
    }
    return false;
}
} // namespace

void add_exclude_pattern(exclude_patterns &patterns, std::string_view pattern) {
    auto &kind = pattern.find('/') == std::string_view::npos ? patterns.name_patterns
                                                             : patterns.path_patterns;
    kind.emplace_back(pattern);
}

bool excluded(const exclude_patterns &patterns, std::string_view name,
              std::string_view relative_path) {
    return any_matches(patterns.name_patterns, name) ||
           any_matches(patterns.path_patterns, relative_path);
}
