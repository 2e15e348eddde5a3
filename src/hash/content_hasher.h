#pragma once
#include "common/content_sink.h"
#include "common/run_options.h"
#include "hash/buffer.h"
#include "hash/merkle.h"
#include "hash/piece_stream.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// One run's content, hashed as its format asks: the v1 pieces of the whole content as one stream
// cut at the piece length regardless of where files end, and (v2, hybrid) each file's own merkle
// tree. Files are fed one after another, from an open file or as bytes read earlier; each file
// is ended to get its tree; the pieces go to a sink (piece_digest_sink) as they complete. Every
// hasher owns its stream, trees, buffers and threads, so two of them in one process do not meet.

// What a hasher is made for: the format, the piece length, and the limits of its content.
struct content_plan {
    torrent_format format = torrent_format::v1;
    std::int32_t piece_length = 0;
    // The whole content's size when known in advance (a single file), or -1: buffers are never
    // larger than it, and content beyond it is refused as a changed file.
    std::int64_t content_size = -1;
    // Hybrid: when two or more files are fed, zero bytes pad every file's v1 content to a piece
    // boundary, the last one included; the only file of a torrent has none.
    bool pad_files = false;
    unsigned thread_limit = 0; // hashing threads at most; 0: one per processor it may run on
};

class content_hasher {
  public:
    // nullptr when memory cannot be had. `pieces` must outlive the hasher.
    static std::unique_ptr<content_hasher> start(const content_plan &plan,
                                                 piece_digest_sink &pieces);

    // Whether files are ended with a tree of their own (v2, hybrid): their hashes are known only
    // once their content was fed.
    bool keeps_file_trees() const { return plan_.format != torrent_format::v1; }

    // Whether the content has v1 pieces (v1, hybrid).
    bool has_pieces() const { return plan_.format != torrent_format::v2; }

    // Reads the open file `fd` from its position; it must yield exactly `size` bytes.
    feed_status feed(int fd, std::int64_t size);

    // Takes in bytes of the current file that were read earlier.
    feed_status feed_bytes(const unsigned char *data, std::size_t size);

    // Ends the file of `length` bytes fed since the start or the last end: its tree goes to
    // `hashes` (v2, hybrid; left empty in v1) and, where files are padded, its padding to the
    // pieces; the first file's padding only once a second file is fed.
    feed_status end_file(std::int64_t length, file_hashes &hashes);

    // Hashes the last, partial piece and hands every digest not yet handed on to the sink.
    feed_status finish();

    // The system's error number of the read that made the last feed fail with read_error.
    int read_error() const { return read_errno_; }

    // Bytes of content fed so far, padding included.
    std::int64_t bytes_fed() const;

    content_hasher(const content_hasher &) = delete;
    content_hasher &operator=(const content_hasher &) = delete;
    ~content_hasher() = default;

  private:
    content_hasher() = default;
    bool begin(piece_digest_sink &pieces);
    feed_status read_small_file(int fd, std::int64_t size);
    feed_status take_content(const unsigned char *data, std::size_t size);
    feed_status feed_padding(std::int64_t length);
    feed_status feed_waiting_padding();
    feed_status pad_file(std::int64_t length);
    feed_status deliver_leaves();
    feed_status feed_with_leaves(int fd, std::int64_t size);
    feed_status settle(feed_status status);

    content_plan plan_;
    piece_digest_sink *pieces_ = nullptr;
    feed_status sink_status_ = feed_status::ok; // why the sink stopped the run
    int read_errno_ = 0;
    std::int64_t pieces_delivered_ = 0;
    // v1 and hybrid: the pieces; v2: a stream whose batches carry only leaves. The plan chose
    // its path, and chooses which files' leaves it takes.
    hash_plan stream_plan_;
    piece_stream_ptr stream_;
    // v2 and hybrid.
    merkle_file tree_;
    content_buffer buffer_{nullptr, mapping_deleter{}}; // reads of files too small for the ring
    std::size_t buffer_size_ = 0;
    bool leaves_pending_ = false; // the file's last leaves are in batches not yet delivered
    // The first file's padding waits for a second file: the only file of a torrent has none.
    bool first_file_ = true;
    std::int64_t waiting_padding_ = 0;
};

// Keeps every digest until the content is finished, for a document that lists the pieces after
// the files (a directory's). Memory stays close to 20 bytes a piece, and growing never copies
// what is kept.
class kept_pieces final : public piece_digest_sink {
  public:
    feed_status take_pieces(std::int64_t first, const unsigned char *digests,
                            std::size_t count) override;
    // Hands every digest kept to `pieces`, as one pieces string.
    void hand_on(pieces_sink &pieces) const;

  private:
    std::vector<std::unique_ptr<unsigned char[]>> chunks_;
    std::int64_t bytes_ = 0;
};

// Finishes `hasher`, whose pieces went to `pieces`, and hands them on to `document` when any byte
// was fed (nothing at all otherwise, nor for v2, which has no pieces).
feed_status finish_kept_pieces(content_hasher &hasher, const kept_pieces &pieces,
                               pieces_sink &document);
