#pragma once
#include "common/version.h"

#include <cstdint>

// The values of one run as the command line gives them.
struct run_options {
    const char *announce = nullptr;
    const char *port = "6881";
    const char *path = "/announce";
    std::int32_t piece_length = 262144;
    const char *input_path = nullptr;
    const char *output_path = nullptr;
};

// What the command line asks for once it has been read.
enum class parse_outcome { run, exit_success, exit_failure };

// Reads the options and positional arguments; help, version and every refusal are printed here.
// Sets the process-wide comment and inclusive flag as they are met.
parse_outcome parse_command_line(int argc, char **argv, run_options &options);
