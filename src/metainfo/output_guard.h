#pragma once

// Keeps a half-written output from outliving the run: when SIGINT, SIGTERM, SIGHUP or SIGPIPE
// ends the process, a guarded regular output file is removed first and the process then dies
// of that same signal.

// `path` must stay valid until output_guard_release; only a removable (regular) output is
// removed.
void output_guard_arm(const char *path, bool removable);
void output_guard_release();
