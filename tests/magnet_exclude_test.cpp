// The magnet link's text and the --exclude rule: byte classes of the percent-encoding, the
// order of the parameters, the info hashes computed from parts, and which entries a pattern
// leaves out.
#include "metainfo/info_hash.h"
#include "metainfo/magnet.h"
#include "tree/exclude.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// ---------------------------------------------------------------------------
// percent_encoded

struct encoding_case {
    std::string bytes;
    std::string encoded;
};

class magnet_percent_encoding : public ::testing::TestWithParam<encoding_case> {};

TEST_P(magnet_percent_encoding, encodes_byte_for_byte) {
    EXPECT_EQ(percent_encoded(GetParam().bytes), GetParam().encoded);
}

INSTANTIATE_TEST_SUITE_P(
    byte_classes, magnet_percent_encoding,
    ::testing::Values(encoding_case{"", ""},
                      // unreserved characters stay
                      encoding_case{"AZaz09-._~", "AZaz09-._~"},
                      // reserved characters, the percent sign itself and a space are escaped
                      encoding_case{":/?#[]@", "%3A%2F%3F%23%5B%5D%40"},
                      encoding_case{"!$&'()*+,;=", "%21%24%26%27%28%29%2A%2B%2C%3B%3D"},
                      encoding_case{"100% sure", "100%25%20sure"},
                      // UTF-8 and bytes that are no UTF-8 at all, in upper-case hex
                      encoding_case{"caf\xc3\xa9 \xe2\x99\xab", "caf%C3%A9%20%E2%99%AB"},
                      encoding_case{"\x01\x1f\x7f\x80\xff", "%01%1F%7F%80%FF"},
                      encoding_case{"http://t.example/ann?k=1&x",
                                    "http%3A%2F%2Ft.example%2Fann%3Fk%3D1%26x"}));

// Every byte a name can hold either stays as it is or becomes %XX of its own value, and exactly
// the 66 unreserved ones stay.
TEST(magnet_percent_all_bytes, each_byte_round_trips) {
    int kept = 0;
    for (int value = 1; value < 256; ++value) {
        const std::string byte(1, static_cast<char>(value));
        const std::string encoded = percent_encoded(byte);
        if (encoded == byte) {
            ++kept;
            continue;
        }
        ASSERT_EQ(encoded.size(), 3U) << "byte " << value;
        EXPECT_EQ(encoded[0], '%');
        EXPECT_EQ(encoded.find_first_of("abcdef"), std::string::npos) << encoded;
        EXPECT_EQ(std::stoi(encoded.substr(1), nullptr, 16), value) << encoded;
    }
    EXPECT_EQ(kept, 66);
}

// ---------------------------------------------------------------------------
// magnet_link

// Bytes whose hex runs through every digit, so that nibble order and case both show.
constexpr std::array<unsigned char, 20> v1_hash = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd,
                                                   0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab,
                                                   0xcd, 0xef, 0x01, 0x23, 0x45, 0x67};
constexpr std::array<unsigned char, 32> v2_hash = {
    0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10,
    0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
const std::string v1_xt = "xt=urn:btih:0123456789abcdef0123456789abcdef01234567";
const std::string v2_xt =
    "xt=urn:btmh:1220fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

struct link_case {
    const char *label;
    info_hashes hashes;
    std::string name;
    tracker_tiers trackers;
    std::string link;
};

class magnet_link_text : public ::testing::TestWithParam<link_case> {};

TEST_P(magnet_link_text, link) {
    const link_case &c = GetParam();
    EXPECT_EQ(magnet_link(c.hashes, c.name, c.trackers), c.link) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    formats_and_tiers, magnet_link_text,
    ::testing::Values(
        link_case{"v1, no tracker", {v1_hash, {}}, "poems", {}, "magnet:?" + v1_xt + "&dn=poems"},
        link_case{"v2, one tracker",
                  {{}, v2_hash},
                  "a b",
                  {{"http://t.example/ann"}},
                  "magnet:?" + v2_xt + "&dn=a%20b&tr=http%3A%2F%2Ft.example%2Fann"},
        link_case{"hybrid: btih before btmh",
                  {v1_hash, v2_hash},
                  "x",
                  {},
                  "magnet:?" + v1_xt + "&" + v2_xt + "&dn=x"},
        link_case{"tiers flattened in order",
                  {v1_hash, {}},
                  "caf\xc3\xa9",
                  {{"udp://a:1", "udp://b:2"}, {"http://c/ann"}},
                  "magnet:?" + v1_xt +
                      "&dn=caf%C3%A9&tr=udp%3A%2F%2Fa%3A1&tr=udp%3A%2F%2Fb%3A2"
                      "&tr=http%3A%2F%2Fc%2Fann"},
        link_case{"empty tier between others",
                  {v1_hash, {}},
                  "n",
                  {{"u1"}, {}, {"u2"}},
                  "magnet:?" + v1_xt + "&dn=n&tr=u1&tr=u2"}));

// ---------------------------------------------------------------------------
// excluded

struct exclude_case {
    const char *pattern;
    const char *name;
    const char *relative_path;
    bool left_out;
};

class exclude_rule : public ::testing::TestWithParam<exclude_case> {};

TEST_P(exclude_rule, one_pattern) {
    const exclude_case &c = GetParam();
    exclude_patterns patterns;
    add_exclude_pattern(patterns, c.pattern);
    EXPECT_EQ(excluded(patterns, c.name, c.relative_path), c.left_out)
        << "pattern '" << c.pattern << "', path '" << c.relative_path << "'";
}

INSTANTIATE_TEST_SUITE_P(
    patterns, exclude_rule,
    ::testing::Values(
        // without "/": the name, at any depth
        exclude_case{"*.nfo", "x.nfo", "x.nfo", true},
        exclude_case{"*.nfo", "x.nfo", "a/b/x.nfo", true},
        exclude_case{"*.nfo", "x.nfo.txt", "x.nfo.txt", false},
        exclude_case{"Thumbs.db", "thumbs.db", "thumbs.db", false},
        exclude_case{"?.txt", "a.txt", "d/a.txt", true},
        exclude_case{"?.txt", "ab.txt", "ab.txt", false},
        // a leading dot needs no explicit dot
        exclude_case{"*.nfo", ".nfo", ".nfo", true},
        exclude_case{"*~", ".notes~", "d/.notes~", true},
        // the name alone: a parent directory's name is not looked at
        exclude_case{"sub", "x", "sub/x", false}, exclude_case{"sub", "sub", "a/sub", true},
        // bracket expressions and quoting
        exclude_case{"[abc].txt", "b.txt", "b.txt", true},
        exclude_case{"[abc].txt", "d.txt", "d.txt", false},
        exclude_case{"[!abc].txt", "d.txt", "d.txt", true},
        exclude_case{"[a-c]*", "cat", "cat", true},
        exclude_case{"[[:digit:]]*", "1.log", "1.log", true},
        exclude_case{"[[:digit:]]*", "a1.log", "a1.log", false},
        exclude_case{"\\*", "*", "*", true}, exclude_case{"\\*", "a", "a", false},
        // bytes, not characters: no locale turns "?" into a multibyte character
        exclude_case{"caf?", "caf\xc3\xa9", "caf\xc3\xa9", false},
        exclude_case{"caf??", "caf\xc3\xa9", "caf\xc3\xa9", true},
        // with "/": the whole path below the input
        exclude_case{"sub/deep", "deep", "sub/deep", true},
        exclude_case{"sub/deep", "deep", "other/sub/deep", false},
        exclude_case{"sub/deep", "deep", "deep", false},
        exclude_case{"docs/*.txt", "a.txt", "docs/a.txt", true},
        exclude_case{"docs/*", "old", "docs/old", true},
        // "*" and "?" stop at "/"
        exclude_case{"docs/*.txt", "a.txt", "docs/old/a.txt", false},
        exclude_case{"*/cache", "cache", "a/cache", true},
        exclude_case{"*/cache", "cache", "a/b/cache", false},
        exclude_case{"a?b/x", "x", "a/b/x", false},
        exclude_case{"a/[0-9]*/x", "x", "a/2024/x", true},
        // the path never starts or ends with "/", so such patterns match nothing
        exclude_case{"/top", "top", "top", false},
        exclude_case{"cache/", "cache", "cache", false}));

TEST(exclude_rule_sets, no_pattern_leaves_nothing_out) {
    EXPECT_FALSE(excluded(exclude_patterns{}, "x", "x"));
}

TEST(exclude_rule_sets, any_of_several_patterns_leaves_out) {
    exclude_patterns patterns;
    for (const char *pattern : {"*.nfo", "sample/*", "*.txt"}) {
        add_exclude_pattern(patterns, pattern);
    }
    EXPECT_TRUE(excluded(patterns, "a.txt", "d/a.txt"));
    EXPECT_TRUE(excluded(patterns, "clip.mkv", "sample/clip.mkv"));
    EXPECT_TRUE(excluded(patterns, "r.nfo", "r.nfo"));
    EXPECT_FALSE(excluded(patterns, "movie.mkv", "movie.mkv"));
    EXPECT_FALSE(excluded(patterns, "clip.mkv", "extra/sample/clip.mkv"));
}

// ---------------------------------------------------------------------------
// info_hasher: the info dictionary arrives in as many parts as the writer makes.

// The hashes of "abc" (FIPS 180 test vectors) fed byte by byte, and of nothing at all.
TEST(info_hasher, hashes_what_it_is_fed_in_parts) {
    const std::string sha1_abc = "a9993e364706816aba3e25717850c26c9cd0d89d";
    const std::string sha256_abc =
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const std::string sha256_empty =
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const std::string rest = "&dn=n";
    const struct {
        bool v1, v2;
        std::string text;
        std::string link;
    } cases[] = {
        {true, false, "abc", "magnet:?xt=urn:btih:" + sha1_abc + rest},
        {false, true, "abc", "magnet:?xt=urn:btmh:1220" + sha256_abc + rest},
        {true, true, "abc",
         "magnet:?xt=urn:btih:" + sha1_abc + "&xt=urn:btmh:1220" + sha256_abc + rest},
        {false, true, "", "magnet:?xt=urn:btmh:1220" + sha256_empty + rest},
    };
    for (const auto &c : cases) {
        info_hasher hasher;
        info_hasher_begin(hasher, c.v1, c.v2);
        for (const char byte : c.text) {
            const auto part = static_cast<unsigned char>(byte);
            info_hasher_feed(hasher, &part, 1);
        }
        info_hasher_feed(hasher, nullptr, 0);
        const std::optional<info_hashes> hashes = info_hasher_end(hasher);
        ASSERT_TRUE(hashes.has_value());
        EXPECT_EQ(hashes->v1.has_value(), c.v1);
        EXPECT_EQ(hashes->v2.has_value(), c.v2);
        EXPECT_EQ(magnet_link(*hashes, "n", {}), c.link);
    }
}

} // namespace
