#pragma once
#include "common/content_sink.h"

// Turns a failed feed of the file at `path` into its one line on standard error and returns 1
// (0 for success). `read_errno` is the system's error number of a failed read, carried as a
// value from whichever thread met it. A failed sink is reported by its owner: the document
// writer knows the destination.
int report_feed_failure(feed_status status, int read_errno, const char *path);
