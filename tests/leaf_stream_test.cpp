// The leaves of v2 and hybrid files hashed by the piece stream's threads: a file's tree built
// from leaves hashed elsewhere against the tree of its content fed in; each file's leaves against
// OpenSSL's SHA-256 of its blocks, the v1 pieces of the same batches against SHA-1 of the padded
// stream; and the ways a feed fails.
#include "common/handles.h"
#include "hash/hash_plan.h"
#include "hash/merkle.h"
#include "hash/piece_stream.h"
#include "hash/sha256_lanes.h"
#include "support/harness.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

using namespace harness;

namespace {

constexpr std::int64_t kib = 1024;

std::string reference_leaves(const std::string &content) {
    std::string leaves;
    for (std::size_t at = 0; at < content.size(); at += 16384) {
        const std::string block = content.substr(at, 16384);
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char *>(block.data()), block.size(), digest);
        leaves.append(reinterpret_cast<const char *>(digest), sizeof digest);
    }
    return leaves;
}

const unsigned char *bytes_of(const std::string &text) {
    return reinterpret_cast<const unsigned char *>(text.data());
}

// The tree of `content` from its leaves, hashed `per_part` at a time.
merkle_result tree_from_leaves(const std::string &content, std::size_t per_part) {
    merkle_file file;
    merkle_result tree;
    EXPECT_TRUE(merkle_begin(file, 65536));
    for (std::size_t at = 0; at < content.size(); at += per_part * 16384) {
        const std::size_t part = std::min(per_part * 16384, content.size() - at);
        std::vector<unsigned char> leaves((part + 16383) / 16384 * 32);
        EXPECT_TRUE(sha256_leaves(bytes_of(content) + at, part, leaves.data()));
        EXPECT_TRUE(merkle_take_leaves(file, leaves.data(), leaves.size() / 32));
    }
    EXPECT_TRUE(merkle_finish(file, tree));
    return tree;
}

// Empty and one-block files, files ending in a block, on a block, on a piece (4 blocks); leaves
// taken one at a time, three at a time, all at once.
TEST(leaf_tree, leaves_hashed_elsewhere_make_the_tree_of_the_content_fed_in) {
    for (const std::size_t size : {0, 1, 16383, 16384, 16385, 65536, 65537, 131072, 334751}) {
        const std::string content = random_bytes(size, size);
        merkle_file file;
        merkle_result fed_in;
        ASSERT_TRUE(merkle_begin(file, 65536) && merkle_feed(file, bytes_of(content), size) &&
                    merkle_finish(file, fed_in));
        for (const std::size_t per_part : {1, 3, 100}) {
            SCOPED_TRACE("size " + std::to_string(size) + ", leaves " + std::to_string(per_part) +
                         " at a time");
            const merkle_result taken = tree_from_leaves(content, per_part);
            EXPECT_EQ(taken.has_root, size > 0);
            EXPECT_TRUE(taken.root == fed_in.root);
            EXPECT_TRUE(taken.piece_layer == fed_in.piece_layer);
            EXPECT_EQ(taken.piece_layer.size(), size > 65536 ? (size + 65535) / 65536 : 0);
        }
    }
}

// One stream, fed file after file, recording its digests and the current file's leaves.
struct leaf_run {
    piece_stream_ptr stream;
    std::string v1_content; // what the v1 pieces must cover
    std::string digests;
    std::string leaves;
    int refuse_leaf_call = 0; // the leaf sink's call that returns false, or 0
    int leaf_calls = 0;
    temp_dir dir;

    hash_plan plan;

    explicit leaf_run(const hash_plan &planned) : plan(planned) {
        stream = piece_stream_start(plan, [this](const unsigned char *d, std::size_t n) {
            digests.append(reinterpret_cast<const char *>(d), n * 20);
            return true;
        });
    }

    // Feeds `content` as a file announced `announced` bytes long, through the threads' leaves.
    feed_status feed_file(const std::string &content, std::int64_t announced) {
        write_file(dir / "file", content);
        const fd_owner input(open((dir / "file").c_str(), O_RDONLY | O_CLOEXEC));
        leaves.clear();
        v1_content += content;
        return piece_stream_feed_leaves(
            *stream, input.fd, announced, [this](const unsigned char *d, std::size_t n) {
                leaves.append(reinterpret_cast<const char *>(d), n * 32);
                return ++leaf_calls != refuse_leaf_call;
            });
    }

    feed_status feed_bytes(const std::string &content) {
        v1_content += content;
        return piece_stream_feed_bytes(*stream, bytes_of(content), content.size());
    }
};

// Hybrid: small files fed as bytes share batches, files longer than a batch take the threads'
// path; every file but the last is padded with zeros to a piece boundary.
TEST(leaf_stream, hybrid_files_get_their_leaves_and_the_padded_stream_its_pieces) {
    constexpr std::int32_t piece = 16384; // batches of 16 pieces: 256 KiB
    leaf_run run(plan_hashing({piece, -1, 2}));
    ASSERT_TRUE(run.stream);
    EXPECT_FALSE(leaves_in_ring(run.plan, 256 * kib));
    EXPECT_TRUE(leaves_in_ring(run.plan, 256 * kib + 1));
    ASSERT_EQ(run.feed_bytes(random_bytes(20000, 1)), feed_status::ok);
    ASSERT_EQ(run.feed_bytes(std::string(2 * piece - 20000, '\0')), feed_status::ok);
    const std::int64_t sizes[] = {(5 * 256 + 3 * 16) * kib + 77, 512 * kib, 256 * kib + 1};
    for (const std::int64_t size : sizes) {
        SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
        const std::string content = random_bytes(static_cast<std::size_t>(size), size);
        ASSERT_EQ(run.feed_file(content, size), feed_status::ok);
        const std::int64_t padding = (piece - size % piece) % piece;
        if (size != sizes[2]) {
            ASSERT_EQ(run.feed_bytes(std::string(static_cast<std::size_t>(padding), '\0')),
                      feed_status::ok);
        }
        ASSERT_EQ(piece_stream_deliver(*run.stream), feed_status::ok);
        EXPECT_TRUE(run.leaves == reference_leaves(content)) << run.leaves.size() / 32 << " leaves";
    }
    ASSERT_EQ(piece_stream_finish(*run.stream), feed_status::ok);
    EXPECT_TRUE(run.digests == expected_pieces(run.v1_content, static_cast<int>(piece)))
        << run.digests.size() / 20 << " digests, not all as expected";
}

// v2: no v1 stream, batches of 2 MiB; a file need not end on any boundary.
TEST(leaf_stream, v2_files_get_their_leaves) {
    leaf_run run(plan_leaf_hashing(-1, 2));
    ASSERT_TRUE(run.stream);
    for (const std::int64_t size : {2048 * kib + 1, 6144 * kib, 4096 * kib + 16383}) {
        SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
        const std::string content = random_bytes(static_cast<std::size_t>(size), size);
        ASSERT_EQ(run.feed_file(content, size), feed_status::ok);
        ASSERT_EQ(piece_stream_deliver(*run.stream), feed_status::ok);
        EXPECT_TRUE(run.leaves == reference_leaves(content)) << run.leaves.size() / 32 << " leaves";
    }
    EXPECT_EQ(piece_stream_finish(*run.stream), feed_status::ok);
}

// Hybrid through lane groups, with a chunk of one block so that pieces of 1, 2 and 3 chunks are
// cheap: the groups' leaves in file order, then those of the short tail, which takes batches
// or the long-piece path; a file that ends before a group's pieces do has changed.
hash_plan leaf_lane_plan(std::int64_t piece_length, bool long_path) {
    hash_plan plan = plan_hashing({static_cast<std::int32_t>(piece_length), -1, 2});
    plan.pieces_per_batch = 3;
    plan.batch_bytes = plan.buffer_bytes = 3 * static_cast<std::size_t>(piece_length);
    plan.path =
        long_path ? stream_path::lane_groups_and_long_pieces : stream_path::batches_and_lane_groups;
    plan.long_piece_chunk = 32 * kib; // the tail of a 48 KiB piece takes two reads
    plan.lanes = {16 * kib, plan.batches_in_flight, 1};
    return plan;
}

TEST(leaf_stream, lane_groups_hand_over_their_leaves_in_file_order) {
    for (const bool long_path : {false, true}) {
        for (const std::int64_t piece : {16 * kib, 32 * kib, 48 * kib}) {
            SCOPED_TRACE("piece of " + std::to_string(piece) + (long_path ? ", long path" : ""));
            leaf_run run(leaf_lane_plan(piece, long_path));
            ASSERT_TRUE(run.stream);
            EXPECT_FALSE(leaves_in_ring(run.plan, piece - 1));
            EXPECT_TRUE(leaves_in_ring(run.plan, piece));
            for (const std::int64_t size : {20 * piece + 5000, 3 * piece + 16385, piece}) {
                const std::string content = random_bytes(static_cast<std::size_t>(size), size);
                ASSERT_EQ(run.feed_file(content, size), feed_status::ok) << size;
                const std::int64_t padding = (piece - size % piece) % piece;
                ASSERT_EQ(run.feed_bytes(std::string(static_cast<std::size_t>(padding), '\0')),
                          feed_status::ok);
                ASSERT_EQ(piece_stream_deliver(*run.stream), feed_status::ok);
                EXPECT_TRUE(run.leaves == reference_leaves(content)) << size << " bytes";
            }
            ASSERT_EQ(piece_stream_finish(*run.stream), feed_status::ok);
            EXPECT_TRUE(run.digests == expected_pieces(run.v1_content, static_cast<int>(piece)));
            for (const std::int64_t missing : {std::int64_t{1}, 2 * piece}) {
                leaf_run shrunk(leaf_lane_plan(piece, long_path));
                const std::string content = random_bytes(static_cast<std::size_t>(18 * piece), 9);
                EXPECT_EQ(shrunk.feed_file(content, 18 * piece + missing), feed_status::changed);
            }
        }
    }
}

// The first file of a hybrid directory: its leaves are delivered while its last, partial piece
// stays open, since only what comes next tells whether padding completes it. Through batches,
// lane groups with batches, lane groups with the long-piece path; then either the stream ends
// there, or padding and a second file follow.
TEST(leaf_stream, leaves_delivered_while_the_last_piece_stays_open) {
    struct open_case {
        const char *path;
        hash_plan plan;
        std::int64_t size;
    };
    constexpr std::int64_t lane_piece = 48 * kib;
    const open_case cases[] = {
        {"batches", plan_hashing({16384, -1, 2}), (5 * 256 + 3 * 16) * kib + 77},
        {"lane groups", leaf_lane_plan(lane_piece, false), 20 * lane_piece + 5000},
        {"long-piece path", leaf_lane_plan(lane_piece, true), 20 * lane_piece + 5000},
    };
    for (const open_case &c : cases) {
        for (const bool followed : {false, true}) {
            SCOPED_TRACE(std::string(c.path) + (followed ? ", followed" : ", alone"));
            leaf_run run(c.plan);
            ASSERT_TRUE(run.stream);
            const std::string first = random_bytes(static_cast<std::size_t>(c.size), 3);
            ASSERT_EQ(run.feed_file(first, c.size), feed_status::ok);
            ASSERT_EQ(piece_stream_deliver_leaves(*run.stream), feed_status::ok);
            EXPECT_TRUE(run.leaves == reference_leaves(first));
            if (followed) {
                const std::int64_t piece = c.plan.piece_length;
                const std::string second = random_bytes(static_cast<std::size_t>(piece + 1), 4);
                ASSERT_EQ(run.feed_bytes(
                              std::string(static_cast<std::size_t>(piece - c.size % piece), '\0')),
                          feed_status::ok);
                ASSERT_EQ(run.feed_file(second, piece + 1), feed_status::ok);
                ASSERT_EQ(piece_stream_deliver(*run.stream), feed_status::ok);
                EXPECT_TRUE(run.leaves == reference_leaves(second));
            }
            ASSERT_EQ(piece_stream_finish(*run.stream), feed_status::ok);
            EXPECT_TRUE(run.digests ==
                        expected_pieces(run.v1_content, static_cast<int>(c.plan.piece_length)));
        }
    }
}

// Batches of 256 KiB, so that a file of a few MiB takes many: pieces of 16 KiB, or leaves alone.
hash_plan small_batches(bool v1_pieces) {
    if (v1_pieces) {
        return plan_hashing({16384, -1, 2});
    }
    hash_plan plan = plan_leaf_hashing(-1, 2);
    plan.batch_bytes = plan.buffer_bytes = 256 * kib;
    return plan;
}

struct failure_case {
    const char *what;
    bool v1_pieces;
    std::int64_t lie;     // bytes the file claims beyond what it holds
    int refuse_leaf_call; // 0 refuses none
    feed_status expected;
};

class leaf_failure : public ::testing::TestWithParam<failure_case> {};

TEST_P(leaf_failure, stops_with_the_reason) {
    const failure_case &c = GetParam();
    leaf_run run(small_batches(c.v1_pieces));
    ASSERT_TRUE(run.stream);
    run.refuse_leaf_call = c.refuse_leaf_call;
    const std::string content = random_bytes(3000 * kib, 5);
    feed_status status = run.feed_file(content, static_cast<std::int64_t>(content.size()) + c.lie);
    if (status == feed_status::ok) {
        status = piece_stream_deliver(*run.stream);
    }
    EXPECT_EQ(status, c.expected);
}

const failure_case failure_cases[] = {
    {"hybrid_file_shorter", true, 1, 0, feed_status::changed},
    {"hybrid_file_longer", true, -1, 0, feed_status::changed},
    {"v2_file_shorter", false, 1, 0, feed_status::changed},
    {"v2_file_longer", false, -300 * kib, 0, feed_status::changed},
    {"hybrid_tree_out_of_memory", true, 0, 2, feed_status::out_of_memory},
    {"v2_tree_out_of_memory", false, 0, 3, feed_status::out_of_memory},
};
INSTANTIATE_TEST_SUITE_P(cases, leaf_failure, ::testing::ValuesIn(failure_cases),
                         [](const auto &info) { return std::string(info.param.what); });

TEST(leaf_stream, directory_as_a_file_is_a_read_error) {
    for (const bool v1_pieces : {true, false}) {
        leaf_run run(small_batches(v1_pieces));
        ASSERT_TRUE(run.stream);
        const fd_owner directory(open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        EXPECT_EQ(piece_stream_feed_leaves(*run.stream, directory.fd, 1 << 20,
                                           [](const unsigned char *, std::size_t) { return true; }),
                  feed_status::read_error);
    }
}

} // namespace
