#pragma once
#include <cstdint>

// A live status line on standard error while content is hashed, shown only when standard error
// is a terminal and redrawn in place at most ten times a second. Every other line the tool
// prints takes it off the screen first, so what stays there reads as if it had never been shown.

// Starts counting; `total_bytes` is the content's size when it is known, or -1. A quiet run
// (`create -q`, `verify -q`) does not start it, and shows no line.
void progress_start(std::int64_t total_bytes);

// Counts bytes read and files added; redraws the line when it is due.
void progress_bytes(std::int64_t count);
void progress_file();

// Takes the line off the screen, if it is shown; the next update draws it again.
void progress_erase();

// Takes the line off the screen and stops counting.
void progress_stop();

// For a signal handler: takes the line off the screen using only async-signal-safe calls.
void progress_erase_from_signal();
