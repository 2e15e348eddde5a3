#include "cli/options.h"
#include "commands/command.h"
#include "common/console.h"
#include "common/memory_reserve.h"
#include "metainfo/write_metainfo.h"
#include "tree/scan.h"

#include <new>
#include <unistd.h>

namespace {
// The lists of trackers, web seeds and patterns are the only memory the command line takes.
parse_outcome parse_or_fail(int argc, char **argv, run_options &options) {
    try {
        return parse_command_line(argc, argv, options);
    } catch (const std::bad_alloc &) {
        report_failure("out of memory\n");
        return parse_outcome::exit_failure;
    }
}
// The status line on a terminal shows a total, percentage and time left for a directory too,
// from a first look at the tree; that look never fails a run, which the walk judges as before.
// Output that is not a terminal gets no status line, and is not looked at twice.
void find_progress_total(run_options &options) {
    content_scan found;
    if (isatty(STDERR_FILENO) == 1 && scan_content(options, {}, found) == 0) {
        options.expected_bytes = found.bytes;
    }
}
} // namespace

int main(int argc, char **argv) {
    // Only an exact command word changes what the arguments mean; everything else is read as it
    // always was, so existing scripts keep working.
    if (argc > 1)
        if (const command *wanted = find_command(argv[1]))
            return wanted->run(argc - 1, argv + 1);
    // Help and version need no reserve; a run checks that it has one before its output exists.
    hold_memory_reserve();
    run_options options;
    switch (parse_or_fail(argc, argv, options)) {
    case parse_outcome::exit_success:
        return 0;
    case parse_outcome::exit_failure:
        return 1;
    case parse_outcome::run:
        break;
    }
    find_progress_total(options);
    return write_metainfo(options);
}
