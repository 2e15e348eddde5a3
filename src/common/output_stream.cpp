#include "common/output_stream.h"

#include <cerrno>
#include <cstdarg>

namespace {
int first_output_error = 0;
}

void note_output_failure(int error) {
    if (first_output_error == 0) {
        first_output_error = error != 0 ? error : EIO;
    }
}

int output_errno() {
    return first_output_error;
}

bool out_printf(std::FILE *out, const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    const int written = std::vfprintf(out, format, args);
    va_end(args);
    if (written < 0) {
        note_output_failure(errno);
        return false;
    }
    return true;
}

bool out_write(std::FILE *out, const void *data, std::size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, out) != size) {
        note_output_failure(errno);
        return false;
    }
    return true;
}
