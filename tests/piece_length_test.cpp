// The piece length `auto` picks at the edges of its table (whose far end needs content of
// hundreds of GiB), and the URL checks of `create` at the edges of what a URL may hold.
#include "common/piece_length.h"
#include "common/tracker_url.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {
constexpr std::int64_t KiB = 1024;
constexpr std::int64_t MiB = 1024 * KiB;
constexpr std::int64_t GiB = 1024 * MiB;

struct auto_case {
    std::int64_t total;
    std::int32_t max_length;
    std::int64_t expected;
};

class auto_table : public ::testing::TestWithParam<auto_case> {};

TEST_P(auto_table, picks_the_smallest_length_for_2048_pieces_under_the_cap) {
    const auto_case &c = GetParam();
    EXPECT_EQ(auto_piece_length(c.total, c.max_length), c.expected) << "total " << c.total;
}

INSTANTIATE_TEST_SUITE_P(
    edges, auto_table,
    ::testing::Values(auto_case{1, default_max_piece_length, 16 * KiB},
                      auto_case{32 * MiB, default_max_piece_length, 16 * KiB},
                      auto_case{32 * MiB + 1, default_max_piece_length, 32 * KiB},
                      auto_case{4 * GiB, default_max_piece_length, 2 * MiB},
                      auto_case{4 * GiB + 1, default_max_piece_length, 4 * MiB},
                      auto_case{16 * GiB, default_max_piece_length, 8 * MiB},
                      auto_case{16 * GiB + 1, default_max_piece_length, 16 * MiB},
                      auto_case{32 * GiB + 1, default_max_piece_length, 16 * MiB},
                      auto_case{4096 * GiB, default_max_piece_length, 16 * MiB},
                      auto_case{4096 * GiB, 256 * MiB, 256 * MiB},
                      auto_case{4 * GiB, 1 * MiB, 1 * MiB},
                      auto_case{1 * MiB, 16 * KiB, 16 * KiB}));

TEST(tracker_url, accepted_and_refused) {
    const struct {
        const char *url;
        bool usable;
    } cases[] = {
        {"https://tracker.example.org:443/a1b2/announce", true},
        {"udp://tracker.example.org:1337", true},
        {"wss://t.example/announce", true},
        {"HTTP://[2001:db8::1]:6969/announce", true},
        {"http://user@host:80/a", true},
        {"ftp://host/a", false},
        {"http:/host/a", false},
        {"http://:80/a", false},
        {"http://host:0/a", false},
        {"http://host:65536/a", false},
        {"http://host:/a", false},
        {"http://host:+80/a", false},
        {"http://[::1/a", false},
        {"tracker.example.org/announce", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(!tracker_url_problem(c.url).has_value(), c.usable) << c.url;
    }
}
} // namespace
