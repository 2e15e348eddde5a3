// Arithmetic and text rules that are easy to get wrong at their edges: the torrent
// name, the leading-decimal conversion, and the piece counts in 64 bits.
#include "common/numbers.h"
#include "metainfo/document.h"
#include "metainfo/name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

constexpr std::int32_t int32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int32_min = std::numeric_limits<std::int32_t>::min();

// ---------------------------------------------------------------------------
// torrent_name / write_name

// What write_name writes, inside the dictionary that a key needs.
std::string name_fragment(const char *path) {
    std::string written;
    bencode_writer out(written);
    out.begin_dict();
    write_name(out, path);
    return written.substr(1);
}

struct name_case {
    const char *path;
    const char *name;
};

class name_rule : public ::testing::TestWithParam<name_case> {};

TEST_P(name_rule, torrent_name) {
    EXPECT_EQ(torrent_name(GetParam().path), GetParam().name) << "path: " << GetParam().path;
}

// write_name writes "4:name<len>:<name>".
TEST_P(name_rule, write_name_fragment) {
    const std::string written = name_fragment(GetParam().path);
    const std::string name = GetParam().name;
    EXPECT_EQ(written, "4:name" + std::to_string(name.size()) + ":" + name)
        << "path: " << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    cases, name_rule,
    ::testing::Values(name_case{"music/album/", "album"}, name_case{"/", "/"},
                      name_case{"///", "/"}, name_case{".", "."}, name_case{"/srv/data", "data"},
                      name_case{"data", "data"}, name_case{"data/", "data"},
                      name_case{"data///", "data"}, name_case{"a/b/c", "c"}, name_case{"/a", "a"},
                      name_case{"/a/", "a"}, name_case{"//a//", "a"}, name_case{"./", "."},
                      name_case{"..", ".."}, name_case{"../", ".."}, name_case{"x/..", ".."},
                      name_case{".hidden/", ".hidden"}, name_case{"a//b", "b"}, name_case{"a", "a"},
                      // multibyte names: the byte length is what counts
                      name_case{"/m\xc3\xbcsic/\xe2\x99\xab", "\xe2\x99\xab"},
                      // a name that is just one character after a slash
                      name_case{"dir/x/", "x"}));

TEST(name_rule_edges, torrent_name_is_a_view_into_the_input) {
    // The input path is left unchanged and the name is a part of it.
    const std::string path = "library/shelf///";
    const std::string_view name = torrent_name(path);
    EXPECT_EQ(name, "shelf");
    EXPECT_GE(name.data(), path.data());
    EXPECT_LE(name.data() + name.size(), path.data() + path.size());
    EXPECT_EQ(path, "library/shelf///");
}

TEST(name_rule_edges, long_name_length_has_several_digits) {
    const std::string component(1234, 'n');
    const std::string path = "/base/" + component + "/";
    EXPECT_EQ(torrent_name(path), component);
    EXPECT_EQ(name_fragment(path.c_str()), "4:name1234:" + component);
}

// ---------------------------------------------------------------------------
// leading_decimal

struct decimal_case {
    const char *text;
    std::int32_t value;
};

class leading_decimal_rule : public ::testing::TestWithParam<decimal_case> {};

TEST_P(leading_decimal_rule, converts) {
    EXPECT_EQ(leading_decimal(GetParam().text), GetParam().value)
        << "text: '" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    cases, leading_decimal_rule,
    ::testing::Values(
        // plain values and the leading-digits rule
        decimal_case{"0", 0}, decimal_case{"1", 1}, decimal_case{"262144", 262144},
        decimal_case{"64k", 64}, decimal_case{"8080x", 8080}, decimal_case{"12 34", 12},
        decimal_case{"0x10", 0}, decimal_case{"1e3", 1}, decimal_case{"007", 7},
        decimal_case{"3.9", 3},
        // no leading digits
        decimal_case{"", 0}, decimal_case{"abc", 0}, decimal_case{"-", 0}, decimal_case{"+", 0},
        decimal_case{" ", 0}, decimal_case{"--5", 0}, decimal_case{"+-5", 0},
        decimal_case{"- 5", 0}, decimal_case{"k64", 0},
        // white space and sign
        decimal_case{"  42", 42}, decimal_case{"\t\n\v\f\r 9", 9}, decimal_case{"+42", 42},
        decimal_case{"-42", -42}, decimal_case{"  -7x", -7}, decimal_case{"-0", 0},
        decimal_case{"42 ", 42},
        // the 32-bit limits themselves
        decimal_case{"2147483647", int32_max}, decimal_case{"-2147483647", -int32_max},
        decimal_case{"-2147483648", int32_min}, decimal_case{"2147483646", int32_max - 1},
        // one past the limits saturates
        decimal_case{"2147483648", int32_max}, decimal_case{"-2147483649", int32_min},
        // values that would wrap to small or zero results in 32 bits
        decimal_case{"4294967296", int32_max}, decimal_case{"4294967297", int32_max},
        decimal_case{"-4294967296", int32_min}, decimal_case{"-4294967295", int32_min},
        decimal_case{"99999999999", int32_max}, decimal_case{"-99999999999", int32_min},
        // beyond 64 bits too
        decimal_case{"9223372036854775807", int32_max},
        decimal_case{"9223372036854775808", int32_max},
        decimal_case{"18446744073709551616", int32_max},
        decimal_case{"99999999999999999999999999999999999999", int32_max},
        decimal_case{"-99999999999999999999999999999999999999", int32_min},
        // many leading zeros do not count as magnitude
        decimal_case{"000000000000000000000000000002147483647", int32_max},
        decimal_case{"-00000000000000000000000000000000000001", -1},
        decimal_case{"2147483648abc", int32_max}));

// ---------------------------------------------------------------------------
// piece_count / pieces_length

struct count_case {
    std::int64_t size;
    std::int32_t piece_length;
    std::int64_t count;
};

class piece_arithmetic : public ::testing::TestWithParam<count_case> {};

TEST_P(piece_arithmetic, count_is_rounded_up) {
    const count_case &c = GetParam();
    EXPECT_EQ(piece_count(c.size, c.piece_length), c.count)
        << "size " << c.size << ", piece length " << c.piece_length;
}

TEST_P(piece_arithmetic, length_is_twenty_bytes_per_piece) {
    const count_case &c = GetParam();
    EXPECT_EQ(pieces_length(c.size, c.piece_length), 20 * c.count)
        << "size " << c.size << ", piece length " << c.piece_length;
}

constexpr std::int64_t gib = std::int64_t{1} << 30;
constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    cases, piece_arithmetic,
    ::testing::Values(
        // an empty file has no piece
        count_case{0, 1, 0}, count_case{0, 262144, 0}, count_case{0, int32_max, 0},
        // boundaries around one and two pieces
        count_case{1, 262144, 1}, count_case{262143, 262144, 1}, count_case{262144, 262144, 1},
        count_case{262145, 262144, 2}, count_case{524288, 262144, 2}, count_case{524289, 262144, 3},
        count_case{1025, 1024, 2}, count_case{3072, 1024, 3},
        // piece length 1: one piece per byte
        count_case{1, 1, 1}, count_case{1000, 1, 1000},
        // piece length larger than the file
        count_case{10, int32_max, 1}, count_case{int32_max, int32_max, 1},
        count_case{std::int64_t{int32_max} + 1, int32_max, 2},
        // over 4 GiB
        count_case{4 * gib, 16 * 1024 * 1024, 256}, count_case{4 * gib + 1, 16 * 1024 * 1024, 257},
        count_case{4 * gib + 1, int32_max, 3},
        // counts whose pieces length no longer fits in 32 bits
        count_case{107374183, 1, 107374183}, // 20 x that is just above 2^31
        count_case{std::int64_t{1} << 31, 1, std::int64_t{1} << 31},
        count_case{std::int64_t{1} << 32, 1, std::int64_t{1} << 32},
        count_case{std::int64_t{1} << 40, 1, std::int64_t{1} << 40},
        count_case{(std::int64_t{1} << 40) + 1, 2, (std::int64_t{1} << 39) + 1},
        count_case{int64_max, int32_max, int64_max / int32_max + 1},
        // the largest count whose pieces length still fits in 64 bits
        count_case{int64_max / 20, 1, int64_max / 20}));

// Near the top of the 64-bit range the count itself must not overflow while rounding up
// (size + piece_length - 1 would). The pieces length of these does not fit in 64 bits, so
// only the count is checked.
class piece_count_extremes : public ::testing::TestWithParam<count_case> {};

TEST_P(piece_count_extremes, count_is_rounded_up) {
    const count_case &c = GetParam();
    EXPECT_EQ(piece_count(c.size, c.piece_length), c.count)
        << "size " << c.size << ", piece length " << c.piece_length;
}

INSTANTIATE_TEST_SUITE_P(cases, piece_count_extremes,
                         ::testing::Values(count_case{int64_max, 1, int64_max},
                                           count_case{int64_max - 1, 2, int64_max / 2},
                                           count_case{int64_max, 2, int64_max / 2 + 1},
                                           count_case{int64_max, 1024, int64_max / 1024 + 1},
                                           count_case{int64_max - 1023, 1024, int64_max / 1024}));

TEST(piece_arithmetic_edges, example_from_the_brief_of_2_pow_40_bytes) {
    EXPECT_EQ(pieces_length(std::int64_t{1} << 40, 1), 20 * (std::int64_t{1} << 40));
}

TEST(piece_arithmetic_edges, pieces_length_does_not_wrap_at_32_bits) {
    // 20 x 107374183 = 2147483660: one digest more than a signed 32-bit length can hold
    EXPECT_EQ(pieces_length(107374183, 1), std::int64_t{2147483660});
    EXPECT_GT(pieces_length(107374183, 1), std::int64_t{int32_max});
    // 2^32 pieces: 20 x 2^32 would wrap to 0 in 32 bits
    EXPECT_EQ(pieces_length(std::int64_t{1} << 32, 1), std::int64_t{20} << 32);
}

} // namespace
