#include "tree/probe_rule.h"

#include "common/run_state.h"

bool name_leaves_out_file(std::string_view name) {
    return !name.empty() && name.front() == '.' && !run_inclusive;
}

bool file_left_out(std::string_view name, const struct stat &status) {
    return name_leaves_out_file(name) || is_run_output(status);
}
