#pragma once
#include <sys/stat.h>
#include <sys/types.h>

// Values that cross the program's layers, set once per run.

// The comment given with -c, or nullptr when there is none (an empty comment still counts).
extern const char *run_comment;

// Whether hidden regular files (names starting with '.') are taken into a directory torrent.
extern bool run_inclusive;

// Identity of the open output file, so a walk over a tree that contains it can leave it out.
struct file_identity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
};
extern file_identity run_output_identity;

// Whether a file with this status is the run's own output.
bool is_run_output(const struct stat &status);
