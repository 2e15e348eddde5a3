#include "metainfo/single_file.h"

#include "common/console.h"
#include "common/handles.h"
#include "common/numbers.h"
#include "common/output_stream.h"
#include "common/progress.h"
#include "hash/piece_stream.h"
#include "metainfo/name.h"

#include <fcntl.h>

namespace {
void write_single_file_header(const char *input_path, std::FILE *out, std::int64_t size,
                              std::int32_t piece_length) {
    out_printf(out, "6:lengthi%llde", static_cast<long long>(size));
    write_name(out, input_path);
    out_printf(out, "12:piece lengthi%de", piece_length);
    out_printf(out, "6:pieces%lld:", static_cast<long long>(pieces_length(size, piece_length)));
}
} // namespace

int write_single_file_info(const char *input_path, std::FILE *out, std::int64_t size,
                           std::int32_t piece_length) {
    const fd_owner input(open(input_path, O_RDONLY | O_CLOEXEC));
    write_single_file_header(input_path, out, size, piece_length);
    if (input.fd < 0) {
        report_failure("could not open file %s\n", input_path);
        return 1;
    }
    piece_stream_ptr stream =
        piece_stream_start(piece_length, size, [out](const unsigned char *digests, std::size_t n) {
            return out_write(out, digests, n * digest_size);
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
