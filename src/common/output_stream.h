#pragma once
#include <cstddef>
#include <cstdio>

// The metainfo output file. Every write goes through out_write, so that the first failing one
// keeps its errno: the run can report why the destination could not be written, however much
// later the failure is noticed.
struct output_stream {
    std::FILE *file = nullptr;
    int first_error = 0; // errno of the first failed write, 0 while every write succeeded
};

// Returns whether all `size` bytes were taken.
bool out_write(output_stream &out, const void *data, std::size_t size);

// Flushes the file and waits until its content is on the storage device; a failure counts as
// a failed write.
void out_sync(output_stream &out);

// Flushes and closes the file (even after a failed write); returns first_error afterwards.
int out_close(output_stream &out);
