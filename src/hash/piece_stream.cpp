#include "hash/piece_stream.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <openssl/sha.h>
#include <unistd.h>
#include <vector>

struct piece_stream {
    std::int32_t piece_length = 0;
    std::unique_ptr<unsigned char[]> piece_buffer;
    std::int64_t buffer_size = 0;
    std::int64_t piece_fill = 0;
    std::int64_t bytes_fed = 0;
    digest_sink sink;
};

void piece_stream_deleter::operator()(piece_stream *stream) const { delete stream; }

piece_stream_ptr piece_stream_start(std::int32_t piece_length, std::int64_t content_limit,
                                    digest_sink sink) {
    piece_stream_ptr stream(new (std::nothrow) piece_stream);
    if (!stream) {
        return nullptr;
    }
    stream->piece_length = piece_length;
    stream->sink = std::move(sink);
    stream->buffer_size = content_limit < 0 ? piece_length
                                            : std::min<std::int64_t>(piece_length, content_limit);
    if (stream->buffer_size > 0) {
        stream->piece_buffer.reset(new (std::nothrow) unsigned char[stream->buffer_size]);
        if (!stream->piece_buffer) {
            return nullptr;
        }
    }
    return stream;
}

namespace {
bool deliver_piece(piece_stream &stream, std::int64_t length) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(stream.piece_buffer.get(), static_cast<std::size_t>(length), digest);
    stream.piece_fill = 0;
    return stream.sink(digest, 1);
}

ssize_t read_some(int fd, void *into, std::size_t size) {
    ssize_t got = 0;
    do {
        got = read(fd, into, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

// After the announced size was read, the file must be at its end.
feed_status expect_end(int fd) {
    unsigned char probe = 0;
    const ssize_t got = read_some(fd, &probe, 1);
    if (got < 0) {
        return feed_status::read_error;
    }
    return got == 0 ? feed_status::ok : feed_status::changed;
}
} // namespace

feed_status piece_stream_feed(piece_stream &stream, int fd, std::int64_t size) {
    std::int64_t remaining = size;
    while (remaining > 0) {
        const std::int64_t room = stream.buffer_size - stream.piece_fill;
        const auto want = static_cast<std::size_t>(std::min(room, remaining));
        const ssize_t got = read_some(fd, stream.piece_buffer.get() + stream.piece_fill, want);
        if (got < 0) {
            return feed_status::read_error;
        }
        if (got == 0) {
            return feed_status::changed;
        }
        stream.piece_fill += got;
        stream.bytes_fed += got;
        remaining -= got;
        if (stream.piece_fill == stream.piece_length && !deliver_piece(stream, stream.piece_fill)) {
            return feed_status::sink_failed;
        }
    }
    return expect_end(fd);
}

feed_status piece_stream_finish(piece_stream &stream) {
    if (stream.piece_fill > 0 && !deliver_piece(stream, stream.piece_fill)) {
        return feed_status::sink_failed;
    }
    return feed_status::ok;
}

std::int64_t piece_stream_bytes(const piece_stream &stream) { return stream.bytes_fed; }
