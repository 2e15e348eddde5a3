#include "metainfo/write_metainfo.h"

#include "common/console.h"
#include "common/numbers.h"
#include "common/output_stream.h"
#include "common/run_state.h"
#include "metainfo/output_guard.h"
#include "metainfo/single_file.h"
#include "tree/walk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Opening the output empties it, so an output that already is the input (the same file under
// any name) must be refused before anything is opened.
bool output_is_input(const char *input_path, const char *output_path) {
    struct stat input = {};
    struct stat output = {};
    return stat(input_path, &input) == 0 && S_ISREG(input.st_mode) &&
           stat(output_path, &output) == 0 && input.st_dev == output.st_dev &&
           input.st_ino == output.st_ino;
}

void write_document_head(std::FILE *out, const char *announce, const char *port, const char *path) {
    const std::size_t url_length =
        std::strlen(announce) + 1 + std::strlen(port) + std::strlen(path);
    out_printf(out, "d8:announce%zu:%s:%s%s", url_length, announce, port, path);
    if (run_comment != nullptr) {
        out_printf(out, "7:comment%zu:", std::strlen(run_comment));
        out_write(out, run_comment, std::strlen(run_comment));
    }
    out_printf(out, "13:creation datei%llde", static_cast<long long>(std::time(nullptr)));
    out_printf(out, "4:infod");
}

int write_info_contents(std::FILE *out, const char *input_path, std::int32_t piece_length) {
    struct stat input = {};
    if (stat(input_path, &input) != 0) {
        report_failure("could not access %s: %m\n", input_path);
        return 1;
    }
    if (S_ISREG(input.st_mode)) {
        return write_single_file_info(input_path, out, input.st_size, piece_length);
    }
    if (S_ISDIR(input.st_mode)) {
        return write_directory_info(input_path, out, piece_length);
    }
    report_failure("not a file or directory: %s\n", input_path);
    return 1;
}

// Memory can run out in any container along the way; the run then fails like any other.
int write_info_or_fail(std::FILE *out, const char *input_path, std::int32_t piece_length) {
    try {
        return write_info_contents(out, input_path, piece_length);
    } catch (const std::bad_alloc &) {
        report_failure("out of memory\n");
        return 1;
    }
}

// Closes the output; a write that failed at any point, or a failed close, fails the run.
int close_output(std::FILE *out, const char *output_path) {
    if (std::fflush(out) != 0) {
        note_output_failure(errno);
    }
    if (std::fclose(out) != 0) {
        note_output_failure(errno);
    }
    if (output_errno() == 0) {
        return 0;
    }
    errno = output_errno();
    report_failure("could not write destination file %s: %m\n", output_path);
    return 1;
}

void remember_output(std::FILE *out) {
    struct stat output = {};
    if (fstat(fileno(out), &output) == 0) {
        run_output_identity = {S_ISREG(output.st_mode), output.st_dev, output.st_ino};
    }
}
} // namespace

int write_metainfo(const char *announce, const char *input_path, const char *output_path,
                   const char *port, const char *path, std::int32_t piece_length) {
    if (leading_decimal(port) == 0) {
        report_failure("invalid port number\n");
        return 1;
    }
    if (output_is_input(input_path, output_path)) {
        report_failure("destination file %s is the input file\n", output_path);
        return 1;
    }
    output_guard_hold();
    std::FILE *out = std::fopen(output_path, "w");
    if (out == nullptr) {
        output_guard_release();
        report_failure("could not open destination file %s\n", output_path);
        return 1;
    }
    remember_output(out);
    // Only a regular file is ours to remove; a device or pipe given as output stays.
    const bool removable = run_output_identity.known;
    output_guard_arm(output_path, removable);
    write_document_head(out, announce, port, path);
    int status = write_info_or_fail(out, input_path, piece_length);
    out_printf(out, "ee");
    // Progress text still buffered must reach its reader while the output is guarded: a reader
    // that has gone away ends the run by SIGPIPE, which must not leave the output behind.
    flush_out();
    if (close_output(out, output_path) != 0) {
        status = 1;
    }
    if (status != 0 && removable) {
        unlink(output_path);
    }
    output_guard_release();
    return status;
}
