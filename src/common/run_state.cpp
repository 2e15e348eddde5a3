#include "common/run_state.h"

const char *run_comment = nullptr;
bool run_inclusive = false;
file_identity run_output_identity;

bool is_run_output(const struct stat &status) {
    return run_output_identity.known && status.st_dev == run_output_identity.device &&
           status.st_ino == run_output_identity.inode;
}
