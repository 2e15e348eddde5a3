// The bencode writer and the document layout, driven in-process into memory and compared with
// documents written out by hand.
#include "metainfo/bencode.h"
#include "metainfo/document.h"
#include "support/harness.h"
#include "tree/walk.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

const unsigned char *bytes_of(const std::string &text) {
    return reinterpret_cast<const unsigned char *>(text.data());
}

// ---------------------------------------------------------------------------
// bencode_writer

TEST(bencode_writer, scalars) {
    const std::pair<std::int64_t, const char *> integers[] = {
        {0, "i0e"},
        {-1, "i-1e"},
        {std::int64_t{1} << 40, "i1099511627776e"},
        {std::numeric_limits<std::int64_t>::max(), "i9223372036854775807e"},
        {std::numeric_limits<std::int64_t>::min(), "i-9223372036854775808e"},
    };
    for (const auto &[value, text] : integers) {
        std::string written;
        bencode_writer(written).integer(value);
        EXPECT_EQ(written, text);
    }
    for (const std::string &bytes : {""s, "a\0b"s, "\xff\x80\x01"s, std::string(1000, '\0')}) {
        std::string written;
        bencode_writer(written).string(bytes);
        EXPECT_EQ(written, std::to_string(bytes.size()) + ":" + bytes);
    }
}

TEST(bencode_writer, nested_containers_and_a_string_in_parts) {
    std::string written;
    bencode_writer out(written);
    out.begin_list();
    out.integer(-7);
    out.begin_dict();
    out.key("a");
    out.begin_list();
    out.end();
    out.key("b");
    out.string_head(6);
    EXPECT_TRUE(out.string_part("ab", 2));
    EXPECT_TRUE(out.string_part("\0de\xff", 4));
    out.end();
    out.string("");
    out.end();
    EXPECT_EQ(written, "li-7ed1:ale1:b6:ab\0de\xff"
                       "e0:e"s);
}

// The output file keeps its first failure, and the writes after it do not hide it.
TEST(bencode_writer, the_first_failed_write_to_the_file_is_kept) {
    output_stream file{std::fopen("/dev/full", "w")};
    if (file.file == nullptr) {
        GTEST_SKIP() << "/dev/full cannot be opened here";
    }
    bencode_writer out(file);
    out.begin_dict();
    EXPECT_FALSE(out.failed()) << "one byte stays in the stream's buffer";
    // Larger than any stream buffer, so it reaches the device at once.
    const std::string big(1 << 20, 'x');
    EXPECT_FALSE(out.string_part(big.data(), big.size()));
    EXPECT_TRUE(out.failed());
    out.end();
    EXPECT_EQ(out_close(file), ENOSPC);
}

#ifdef NDEBUG
TEST(bencode_writer, key_order_is_asserted_in_debug_builds) {
    GTEST_SKIP() << "assertions are compiled out of this build";
}
#else
void write_keys(const std::vector<std::string> &keys) {
    std::string written;
    bencode_writer out(written);
    out.begin_dict();
    for (const std::string &key : keys) {
        out.key(key);
        out.begin_dict(); // each dictionary keeps its own order
        out.key("z");
        out.end();
    }
    out.end();
}

TEST(bencode_writer, key_order_is_asserted_in_debug_builds) {
    EXPECT_DEATH(write_keys({"b", "a"}), "Assertion");
    EXPECT_DEATH(write_keys({"name", "name"}), "Assertion");
    // Bytes compare unsigned: a high byte sorts after every ASCII letter.
    EXPECT_DEATH(write_keys({"\x80", "z"}), "Assertion");
    write_keys({"", "a", "piece length", "pieces", "z", "\x80"});
}
#endif

// ---------------------------------------------------------------------------
// Document layout

const std::string pieces = harness::sha1_raw("0") + harness::sha1_raw("1") + harness::sha1_raw("2");

document_head test_head(const char *comment) {
    document_head head;
    head.trackers = {{announce_url("http://t", "6881", "/announce")}};
    head.comment = comment;
    head.creation_date = 1234;
    return head;
}

TEST(document_layout, single_file) {
    const std::string info =
        "d6:lengthi300e4:name8:file.bin12:piece lengthi256e6:pieces40:" + pieces.substr(0, 40) +
        "e";
    const std::pair<const char *, std::string> comments[] = {
        {nullptr, ""}, {"", "7:comment0:"}, {"\xc3\xbc", "7:comment2:\xc3\xbc"}};
    for (const auto &[comment, comment_key] : comments) {
        std::string written;
        bencode_writer out(written);
        open_document(out, test_head(comment));
        open_single_file_info(out, 300, {"dir/file.bin/", 256});
        EXPECT_TRUE(write_digests(out, bytes_of(pieces), 20));
        EXPECT_TRUE(write_digests(out, bytes_of(pieces) + 20, 20));
        close_document(out);
        EXPECT_EQ(written, "d8:announce22:http://t:6881/announce" + comment_key +
                               "13:creation datei1234e4:info" + info + "e");
    }
}

// A directory document as the walk and the content hasher hand it over; no digests means that no
// byte was fed. Returns the info dictionary's bytes as the document's tap saw them.
std::string directory_info(const std::vector<file_entry> &files, const std::string &digests) {
    std::string written;
    std::string tapped;
    bencode_writer out(written);
    document_head head = test_head("c");
    head.info_bytes = [&tapped](const unsigned char *data, std::size_t size) {
        tapped.append(reinterpret_cast<const char *>(data), size);
    };
    open_document(out, head);
    directory_document document(out, {"/srv/album", 65536});
    document.files_begin();
    for (const file_entry &file : files) {
        document.add_file(file);
    }
    document.files_end();
    if (!digests.empty()) {
        document.pieces_begin(static_cast<std::int64_t>(digests.size()));
        document.pieces_part(bytes_of(digests), 20);
        document.pieces_part(bytes_of(digests) + 20, digests.size() - 20);
    }
    close_document(out);
    EXPECT_EQ(written, "d8:announce22:http://t:6881/announce7:comment1:c13:creation datei1234e"
                       "4:info" +
                           tapped + "e");
    return tapped;
}

TEST(document_layout, directory) {
    const std::vector<std::string_view> first = {"a", "b.txt"};
    const std::vector<std::string_view> second = {"\xe2\x99\xab"};
    EXPECT_EQ(directory_info({{100, first}, {std::int64_t{5} << 30, second}}, pieces),
              "d5:filesld6:lengthi100e4:pathl1:a5:b.txteed6:lengthi5368709120e"
              "4:pathl3:\xe2\x99\xab"
              "eee4:name5:album12:piece lengthi65536e6:pieces60:" +
                  pieces + "e");
    EXPECT_EQ(directory_info({}, ""), "d5:filesle4:name5:album12:piece lengthi65536ee");
}

// ---------------------------------------------------------------------------
// v2 and hybrid layout

struct v2_file {
    std::vector<std::string_view> path;
    std::int64_t length;
    char root; // fills the pieces root; 0 for an empty file
    std::size_t layer_nodes;
};

tree_node node_of(char fill) {
    tree_node node{};
    node.fill(static_cast<unsigned char>(fill));
    return node;
}

// The document a v2_document writes for these files; every layer node is filled with its file's
// root byte plus one.
std::string v2_written(const std::vector<v2_file> &files, bool hybrid, bool single,
                       const std::string &digests) {
    std::string written;
    bencode_writer out(written);
    open_document(out, test_head(nullptr));
    v2_document document(out, {"in/name", 16384}, hybrid, single);
    document.files_begin();
    for (const v2_file &file : files) {
        file_hashes hashes{
            file.root != 0, node_of(file.root),
            std::vector<tree_node>(file.layer_nodes, node_of(static_cast<char>(file.root + 1)))};
        document.add_file({file.length, file.path, &hashes});
    }
    document.files_end();
    if (!digests.empty()) {
        document.pieces_begin(static_cast<std::int64_t>(digests.size()));
        document.pieces_part(bytes_of(digests), digests.size());
    }
    document.end_document({});
    EXPECT_TRUE(out.complete());
    const std::string head = "d8:announce22:http://t:6881/announce13:creation datei1234e4:info";
    EXPECT_EQ(written.substr(0, head.size()), head);
    return written.substr(head.size());
}

std::string root_key(char fill) {
    return "11:pieces root32:" + std::string(32, fill);
}

// Directories open at their first file and close after their last, whatever the depth of the
// next file; files of the same content share one piece layer entry, and the entries are in
// ascending byte order of their roots.
TEST(v2_layout, nested_file_tree_and_shared_piece_layers) {
    const std::vector<v2_file> files = {{{"a", "b", "c"}, 40000, 'z', 3},
                                        {{"a", "b", "d"}, 0, 0, 0},
                                        {{"a", "e"}, 5, 'e', 0},
                                        {{"a.txt"}, 40000, 'z', 3},
                                        {{"b", "c"}, 16385, 'c', 2}};
    const std::string layers = "12:piece layersd32:" + std::string(32, 'c') +
                               "64:" + std::string(64, 'd') + "32:" + std::string(32, 'z') +
                               "96:" + std::string(96, '{') + "e";
    EXPECT_EQ(v2_written(files, false, false, ""),
              "d9:file treed1:ad1:bd1:cd0:d6:lengthi40000e" + root_key('z') +
                  "ee1:dd0:d6:lengthi0eeee1:ed0:d6:lengthi5e" + root_key('e') +
                  "eee5:a.txtd0:d6:lengthi40000e" + root_key('z') + "ee1:bd1:cd0:d6:lengthi16385e" +
                  root_key('c') + "eeee12:meta versioni2e4:name4:name12:piece lengthi16384ee" +
                  layers + "e");
}

// Hybrid: every file that does not end on a piece boundary is followed by its padding, the
// last one too; an empty file and a whole piece need none.
TEST(v2_layout, hybrid_files_with_padding) {
    const std::vector<v2_file> files = {
        {{"a"}, 16385, 'a', 2}, {{"b"}, 0, 0, 0}, {{"c"}, 16384, 'c', 0}, {{"d", "e"}, 1, 'e', 0}};
    const std::string pad_16383 = "d4:attr1:p6:lengthi16383e4:pathl4:.pad5:16383ee";
    EXPECT_EQ(
        v2_written(files, true, false, pieces),
        "d9:file treed1:ad0:d6:lengthi16385e" + root_key('a') +
            "ee1:bd0:d6:lengthi0eee1:cd0:d6:lengthi16384e" + root_key('c') +
            "ee1:dd1:ed0:d6:lengthi1e" + root_key('e') +
            "eeee5:filesld6:lengthi16385e4:pathl1:aee" + pad_16383 +
            "d6:lengthi0e4:pathl1:beed6:lengthi16384e4:pathl1:ceed6:lengthi1e4:pathl1:d1:eee" +
            pad_16383 +
            "e12:meta versioni2e4:name4:name12:piece lengthi16384e6:pieces60:" + pieces +
            "e12:piece layersd32:" + std::string(32, 'a') + "64:" + std::string(64, 'b') + "ee");
}

// A single file is named in the file tree by the torrent's name; hybrid gives it a length and,
// when empty, an empty pieces string.
TEST(v2_layout, single_file) {
    EXPECT_EQ(v2_written({{{}, 0, 0, 0}}, true, true, ""),
              "d9:file treed4:named0:d6:lengthi0eeee6:lengthi0e12:meta versioni2e4:name4:name"
              "12:piece lengthi16384e6:pieces0:e12:piece layersdee");
    EXPECT_EQ(v2_written({{{}, 7, 's', 0}}, false, true, ""),
              "d9:file treed4:named0:d6:lengthi7e" + root_key('s') +
                  "eee12:meta versioni2e4:name4:name12:piece lengthi16384ee12:piece layersdee");
}

TEST(document_layout, path_components_leave_out_empty_ones) {
    const std::pair<const char *, std::vector<std::string_view>> cases[] = {
        {"x", {"x"}}, {"a/b.txt", {"a", "b.txt"}}, {"/x", {"x"}}, {"a//b/", {"a", "b"}}, {"", {}}};
    std::vector<std::string_view> components = {"left over"};
    for (const auto &[path, expected] : cases) {
        split_path(path, components);
        EXPECT_EQ(components, expected) << "path: " << path;
    }
}

} // namespace
