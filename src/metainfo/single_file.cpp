#include "metainfo/single_file.h"

#include "common/console.h"
#include "common/feed_report.h"
#include "common/handles.h"
#include "common/progress.h"
#include "hash/content_hasher.h"
#include "hash/piece_stream.h"
#include "metainfo/document.h"

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

// The hashing of the single file: the plan is the run's format and piece length, and the file's
// size as the content's limit.
std::unique_ptr<content_hasher> start_hasher(const run_options &options, std::int64_t size,
                                             piece_digest_sink &pieces) {
    std::unique_ptr<content_hasher> hasher = content_hasher::start(
        {options.format, options.piece_length, size, false, options.hash_threads}, pieces);
    if (!hasher) {
        report_failure("out of memory\n");
    }
    return hasher;
}

// Reads the file once; its pieces and, for v2 and hybrid, its tree are complete afterwards.
feed_status hash_content(content_hasher &hasher, int fd, std::int64_t size, file_hashes &hashes) {
    feed_status status = hasher.feed(fd, size);
    if (status == feed_status::ok) {
        status = hasher.end_file(size, hashes);
    }
    return status;
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
    digest_writer pieces(out);
    const std::unique_ptr<content_hasher> hasher = start_hasher(options, size, pieces);
    if (!hasher) {
        return 1;
    }
    announce_hashing(options);
    if (!options.quiet) {
        progress_start(size);
    }
    feed_status status = hasher->feed(input.fd, size);
    if (status == feed_status::ok) {
        status = hasher->finish();
    }
    progress_stop();
    if (status != feed_status::ok) {
        return report_feed_failure(status, hasher->read_error(), input_path);
    }
    if (options.notices_on_stdout) {
        say_out("done\n");
    }
    return 0;
}

namespace {
// The whole info dictionary but its end: the file tree needs the file's tree, so nothing goes
// out before the content is hashed.
int hand_over(v2_document &document, std::int64_t size, file_hashes &hashes, content_hasher &hasher,
              const kept_pieces &pieces) {
    document.files_begin();
    document.add_file({size, {}, &hashes});
    document.files_end();
    const feed_status finished = finish_kept_pieces(hasher, pieces, document);
    if (finished == feed_status::out_of_memory) {
        report_failure("out of memory\n");
    }
    return finished == feed_status::ok ? 0 : 1;
}
} // namespace

int hash_single_file(const run_options &options, std::int64_t size, v2_document &document) {
    const char *input_path = options.input_path;
    const fd_owner input(open(input_path, O_RDONLY | O_CLOEXEC));
    if (input.fd < 0) {
        report_failure("could not open file %s\n", input_path);
        return 1;
    }
    kept_pieces pieces;
    const std::unique_ptr<content_hasher> hasher = start_hasher(options, size, pieces);
    if (!hasher) {
        return 1;
    }
    announce_hashing(options);
    if (!options.quiet) {
        progress_start(size);
    }
    file_hashes hashes;
    const feed_status status = hash_content(*hasher, input.fd, size, hashes);
    const int handed =
        status == feed_status::ok ? hand_over(document, size, hashes, *hasher, pieces) : 1;
    progress_stop();
    if (status != feed_status::ok) {
        return report_feed_failure(status, hasher->read_error(), input_path);
    }
    if (handed != 0) {
        return 1;
    }
    if (options.notices_on_stdout) {
        say_out("done\n");
    }
    return 0;
}
