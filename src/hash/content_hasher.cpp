#include "hash/content_hasher.h"

#include "common/handles.h"
#include "common/numbers.h"
#include "common/progress.h"
#include "hash/hash_workers.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>
#include <unistd.h>
#include <utility>

static_assert(std::is_same_v<merkle_node, tree_node>, "a tree's nodes go to the document as is");

namespace {
// Reads of files too small for the ring (leaves_in_ring); large enough that the system calls cost
// little.
constexpr std::int64_t read_chunk = std::int64_t{1} << 20;

// Zero bytes fed as a file's padding, a part at a time.
constexpr std::array<unsigned char, 65536> zero_bytes{};
} // namespace

std::unique_ptr<content_hasher> content_hasher::start(const content_plan &plan,
                                                      piece_digest_sink &pieces) {
    std::unique_ptr<content_hasher> hasher(new (std::nothrow) content_hasher);
    if (!hasher) {
        return nullptr;
    }
    hasher->plan_ = plan;
    // Padding is content of the v1 stream only.
    hasher->plan_.pad_files = plan.pad_files && plan.format == torrent_format::hybrid;
    return hasher->begin(pieces) ? std::move(hasher) : nullptr;
}

bool content_hasher::begin(piece_digest_sink &pieces) {
    pieces_ = &pieces;
    const unsigned processors = hash_thread_count(plan_.thread_limit);
    stream_plan_ = plan_.format == torrent_format::v2
                       ? plan_leaf_hashing(plan_.content_size, processors)
                       : plan_hashing_here(plan_.piece_length, plan_.content_size, processors);
    stream_ =
        piece_stream_start(stream_plan_, [this](const unsigned char *digests, std::size_t count) {
            sink_status_ = pieces_->take_pieces(pieces_delivered_, digests, count);
            pieces_delivered_ += static_cast<std::int64_t>(count);
            return sink_status_ == feed_status::ok;
        });
    if (!stream_) {
        return false;
    }
    if (!keeps_file_trees()) {
        return true;
    }
    // Never larger than the content needs, and one byte at least, to find a file's end.
    buffer_size_ = static_cast<std::size_t>(
        plan_.content_size < 0 ? read_chunk
                               : std::clamp<std::int64_t>(plan_.content_size, 1, read_chunk));
    buffer_ = allocate_content_buffer(buffer_size_);
    return buffer_ && merkle_begin(tree_, plan_.piece_length);
}

// A failed sink says why itself; a failed read in the stream, on whichever thread, leaves its
// cause there.
feed_status content_hasher::settle(feed_status status) {
    if (status == feed_status::read_error) {
        read_errno_ = piece_stream_read_error(*stream_);
    }
    return status == feed_status::sink_failed && sink_status_ != feed_status::ok ? sink_status_
                                                                                 : status;
}

feed_status content_hasher::take_content(const unsigned char *data, std::size_t size) {
    if (!merkle_feed(tree_, data, size)) {
        return feed_status::out_of_memory;
    }
    if (plan_.format == torrent_format::hybrid) {
        // The stream counts the bytes for the status line itself.
        return settle(piece_stream_feed_bytes(*stream_, data, size));
    }
    progress_bytes(static_cast<std::int64_t>(size));
    return feed_status::ok;
}

// The file's tree ends with the file; its padding goes to the v1 stream alone.
feed_status content_hasher::feed_padding(std::int64_t length) {
    while (length > 0) {
        const auto part = static_cast<std::size_t>(
            std::min<std::int64_t>(length, static_cast<std::int64_t>(zero_bytes.size())));
        const feed_status status =
            settle(piece_stream_feed_bytes(*stream_, zero_bytes.data(), part));
        if (status != feed_status::ok) {
            return status;
        }
        length -= static_cast<std::int64_t>(part);
    }
    return feed_status::ok;
}

// The first file's padding goes before the second file's content, even an empty one's; a
// torrent of one file ends without it.
feed_status content_hasher::feed_waiting_padding() {
    return feed_padding(std::exchange(waiting_padding_, 0));
}

// Pads the file that just ended, or, for the first file, keeps its padding waiting.
feed_status content_hasher::pad_file(std::int64_t length) {
    if (!plan_.pad_files) {
        return feed_status::ok;
    }
    const std::int64_t padding = padding_length(length, plan_.piece_length);
    if (std::exchange(first_file_, false)) {
        waiting_padding_ = padding;
        return feed_status::ok;
    }
    return feed_padding(padding);
}

// The file's last leaves come with the batches still to be delivered; in hybrid, its padding was
// fed first, so that the batches end on a piece boundary. Padding that waits leaves the last
// piece open, to be hashed once what follows it is known.
feed_status content_hasher::deliver_leaves() {
    if (!std::exchange(leaves_pending_, false)) {
        return feed_status::ok;
    }
    return settle(waiting_padding_ > 0 ? piece_stream_deliver_leaves(*stream_)
                                       : piece_stream_deliver(*stream_));
}

// A file that leaves_in_ring takes has its leaves hashed in the ring, beside the pieces; the
// tree is built from them in order as the units of work are delivered.
feed_status content_hasher::feed_with_leaves(int fd, std::int64_t size) {
    leaves_pending_ = true;
    leaf_sink to_tree = [&tree = tree_](const unsigned char *leaves, std::size_t count) {
        return merkle_take_leaves(tree, leaves, count);
    };
    return settle(piece_stream_feed_leaves(*stream_, fd, size, std::move(to_tree)));
}

// Up to one byte more than the file should still hold is asked for, so that a file that grew is
// noticed by the same reads. A regular file that returns less than asked is at its end, which
// spares most files the read that would find it.
feed_status content_hasher::read_small_file(int fd, std::int64_t size) {
    std::int64_t left = size;
    for (;;) {
        const auto wanted =
            static_cast<std::size_t>(std::min(left + 1, static_cast<std::int64_t>(buffer_size_)));
        const ssize_t got = read_some(fd, buffer_.get(), wanted);
        if (got < 0) {
            read_errno_ = errno;
            return feed_status::read_error;
        }
        if (got == 0 || got > left) {
            return got == left ? feed_status::ok : feed_status::changed;
        }
        const feed_status status = take_content(buffer_.get(), static_cast<std::size_t>(got));
        if (status != feed_status::ok) {
            return status;
        }
        left -= got;
        if (left == 0 && static_cast<std::size_t>(got) < wanted) {
            return feed_status::ok;
        }
    }
}

feed_status content_hasher::feed(int fd, std::int64_t size) {
    if (!keeps_file_trees()) {
        return settle(piece_stream_feed(*stream_, fd, size));
    }
    // The piece layer goes to the document as it is: room for exactly the file's pieces, rather
    // than what growing one node at a time would leave over.
    if (size > plan_.piece_length) {
        try {
            tree_.piece_layer.reserve(
                static_cast<std::size_t>(piece_count(size, plan_.piece_length)));
        } catch (const std::bad_alloc &) {
            return feed_status::out_of_memory;
        }
    }
    const feed_status padded = feed_waiting_padding();
    if (padded != feed_status::ok) {
        return padded;
    }
    return leaves_in_ring(stream_plan_, size) ? feed_with_leaves(fd, size)
                                              : read_small_file(fd, size);
}

feed_status content_hasher::feed_bytes(const unsigned char *data, std::size_t size) {
    if (!keeps_file_trees()) {
        return settle(piece_stream_feed_bytes(*stream_, data, size));
    }
    const feed_status padded = feed_waiting_padding();
    return padded == feed_status::ok ? take_content(data, size) : padded;
}

feed_status content_hasher::end_file(std::int64_t length, file_hashes &hashes) {
    if (!keeps_file_trees()) {
        return feed_status::ok;
    }
    feed_status status = pad_file(length);
    if (status == feed_status::ok) {
        status = deliver_leaves();
    }
    if (status != feed_status::ok) {
        return status;
    }
    merkle_result tree;
    if (!merkle_finish(tree_, tree) || !merkle_begin(tree_, plan_.piece_length)) {
        return feed_status::out_of_memory;
    }
    hashes.has_root = tree.has_root;
    hashes.root = tree.root;
    hashes.piece_layer = std::move(tree.piece_layer);
    return feed_status::ok;
}

feed_status content_hasher::finish() {
    return settle(piece_stream_finish(*stream_));
}

std::int64_t content_hasher::bytes_fed() const {
    return piece_stream_bytes(*stream_);
}

namespace {
constexpr std::size_t digests_per_chunk = 16384;
constexpr std::size_t chunk_bytes = digests_per_chunk * digest_size;
} // namespace

feed_status kept_pieces::take_pieces(std::int64_t /*first*/, const unsigned char *digests,
                                     std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto offset = static_cast<std::size_t>(bytes_) % chunk_bytes;
        if (offset == 0) {
            std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[chunk_bytes]);
            if (!chunk) {
                return feed_status::out_of_memory;
            }
            try {
                chunks_.push_back(std::move(chunk));
            } catch (const std::bad_alloc &) {
                return feed_status::out_of_memory;
            }
        }
        std::memcpy(chunks_.back().get() + offset, digests + i * digest_size, digest_size);
        bytes_ += digest_size;
    }
    return feed_status::ok;
}

void kept_pieces::hand_on(pieces_sink &pieces) const {
    pieces.pieces_begin(bytes_);
    std::int64_t left = bytes_;
    for (const auto &chunk : chunks_) {
        const auto size = static_cast<std::size_t>(std::min<std::int64_t>(left, chunk_bytes));
        pieces.pieces_part(chunk.get(), size);
        left -= static_cast<std::int64_t>(size);
    }
}

feed_status finish_kept_pieces(content_hasher &hasher, const kept_pieces &pieces,
                               pieces_sink &document) {
    if (!hasher.has_pieces()) {
        return feed_status::ok;
    }
    const feed_status finished = hasher.finish();
    if (finished == feed_status::ok && hasher.bytes_fed() > 0) {
        pieces.hand_on(document);
    }
    return finished;
}
