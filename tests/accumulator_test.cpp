// The directory torrent's piece accumulator driven in-process: files fed one after another,
// from open files or from bytes read ahead, are cut into pieces regardless of where each ends.
#include "support/harness.h"
#include "tree/accumulator.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// What the accumulator hands on at its finish.
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

struct accumulator_case {
    const char *name;
    std::int32_t piece_length;
    std::vector<std::size_t> file_sizes;
    std::vector<feed_mode> modes; // each case is run once per mode
};

void feed_file(const std::string &content, feed_mode mode, const harness::temp_dir &dir) {
    if (mode == feed_mode::bytes) {
        ASSERT_EQ(accumulator_feed_bytes(reinterpret_cast<const unsigned char *>(content.data()),
                                         content.size()),
                  feed_status::ok);
        return;
    }
    const std::string path = dir / "file";
    harness::write_file(path, content);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(accumulator_feed(fd, static_cast<std::int64_t>(content.size())), feed_status::ok);
    close(fd);
}

class accumulator : public ::testing::TestWithParam<accumulator_case> {};

TEST_P(accumulator, digests_run_across_file_boundaries) {
    const accumulator_case &c = GetParam();
    const harness::temp_dir dir;
    for (const feed_mode mode : c.modes) {
        SCOPED_TRACE(mode == feed_mode::bytes ? "fed from bytes" : "fed from open files");
        std::string stream;
        ASSERT_EQ(accumulator_start(c.piece_length), 0);
        for (std::size_t i = 0; i < c.file_sizes.size(); ++i) {
            const std::string content = harness::random_bytes(c.file_sizes[i], i + 1);
            feed_file(content, mode, dir);
            stream += content;
        }
        pieces_capture pieces;
        ASSERT_EQ(accumulator_finish(pieces), 0);
        if (stream.empty()) {
            EXPECT_EQ(pieces.begins, 0) << "no byte fed, so no pieces at all";
            continue;
        }
        const std::string expected = harness::expected_pieces(stream, c.piece_length);
        EXPECT_EQ(pieces.begins, 1);
        EXPECT_EQ(pieces.announced, static_cast<std::int64_t>(expected.size()));
        EXPECT_TRUE(pieces.bytes == expected) << "digests differ";
    }
}

const std::vector<feed_mode> both = {feed_mode::open_files, feed_mode::bytes};
constexpr std::int32_t long_piece = (32 << 20) + 1;

INSTANTIATE_TEST_SUITE_P(
    cases, accumulator,
    ::testing::Values(
        // a full piece of the first file and 156 bytes of the second, then 44 bytes
        accumulator_case{"boundary", 256, {100, 200}, both},
        // three pieces, none partial, and a boundary inside the second one
        accumulator_case{"exact_multiple", 256, {256, 300, 212}, both},
        accumulator_case{"piece_length_1", 1, {3, 0, 2}, both},
        accumulator_case{"nothing_fed", 256, {}, both},
        accumulator_case{"only_empty_files", 256, {0, 0}, both},
        // pieces too long to batch, more than one of them and a partial one
        accumulator_case{"above_32_mib",
                         long_piece,
                         {std::size_t{long_piece} + 5, std::size_t{long_piece}, 1000},
                         {feed_mode::bytes}}),
    [](const ::testing::TestParamInfo<accumulator_case> &info) { return info.param.name; });

} // namespace
