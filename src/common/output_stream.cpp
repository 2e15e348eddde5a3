#include "common/output_stream.h"

#include <cerrno>
#include <unistd.h>

namespace {
void note_output_failure(output_stream &out, int error) {
    if (out.first_error == 0) {
        out.first_error = error != 0 ? error : EIO;
    }
}
} // namespace

bool out_write(output_stream &out, const void *data, std::size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, out.file) != size) {
        note_output_failure(out, errno);
        return false;
    }
    return true;
}

void out_sync(output_stream &out) {
    if (std::fflush(out.file) != 0 || fsync(fileno(out.file)) != 0) {
        note_output_failure(out, errno);
    }
}

int out_close(output_stream &out) {
    if (std::fflush(out.file) != 0) {
        note_output_failure(out, errno);
    }
    if (std::fclose(out.file) != 0) {
        note_output_failure(out, errno);
    }
    out.file = nullptr;
    return out.first_error;
}
