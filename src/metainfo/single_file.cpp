#include "metainfo/single_file.h"

#include "common/console.h"
#include "common/handles.h"
#include "common/numbers.h"
#include "common/progress.h"
#include "hash/piece_stream.h"
#include "metainfo/document.h"
#include "tree/accumulator.h"
#include "tree/file_hasher.h"

#include <fcntl.h>

namespace {
// The classic command line says what it is doing on standard output; `create` keeps that for
// results.
void announce_hashing(const run_options &options) {
    if (options.notices_on_stdout) {
        say_out("computing sha1... ");
        flush_out();
    }
}
} // namespace

int write_single_file_info(const run_options &options, std::int64_t size, bencode_writer &out) {
    const char *input_path = options.input_path;
    const fd_owner input(open(input_path, O_RDONLY | O_CLOEXEC));
    open_single_file_info(out, size, {input_path, options.piece_length, options.name});
    if (input.fd < 0) {
        report_failure("could not open file %s\n", input_path);
        return 1;
    }
    piece_stream_ptr stream = piece_stream_start(
        options.piece_length, size, [&out](const unsigned char *digests, std::size_t n) {
            return write_digests(out, digests, n * digest_size);
        });
    if (!stream) {
        report_failure("out of memory\n");
        return 1;
    }
    announce_hashing(options);
    progress_start(size);
    feed_status status = piece_stream_feed(*stream, input.fd, size);
    if (status == feed_status::ok) {
        status = piece_stream_finish(*stream);
    }
    progress_stop();
    if (status != feed_status::ok) {
        return report_feed_failure(status, input_path);
    }
    if (options.notices_on_stdout) {
        say_out("done\n");
    }
    return 0;
}

namespace {
// Reads the file once; its tree and, for hybrid, its v1 pieces are complete afterwards.
feed_status hash_content(int fd, std::int64_t size, file_hasher &hasher, file_hashes &hashes) {
    const feed_status status = file_hasher_feed(hasher, fd, size);
    return status == feed_status::ok ? file_hasher_end_file(hasher, size, hashes) : status;
}

// The whole info dictionary but its end: the file tree needs the file's tree, so nothing goes
// out before the content is hashed.
int hand_over(v2_document &document, std::int64_t size, file_hashes &hashes, bool hybrid) {
    document.files_begin();
    document.add_file({size, {}, &hashes});
    document.files_end();
    return hybrid ? accumulator_finish(document) : 0;
}
} // namespace

int hash_single_file(const run_options &options, std::int64_t size, v2_document &document) {
    const char *input_path = options.input_path;
    const fd_owner input(open(input_path, O_RDONLY | O_CLOEXEC));
    if (input.fd < 0) {
        report_failure("could not open file %s\n", input_path);
        return 1;
    }
    const bool hybrid = options.format == torrent_format::hybrid;
    file_hasher hasher;
    if (file_hasher_start(hasher, options.piece_length, hybrid, false, size) != 0) {
        return 1;
    }
    const accumulator_scope accumulator;
    announce_hashing(options);
    progress_start(size);
    file_hashes hashes;
    const feed_status status = hash_content(input.fd, size, hasher, hashes);
    const int handed = status == feed_status::ok ? hand_over(document, size, hashes, hybrid) : 1;
    progress_stop();
    if (status != feed_status::ok) {
        return report_feed_failure(status, input_path);
    }
    if (handed != 0) {
        return 1;
    }
    if (options.notices_on_stdout) {
        say_out("done\n");
    }
    return 0;
}
