// A file that changes after the size pass, before or while it is read, is `unreadable`, all its
// pieces are bad, and the content after it is still checked as if nothing happened. The torrent
// is made by the binary, read as `verify` reads it, and the file changed at a fixed point of the
// check, in every format.
#include "commands/verify_content.h"
#include "commands/verify_torrent.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <numeric>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {
constexpr std::uint64_t piece_length = 16384;
// The middle file is the one changed. A large one is larger than the look-ahead reads whole,
// so it is read from an open file, and than the engine's batches, so that some of its pieces
// are compared before it is found changed; a small one is read whole ahead of the hashing,
// where only what the look-ahead found of it can tell. None of the sizes is a whole number of
// pieces, so pieces straddle the files in v1.
constexpr std::size_t large_file = 2100000;
constexpr std::size_t small_file = 3000;
std::vector<std::pair<std::string, std::size_t>> tree_with(std::size_t middle) {
    return {{"a", 40000}, {"b", middle}, {"c", 50000}};
}
constexpr std::size_t changed_file = 1;

enum class moment { after_size_pass, once_opened };

struct change {
    const char *name;
    void (*make)(const std::string &path, std::size_t size);
};

// Every change but the growth and the shrinking leaves the bytes as they were: only that the
// file is no longer the one the size pass found can tell.
const change changes[] = {
    {"shrinks",
     [](const std::string &path, std::size_t size) {
         ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size / 2)), 0);
     }},
    {"grows",
     [](const std::string &path, std::size_t size) {
         ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size + 1)), 0);
     }},
    {"is_written_to", [](const std::string &path,
                         std::size_t) { harness::write_file(path, harness::read_file(path)); }},
    {"is_replaced",
     [](const std::string &path, std::size_t) {
         harness::write_file(path + ".new", harness::read_file(path));
         ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
     }},
    {"is_removed",
     [](const std::string &path, std::size_t) { ASSERT_EQ(unlink(path.c_str()), 0); }},
};

void PrintTo(const change &what, std::ostream *out) {
    *out << what.name;
}

using change_case = std::tuple<const char *, change, moment, std::size_t>;

class changed_file_table : public testing::TestWithParam<change_case> {};

// Times long past, so that any write gives the file other ones.
void age(const std::string &path) {
    const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), long_ago, 0), 0);
}

// Another byte at `offset`, with the file's times kept.
void damage(const std::string &path, std::size_t offset) {
    std::string bytes = harness::read_file(path);
    bytes[offset] = static_cast<char>(~bytes[offset]);
    harness::write_file(path, bytes);
    age(path);
}

std::size_t index_of(const content_layout &layout, const std::string &path) {
    std::size_t index = 0;
    while (index < layout.files.size() && layout.disk_path(index) != path)
        ++index;
    return index;
}

// Where the file starts in the v1 stream.
std::uint64_t start_of(const content_layout &layout, std::size_t index) {
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < index; ++i)
        start += layout.files[i].size;
    return start;
}

bool overlaps(std::uint64_t piece, std::uint64_t start, std::uint64_t end) {
    return piece * piece_length < end && start < (piece + 1) * piece_length;
}

TEST_P(changed_file_table, is_unreadable_with_all_its_pieces_bad_and_the_rest_checked) {
    const char *format = std::get<0>(GetParam());
    const change what = std::get<1>(GetParam());
    const moment when = std::get<2>(GetParam());
    const std::size_t changed_size = std::get<3>(GetParam());
    const std::vector<std::pair<std::string, std::size_t>> tree = tree_with(changed_size);
    const harness::temp_dir dir;
    harness::make_dir(dir / "t");
    for (std::size_t i = 0; i < tree.size(); ++i) {
        harness::write_file(dir / ("t/" + tree[i].first), harness::random_bytes(tree[i].second, i));
        age(dir / ("t/" + tree[i].first));
    }
    const harness::run_result made =
        harness::run_quillet({"-a", "http://127.0.0.1", "--sorted", "--format", format, "-l",
                              std::to_string(piece_length), dir / "t", dir / "t.torrent"});
    ASSERT_EQ(made.status, 0) << made.err;
    // The first byte of the first file and the last of the last are damaged: pieces of the
    // files around the changed one that went unchecked would pass for good.
    damage(dir / ("t/" + tree.front().first), 0);
    damage(dir / ("t/" + tree.back().first), tree.back().second - 1);
    loaded_torrent loaded;
    ASSERT_FALSE(load_checkable(dir / "t.torrent", loaded));
    content_layout layout;
    ASSERT_FALSE(layout_of(loaded, dir / "t.torrent", dir / "t", layout));

    std::vector<found_file> found = size_pass(layout);
    const std::size_t first = index_of(layout, dir / ("t/" + tree.front().first));
    const std::size_t target = index_of(layout, dir / ("t/" + tree[changed_file].first));
    const std::size_t last = index_of(layout, dir / ("t/" + tree.back().first));
    ASSERT_LT(std::max({first, target, last}), layout.files.size());
    const std::string path = layout.disk_path(target);
    if (when == moment::after_size_pass)
        what.make(path, changed_size);
    bool changed_once_opened = false;
    const content_findings findings = check_content(layout, found, [&](std::size_t index) {
        if (when == moment::once_opened && index == target && !changed_once_opened) {
            changed_once_opened = true;
            what.make(path, changed_size);
        }
    });

    ASSERT_EQ(findings.failure, "");
    EXPECT_EQ(changed_once_opened, when == moment::once_opened);
    for (std::size_t i = 0; i < layout.files.size(); ++i) {
        if (layout.files[i].pad)
            continue;
        if (i == target) {
            EXPECT_EQ(found[i].status, file_status::unreadable);
            EXPECT_EQ(reason_text(found[i]), "changed while being read");
        } else {
            EXPECT_EQ(found[i].status, file_status::intact) << layout.shown(i);
        }
    }
    if (layout.kind != check_kind::v1) {
        EXPECT_EQ(findings.v2_bad[first], std::vector<std::uint64_t>{0});
        std::vector<std::uint64_t> every_piece(pieces_of(changed_size, piece_length));
        std::iota(every_piece.begin(), every_piece.end(), 0);
        EXPECT_EQ(findings.v2_bad[target], every_piece);
        EXPECT_EQ(findings.v2_bad[last], std::vector<std::uint64_t>{3});
    }
    const std::uint64_t target_start = start_of(layout, target);
    const std::uint64_t target_end = target_start + layout.files[target].size;
    for (std::uint64_t piece = 0; piece < findings.v1_bad.size(); ++piece)
        EXPECT_EQ(findings.v1_bad[piece], piece == 0 || piece + 1 == findings.v1_bad.size() ||
                                              overlaps(piece, target_start, target_end))
            << "piece " << piece;
}

std::string case_name(const testing::TestParamInfo<change_case> &info) {
    const auto &[format, what, when, size] = info.param;
    return std::string(format) + (size == small_file ? "_small_" : "_") + what.name +
           (when == moment::after_size_pass ? "_after_size_pass" : "_once_opened");
}

INSTANTIATE_TEST_SUITE_P(
    verify_content, changed_file_table,
    testing::Combine(testing::Values("v1", "v2", "hybrid"), testing::ValuesIn(changes),
                     testing::Values(moment::after_size_pass, moment::once_opened),
                     testing::Values(large_file)),
    case_name);

// A small file is never opened from the content pass (the look-ahead read it whole), so it can
// only change before that.
INSTANTIATE_TEST_SUITE_P(verify_content_small, changed_file_table,
                         testing::Combine(testing::Values("v1", "v2", "hybrid"),
                                          testing::ValuesIn(changes),
                                          testing::Values(moment::after_size_pass),
                                          testing::Values(small_file)),
                         case_name);
} // namespace
