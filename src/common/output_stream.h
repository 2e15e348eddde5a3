#pragma once
#include <cstddef>
#include <cstdio>

// Writes to the metainfo output. The first failing write keeps its errno so the run can report
// why the destination could not be written, however much later the failure is noticed.
bool out_printf(std::FILE *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool out_write(std::FILE *out, const void *data, std::size_t size);

// errno of the first failed write, 0 while every write succeeded.
int output_errno();
void note_output_failure(int error);
