#include "common/run_state.h"

bool run_inclusive = false;
file_identity run_output_identity;
file_identity run_replaced_output_identity;

namespace {
bool is_file(const file_identity &identity, const struct stat &status) {
    return identity.known && status.st_dev == identity.device && status.st_ino == identity.inode;
}
} // namespace

bool is_run_output(const struct stat &status) {
    return is_file(run_output_identity, status) || is_file(run_replaced_output_identity, status);
}
