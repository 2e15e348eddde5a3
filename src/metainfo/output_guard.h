#pragma once
#include <csignal>

// Keeps a half-written output from outliving the run: when SIGINT, SIGTERM, SIGHUP or SIGPIPE
// ends the process, the temporary file the document is written to and a guarded regular output
// file are removed first, and the process then dies of that same signal.

// Holds those signals back until the guard is armed or released. Called before the output is
// created, so that no moment exists at which the output exists and a signal leaves it behind;
// a signal that arrives meanwhile is delivered, and handled, once the guard is armed.
void output_guard_hold();

// Those signals, as a set: for a run that holds them back between outputs of its own (edit).
sigset_t output_guard_signals();

// `path` and `temporary` (nullptr when the output is written in place) must stay valid until
// output_guard_release; only a removable (regular) output is removed. Lets the held signals
// through.
void output_guard_arm(const char *path, const char *temporary, bool removable);

// The temporary file has taken the output's name: from now on only the output is removed.
void output_guard_forget_temporary();

// Called once the run's outcome is settled (the output complete, or removed): the signals stay
// held until the process ends, so that the status never contradicts what is on disk.
void output_guard_release();
