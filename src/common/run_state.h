#pragma once
#include <sys/stat.h>
#include <sys/types.h>

// The run's process-wide values, set once per run. Everything else of the run travels in its
// run_options value (common/run_options.h).

// Whether hidden regular files (names starting with '.') are taken into a directory torrent, as
// set while the options are read.
extern bool run_inclusive;

// Identities of the file the document is being written to, and of the older output that file
// will replace, so that a walk over a tree that contains them leaves both out.
struct file_identity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
};
extern file_identity run_output_identity;
extern file_identity run_replaced_output_identity;

// Whether a file with this status is the run's own output, or the older output it replaces.
bool is_run_output(const struct stat &status);
