// End-to-end tests of directory input: the recursive walk and what it takes in, the file
// list written for it, and the pieces cut across file boundaries.
//
// The expected documents are built from the tree itself by the walk model
// (support/walk_model.h), so that the order of the entries is the order the file system
// hands them out (never a sorted one). Digests come from OpenSSL through the harness.

#include "support/harness.h"
#include "support/walk_model.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using harness::bstr;
using harness::concatenated;
using harness::deepest_walked_level;
using harness::expected_file;
using harness::expected_walk;
using harness::fd_guard;
using harness::listing;
using harness::listing_at;
using harness::model_walk;
using harness::run_quillet;
using harness::run_result;
using harness::sha1_raw;
using harness::temp_dir;
using harness::walk_rules;

namespace {

const std::string announce_base = "http://tracker.example";
const std::string announce_url = announce_base + ":6881/announce";

// ---------------------------------------------------------------------------
// Small system helpers

// prefix followed by the decimal number, e.g. "L" and 3 give "L3".
std::string numbered(const std::string &prefix, long long number) {
    std::string text = prefix;
    text += std::to_string(number);
    return text;
}

std::size_t position_in(const std::vector<std::string> &names, const std::string &name) {
    auto it = std::find(names.begin(), names.end(), name);
    return static_cast<std::size_t>(it - names.begin());
}

void make_symlink(const std::string &target, const std::string &link) {
    if (symlink(target.c_str(), link.c_str()) != 0)
        ADD_FAILURE() << "symlink " << link << " -> " << target << ": " << std::strerror(errno);
}

void make_fifo(const std::string &path) {
    if (mkfifo(path.c_str(), 0644) != 0)
        ADD_FAILURE() << "mkfifo " << path << ": " << std::strerror(errno);
}

void make_socket(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path) << path;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0)
        << "bind " << path << ": " << std::strerror(errno);
    close(fd);
}

// Creates `name` in the directory `dirfd` with the given bytes.
void write_file_at(int dirfd, const std::string &name, const std::string &bytes) {
    fd_guard fd(openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.fd < 0) {
        ADD_FAILURE() << "cannot create " << name << ": " << std::strerror(errno);
        return;
    }
    if (write(fd.fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        ADD_FAILURE() << "cannot write " << name << ": " << std::strerror(errno);
}

// Removes `name` below `dirfd` and everything in it, through the directory descriptors, so
// that trees whose full paths are too long for the system can still be removed.
void remove_tree_at(int dirfd, const std::string &name) {
    struct stat st;
    if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        fchmodat(dirfd, name.c_str(), 0700, 0);
        int fd = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            for (const auto &child : listing_at(fd))
                remove_tree_at(fd, child);
            close(fd);
        }
        unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
    } else {
        unlinkat(dirfd, name.c_str(), 0);
    }
}

// Empties a scratch directory before it is removed; needed for trees deeper than the
// system's path limit, which a removal by full paths cannot reach.
struct deep_cleanup {
    std::string dir;
    explicit deep_cleanup(std::string d) : dir(std::move(d)) {}
    ~deep_cleanup() {
        fd_guard fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.fd < 0)
            return;
        for (const auto &child : listing_at(fd.fd))
            remove_tree_at(fd.fd, child);
    }
};

// The whole document for a directory run of these tests, creation date blanked as
// strip_creation_date() does.
std::string expected_directory_torrent(const std::vector<expected_file> &files,
                                       const std::string &name, std::int64_t piece_length,
                                       const std::string &pieces,
                                       const std::string *comment = nullptr) {
    harness::directory_torrent t;
    t.announce_url = announce_url;
    t.has_comment = comment != nullptr;
    if (comment != nullptr)
        t.comment = *comment;
    t.files = files;
    t.name = name;
    t.piece_length = piece_length;
    t.pieces = pieces;
    return harness::expected_directory_torrent(t);
}

std::string expected_for(const expected_walk &walk, const std::string &name, int piece_length) {
    return expected_directory_torrent(
        walk.files, name, piece_length,
        harness::expected_pieces(concatenated(walk.files), piece_length));
}

std::vector<std::string> run_args(const std::string &input, const std::string &output,
                                  int piece_length, bool inclusive = false) {
    std::vector<std::string> args = {"-a", announce_base, "-l", std::to_string(piece_length)};
    if (inclusive)
        args.push_back("-i");
    args.push_back(input);
    args.push_back(output);
    return args;
}

// Path lists of the files in a written document, in document order.
std::vector<std::vector<std::string>> listed_paths(const std::string &torrent) {
    std::vector<std::vector<std::string>> paths;
    harness::bvalue doc = harness::bdecode(torrent);
    if (!doc.has("info") || !doc["info"].has("files"))
        return paths;
    for (const auto &entry : doc["info"]["files"].l) {
        std::vector<std::string> parts;
        for (const auto &c : entry["path"].l)
            parts.push_back(c.s);
        paths.push_back(parts);
    }
    return paths;
}

bool lists_path(const std::string &torrent, const std::vector<std::string> &path) {
    auto paths = listed_paths(torrent);
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

std::string show(const std::string &text) {
    return text.size() > 2000 ? text.substr(0, 2000) + "..." : text;
}

// Digests of a stream made of runs of zero bytes and literal bytes, computing the digest of
// an all-zero piece once, so that sparse files of several GiB cost no more than one piece.
struct stream_part {
    std::int64_t zeros = 0;
    std::string bytes;
};

std::string pieces_over(const std::vector<stream_part> &parts, std::int64_t piece_length) {
    std::string digests;
    std::string zero_piece_digest;
    std::int64_t fill = 0; // bytes in the current piece
    bool all_zero = true;  // the current piece holds only zeros (not materialised)
    std::string piece;     // the current piece, once it holds a non-zero byte
    auto complete = [&] {
        if (all_zero) {
            if (zero_piece_digest.empty())
                zero_piece_digest =
                    sha1_raw(std::string(static_cast<std::size_t>(piece_length), '\0'));
            digests += zero_piece_digest;
        } else {
            digests += sha1_raw(piece);
        }
        fill = 0;
        all_zero = true;
        piece.clear();
    };
    for (const auto &part : parts) {
        std::int64_t left = part.zeros;
        while (left > 0) {
            std::int64_t take = std::min(left, piece_length - fill);
            if (!all_zero)
                piece.append(static_cast<std::size_t>(take), '\0');
            fill += take;
            left -= take;
            if (fill == piece_length)
                complete();
        }
        for (char c : part.bytes) {
            if (all_zero) {
                piece.assign(static_cast<std::size_t>(fill), '\0');
                all_zero = false;
            }
            piece += c;
            ++fill;
            if (fill == piece_length)
                complete();
        }
    }
    if (fill > 0)
        digests += all_zero ? sha1_raw(std::string(static_cast<std::size_t>(fill), '\0'))
                            : sha1_raw(piece);
    return digests;
}

// ===========================================================================
// Pieces across file boundaries

TEST(DirectoryPieces, PieceSpanningTwoFiles) {
    temp_dir tmp;
    const std::string dir = tmp / "pair";
    harness::make_dir(dir);
    // Which file comes first is up to the file system: create both, then give the first
    // listed one 100 bytes and the second 200.
    harness::write_file(dir + "/one", "");
    harness::write_file(dir + "/two", "");
    auto names = listing(dir);
    ASSERT_EQ(names.size(), 2u);
    const std::string first = harness::random_bytes(100, 1);
    const std::string second = harness::random_bytes(200, 2);
    harness::write_file(dir + "/" + names[0], first);
    harness::write_file(dir + "/" + names[1], second);

    run_result r = run_quillet(run_args(dir, tmp / "pair.torrent", 256));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "adding " + dir + "/" + names[0] + "\nadding " + dir + "/" + names[1] + "\n");

    const std::string pieces =
        sha1_raw(first + second.substr(0, 156)) + sha1_raw(second.substr(156));
    std::vector<expected_file> files = {{"", {names[0]}, 100, first},
                                        {"", {names[1]}, 200, second}};
    const std::string torrent = harness::read_file(tmp / "pair.torrent");
    EXPECT_NE(torrent.find("6:pieces40:"), std::string::npos);
    EXPECT_EQ(harness::strip_creation_date(torrent),
              expected_directory_torrent(files, "pair", 256, pieces));
}

TEST(DirectoryPieces, SizesAddingUpToWholePiecesLeaveNoPartialPiece) {
    temp_dir tmp;
    const std::string dir = tmp / "whole";
    harness::make_dir(dir);
    harness::make_dir(dir + "/sub");
    // 3 x 512 bytes in total, cut so that no file ends on a piece boundary but the last.
    harness::write_file(dir + "/a", harness::random_bytes(300, 3));
    harness::write_file(dir + "/sub/b", harness::random_bytes(700, 4));
    harness::write_file(dir + "/c", harness::random_bytes(536, 5));

    run_result r = run_quillet(run_args(dir, tmp / "w.torrent", 512));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expected_walk walk = model_walk(dir);
    ASSERT_EQ(walk.files.size(), 3u);
    const std::string all = concatenated(walk.files);
    ASSERT_EQ(all.size(), 1536u);
    std::string pieces;
    for (int k = 0; k < 3; ++k)
        pieces += sha1_raw(all.substr(static_cast<std::size_t>(k) * 512, 512));

    const std::string torrent = harness::read_file(tmp / "w.torrent");
    EXPECT_NE(torrent.find("6:pieces60:"), std::string::npos);
    EXPECT_EQ(harness::strip_creation_date(torrent),
              expected_directory_torrent(walk.files, "whole", 512, pieces));
    EXPECT_EQ(r.out, walk.out);
}

TEST(DirectoryPieces, PieceLengthOneMakesEveryByteAPiece) {
    temp_dir tmp;
    const std::string dir = tmp / "bytes";
    harness::make_dir(dir);
    harness::make_dir(dir + "/inner");
    harness::write_file(dir + "/x", "abc");
    harness::write_file(dir + "/inner/y", harness::random_bytes(29, 6));
    harness::write_file(dir + "/empty", "");
    harness::write_file(dir + "/z", "Z");

    run_result r = run_quillet(run_args(dir, tmp / "b.torrent", 1));
    ASSERT_EQ(r.status, 0) << r.err;
    expected_walk walk = model_walk(dir);
    const std::string all = concatenated(walk.files);
    ASSERT_EQ(all.size(), 33u);
    std::string pieces;
    for (char c : all)
        pieces += sha1_raw(std::string(1, c));

    const std::string torrent = harness::read_file(tmp / "b.torrent");
    harness::bvalue doc = harness::bdecode(torrent);
    EXPECT_EQ(doc["info"]["pieces"].s.size(), 33u * 20);
    EXPECT_EQ(doc["info"]["piece length"].i, 1);
    EXPECT_EQ(harness::strip_creation_date(torrent),
              expected_directory_torrent(walk.files, "bytes", 1, pieces));
}

// Every piece recomputed over the files joined in the order of their entries, with sizes
// that fall on all sides of an odd piece length, empty files among them.
TEST(DirectoryPieces, EveryPieceMatchesTheJoinedContent) {
    temp_dir tmp;
    const std::string dir = tmp / "mixed";
    harness::make_dir(dir);
    const std::vector<std::string> subdirs = {"", "/alpha", "/beta", "/beta/gamma", "/delta"};
    for (std::size_t k = 1; k < subdirs.size(); ++k)
        harness::make_dir(dir + subdirs[k]);
    const int piece_length = 1237;
    const std::vector<std::size_t> sizes = {0, 1, 1236, 1237, 1238, 2474, 17,  4000,
                                            3, 0, 999,  1500, 2,    6181, 611, 1236};
    std::uint64_t seed = 100;
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        const std::string where = dir + subdirs[k % subdirs.size()];
        harness::write_file(where + numbered("/f", k), harness::random_bytes(sizes[k], seed++));
    }

    run_result r = run_quillet(run_args(dir, tmp / "m.torrent", piece_length));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expected_walk walk = model_walk(dir);
    ASSERT_EQ(walk.files.size(), sizes.size());
    EXPECT_EQ(r.out, walk.out);

    // The pieces as listed in the document, one by one, against the joined content.
    const std::string torrent = harness::read_file(tmp / "m.torrent");
    harness::bvalue doc = harness::bdecode(torrent);
    const std::string all = concatenated(walk.files);
    const std::string &pieces = doc["info"]["pieces"].s;
    const std::size_t count = (all.size() + piece_length - 1) / piece_length;
    ASSERT_EQ(pieces.size(), count * 20);
    for (std::size_t k = 0; k < count; ++k) {
        EXPECT_EQ(pieces.substr(k * 20, 20), sha1_raw(all.substr(k * piece_length, piece_length)))
            << "piece " << k << " of " << count;
    }
    // Entries in listing order, each with its own size.
    auto paths = listed_paths(torrent);
    ASSERT_EQ(paths.size(), walk.files.size());
    for (std::size_t k = 0; k < paths.size(); ++k) {
        EXPECT_EQ(paths[k], walk.files[k].components);
        EXPECT_EQ(doc["info"]["files"].l[k]["length"].i,
                  static_cast<std::int64_t>(walk.files[k].content.size()));
    }
    EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, "mixed", piece_length));
}

// Pieces long enough to be hashed in lane groups where a file holds them whole, and in order
// where they span files.
TEST(DirectoryPieces, LongPiecesAcrossFilesInLaneGroups) {
    temp_dir tmp;
    const std::string dir = tmp / "long";
    harness::make_dir(dir);
    const int piece_length = 1048640;
    const std::vector<std::size_t> sizes = {3 * 1048640 + 100, 17 * 1048640 + 7, 1048637, 0,
                                            2 * 1048640};
    for (std::size_t k = 0; k < sizes.size(); ++k)
        harness::write_file(dir + numbered("/f", k), harness::random_bytes(sizes[k], 300 + k));

    run_result r = run_quillet(run_args(dir, tmp / "l.torrent", piece_length));
    ASSERT_EQ(r.status, 0) << r.err;
    const expected_walk walk = model_walk(dir);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(harness::strip_creation_date(harness::read_file(tmp / "l.torrent")),
              expected_for(walk, "long", piece_length));
}

// ===========================================================================
// The document, byte for byte

// Many files around the sizes at which content is read ahead of the walk, more of them than
// fit in the look-ahead at once, with hidden files and directories in between: the document must
// be the same as a walk that reads each file when it gets to it.
TEST(DirectoryPieces, ContentReadAheadOrNotGivesTheSameStream) {
    temp_dir tmp;
    const std::string dir = tmp / "many";
    harness::make_dir(dir);
    harness::make_dir(dir + "/sub");
    harness::make_dir(dir + "/.hidden");
    const std::vector<std::size_t> sizes = {65535, 65536, 65537, 200000, 0, 1, 4096};
    std::uint64_t seed = 7000;
    for (int k = 0; k < 400; ++k) {
        const std::string where = dir + (k % 3 == 0 ? "/sub" : k % 7 == 0 ? "/.hidden" : "");
        const std::string name = k % 11 == 0 ? numbered("/.f", k) : numbered("/f", k);
        const std::size_t size = k < 300 ? 60000 : sizes[k % sizes.size()];
        harness::write_file(where + name, harness::random_bytes(size, seed++));
    }
    for (const bool inclusive : {false, true}) {
        walk_rules rules;
        rules.inclusive = inclusive;
        std::vector<std::string> args = run_args(dir, tmp / "r.torrent", 100003);
        if (inclusive)
            args.insert(args.begin(), "-i");
        run_result r = run_quillet(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const expected_walk walk = model_walk(dir, rules);
        EXPECT_EQ(r.out, walk.out);
        EXPECT_EQ(harness::strip_creation_date(harness::read_file(tmp / "r.torrent")),
                  expected_for(walk, "many", 100003))
            << "inclusive " << inclusive;
    }
}

TEST(DirectoryDocument, SmallTreeByteForByte) {
    temp_dir tmp;
    const std::string dir = tmp / "t";
    harness::make_dir(dir);
    harness::make_dir(dir + "/sub");
    harness::write_file(dir + "/a.txt", "hello");
    harness::write_file(dir + "/sub/b.bin", "xyz");
    harness::write_file(dir + "/sub/c", "");

    const std::string comment = "small tree";
    run_result r =
        run_quillet({"-a", announce_base, "-c", comment, "-l", "4", dir, tmp / "t.torrent"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    // Entries and content in the order the directories are listed.
    const std::string a_entry = "d6:lengthi5e4:pathl5:a.txtee";
    std::string sub_entries, sub_content, sub_out;
    for (const auto &name : listing(dir + "/sub")) {
        if (name == "b.bin") {
            sub_entries += "d6:lengthi3e4:pathl3:sub5:b.binee";
            sub_content += "xyz";
        } else {
            ASSERT_EQ(name, "c");
            sub_entries += "d6:lengthi0e4:pathl3:sub1:cee";
        }
        sub_out += "adding " + dir + "/sub/" + name + "\n";
    }
    std::string entries, content, out;
    for (const auto &name : listing(dir)) {
        if (name == "a.txt") {
            entries += a_entry;
            content += "hello";
            out += "adding " + dir + "/a.txt\n";
        } else {
            ASSERT_EQ(name, "sub");
            entries += sub_entries;
            content += sub_content;
            out += sub_out;
        }
    }
    ASSERT_EQ(content.size(), 8u);
    const std::string expected = "d8:announce36:http://tracker.example:6881/announce"
                                 "7:comment10:small tree"
                                 "13:creation datei0e"
                                 "4:infod"
                                 "5:filesl" +
                                 entries +
                                 "e"
                                 "4:name1:t"
                                 "12:piece lengthi4e"
                                 "6:pieces40:" +
                                 sha1_raw(content.substr(0, 4)) + sha1_raw(content.substr(4)) +
                                 "ee";
    EXPECT_EQ(harness::strip_creation_date(harness::read_file(tmp / "t.torrent")), expected);
    EXPECT_EQ(r.out, out);
}

TEST(DirectoryDocument, TrailingSlashGivesSameEntriesAndName) {
    temp_dir tmp;
    const std::string dir = tmp / "dir";
    harness::make_dir(dir);
    harness::make_dir(dir + "/sub");
    harness::write_file(dir + "/x", "x content");
    harness::write_file(dir + "/sub/y", "y");

    run_result plain =
        run_quillet(run_args("dir", "plain.torrent", 8), harness::run_options_t().in_dir(tmp.path));
    run_result slash = run_quillet(run_args("dir/", "slash.torrent", 8),
                                   harness::run_options_t().in_dir(tmp.path));
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(slash.status, 0) << slash.err;
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(slash.err, "");

    const std::string a = harness::strip_creation_date(harness::read_file(tmp / "plain.torrent"));
    const std::string b = harness::strip_creation_date(harness::read_file(tmp / "slash.torrent"));
    EXPECT_EQ(a, b);
    EXPECT_NE(a.find("4:name3:dir12:"), std::string::npos);
    EXPECT_TRUE(lists_path(a, {"x"}));
    EXPECT_TRUE(lists_path(a, {"sub", "y"}));

    // The entry paths keep the input path as typed.
    EXPECT_NE(plain.out.find("adding dir/x\n"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("adding dir/sub/y\n"), std::string::npos) << plain.out;
    EXPECT_NE(slash.out.find("adding dir//x\n"), std::string::npos) << slash.out;
    EXPECT_NE(slash.out.find("adding dir//sub/y\n"), std::string::npos) << slash.out;

    walk_rules rules;
    rules.cwd = tmp.path;
    expected_walk plain_walk = model_walk("dir", rules);
    expected_walk slash_walk = model_walk("dir/", rules);
    EXPECT_EQ(plain.out, plain_walk.out);
    EXPECT_EQ(slash.out, slash_walk.out);
    EXPECT_EQ(a, expected_for(plain_walk, "dir", 8));
}

TEST(DirectoryDocument, EmptyDirectoryHasNoPiecesAndWarns) {
    temp_dir tmp;
    harness::make_dir(tmp / "void");
    run_result r = run_quillet(run_args(tmp / "void", tmp / "v.torrent", 262144));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "warning: no files found in directory\n");
    ASSERT_TRUE(harness::path_exists(tmp / "v.torrent"));
    EXPECT_EQ(harness::strip_creation_date(harness::read_file(tmp / "v.torrent")),
              "d8:announce36:http://tracker.example:6881/announce13:creation datei0e"
              "4:infod5:filesle4:name4:void12:piece lengthi262144eee");
}

TEST(DirectoryDocument, OnlyHiddenFilesWithoutInclusiveCountsAsEmpty) {
    temp_dir tmp;
    const std::string dir = tmp / "quiet";
    harness::make_dir(dir);
    harness::write_file(dir + "/.profile", "secret settings");
    harness::write_file(dir + "/.x", "x");

    run_result r = run_quillet(run_args(dir, tmp / "q.torrent", 16384));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "warning: no files found in directory\n");
    ASSERT_TRUE(harness::path_exists(tmp / "q.torrent"));
    EXPECT_EQ(harness::strip_creation_date(harness::read_file(tmp / "q.torrent")),
              "d8:announce36:http://tracker.example:6881/announce13:creation datei0e"
              "4:infod5:filesle4:name5:quiet12:piece lengthi16384eee");

    // With -i the same directory has content.
    run_result with = run_quillet(run_args(dir, tmp / "q2.torrent", 16384, true));
    EXPECT_EQ(with.status, 0);
    EXPECT_EQ(with.err, "");
    walk_rules rules;
    rules.inclusive = true;
    expected_walk walk = model_walk(dir, rules);
    ASSERT_EQ(walk.files.size(), 2u);
    EXPECT_EQ(with.out, walk.out);
    EXPECT_EQ(harness::strip_creation_date(harness::read_file(tmp / "q2.torrent")),
              expected_for(walk, "quiet", 16384));
}

TEST(DirectoryDocument, OnlyEmptyFilesListedWithoutPieces) {
    temp_dir tmp;
    const std::string dir = tmp / "hollow";
    harness::make_dir(dir);
    harness::write_file(dir + "/e1", "");
    harness::write_file(dir + "/e2", "");

    run_result r = run_quillet(run_args(dir, tmp / "h.torrent", 64));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, ""); // files were added, so no warning
    expected_walk walk = model_walk(dir);
    ASSERT_EQ(walk.files.size(), 2u);
    EXPECT_EQ(r.out, walk.out);
    const std::string torrent = harness::strip_creation_date(harness::read_file(tmp / "h.torrent"));
    EXPECT_EQ(torrent.find("6:pieces"), std::string::npos);
    EXPECT_EQ(torrent, expected_directory_torrent(walk.files, "hollow", 64, ""));
}

// A file over 4 GiB inside a directory: exact 64-bit size, and pieces over it and a small
// file listed next to it.
TEST(DirectoryDocument, FileOverFourGiBKeepsExactSize) {
    temp_dir tmp;
    const std::string dir = tmp / "huge";
    harness::make_dir(dir);
    const std::int64_t big_size = (std::int64_t{1} << 32) + 12345;
    harness::make_sparse_file(dir + "/big", big_size);
    const std::string small = harness::random_bytes(1000, 77);
    harness::write_file(dir + "/small", small);
    const int piece_length = 4 * 1024 * 1024;

    run_result r = run_quillet(run_args(dir, tmp / "huge.torrent", piece_length));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    std::vector<stream_part> parts;
    std::vector<expected_file> files;
    std::string out;
    for (const auto &name : listing(dir)) {
        out += "adding " + dir + "/" + name + "\n";
        if (name == "big") {
            parts.push_back({big_size, ""});
            files.push_back({"", {"big"}, big_size, ""});
        } else {
            parts.push_back({0, small});
            files.push_back({"", {"small"}, 1000, ""});
        }
    }
    EXPECT_EQ(r.out, out);
    const std::string pieces = pieces_over(parts, piece_length);
    // 4 GiB + 13345 bytes: 1024 whole pieces and a partial one.
    ASSERT_EQ(pieces.size(), 1025u * 20);
    const std::string torrent = harness::read_file(tmp / "huge.torrent");
    EXPECT_NE(torrent.find("d6:lengthi4294979641e4:pathl3:bigee"), std::string::npos);
    EXPECT_EQ(harness::strip_creation_date(torrent),
              expected_directory_torrent(files, "huge", piece_length, pieces));
}

// ===========================================================================
// What the walk takes in

TEST(DirectoryWalk, HiddenFilesNeedInclusiveHiddenDirectoriesAreAlwaysWalked) {
    temp_dir tmp;
    // The input's own name begins with "." too: that never keeps it out.
    const std::string dir = tmp / ".stash";
    harness::make_dir(dir);
    harness::make_dir(dir + "/.config");
    harness::write_file(dir + "/plain", "plain");
    harness::write_file(dir + "/.dotfile", "dot");
    harness::write_file(dir + "/.config/settings", "settings");
    harness::write_file(dir + "/.config/.secret", "secret");

    run_result r = run_quillet(run_args(dir, tmp / "h.torrent", 32));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string torrent = harness::read_file(tmp / "h.torrent");
    auto paths = listed_paths(torrent);
    EXPECT_EQ(paths.size(), 2u);
    EXPECT_TRUE(lists_path(torrent, {"plain"}));
    EXPECT_TRUE(lists_path(torrent, {".config", "settings"}));
    EXPECT_FALSE(lists_path(torrent, {".dotfile"}));
    EXPECT_FALSE(lists_path(torrent, {".config", ".secret"}));
    EXPECT_EQ(r.out.find(".dotfile"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(".secret"), std::string::npos) << r.out;
    expected_walk walk = model_walk(dir);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, ".stash", 32));

    run_result all = run_quillet(run_args(dir, tmp / "all.torrent", 32, true));
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.err, "");
    const std::string all_torrent = harness::read_file(tmp / "all.torrent");
    EXPECT_EQ(listed_paths(all_torrent).size(), 4u);
    EXPECT_TRUE(lists_path(all_torrent, {".dotfile"}));
    EXPECT_TRUE(lists_path(all_torrent, {".config", ".secret"}));
    walk_rules rules;
    rules.inclusive = true;
    expected_walk all_walk = model_walk(dir, rules);
    EXPECT_EQ(all.out, all_walk.out);
    EXPECT_EQ(harness::strip_creation_date(all_torrent), expected_for(all_walk, ".stash", 32));
}

TEST(DirectoryWalk, SymbolicLinksAreFollowed) {
    temp_dir tmp;
    const std::string outside = tmp / "outside";
    harness::make_dir(outside);
    harness::make_dir(outside + "/folder");
    const std::string target = harness::random_bytes(90, 8);
    harness::write_file(outside + "/target.dat", target);
    harness::write_file(outside + "/folder/inner", "inner bytes");

    const std::string dir = tmp / "links";
    harness::make_dir(dir);
    harness::write_file(dir + "/own", "own");
    make_symlink("../outside/target.dat", dir + "/filelink");
    make_symlink(outside + "/folder", dir + "/dirlink");
    make_symlink("nowhere/at/all", dir + "/dangling");

    run_result r = run_quillet(run_args(dir, tmp / "l.torrent", 50));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "could not stat file " + dir + "/dangling\n");
    EXPECT_NE(r.out.find("adding " + dir + "/filelink\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("adding " + dir + "/dirlink/inner\n"), std::string::npos) << r.out;

    const std::string torrent = harness::read_file(tmp / "l.torrent");
    harness::bvalue doc = harness::bdecode(torrent);
    EXPECT_EQ(listed_paths(torrent).size(), 3u);
    EXPECT_TRUE(lists_path(torrent, {"own"}));
    EXPECT_TRUE(lists_path(torrent, {"filelink"}));
    EXPECT_TRUE(lists_path(torrent, {"dirlink", "inner"}));
    EXPECT_FALSE(lists_path(torrent, {"dangling"}));
    for (const auto &entry : doc["info"]["files"].l) {
        if (entry["path"].l.size() == 1 && entry["path"].l[0].s == "filelink") {
            EXPECT_EQ(entry["length"].i, 90); // the target's size, not the link's
        }
    }
    expected_walk walk = model_walk(dir);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(r.err, walk.err);
    EXPECT_NE(concatenated(walk.files).find(target), std::string::npos);
    EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, "links", 50));
}

// A link back to an ancestor is walked again at every level until the nesting limit.
TEST(DirectoryWalk, LinkToAncestorRepeatsUntilNestingLimit) {
    temp_dir tmp;
    const std::string dir = tmp / "cycle";
    harness::make_dir(dir);
    harness::make_dir(dir + "/sub");
    harness::write_file(dir + "/f", "F");
    make_symlink("..", dir + "/sub/loop");

    run_result r = run_quillet(run_args(dir, tmp / "c.torrent", 7));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string torrent = harness::read_file(tmp / "c.torrent");
    auto paths = listed_paths(torrent);
    // "f" sits at levels 0, 2, 4, ..., 28: once at the top and once below each of the
    // fourteen "sub/loop" repetitions that stay within the limit.
    ASSERT_EQ(paths.size(), 15u) << show(r.out);
    std::vector<std::string> deepest;
    for (int k = 0; k < 14; ++k) {
        deepest.push_back("sub");
        deepest.push_back("loop");
    }
    deepest.push_back("f");
    EXPECT_TRUE(lists_path(torrent, deepest));
    std::vector<std::string> too_deep = deepest;
    too_deep.insert(too_deep.begin(), {"sub", "loop"});
    EXPECT_FALSE(lists_path(torrent, too_deep));

    expected_walk walk = model_walk(dir);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, "cycle", 7));
}

TEST(DirectoryWalk, FifosAndSocketsAreIgnoredWithANotice) {
    temp_dir tmp;
    const std::string dir = tmp / "special";
    harness::make_dir(dir);
    harness::make_dir(dir + "/deeper");
    harness::write_file(dir + "/regular", "regular");
    make_fifo(dir + "/pipe");
    make_fifo(dir + "/deeper/pipe2");
    make_socket(dir + "/sock");

    run_result r = run_quillet(run_args(dir, tmp / "s.torrent", 4096));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("ignoring " + dir + "/pipe (no directory or regular file)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("ignoring " + dir + "/deeper/pipe2 (no directory or regular file)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("ignoring " + dir + "/sock (no directory or regular file)\n"),
              std::string::npos)
        << r.out;
    const std::string torrent = harness::read_file(tmp / "s.torrent");
    EXPECT_EQ(listed_paths(torrent), (std::vector<std::vector<std::string>>{{"regular"}}));
    expected_walk walk = model_walk(dir);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, "special", 4096));
}

// Every notice of the walk at once: both streams compared whole, each in walk order.
TEST(DirectoryWalk, NoticesGoToTheirStreamsInWalkOrder) {
    temp_dir tmp;
    const std::string dir = tmp / "noisy";
    harness::make_dir(dir);
    for (const char *sub : {"/a", "/b", "/a/c"})
        harness::make_dir(dir + sub);
    harness::write_file(dir + "/one", "1");
    harness::write_file(dir + "/a/two", "22");
    harness::write_file(dir + "/a/c/three", "333");
    harness::write_file(dir + "/b/.four", "4444");
    make_symlink("missing-1", dir + "/gone1");
    make_symlink("missing-2", dir + "/a/c/gone2");
    make_symlink("missing-3", dir + "/b/gone3");
    make_fifo(dir + "/a/fifo");
    make_fifo(dir + "/b/fifo");

    run_result r = run_quillet(run_args(dir, tmp / "n.torrent", 3));
    ASSERT_EQ(r.status, 0) << r.err;
    expected_walk walk = model_walk(dir);
    ASSERT_EQ(walk.files.size(), 3u);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(r.err, walk.err);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3);
    EXPECT_EQ(harness::strip_creation_date(harness::read_file(tmp / "n.torrent")),
              expected_for(walk, "noisy", 3));
}

TEST(DirectoryWalk, ManySiblingDirectoriesAreAllWalked) {
    temp_dir tmp;
    const std::string dir = tmp / "wide";
    harness::make_dir(dir);
    for (int k = 0; k < 40; ++k) {
        harness::make_dir(dir + numbered("/d", k));
        harness::write_file(dir + numbered("/d", k) + "/f", std::to_string(k));
    }
    run_result r = run_quillet(run_args(dir, tmp / "w.torrent", 10));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string torrent = harness::read_file(tmp / "w.torrent");
    EXPECT_EQ(listed_paths(torrent).size(), 40u);
    expected_walk walk = model_walk(dir);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, "wide", 10));
}

// Levels 0 to 30 below the input (31 directories). Files of levels 0 to 29 are added; at
// level 29 the first subdirectory entry ends that directory's walk, so only the files
// listed before it count; level 30 is never opened.
TEST(DirectoryWalk, NestingLimitCutsTheTree) {
    temp_dir tmp;
    const std::string top = tmp / "deep";
    harness::make_dir(top);
    std::string level_path = top;
    std::vector<std::string> level_paths = {top};
    for (int level = 1; level <= 30; ++level) {
        harness::write_file(level_path + numbered("/f", level - 1),
                            "level " + std::to_string(level - 1));
        level_path += numbered("/L", level);
        harness::make_dir(level_path);
        level_paths.push_back(level_path);
    }
    harness::write_file(level_path + "/f30", "level 30");
    harness::make_dir(level_path + "/L31");
    harness::write_file(level_path + "/L31/f31", "level 31");
    // Below the limit a directory is walked to its end, wherever its files are listed.
    harness::write_file(top + "/L1/after", "after");

    // Level 29's own files must sit on both sides of its subdirectory in the listing; the
    // listing order is the file system's, so add files until they do.
    const std::string limit_dir = level_paths[29];
    std::vector<std::string> names;
    bool before = false, after = false;
    for (int k = 0; k < 64 && !(before && after); ++k) {
        harness::write_file(limit_dir + numbered("/g", k), numbered("g", k));
        names = listing(limit_dir);
        const std::size_t sub = position_in(names, "L30");
        before = sub > 0;
        after = sub + 1 < names.size();
    }
    ASSERT_TRUE(before && after) << "could not place files on both sides of L30 in the listing";
    const std::size_t sub = position_in(names, "L30");
    std::vector<std::string> kept(names.begin(), names.begin() + static_cast<long>(sub));
    std::vector<std::string> dropped(names.begin() + static_cast<long>(sub) + 1, names.end());

    run_result r = run_quillet(run_args(top, tmp / "deep.torrent", 16));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string torrent = harness::read_file(tmp / "deep.torrent");

    std::vector<std::string> prefix;
    for (int level = 0; level <= 28; ++level) {
        std::vector<std::string> p = prefix;
        p.push_back(numbered("f", level));
        EXPECT_TRUE(lists_path(torrent, p)) << "file of level " << level << " missing";
        prefix.push_back(numbered("L", level + 1));
    }
    EXPECT_TRUE(lists_path(torrent, {"L1", "after"}));
    for (const auto &name : kept) {
        std::vector<std::string> p = prefix;
        p.push_back(name);
        EXPECT_TRUE(lists_path(torrent, p)) << name << " (listed before L30) missing";
    }
    for (const auto &name : dropped) {
        std::vector<std::string> p = prefix;
        p.push_back(name);
        EXPECT_FALSE(lists_path(torrent, p)) << name << " (listed after L30) added";
        EXPECT_EQ(r.out.find(limit_dir + "/" + name + "\n"), std::string::npos);
    }
    EXPECT_EQ(r.out.find("f30"), std::string::npos);
    EXPECT_EQ(r.out.find("f31"), std::string::npos);
    EXPECT_EQ(listed_paths(torrent).size(), 29u + 1u + kept.size());

    expected_walk walk = model_walk(top);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, "deep", 16));
}

// ===========================================================================
// Permissions (the run is made as an unprivileged user)

TEST(DirectoryWalk, UnreadableFileAndDirectoryAreLeftOut) {
    if (!harness::can_drop_privileges())
        GTEST_SKIP() << "needs root and setpriv to run the tool as user 65534";
    temp_dir tmp;
    const std::string outdir = tmp / "out";
    harness::make_dir(outdir, 0777);
    const std::string dir = tmp / "guarded";
    harness::make_dir(dir);
    harness::make_dir(dir + "/open");
    harness::make_dir(dir + "/locked", 0000);
    harness::write_file(dir + "/readable", "readable");
    harness::write_file(dir + "/secret", "secret");
    chmod((dir + "/secret").c_str(), 0000);
    harness::write_file(dir + "/open/inside", "inside");
    harness::write_file(dir + "/locked/hidden-away", "never read");

    run_result r =
        run_quillet(run_args(dir, outdir + "/g.torrent", 5), harness::run_options_t().as_nobody());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("adding " + dir + "/secret\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "could not open file " + dir + "/secret\n");
    EXPECT_NE(r.out.find("skipping directory " + dir + "/locked (Permission denied)\n"),
              std::string::npos)
        << r.out;

    const std::string torrent = harness::read_file(outdir + "/g.torrent");
    EXPECT_EQ(listed_paths(torrent).size(), 2u);
    EXPECT_FALSE(lists_path(torrent, {"secret"}));
    EXPECT_FALSE(lists_path(torrent, {"locked", "hidden-away"}));
    walk_rules rules;
    rules.as_nobody = true;
    expected_walk walk = model_walk(dir, rules);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(r.err, walk.err);
    EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, "guarded", 5));
}

TEST(DirectoryWalk, UnreadableInputDirectoryFailsTheRun) {
    if (!harness::can_drop_privileges())
        GTEST_SKIP() << "needs root and setpriv to run the tool as user 65534";
    temp_dir tmp;
    const std::string outdir = tmp / "out";
    harness::make_dir(outdir, 0777);
    const std::string dir = tmp / "sealed";
    harness::make_dir(dir, 0311);
    harness::write_file(dir + "/a", "a");

    run_result r =
        run_quillet(run_args(dir, outdir + "/s.torrent", 5), harness::run_options_t().as_nobody());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "could not read directory " + dir + "\n");
    EXPECT_FALSE(harness::path_exists(outdir + "/s.torrent"));
}

// ===========================================================================
// Output inside the input tree, content that changes, long paths, write errors, signals

TEST(DirectoryRun, OutputInsideTheTreeIsLeftOut) {
    temp_dir tmp;
    const std::string dir = tmp / "here";
    harness::make_dir(dir);
    harness::make_dir(dir + "/sub");
    harness::write_file(dir + "/doc.txt", harness::random_bytes(300, 9));
    harness::write_file(dir + "/sub/data", harness::random_bytes(123, 10));

    for (const std::string output : {"out.torrent", "sub/out.torrent"}) {
        SCOPED_TRACE(output);
        run_result r = run_quillet(run_args(".", output, 64), harness::run_options_t().in_dir(dir));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.find("out.torrent"), std::string::npos) << r.out;
        const std::string torrent = harness::read_file(dir + "/" + output);
        for (const auto &path : listed_paths(torrent))
            EXPECT_NE(path.back(), "out.torrent");
        walk_rules rules;
        rules.cwd = dir;
        rules.output = dir + "/" + output;
        expected_walk walk = model_walk(".", rules);
        ASSERT_EQ(walk.files.size(), 2u);
        EXPECT_EQ(r.out, walk.out);
        // "." names the torrent after the directory it resolves to.
        EXPECT_EQ(harness::strip_creation_date(torrent), expected_for(walk, "here", 64));
        unlink((dir + "/" + output).c_str());
    }
}

// A pseudo-file announces size 0 and then yields bytes: the entry's length and the bytes
// fed would disagree, so the run fails.
TEST(DirectoryRun, FileChangingWhileReadFailsTheRun) {
    temp_dir tmp;
    const std::string dir = tmp / "proc";
    harness::make_dir(dir);
    make_symlink("/proc/self/status", dir + "/status");
    struct stat st;
    ASSERT_EQ(stat((dir + "/status").c_str(), &st), 0);
    ASSERT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(st.st_size, 0) << "this system gives /proc files a size";

    run_result r = run_quillet(run_args(dir, tmp / "p.torrent", 64));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "adding " + dir + "/status\n");
    EXPECT_EQ(r.err, "file " + dir + "/status changed while being read\n");
    EXPECT_FALSE(harness::path_exists(tmp / "p.torrent"));
}

// An input path of over 1100 bytes and an entry 29 levels down whose path runs past 8 KiB:
// both are used in full.
TEST(DirectoryRun, LongPathsAreKeptWhole) {
    temp_dir tmp;
    deep_cleanup cleanup(tmp.path);
    std::string input;
    for (int k = 0; k < 5; ++k) {
        input += (k ? "/" : "") + std::string(230, static_cast<char>('p' + k));
        harness::make_dir(tmp / input);
    }
    ASSERT_GT(input.size(), 1100u);
    harness::write_file(tmp / input + "/top", "top file");

    // 29 subdirectories of 255-byte names, and a 255-byte file name at the bottom.
    std::vector<std::string> components;
    int dirfd = open((tmp / input).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirfd, 0);
    for (int level = 1; level <= deepest_walked_level; ++level) {
        std::string name = std::string(253, static_cast<char>('a' + level % 26)) +
                           (level < 10 ? "0" : "") + std::to_string(level);
        ASSERT_EQ(mkdirat(dirfd, name.c_str(), 0755), 0) << std::strerror(errno);
        int next = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(dirfd);
        ASSERT_GE(next, 0) << std::strerror(errno);
        dirfd = next;
        components.push_back(name);
    }
    const std::string leaf = std::string(255, 'z');
    const std::string leaf_content = harness::random_bytes(333, 11);
    write_file_at(dirfd, leaf, leaf_content);
    close(dirfd);
    components.push_back(leaf);

    std::string entry_path = input;
    for (const auto &c : components)
        entry_path += "/" + c;
    ASSERT_GT(entry_path.size(), 8092u);
    std::string path_list = "pathl";
    for (const auto &c : components)
        path_list += bstr(c);
    // The longest path list the nesting limit allows (30 components of 255 bytes).
    EXPECT_EQ(path_list.size(), 5u + 30u * 259u);

    run_result r = run_quillet(run_args(input, tmp / "long.torrent", 100),
                               harness::run_options_t().in_dir(tmp.path));
    ASSERT_EQ(r.status, 0) << show(r.err);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("adding " + input + "/top\n"), std::string::npos);
    EXPECT_NE(r.out.find("adding " + entry_path + "\n"), std::string::npos) << show(r.out);

    const std::string torrent = harness::read_file(tmp / "long.torrent");
    EXPECT_TRUE(lists_path(torrent, components));
    EXPECT_NE(torrent.find("d6:lengthi333e4:" + path_list + "ee"), std::string::npos);
    walk_rules rules;
    rules.cwd = tmp.path;
    expected_walk walk = model_walk(input, rules);
    ASSERT_EQ(walk.files.size(), 2u);
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(harness::strip_creation_date(torrent),
              expected_for(walk, std::string(230, 't'), 100));
}

TEST(DirectoryRun, WriteErrorOnOutputFailsAndKeepsTheDevice) {
    temp_dir tmp;
    const std::string dir = tmp / "full";
    harness::make_dir(dir);
    harness::write_file(dir + "/a", harness::random_bytes(5000, 12));
    struct stat st;
    if (stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode))
        GTEST_SKIP() << "no /dev/full on this system";

    run_result r = run_quillet(run_args(dir, "/dev/full", 1024));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "could not write destination file /dev/full: " + harness::error_text(ENOSPC) + "\n");
    struct stat after;
    ASSERT_EQ(stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, st.st_rdev);
}

// Whether the child has `path` open, read from /proc.
bool has_open(pid_t pid, const std::string &path) {
    const std::string fd_dir = numbered("/proc/", pid) + "/fd";
    DIR *dir = opendir(fd_dir.c_str());
    if (dir == nullptr)
        return false;
    bool found = false;
    while (dirent *entry = readdir(dir)) {
        char target[4096];
        const std::string link = fd_dir + "/" + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// SIGTERM while the walk is reading a big file: the partial output goes, and the tool dies
// of the same signal.
// The directory itself as output cannot be opened for writing; the tree stays untouched.
TEST(DirectoryRun, DirectoryAsItsOwnOutputCannotBeOpened) {
    temp_dir tmp;
    const std::string dir = tmp / "same";
    harness::make_dir(dir);
    harness::write_file(dir + "/a", "content");

    run_result r = run_quillet(run_args(dir, dir, 1024));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "could not open destination file " + dir + "\n");
    EXPECT_EQ(harness::read_file(dir + "/a"), "content");
}

TEST(DirectoryRun, TerminationWhileHashingRemovesOutput) {
    temp_dir tmp;
    const std::string dir = tmp / "slow";
    harness::make_dir(dir);
    harness::write_file(dir + "/a", "a");
    harness::make_sparse_file(dir + "/zeros", std::int64_t{4} << 30);
    const std::string output = tmp / "slow.torrent";
    const std::string binary = harness::quillet_binary();
    std::vector<std::string> args = run_args(dir, output, 1 << 20);
    args.insert(args.begin(), binary);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    // Wait until the tool has the big file open, then interrupt it.
    bool reading = false;
    int wstatus = 0;
    bool exited_early = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (has_open(pid, dir + "/zeros")) {
            reading = true;
            break;
        }
        if (waitpid(pid, &wstatus, WNOHANG) == pid) {
            exited_early = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!exited_early) {
        kill(pid, SIGTERM);
        while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
    }
    ASSERT_FALSE(exited_early) << "the run ended before the big file was opened";
    EXPECT_TRUE(reading) << "never saw the big file open";
    ASSERT_TRUE(WIFSIGNALED(wstatus)) << "exit status " << WEXITSTATUS(wstatus);
    EXPECT_EQ(WTERMSIG(wstatus), SIGTERM);
    EXPECT_FALSE(harness::path_exists(output));
    // The input is untouched.
    struct stat st;
    ASSERT_EQ(stat((dir + "/zeros").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, std::int64_t{4} << 30);
    EXPECT_EQ(harness::read_file(dir + "/a"), "a");
}

} // namespace
