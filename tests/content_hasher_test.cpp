// The run's content hasher driven in-process: files fed one after another, from open files or
// from bytes read ahead, are cut into pieces regardless of where each ends (OpenSSL's SHA-1 of
// each piece is the oracle); and two hashers fed in turn from one thread give what each gives
// alone, in every format.
#include "hash/content_hasher.h"
#include "support/harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

// What kept_pieces hands on at the end.
struct pieces_capture final : pieces_sink {
    int begins = 0;
    std::int64_t announced = -1;
    std::string bytes;

    void pieces_begin(std::int64_t length) override {
        ++begins;
        announced = length;
    }
    void pieces_part(const unsigned char *digests, std::size_t size) override {
        bytes.append(reinterpret_cast<const char *>(digests), size);
    }
};

enum class feed_mode { open_files, bytes };

feed_status feed_file(content_hasher &hasher, const std::string &content, feed_mode mode,
                      const std::string &path) {
    if (mode == feed_mode::bytes) {
        return hasher.feed_bytes(reinterpret_cast<const unsigned char *>(content.data()),
                                 content.size());
    }
    harness::write_file(path, content);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return feed_status::read_error;
    }
    const feed_status status = hasher.feed(fd, static_cast<std::int64_t>(content.size()));
    close(fd);
    return status;
}

// The pieces string a finished hasher hands on, or nothing when no byte was fed.
pieces_capture finish(content_hasher &hasher, const kept_pieces &pieces) {
    pieces_capture captured;
    EXPECT_EQ(hasher.finish(), feed_status::ok);
    if (hasher.bytes_fed() > 0) {
        pieces.hand_on(captured);
    }
    return captured;
}

struct pieces_case {
    const char *name;
    std::int32_t piece_length;
    std::vector<std::size_t> file_sizes;
    std::vector<feed_mode> modes; // each case is run once per mode
};

class v1_pieces : public ::testing::TestWithParam<pieces_case> {};

TEST_P(v1_pieces, digests_run_across_file_boundaries) {
    const pieces_case &c = GetParam();
    const harness::temp_dir dir;
    for (const feed_mode mode : c.modes) {
        SCOPED_TRACE(mode == feed_mode::bytes ? "fed from bytes" : "fed from open files");
        std::string stream;
        kept_pieces pieces;
        const auto hasher =
            content_hasher::start({torrent_format::v1, c.piece_length, -1, false}, pieces);
        ASSERT_TRUE(hasher);
        for (std::size_t i = 0; i < c.file_sizes.size(); ++i) {
            const std::string content = harness::random_bytes(c.file_sizes[i], i + 1);
            ASSERT_EQ(feed_file(*hasher, content, mode, dir / "file"), feed_status::ok);
            stream += content;
        }
        const pieces_capture captured = finish(*hasher, pieces);
        if (stream.empty()) {
            EXPECT_EQ(captured.begins, 0) << "no byte fed, so no pieces at all";
            continue;
        }
        const std::string expected = harness::expected_pieces(stream, c.piece_length);
        EXPECT_EQ(captured.begins, 1);
        EXPECT_EQ(captured.announced, static_cast<std::int64_t>(expected.size()));
        EXPECT_TRUE(captured.bytes == expected) << "digests differ";
    }
}

const std::vector<feed_mode> both = {feed_mode::open_files, feed_mode::bytes};
constexpr std::int32_t long_piece = (16 << 20) + 1;

INSTANTIATE_TEST_SUITE_P(
    cases, v1_pieces,
    ::testing::Values(
        // a full piece of the first file and 156 bytes of the second, then 44 bytes
        pieces_case{"boundary", 256, {100, 200}, both},
        // three pieces, none partial, and a boundary inside the second one
        pieces_case{"exact_multiple", 256, {256, 300, 212}, both},
        pieces_case{"piece_length_1", 1, {3, 0, 2}, both},
        pieces_case{"nothing_fed", 256, {}, both},
        pieces_case{"only_empty_files", 256, {0, 0}, both},
        // pieces too long to batch, more than one of them and a partial one
        pieces_case{"too_long_to_batch",
                    long_piece,
                    {std::size_t{long_piece} + 5, std::size_t{long_piece}, 1000},
                    {feed_mode::bytes}}),
    [](const ::testing::TestParamInfo<pieces_case> &info) { return info.param.name; });

// Everything a hasher gives for a list of files: its pieces and each file's hashes.
struct hashed_content {
    std::string pieces;
    std::vector<file_hashes> files;
};

bool same_file_hashes(const file_hashes &a, const file_hashes &b) {
    return a.has_root == b.has_root && a.root == b.root && a.piece_layer == b.piece_layer;
}

// Two hashers of one format, each fed every file in turn, the second's files in reverse order:
// each must give what it gives when it is the only one.
class two_hashers : public ::testing::TestWithParam<torrent_format> {};

TEST_P(two_hashers, give_what_each_gives_alone) {
    const torrent_format format = GetParam();
    const harness::temp_dir dir;
    constexpr std::int32_t piece_length = 65536;
    // Small files hashed as read, and files long enough for batches (and their leaves).
    const std::vector<std::string> files = {
        harness::random_bytes(70'000, 1), harness::random_bytes(12'000'000, 2),
        harness::random_bytes(0, 3), harness::random_bytes(9'000'017, 4)};
    const auto run = [&](std::size_t count, std::vector<hashed_content> &results) {
        std::vector<kept_pieces> pieces(count);
        std::vector<std::unique_ptr<content_hasher>> hashers;
        for (std::size_t h = 0; h < count; ++h) {
            hashers.push_back(content_hasher::start({format, piece_length, -1, true}, pieces[h]));
            ASSERT_TRUE(hashers.back());
        }
        results.assign(count, {});
        for (std::size_t i = 0; i < files.size(); ++i) {
            for (std::size_t h = 0; h < count; ++h) {
                const std::string &content = h == 0 ? files[i] : files[files.size() - 1 - i];
                const std::string path = dir / ("file" + std::to_string(h));
                ASSERT_EQ(feed_file(*hashers[h], content, feed_mode::open_files, path),
                          feed_status::ok);
                file_hashes hashes;
                ASSERT_EQ(hashers[h]->end_file(static_cast<std::int64_t>(content.size()), hashes),
                          feed_status::ok);
                results[h].files.push_back(std::move(hashes));
            }
        }
        for (std::size_t h = 0; h < count; ++h) {
            if (hashers[h]->has_pieces()) {
                results[h].pieces = finish(*hashers[h], pieces[h]).bytes;
            }
        }
    };
    std::vector<hashed_content> together;
    std::vector<hashed_content> alone;
    run(2, together);
    run(1, alone);
    ASSERT_EQ(together.size(), 2U);
    EXPECT_TRUE(together[0].pieces == alone[0].pieces) << "pieces differ";
    ASSERT_EQ(together[0].files.size(), alone[0].files.size());
    for (std::size_t i = 0; i < alone[0].files.size(); ++i) {
        EXPECT_TRUE(same_file_hashes(together[0].files[i], alone[0].files[i])) << "file " << i;
        // The second hasher took the same files the other way round.
        EXPECT_TRUE(same_file_hashes(together[1].files[files.size() - 1 - i], alone[0].files[i]))
            << "file " << i << " in the second hasher";
    }
    if (format == torrent_format::v1) {
        std::string stream;
        for (const std::string &content : files) {
            stream += content;
        }
        EXPECT_TRUE(alone[0].pieces == harness::expected_pieces(stream, piece_length));
    }
    if (format != torrent_format::v2) {
        EXPECT_FALSE(alone[0].pieces.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(formats, two_hashers,
                         ::testing::Values(torrent_format::v1, torrent_format::v2,
                                           torrent_format::hybrid),
                         [](const auto &info) {
                             switch (info.param) {
                             case torrent_format::v1:
                                 return std::string("v1");
                             case torrent_format::v2:
                                 return std::string("v2");
                             default:
                                 return std::string("hybrid");
                             }
                         });

} // namespace
