#pragma once
#include <cstdio>

// Every line the tool shows goes through these, so that a live status line on a terminal can be
// taken off the screen before any other text appears.

// Progress and notices on standard output.
void say_out(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A notice about one entry on standard error; the run goes on.
void say_err(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The one line that reports why the run fails. Later failures found while cleaning up are not
// reported again, so a failed run says exactly one thing.
void report_failure(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Makes standard output's pending text visible now, for text that announces a long step.
void flush_out();
