#include "hash/merkle.h"

#include "hash/sha256_lanes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <new>
#include <utility>

namespace {

// One level up: node i covers nodes 2i and 2i+1, a missing right one being `zero`, the zero node
// of this level. `up` may be `nodes` itself, as sha256_parents allows.
bool climb(const merkle_node *nodes, std::size_t count, const merkle_node &zero, merkle_node *up) {
    const std::size_t pairs = count / 2;
    if (!sha256_parents(nodes->data(), pairs, up->data())) {
        return false;
    }
    return count % 2 == 0 || merkle_parent(nodes[count - 1], zero, up[pairs]);
}

// The root over `level` padded with zero nodes to `width` nodes, a power of two not below its
// size; `zero` is the zero node of that level. The level is used up as the tree is climbed.
bool reduce_in_place(std::vector<merkle_node> &level, std::size_t width, merkle_node zero,
                     merkle_node &root) {
    for (; width > 1; width /= 2) {
        if (!climb(level.data(), level.size(), zero, level.data()) ||
            !merkle_parent(zero, zero, zero)) {
            return false;
        }
        level.resize((level.size() + 1) / 2);
    }
    root = level.front();
    return true;
}

// A piece's node covers its leaves padded with zero leaves to a whole piece, so the pieces of a
// file are all subtrees of one height.
bool close_piece(merkle_file &file) {
    merkle_node piece{};
    if (!reduce_in_place(file.piece_leaves, file.leaves_per_piece, merkle_node{}, piece)) {
        return false;
    }
    file.piece_leaves.clear();
    file.piece_layer.push_back(piece);
    return true;
}

bool close_piece_if_whole(merkle_file &file) {
    return file.piece_leaves.size() < file.leaves_per_piece || close_piece(file);
}

bool end_block(merkle_file &file) {
    merkle_node leaf{};
    if (!sha256_single_end(file.block, leaf.data()) || !sha256_single_begin(file.block)) {
        return false;
    }
    file.block_fill = 0;
    file.piece_leaves.push_back(leaf); // reserved for a whole piece, so it never reallocates
    return close_piece_if_whole(file);
}

// Leaves hashed in one call: enough to fill the widest kernel's lanes several times, whatever
// the piece length, and little enough to stay on the stack.
constexpr std::size_t leaves_per_batch = 64;

// The whole blocks at `data`, hashed where they lie, side by side.
bool hash_whole_blocks(merkle_file &file, const unsigned char *data, std::size_t blocks) {
    std::array<merkle_node, leaves_per_batch> batch;
    while (blocks > 0) {
        const std::size_t taken = std::min(blocks, batch.size());
        if (!sha256_leaves(data, taken * merkle_block_size, batch.front().data())) {
            return false;
        }
        for (std::size_t i = 0; i < taken; ++i) {
            file.piece_leaves.push_back(batch[i]); // reserved for a whole piece
            if (!close_piece_if_whole(file)) {
                return false;
            }
        }
        data += taken * merkle_block_size;
        blocks -= taken;
    }
    return true;
}

// A block split across feeds goes through the running digest, the rest straight from `data`.
bool feed_blocks(merkle_file &file, const unsigned char *data, std::size_t size) {
    if (file.block_fill > 0) {
        const std::size_t taken = std::min(size, merkle_block_size - file.block_fill);
        if (!sha256_single_update(file.block, data, taken)) {
            return false;
        }
        file.block_fill += taken;
        data += taken;
        size -= taken;
        if (file.block_fill == merkle_block_size && !end_block(file)) {
            return false;
        }
    }
    const std::size_t whole = size / merkle_block_size;
    const std::size_t rest = size % merkle_block_size;
    if (!hash_whole_blocks(file, data, whole) ||
        !sha256_single_update(file.block, data + whole * merkle_block_size, rest)) {
        return false;
    }
    file.block_fill += rest;
    return true;
}

// Above the pieces the tree is padded with all-zero pieces to a power of two. The piece layer
// itself is kept for the document, so the first level up is built beside it.
bool root_over_pieces(const std::vector<merkle_node> &layer, std::size_t leaves_per_piece,
                      merkle_node &root) {
    merkle_node zero{};
    if (!merkle_zero_root(static_cast<unsigned>(std::countr_zero(leaves_per_piece)), zero)) {
        return false;
    }
    std::vector<merkle_node> level((layer.size() + 1) / 2);
    return climb(layer.data(), layer.size(), zero, level.data()) &&
           merkle_parent(zero, zero, zero) &&
           reduce_in_place(level, std::bit_ceil(layer.size()) / 2, zero, root);
}

bool finish_tree(merkle_file &file, merkle_result &result) {
    result = merkle_result{};
    if (file.block_fill > 0 && !end_block(file)) {
        return false;
    }
    if (file.piece_layer.empty()) {
        // One piece or less: the tree is only as wide as the file's own leaves.
        result.has_root = !file.piece_leaves.empty();
        return !result.has_root ||
               reduce_in_place(file.piece_leaves, std::bit_ceil(file.piece_leaves.size()),
                               merkle_node{}, result.root);
    }
    if (!file.piece_leaves.empty() && !close_piece(file)) {
        return false;
    }
    result.has_root = true;
    if (file.piece_layer.size() == 1) {
        result.root = file.piece_layer.front();
        return true;
    }
    if (!root_over_pieces(file.piece_layer, file.leaves_per_piece, result.root)) {
        return false;
    }
    result.piece_layer = std::move(file.piece_layer);
    return true;
}

} // namespace

bool merkle_parent(const merkle_node &left, const merkle_node &right, merkle_node &parent) {
    // Both children are copied out first, so the parent may be written over either of them.
    std::array<unsigned char, 2 * sha256_digest_size> children{};
    std::copy(left.begin(), left.end(), children.begin());
    std::copy(right.begin(), right.end(), children.begin() + sha256_digest_size);
    return sha256_parents(children.data(), 1, parent.data());
}

bool merkle_zero_root(unsigned height, merkle_node &root) {
    root = merkle_node{};
    for (unsigned level = 0; level < height; ++level) {
        if (!merkle_parent(root, root, root)) {
            return false;
        }
    }
    return true;
}

bool merkle_begin(merkle_file &file, std::int64_t piece_length) {
    if (!merkle_piece_length_fits(piece_length)) {
        return false;
    }
    file.leaves_per_piece = static_cast<std::size_t>(piece_length) / merkle_block_size;
    file.block_fill = 0;
    file.piece_leaves.clear();
    file.piece_layer.clear();
    try {
        file.piece_leaves.reserve(file.leaves_per_piece);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return sha256_single_begin(file.block);
}

bool merkle_feed(merkle_file &file, const unsigned char *data, std::size_t size) {
    try {
        return feed_blocks(file, data, size);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool merkle_finish(merkle_file &file, merkle_result &result) {
    try {
        return finish_tree(file, result);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool merkle_take_leaves(merkle_file &file, const unsigned char *digests, std::size_t count) {
    if (file.block_fill != 0) {
        return false; // a block begun through merkle_feed would be split
    }
    try {
        merkle_node leaf{};
        for (std::size_t i = 0; i < count; ++i) {
            std::copy_n(digests + i * leaf.size(), leaf.size(), leaf.begin());
            file.piece_leaves.push_back(leaf); // reserved for a whole piece
            if (file.piece_leaves.size() == file.leaves_per_piece && !close_piece(file)) {
                return false;
            }
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}
