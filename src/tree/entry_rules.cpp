#include "tree/entry_rules.h"

entry_rules rules_of(const run_options &options) {
    entry_rules rules;
    for (const char *pattern : options.excludes) {
        add_exclude_pattern(rules.excludes, pattern);
    }
    for (const char *pattern : options.includes) {
        add_exclude_pattern(rules.includes, pattern);
    }
    rules.hidden_left_out = options.hidden_left_out;
    return rules;
}

bool left_out_by_name(const entry_rules &rules, std::string_view name,
                      std::string_view relative_path) {
    if (rules.hidden_left_out && name.starts_with('.')) {
        return true;
    }
    return excluded(rules.excludes, name, relative_path);
}

bool left_out_by_includes(const entry_rules &rules, std::string_view name,
                          std::string_view relative_path) {
    const bool any = !rules.includes.name_patterns.empty() || !rules.includes.path_patterns.empty();
    return any && !excluded(rules.includes, name, relative_path);
}
