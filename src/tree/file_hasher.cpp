#include "tree/file_hasher.h"

#include "common/console.h"
#include "common/handles.h"
#include "common/numbers.h"
#include "common/progress.h"
#include "tree/accumulator.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <type_traits>
#include <unistd.h>
#include <utility>

static_assert(std::is_same_v<merkle_node, tree_node>, "a tree's nodes go to the document as is");

namespace {
// Reads of files that were not read ahead; large enough that the system calls cost little.
constexpr std::int64_t read_chunk = std::int64_t{1} << 20;

// Zero bytes fed as a file's padding, a part at a time.
constexpr std::array<unsigned char, 65536> zero_bytes{};

feed_status take_content(file_hasher &hasher, const unsigned char *data, std::size_t size) {
    if (!merkle_feed(hasher.tree, data, size)) {
        return feed_status::out_of_memory;
    }
    if (hasher.v1_pieces) {
        // The accumulator counts the bytes for the status line itself.
        return accumulator_feed_bytes(data, size);
    }
    progress_bytes(static_cast<std::int64_t>(size));
    return feed_status::ok;
}

// The file's tree ends with the file; its padding goes to the v1 stream alone.
feed_status feed_padding(std::int64_t length) {
    while (length > 0) {
        const auto part = static_cast<std::size_t>(
            std::min<std::int64_t>(length, static_cast<std::int64_t>(zero_bytes.size())));
        const feed_status status = accumulator_feed_bytes(zero_bytes.data(), part);
        if (status != feed_status::ok) {
            return status;
        }
        length -= static_cast<std::int64_t>(part);
    }
    return feed_status::ok;
}

// The first file's padding goes before the second file's content; a torrent of one file
// ends without it.
feed_status feed_waiting_padding(file_hasher &hasher) {
    const std::int64_t padding = std::exchange(hasher.waiting_padding, 0);
    return feed_padding(padding);
}

bool takes_leaves(const file_hasher &hasher, std::int64_t size) {
    return hasher.v1_pieces ? accumulator_takes_leaves(size)
                            : piece_stream_takes_leaves(*hasher.leaf_stream, size);
}

feed_status feed_with_leaves(file_hasher &hasher, int fd, std::int64_t size) {
    hasher.leaves_pending = true;
    leaf_sink to_tree = [&tree = hasher.tree](const unsigned char *leaves, std::size_t count) {
        return merkle_take_leaves(tree, leaves, count);
    };
    return hasher.v1_pieces
               ? accumulator_feed_leaves(fd, size, std::move(to_tree))
               : piece_stream_feed_leaves(*hasher.leaf_stream, fd, size, std::move(to_tree));
}

// The file's last leaves come with the batches still to be delivered; in hybrid, its padding
// is fed first, so that the batches end on a piece boundary. Padding that waits leaves the last
// piece open, to be hashed once what follows it is known.
feed_status deliver_leaves(file_hasher &hasher) {
    if (!hasher.leaves_pending) {
        return feed_status::ok;
    }
    hasher.leaves_pending = false;
    if (!hasher.v1_pieces) {
        return piece_stream_deliver(*hasher.leaf_stream);
    }
    return hasher.waiting_padding > 0 ? accumulator_deliver_leaves() : accumulator_deliver();
}

// Pads the file that just ended, or, for the first file, keeps its padding waiting.
feed_status pad_file(file_hasher &hasher, std::int64_t length) {
    if (!hasher.pad_files) {
        return feed_status::ok;
    }
    const std::int64_t padding = padding_length(length, hasher.piece_length);
    if (std::exchange(hasher.first_file, false)) {
        hasher.waiting_padding = padding;
        return feed_status::ok;
    }
    return feed_padding(padding);
}

// The piece layer goes to the document as it is: room for exactly the file's pieces, rather than
// what growing one node at a time would leave over.
bool reserve_layer(file_hasher &hasher, std::int64_t size) {
    if (size <= hasher.piece_length) {
        return true;
    }
    try {
        hasher.tree.piece_layer.reserve(
            static_cast<std::size_t>(piece_count(size, hasher.piece_length)));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}
} // namespace

int file_hasher_start(file_hasher &hasher, std::int32_t piece_length, bool v1_pieces,
                      bool pad_files, std::int64_t content_limit) {
    hasher.piece_length = piece_length;
    hasher.v1_pieces = v1_pieces;
    // Padding is content of the v1 stream only.
    hasher.pad_files = v1_pieces && pad_files;
    // Never larger than the content needs, and one byte at least, to find a file's end.
    hasher.buffer_size = static_cast<std::size_t>(
        content_limit < 0 ? read_chunk : std::clamp<std::int64_t>(content_limit, 1, read_chunk));
    hasher.buffer = allocate_content_buffer(hasher.buffer_size);
    if (!v1_pieces) {
        hasher.leaf_stream = piece_stream_start_leaves(content_limit);
    }
    if (!hasher.buffer || (!v1_pieces && !hasher.leaf_stream) ||
        !merkle_begin(hasher.tree, piece_length)) {
        report_failure("out of memory\n");
        return 1;
    }
    return v1_pieces ? accumulator_start(piece_length, content_limit) : 0;
}

feed_status file_hasher_feed(file_hasher &hasher, int fd, std::int64_t size) {
    if (!reserve_layer(hasher, size)) {
        return feed_status::out_of_memory;
    }
    const feed_status padded = feed_waiting_padding(hasher);
    if (padded != feed_status::ok) {
        return padded;
    }
    if (takes_leaves(hasher, size)) {
        return feed_with_leaves(hasher, fd, size);
    }
    // Up to one byte more than the file should still hold is asked for, so that a file that
    // grew is noticed by the same reads. A regular file that returns less than asked is at its
    // end, which spares most files the read that would find it.
    std::int64_t left = size;
    for (;;) {
        const auto wanted = static_cast<std::size_t>(
            std::min(left + 1, static_cast<std::int64_t>(hasher.buffer_size)));
        const ssize_t got = read_some(fd, hasher.buffer.get(), wanted);
        if (got < 0) {
            return feed_status::read_error;
        }
        if (got == 0 || got > left) {
            return got == left ? feed_status::ok : feed_status::changed;
        }
        const feed_status status =
            take_content(hasher, hasher.buffer.get(), static_cast<std::size_t>(got));
        if (status != feed_status::ok) {
            return status;
        }
        left -= got;
        if (left == 0 && static_cast<std::size_t>(got) < wanted) {
            return feed_status::ok;
        }
    }
}

feed_status file_hasher_feed_bytes(file_hasher &hasher, const unsigned char *data,
                                   std::size_t size) {
    const feed_status padded = feed_waiting_padding(hasher);
    return padded == feed_status::ok ? take_content(hasher, data, size) : padded;
}

feed_status file_hasher_end_file(file_hasher &hasher, std::int64_t length, file_hashes &hashes) {
    feed_status status = pad_file(hasher, length);
    if (status == feed_status::ok) {
        status = deliver_leaves(hasher);
    }
    if (status != feed_status::ok) {
        return status;
    }
    merkle_result tree;
    if (!merkle_finish(hasher.tree, tree) || !merkle_begin(hasher.tree, hasher.piece_length)) {
        return feed_status::out_of_memory;
    }
    hashes.has_root = tree.has_root;
    hashes.root = tree.root;
    hashes.piece_layer = std::move(tree.piece_layer);
    return feed_status::ok;
}
