#include "metainfo/write_metainfo.h"

#include "common/console.h"
#include "common/memory_reserve.h"
#include "common/numbers.h"
#include "common/output_stream.h"
#include "metainfo/bencode.h"
#include "metainfo/document.h"
#include "metainfo/info_hash.h"
#include "metainfo/magnet.h"
#include "metainfo/output_file.h"
#include "metainfo/output_guard.h"
#include "metainfo/single_file.h"
#include "tree/walk.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// An output written in place is emptied when it is opened, and a replaced one would take the
// input's place: an output that already is the input (the same file under any name) is refused
// before anything is opened.
bool output_is_input(const run_options &options) {
    struct stat input = {};
    struct stat output = {};
    return stat(options.input_path, &input) == 0 && S_ISREG(input.st_mode) &&
           stat(options.output_path, &output) == 0 && input.st_dev == output.st_dev &&
           input.st_ino == output.st_ino;
}

// The URL made from -a is a tier of its own, ahead of the --tracker tiers.
tracker_tiers all_trackers(const run_options &options) {
    tracker_tiers trackers;
    if (options.announce != nullptr) {
        trackers.push_back({announce_url(options.announce, options.port, options.path)});
    }
    trackers.insert(trackers.end(), options.trackers.begin(), options.trackers.end());
    return trackers;
}

info_basics basics_of(const run_options &options) {
    const char *name = options.name;
    if (name == nullptr && !options.resolved_name.empty()) {
        name = options.resolved_name.c_str();
    }
    return {options.input_path, options.piece_length, name};
}

// `hasher`, when given, hashes the info dictionary as it is written.
document_head head_of(const run_options &options, info_hasher *hasher) {
    document_head head;
    head.trackers = all_trackers(options);
    head.comment = options.comment;
    head.created_by = options.created_by;
    if (!options.no_date) {
        head.creation_date = std::time(nullptr);
    }
    if (hasher != nullptr) {
        head.info_bytes = [hasher](const unsigned char *data, std::size_t size) {
            info_hasher_feed(*hasher, data, size);
        };
    }
    return head;
}

document_tail tail_of(const run_options &options) {
    return {options.is_private, options.source, options.web_seeds};
}

// v2 and hybrid: the whole content is hashed before the info dictionary can be written; the
// document is then complete.
int write_v2_info(const run_options &options, const output_identities &outputs,
                  const struct stat &input, bencode_writer &out) {
    const bool single_file = S_ISREG(input.st_mode);
    v2_document document(out, basics_of(options), options.format == torrent_format::hybrid,
                         single_file);
    const int status = single_file ? hash_single_file(options, input.st_size, document)
                                   : write_directory_info(options, outputs, document);
    if (status == 0) {
        document.end_document(tail_of(options));
    }
    return status;
}

int write_info_contents(const run_options &options, const output_identities &outputs,
                        bencode_writer &out) {
    struct stat input = {};
    if (stat(options.input_path, &input) != 0) {
        report_failure("could not access %s: %m\n", options.input_path);
        return 1;
    }
    if (!S_ISREG(input.st_mode) && !S_ISDIR(input.st_mode)) {
        report_failure("not a file or directory: %s\n", options.input_path);
        return 1;
    }
    if (options.format != torrent_format::v1) {
        return write_v2_info(options, outputs, input, out);
    }
    if (S_ISREG(input.st_mode)) {
        return write_single_file_info(options, input.st_size, out);
    }
    directory_document document(out, basics_of(options));
    return write_directory_info(options, outputs, document);
}

// Memory can run out in any container along the way; the run then fails like any other.
int write_contents_or_fail(const run_options &options, const output_identities &outputs,
                           info_hasher *hasher, bencode_writer &out) {
    try {
        open_document(out, head_of(options, hasher));
        return write_info_contents(options, outputs, out);
    } catch (const std::bad_alloc &) {
        report_failure("out of memory\n");
        return 1;
    }
}

// Closes the output, and puts a complete document in place; a write that failed at any point,
// or a failed close, fails the run. A write that failed while digests were streamed ended the
// run without a word: it is reported here.
int close_output(output_file &file, output_stream &output, bool complete) {
    const int error = close_output_file(file, output, complete);
    if (file.temporary.empty()) {
        output_guard_forget_temporary();
    }
    if (error == 0) {
        return 0;
    }
    errno = error;
    report_failure("could not write destination file %s: %m\n", file.path.c_str());
    return 1;
}

// Opens the output while the guard holds the signals back; reports the failure and lets the
// signals through again when it cannot.
bool open_or_fail(const run_options &options, output_file &file, output_stream &output) {
    try {
        if (open_output(options.output_path, file, output)) {
            return true;
        }
        output_guard_release();
        report_failure("could not open destination file %s\n", options.output_path);
    } catch (const std::bad_alloc &) {
        output_guard_release();
        report_failure("out of memory\n");
    }
    return false;
}

// Writes the document into the open output, whose files a walk leaves out; returns the content
// writer's status.
int write_document(const run_options &options, const output_file &file, info_hasher *hasher,
                   output_stream &output) {
    bencode_writer out(output);
    const int status = write_contents_or_fail(options, file.identities, hasher, out);
    if (status != 0) {
        // A failed run ends its document the same way, whatever is open by then.
        close_document(out);
    } else if (!out.complete()) {
        // A v1 document ends here; a v2 one was ended by its writer, which puts the piece
        // layers between the info dictionary and the outer keys that follow it.
        const document_tail tail = tail_of(options);
        close_info(out, tail);
        close_outer(out, tail);
    }
    return status;
}

int take_info_hashes(info_hasher &hasher, info_hashes &hashes) {
    const std::optional<info_hashes> computed = info_hasher_end(hasher);
    if (!computed) {
        report_failure("could not compute the info hash\n");
        return 1;
    }
    hashes = *computed;
    return 0;
}

// The link goes out while the output is still guarded: a reader that has gone away ends the
// run by SIGPIPE, which removes the output, as for any other line.
int print_magnet(const run_options &options, info_hasher &hasher) {
    const std::optional<info_hashes> hashes = info_hasher_end(hasher);
    if (!hashes) {
        report_failure("could not compute the info hash\n");
        return 1;
    }
    try {
        const std::string link =
            magnet_link(*hashes, info_name(basics_of(options)), all_trackers(options));
        say_out("%s\n", link.c_str());
    } catch (const std::bad_alloc &) {
        report_failure("out of memory\n");
        return 1;
    }
    flush_out();
    return 0;
}
} // namespace

int write_metainfo(const run_options &options, info_hashes *hashes) {
    // The port only matters in the URL made from -a.
    if (options.announce != nullptr && leading_decimal(options.port) == 0) {
        report_failure("invalid port number\n");
        return 1;
    }
    if (output_is_input(options)) {
        report_failure("destination file %s is the input file\n", options.output_path);
        return 1;
    }
    // Without the reserve, a failed allocation could not even be reported.
    if (!memory_reserve_held()) {
        report_failure("out of memory\n");
        return 1;
    }
    output_guard_hold();
    output_file file;
    file.no_replace = !options.replace_output;
    output_stream output;
    if (!open_or_fail(options, file, output)) {
        return 1;
    }
    // Only a document written beside the older output can leave that output as it was.
    if (options.keep_output_on_failure && !file.temporary.empty()) {
        file.removable = false;
    }
    output_guard_arm(file.path.c_str(), file.temporary.empty() ? nullptr : file.temporary.c_str(),
                     file.removable);
    info_hasher hasher;
    const bool hashing_info = options.magnet || hashes != nullptr;
    if (hashing_info) {
        // SHA-1 of the info dictionary names a v1 torrent, SHA-256 a v2 one; hybrid has both.
        info_hasher_begin(hasher, options.format != torrent_format::v2,
                          options.format != torrent_format::v1);
    }
    int status = write_document(options, file, hashing_info ? &hasher : nullptr, output);
    // Progress text still buffered must reach its reader while the output is guarded: a reader
    // that has gone away ends the run by SIGPIPE, which must not leave the output behind.
    flush_out();
    if (close_output(file, output, status == 0) != 0) {
        status = 1;
    }
    if (status == 0 && hashes != nullptr) {
        status = take_info_hashes(hasher, *hashes);
    } else if (status == 0 && options.magnet) {
        status = print_magnet(options, hasher);
    }
    if (status != 0) {
        discard_output(file);
    }
    output_guard_release();
    return status;
}
