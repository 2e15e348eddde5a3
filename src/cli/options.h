#pragma once
#include "common/run_options.h"
#include "common/version.h"

#include <cstdint>

// What the command line asks for once it has been read.
enum class parse_outcome { run, exit_success, exit_failure };

// Reads the options and positional arguments; help, version and every refusal are printed here.
parse_outcome parse_command_line(int argc, char **argv, run_options &options);
