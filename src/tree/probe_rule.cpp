#include "tree/probe_rule.h"

bool name_leaves_out_file(const probe_rule &rule, std::string_view name) {
    return !name.empty() && name.front() == '.' && !rule.inclusive;
}

bool file_left_out(const probe_rule &rule, std::string_view name, const struct stat &status) {
    return name_leaves_out_file(rule, name) || is_same_file(rule.outputs.written, status) ||
           is_same_file(rule.outputs.replaced, status);
}
