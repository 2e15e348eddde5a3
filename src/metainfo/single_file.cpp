#include "metainfo/single_file.h"

#include "common/console.h"
#include "common/handles.h"
#include "common/numbers.h"
#include "common/progress.h"
#include "hash/piece_stream.h"
#include "metainfo/document.h"

#include <fcntl.h>

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
    say_out("computing sha1... ");
    flush_out();
    progress_start(size);
    feed_status status = piece_stream_feed(*stream, input.fd, size);
    if (status == feed_status::ok) {
        status = piece_stream_finish(*stream);
    }
    progress_stop();
    if (status != feed_status::ok) {
        return report_feed_failure(status, input_path);
    }
    say_out("done\n");
    return 0;
}
