#pragma once

// Keeps a half-written output from outliving the run: when SIGINT, SIGTERM, SIGHUP or SIGPIPE
// ends the process, a guarded regular output file is removed first and the process then dies
// of that same signal.

// Holds those signals back until the guard is armed or released. Called before the output is
// created, so that no moment exists at which the output exists and a signal leaves it behind;
// a signal that arrives meanwhile is delivered, and handled, once the guard is armed.
void output_guard_hold();

// `path` must stay valid until output_guard_release; only a removable (regular) output is
// removed. Lets the held signals through.
void output_guard_arm(const char *path, bool removable);

// Called once the run's outcome is settled (the output complete, or removed): the signals stay
// held until the process ends, so that the status never contradicts what is on disk.
void output_guard_release();
