// The arithmetic from bad pieces to byte ranges and verdicts per file: where pieces straddle
// files, pads and empty files, off-by-one is easy and the binary's tests see only its outcome.
#include "commands/verify_layout.h"

#include <gtest/gtest.h>

namespace {
expected_file content(std::uint64_t size) {
    expected_file file;
    file.size = size;
    return file;
}

expected_file pad(std::uint64_t size) {
    expected_file file = content(size);
    file.pad = true;
    return file;
}

struct v1_case {
    const char *name;
    std::vector<expected_file> files;
    std::vector<bool> bad_pieces; // piece length 10
    std::vector<file_status> statuses;
    std::vector<std::vector<byte_range>> ranges;
};

class v1_verdict_table : public testing::TestWithParam<v1_case> {};

TEST_P(v1_verdict_table, gives_each_file_its_status_and_ranges) {
    const v1_case &c = GetParam();
    content_layout layout;
    layout.piece_length = 10;
    layout.files = c.files;
    const std::vector<found_file> found(c.files.size());
    const std::vector<file_verdict> verdicts = v1_verdicts(layout, found, c.bad_pieces);
    ASSERT_EQ(verdicts.size(), c.files.size());
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        EXPECT_EQ(verdicts[i].status, c.statuses[i]) << "file " << i;
        EXPECT_EQ(verdicts[i].bad, c.ranges[i]) << "file " << i;
    }
}

using fs = file_status;
INSTANTIATE_TEST_SUITE_P(
    cases, v1_verdict_table,
    testing::Values(v1_case{"piece_inside_one_file",
                            {content(25), content(5)},
                            {false, true, false},
                            {fs::damaged, fs::intact},
                            {{{10, 20}}, {}}},
                    v1_case{"piece_across_two_files_makes_both_suspect",
                            {content(15), content(15)},
                            {false, true, false},
                            {fs::suspect, fs::suspect},
                            {{{10, 15}}, {{0, 5}}}},
                    v1_case{"a_piece_of_its_own_makes_a_file_damaged_not_suspect",
                            {content(15), content(25)},
                            {false, true, true, false},
                            {fs::suspect, fs::damaged},
                            {{{10, 15}}, {{0, 15}}}},
                    v1_case{"pads_and_empty_files_share_no_blame",
                            {content(5), pad(5), content(0), content(12)},
                            {true, false, true},
                            {fs::damaged, fs::intact, fs::intact, fs::damaged},
                            {{{0, 5}}, {}, {}, {{10, 12}}}},
                    v1_case{
                        "adjacent_bad_pieces_merge_and_the_short_last_piece_ends_at_the_content",
                        {content(33)},
                        {false, true, true, true},
                        {fs::damaged},
                        {{{10, 33}}}},
                    v1_case{"one_piece_over_three_files",
                            {content(3), content(3), content(3)},
                            {true},
                            {fs::suspect, fs::suspect, fs::suspect},
                            {{{0, 3}}, {{0, 3}}, {{0, 3}}}}),
    [](const testing::TestParamInfo<v1_case> &info) { return info.param.name; });

TEST(v1_verdicts, what_the_size_pass_found_stands_over_the_pieces) {
    content_layout layout;
    layout.piece_length = 10;
    layout.files = {content(10), content(10)};
    std::vector<found_file> found(2);
    found[0].status = file_status::missing;
    const std::vector<file_verdict> verdicts = v1_verdicts(layout, found, {true, false});
    EXPECT_EQ(verdicts[0].status, file_status::missing);
    EXPECT_EQ(verdicts[0].bad, (std::vector<byte_range>{{0, 10}}));
    EXPECT_EQ(verdicts[1].status, file_status::intact);
}

TEST(file_pieces, ranges_are_cut_at_the_file_end_and_merged) {
    EXPECT_EQ(ranges_of_file_pieces({0, 1, 3}, 35, 10),
              (std::vector<byte_range>{{0, 20}, {30, 35}}));
    EXPECT_EQ(pieces_of(0, 10), 0U);
    EXPECT_EQ(pieces_of(10, 10), 1U);
    EXPECT_EQ(pieces_of(11, 10), 2U);
}

// Each file's path is where its own starts in the shared block up to where the next one's starts;
// a client shows it below the torrent's name, or alone from its first component that is not
// empty when the torrent has none.
TEST(paths, each_file_is_shown_and_looked_for_from_its_part_of_the_block) {
    content_layout layout;
    layout.paths = std::string("a/b") + "c" + "/.pad";
    layout.files = {content(1), content(1), pad(1)};
    layout.files[1].path = 3;
    layout.files[2].path = 4;
    layout.content_path = "/r";
    for (const std::string name : {"n", ""}) {
        layout.name = name;
        EXPECT_EQ(layout.shown(0), name.empty() ? "a/b" : "n/a/b");
        EXPECT_EQ(layout.shown(1), name.empty() ? "c" : "n/c");
        EXPECT_EQ(layout.shown(2), name.empty() ? ".pad" : "n//.pad");
        EXPECT_EQ(layout.disk_path(0), "/r/a/b");
        EXPECT_EQ(layout.disk_path(1), "/r/c");
    }
    layout.single_file = true;
    layout.paths = "only";
    layout.files = {content(1)};
    EXPECT_EQ(layout.shown(0), "only");
    EXPECT_EQ(layout.disk_path(0), "/r");
}

TEST(paths, components_that_leave_the_content_are_refused) {
    for (const char *bad : {"", ".", "..", "a/b", "/etc"})
        EXPECT_TRUE(unsafe_component(bad).has_value()) << bad;
    EXPECT_TRUE(unsafe_component(std::string_view("a\0b", 3)).has_value());
    for (const char *good : {"...", "a..b", ".hidden", "name with spaces"})
        EXPECT_FALSE(unsafe_component(good).has_value()) << good;
}
} // namespace
