// The v2 file tree against a plain reference: every leaf of the file built at once, padded with
// zero leaves to a power of two and reduced pair by pair.

#include "hash/merkle.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

std::string hex(const merkle_node &node) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (const unsigned char c : node) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

std::vector<std::string> hex_all(const std::vector<merkle_node> &nodes) {
    std::vector<std::string> out;
    out.reserve(nodes.size());
    for (const merkle_node &node : nodes) {
        out.push_back(hex(node));
    }
    return out;
}

bytes content(std::size_t size) {
    std::mt19937 rng(static_cast<unsigned>(size));
    bytes data(size);
    std::generate(data.begin(), data.end(), [&rng] { return static_cast<unsigned char>(rng()); });
    return data;
}

merkle_node sha256_of(const unsigned char *data, std::size_t size) {
    merkle_node digest{};
    SHA256(data, size, digest.data());
    return digest;
}

std::vector<merkle_node> reference_leaves(const bytes &data) {
    std::vector<merkle_node> leaves;
    for (std::size_t at = 0; at < data.size(); at += merkle_block_size) {
        leaves.push_back(
            sha256_of(data.data() + at, std::min(merkle_block_size, data.size() - at)));
    }
    return leaves;
}

merkle_node reference_root(std::vector<merkle_node> layer) {
    std::size_t width = 1;
    while (width < layer.size()) {
        width *= 2;
    }
    layer.resize(width, merkle_node{});
    while (layer.size() > 1) {
        std::vector<merkle_node> up;
        for (std::size_t i = 0; i < layer.size(); i += 2) {
            unsigned char pair[64];
            std::copy(layer[i].begin(), layer[i].end(), pair);
            std::copy(layer[i + 1].begin(), layer[i + 1].end(), pair + 32);
            up.push_back(sha256_of(pair, sizeof pair));
        }
        layer = up;
    }
    return layer.front();
}

// One node per piece, each over that piece's leaves padded to a whole piece; none for a file of
// one piece or less.
std::vector<merkle_node> reference_piece_layer(const std::vector<merkle_node> &leaves,
                                               std::size_t piece_length) {
    const std::size_t per_piece = piece_length / merkle_block_size;
    std::vector<merkle_node> layer;
    for (std::size_t at = 0; leaves.size() > per_piece && at < leaves.size(); at += per_piece) {
        std::vector<merkle_node> piece(
            leaves.begin() + static_cast<std::ptrdiff_t>(at),
            leaves.begin() + static_cast<std::ptrdiff_t>(std::min(at + per_piece, leaves.size())));
        piece.resize(per_piece, merkle_node{});
        layer.push_back(reference_root(piece));
    }
    return layer;
}

merkle_result tree_fed_in(const bytes &data, std::size_t piece_length, std::size_t chunk) {
    merkle_file file;
    merkle_result result;
    EXPECT_TRUE(merkle_begin(file, static_cast<std::int64_t>(piece_length)));
    for (std::size_t at = 0; at < data.size(); at += chunk) {
        EXPECT_TRUE(merkle_feed(file, data.data() + at, std::min(chunk, data.size() - at)));
    }
    EXPECT_TRUE(merkle_finish(file, result));
    return result;
}

TEST(Merkle, MatchesTheReferenceForEveryFeedingPattern) {
    for (const std::size_t piece : {std::size_t{16384}, std::size_t{32768}, std::size_t{4} << 20}) {
        const std::size_t sizes[] = {0,     1,         16383,     16384,           16385,
                                     piece, piece + 1, 3 * piece, 4 * piece + 5000};
        for (const std::size_t size : sizes) {
            const bytes data = content(size);
            const std::vector<merkle_node> leaves = reference_leaves(data);
            const std::vector<std::string> layer = hex_all(reference_piece_layer(leaves, piece));
            for (const std::size_t chunk :
                 {std::max<std::size_t>(size, 1), std::size_t{1}, std::size_t{16383},
                  std::size_t{16385}, std::size_t{100000}}) {
                SCOPED_TRACE("piece length " + std::to_string(piece) + ", size " +
                             std::to_string(size) + ", fed " + std::to_string(chunk) +
                             " bytes at a time");
                const merkle_result tree = tree_fed_in(data, piece, chunk);
                ASSERT_EQ(tree.has_root, size > 0);
                if (size > 0) {
                    EXPECT_EQ(hex(tree.root), hex(reference_root(leaves)));
                }
                EXPECT_EQ(hex_all(tree.piece_layer), layer);
            }
        }
    }
}

TEST(Merkle, ZeroSubtreeRootsAreZeroLeavesReduced) {
    for (const unsigned height : {0U, 1U, 2U, 8U}) {
        merkle_node root{};
        ASSERT_TRUE(merkle_zero_root(height, root));
        EXPECT_EQ(hex(root), hex(reference_root(std::vector<merkle_node>(1U << height))))
            << "height " << height;
    }
}

TEST(Merkle, PieceLengthIsAPowerOfTwoOfAtLeastOneBlock) {
    const struct {
        std::int64_t piece_length;
        bool fits;
    } cases[] = {{0, false},      {-16384, false},
                 {8192, false},   {16383, false},
                 {16384, true},   {24576, false},
                 {32768, true},   {262144, true},
                 {262145, false}, {std::int64_t{1} << 30, true}};
    for (const auto &c : cases) {
        EXPECT_EQ(merkle_piece_length_fits(c.piece_length), c.fits) << c.piece_length;
        merkle_file file;
        if (!c.fits) {
            EXPECT_FALSE(merkle_begin(file, c.piece_length)) << c.piece_length;
        }
    }
}

} // namespace
