#include "reader/metainfo.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <deque>
#include <initializer_list>
#include <string>
#include <utility>

namespace {
// Bencode written by hand, entries in the order given, so that a case can be malformed on
// purpose.
std::string s(std::string_view text) {
    return std::to_string(text.size()) + ":" + std::string(text);
}
std::string i(long long number) {
    std::string out = "i";
    out += std::to_string(number);
    return out + "e";
}
std::string l(std::initializer_list<std::string> items) {
    std::string out = "l";
    for (const std::string &item : items)
        out += item;
    return out + "e";
}
std::string d(std::initializer_list<std::pair<std::string_view, std::string>> entries) {
    std::string out = "d";
    for (const auto &[key, value] : entries)
        out += s(key) + value;
    return out + "e";
}

const std::string root_a(32, 'A');
const std::string root_b(32, 'B');

std::string v1_single(std::string pieces = std::string(60, 'x'), std::string name = "a.bin",
                      long long piece_length = 16384) {
    return d({{"length", i(40000)},
              {"name", s(name)},
              {"piece length", i(piece_length)},
              {"pieces", s(pieces)}});
}
std::string v1_files(std::string path) {
    return d({{"files", l({d({{"length", i(10)}, {"path", path}})})},
              {"name", s("dir")},
              {"piece length", i(16384)},
              {"pieces", s(std::string(20, 'x'))}});
}
std::string v2_single(long long piece_length = 16384, std::string root = root_a,
                      long long version = 2) {
    return d({{"file tree",
               d({{"a.bin", d({{"", d({{"length", i(40000)}, {"pieces root", s(root)}})}})}})},
              {"meta version", i(version)},
              {"name", s("a.bin")},
              {"piece length", i(piece_length)}});
}
std::string hybrid(long long second_size = 100) {
    const std::string pad =
        d({{"attr", s("p")}, {"length", i(12768)}, {"path", l({s(".pad"), s("12768")})}});
    return d({{"file tree",
               d({{"a", d({{"", d({{"length", i(20000)}, {"pieces root", s(root_a)}})}})},
                  {"b", d({{"", d({{"length", i(second_size)}, {"pieces root", s(root_b)}})}})}})},
              {"files", l({d({{"length", i(20000)}, {"path", l({s("a")})}}), pad,
                           d({{"length", i(100)}, {"path", l({s("b")})}})})},
              {"meta version", i(2)},
              {"name", s("dir")},
              {"piece length", i(16384)},
              {"pieces", s(std::string(60, 'x'))}});
}
std::string metafile(const std::string &info, std::string layers = "") {
    if (layers.empty())
        return d({{"announce", s("http://t/a")}, {"info", info}});
    return d({{"announce", s("http://t/a")}, {"info", info}, {"piece layers", layers}});
}
const std::string layer_a = d({{root_a, s(std::string(96, 'h'))}});
const std::string hybrid_layer = d({{root_a, s(std::string(64, 'h'))}});

// A metainfo's paths read the document they came from, so the documents outlive the test.
metainfo read(const std::string &bytes, const bencode_limits &limits = {}) {
    static std::deque<bencode_document> documents;
    bencode_outcome outcome = read_bencode(bytes, limits);
    EXPECT_TRUE(outcome.document) << outcome.error.reason << " at " << outcome.error.offset;
    if (!outcome.document)
        return {};
    documents.push_back(std::move(*outcome.document));
    metainfo_outcome torrent = read_metainfo(documents.back(), limits);
    EXPECT_FALSE(torrent.refusal);
    return std::move(torrent.torrent);
}

std::string problems_of(const metainfo &torrent) {
    std::string text;
    for (const metainfo_problem &problem : torrent.problems)
        text += (problem.invalid ? "[invalid] " : "[remark] ") + problem.text + "\n";
    return text;
}

TEST(MetainfoReader, ListsWhatMakesATorrentInvalid) {
    const std::pair<std::string, const char *> cases[] = {
        {metafile(v1_single(std::string(19, 'x'))), "'pieces' of 19 bytes, not a multiple of 20"},
        {metafile(v1_single(std::string(40, 'x'))),
         "'pieces' holds 2 digests where the content needs 3"},
        {metafile(v1_files(l({s(".."), s("x")}))), "file '../x' has a path component '.' or '..'"},
        {metafile(v1_files(l({s("/etc"), s("passwd")}))),
         "file '/etc/passwd' has a path component with '/'"},
        {metafile(v1_files(l({s(""), s("etc")}))), "file '/etc' has an empty path component"},
        {metafile(v1_files(l({s(std::string("\0b", 2))}))), "has a path component with a NUL byte"},
        {metafile(v1_files(l({}))), "a file in 'files' without a path"},
        {metafile(v1_single(std::string(60, 'x'), "..")), "the name is a path component"},
        {metafile(v1_single(std::string(60, 'x'), "a.bin", 0)), "'piece length' 0 is not positive"},
        {metafile(d({{"files", l({})},
                     {"length", i(1)},
                     {"name", s("x")},
                     {"piece length", i(16384)},
                     {"pieces", s("")}})),
         "both 'length' and 'files'"},
        {metafile(d({{"name", s("x")}, {"piece length", i(16384)}, {"pieces", s("")}})),
         "neither 'length' nor 'files'"},
        {metafile(d({{"name", s("x")}, {"piece length", i(16384)}})),
         "neither a v1 file list nor a v2 file tree"},
        {metafile(v2_single(1000), layer_a), "'piece length' 1000 is not a power of two"},
        {metafile(v2_single(16384, std::string(31, 'A')), layer_a),
         "'pieces root' of 'a.bin' is not 32 bytes"},
        {metafile(v2_single(16384, root_a, 3), layer_a), "'meta version' 3, not 2"},
        {metafile(v2_single()), "no piece layer for 'a.bin'"},
        {metafile(v2_single(), d({{root_a, s(std::string(64, 'h'))}})),
         "the piece layer of 'a.bin' is not 96 bytes"},
        {metafile(d({{"file tree", d({{"..", d({{"", d({{"length", i(0)}})}})}})},
                     {"meta version", i(2)},
                     {"name", s("x")},
                     {"piece length", i(16384)}})),
         "file tree entry '..' has"},
        {metafile(hybrid(101), hybrid_layer),
         "the v1 files and the v2 file tree describe different files"},
        {l({}), "the document is not a dictionary"},
        {d({{"announce", s("x")}}), "no 'info'"},
    };
    for (const auto &[bytes, expected] : cases) {
        SCOPED_TRACE(expected);
        const metainfo torrent = read(bytes);
        EXPECT_TRUE(std::any_of(torrent.problems.begin(), torrent.problems.end(),
                                [&](const metainfo_problem &problem) {
                                    return problem.invalid &&
                                           problem.text.find(expected) != std::string::npos;
                                }))
            << problems_of(torrent);
    }
}

// The info hash is taken over the info dictionary's bytes as they stand, even when a canonical
// encoder would have written them otherwise.
TEST(MetainfoReader, InfoHashesCoverTheOriginalBytes) {
    const std::string unsorted_info = d({{"piece length", i(16384)},
                                         {"name", s("a.bin")},
                                         {"length", i(40000)},
                                         {"pieces", s(std::string(60, 'x'))}});
    const std::pair<std::string, torrent_format> cases[] = {
        {unsorted_info, torrent_format::v1},
        {v2_single(), torrent_format::v2},
        {hybrid(), torrent_format::hybrid},
    };
    for (const auto &[info, format] : cases) {
        SCOPED_TRACE(format_name(format));
        const metainfo torrent =
            read(metafile(info, format == torrent_format::v2 ? layer_a : hybrid_layer));
        EXPECT_EQ(torrent.format, format);
        const auto *bytes = reinterpret_cast<const unsigned char *>(info.data());
        std::array<unsigned char, 20> sha1{};
        std::array<unsigned char, 32> sha256{};
        SHA1(bytes, info.size(), sha1.data());
        SHA256(bytes, info.size(), sha256.data());
        EXPECT_EQ(torrent.hashes.v1.has_value(), format != torrent_format::v2);
        EXPECT_EQ(torrent.hashes.v2.has_value(), format != torrent_format::v1);
        if (torrent.hashes.v1) {
            EXPECT_EQ(*torrent.hashes.v1, sha1);
        }
        if (torrent.hashes.v2) {
            EXPECT_EQ(*torrent.hashes.v2, sha256);
        }
    }
    const metainfo unsorted = read(metafile(unsorted_info));
    EXPECT_FALSE(has_invalid_problem(unsorted)) << problems_of(unsorted);
    EXPECT_NE(problems_of(unsorted).find("[remark] key 'name' out of order"), std::string::npos);
}

TEST(MetainfoReader, PieceCountOverTheLimitIsRefused) {
    const std::string bytes = metafile(v1_single());
    const bencode_outcome outcome = read_bencode(bytes);
    ASSERT_TRUE(outcome.document);
    const metainfo_outcome refused = read_metainfo(*outcome.document, {.max_pieces = 2});
    ASSERT_TRUE(refused.refusal);
    EXPECT_STREQ(refused.refusal->limit_option, "--max-pieces");
    EXPECT_FALSE(read_metainfo(*outcome.document, {.max_pieces = 3}).refusal);
}
} // namespace
