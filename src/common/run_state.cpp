#include "common/run_state.h"

const char *run_comment = nullptr;
bool run_inclusive = false;
file_identity run_output_identity;
