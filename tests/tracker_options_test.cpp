// The options for trackers and uploads as a user meets them: what each one puts into the
// document (built here key by key, independently of the tool), the magnet link, the refusals,
// --exclude over a tree, and how the new option names sit beside the abbreviations accepted
// before them.
#include "support/harness.h"
#include "support/walk_model.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace harness;

namespace {

using tiers = std::vector<std::vector<std::string>>;

// The document a run must write: the outer keys, then the info keys, each dictionary in
// ascending byte order of its keys.
struct expected_document {
    tiers trackers;
    std::optional<std::string> comment;
    bool dated = true;   // a creation date, blanked as strip_creation_date() blanks it
    std::string content; // the info's content keys before the name ("6:length..." or "5:files...")
    std::string name;
    std::int64_t piece_length = 262144;
    std::optional<std::string> pieces;
    bool is_private = false;
    std::optional<std::string> source;
    std::vector<std::string> web_seeds;
};

std::string list_of(const std::vector<std::string> &items) {
    std::string text = "l";
    for (const auto &item : items)
        text += bstr(item);
    return text + "e";
}

std::string info_of(const expected_document &d) {
    std::string info =
        "d" + d.content + "4:name" + bstr(d.name) + "12:piece length" + bint(d.piece_length);
    if (d.pieces)
        info += "6:pieces" + bstr(*d.pieces);
    if (d.is_private)
        info += "7:privatei1e";
    if (d.source)
        info += "6:source" + bstr(*d.source);
    return info + "e";
}

std::string encoded(const expected_document &d) {
    std::string doc = "d8:announce" + bstr(d.trackers.at(0).at(0));
    std::size_t urls = 0;
    for (const auto &tier : d.trackers)
        urls += tier.size();
    if (urls >= 2) {
        doc += "13:announce-listl";
        for (const auto &tier : d.trackers)
            doc += list_of(tier);
        doc += "e";
    }
    if (d.comment)
        doc += "7:comment" + bstr(*d.comment);
    if (d.dated)
        doc += "13:creation datei0e";
    doc += "4:info" + info_of(d);
    if (!d.web_seeds.empty())
        doc += "8:url-list" + list_of(d.web_seeds);
    return doc + "e";
}

// What was written, with its creation date blanked where it has one.
std::string comparable(const std::string &written, const expected_document &d) {
    return d.dated ? strip_creation_date(written) : written;
}

std::string lower_hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

// The link's hash part, from the SHA-1 of the expected info dictionary; `rest` holds the
// percent-encoded dn and tr parameters, written out by hand in each case.
std::string magnet_of(const expected_document &d, const std::string &rest) {
    return "magnet:?xt=urn:btih:" + lower_hex(sha1_raw(info_of(d))) + rest + "\n";
}

const std::string progress = "computing sha1... done\n";
const std::string default_url = "http://t:6881/announce";

class upload_options : public ::testing::Test {
  protected:
    temp_dir dir;
    std::string input = dir / "data.bin";
    std::string output = dir / "out.torrent";
    std::string content = random_bytes(3000, 11);

    void SetUp() override { write_file(input, content); }

    // The document of the fixture's file with the case's options filled in.
    expected_document single_file(expected_document d) const {
        d.content = "6:length" + bint(static_cast<std::int64_t>(content.size()));
        if (d.name.empty())
            d.name = "data.bin";
        d.pieces = expected_pieces(content, 262144);
        return d;
    }
};

// ---------------------------------------------------------------------------
// Each option's effect on the document of a single file.

struct option_case {
    std::string label;
    std::vector<std::string> args; // IN and OUT stand for the fixture's paths
    expected_document doc;         // content, name (when empty) and pieces come from the file
};

void PrintTo(const option_case &c, std::ostream *os) {
    *os << c.label;
}

class option_effect : public upload_options, public ::testing::WithParamInterface<option_case> {};

TEST_P(option_effect, writes_the_expected_document) {
    const auto args = substitute(GetParam().args, input, output);
    const expected_document d = single_file(GetParam().doc);
    const run_result r = run_quillet(args);
    ASSERT_EQ(r.status, 0) << describe(args) << "\nstderr: " << r.err;
    EXPECT_EQ(r.out, progress);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(comparable(read_file(output), d), encoded(d)) << describe(args);
    EXPECT_EQ(read_file(input), content);
}

expected_document announced(tiers trackers) {
    expected_document d;
    d.trackers = std::move(trackers);
    return d;
}

expected_document with(expected_document d, void (*change)(expected_document &)) {
    change(d);
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    cases, option_effect,
    ::testing::Values(
        option_case{"private_flag",
                    {"-a", "http://t", "--private", "IN", "OUT"},
                    with(announced({{default_url}}), [](auto &d) { d.is_private = true; })},
        option_case{"source",
                    {"-a", "http://t", "--source", "EXT", "IN", "OUT"},
                    with(announced({{default_url}}), [](auto &d) { d.source = "EXT"; })},
        option_case{"source_empty_still_counts",
                    {"-a", "http://t", "--source=", "IN", "OUT"},
                    with(announced({{default_url}}), [](auto &d) { d.source = ""; })},
        option_case{
            "source_bytes_and_last_one_counts",
            {"-a", "http://t", "--source", "first", "--sou", "\xc3\xbc \xe2\x9c\x93", "IN", "OUT"},
            with(announced({{default_url}}), [](auto &d) { d.source = "\xc3\xbc \xe2\x9c\x93"; })},
        option_case{"tracker_instead_of_announce",
                    {"--tracker", "udp://t.example:1337/announce", "IN", "OUT"},
                    announced({{"udp://t.example:1337/announce"}})},
        // no port and no path are joined to a tracker URL
        option_case{"tracker_used_as_given",
                    {"--tracker", "http://t", "IN", "OUT"},
                    announced({{"http://t"}})},
        option_case{"tracker_after_the_operands_abbreviated",
                    {"IN", "OUT", "--tr=http://t/a"},
                    announced({{"http://t/a"}})},
        option_case{"comma_list_is_one_tier",
                    {"--tracker", "udp://a/1,udp://b/2", "IN", "OUT"},
                    announced({{"udp://a/1", "udp://b/2"}})},
        option_case{"each_tracker_a_tier",
                    {"--tracker", "udp://a", "--tracker", "http://b,http://c", "--tracker",
                     "http://d", "IN", "OUT"},
                    announced({{"udp://a"}, {"http://b", "http://c"}, {"http://d"}})},
        option_case{"announce_url_is_the_first_tier",
                    {"--tracker", "udp://u", "-a", "http://t", "-p", "80", "-P", "/x", "IN", "OUT"},
                    announced({{"http://t:80/x"}, {"udp://u"}})},
        // the port text only goes into the URL made from -a
        option_case{"port_not_judged_without_announce",
                    {"-p", "0", "--tracker", "udp://u", "IN", "OUT"},
                    announced({{"udp://u"}})},
        option_case{"comment_after_the_announce_list",
                    {"--tracker", "a", "--tracker", "b", "-c", "note", "IN", "OUT"},
                    with(announced({{"a"}, {"b"}}), [](auto &d) { d.comment = "note"; })},
        // a web seed URL is taken whole, commas and all
        option_case{
            "web_seeds_in_order",
            {"-a", "http://t", "--webseed", "http://w1/", "--web=ftp://w2/x,y", "IN", "OUT"},
            with(announced({{default_url}}),
                 [](auto &d) {
                     d.web_seeds = {"http://w1/", "ftp://w2/x,y"};
                 })},
        option_case{
            "name",
            {"-a", "http://t", "--name", "Other Name \xe2\x9c\x93", "IN", "OUT"},
            with(announced({{default_url}}), [](auto &d) { d.name = "Other Name \xe2\x9c\x93"; })},
        // only the last name counts, so an unusable earlier one is not judged
        option_case{"name_last_one_counts",
                    {"-a", "http://t", "--name", "a/b", "--name", ".hidden", "IN", "OUT"},
                    with(announced({{default_url}}), [](auto &d) { d.name = ".hidden"; })},
        option_case{"no_date",
                    {"-a", "http://t", "--nodate", "IN", "OUT"},
                    with(announced({{default_url}}), [](auto &d) { d.dated = false; })},
        // a single file has no entries to sort or leave out: the input itself is never excluded
        option_case{
            "sorted_and_exclude_leave_a_file_alone",
            {"-a", "http://t", "--sorted", "--exclude", "*", "--exclude=data.bin", "IN", "OUT"},
            announced({{default_url}})},
        option_case{"all_together_after_double_dash",
                    {"--private", "--source", "SRC", "--tracker", "udp://a,udp://b", "-c", "",
                     "--tracker", "http://c", "--webseed", "http://w/", "--name", "N", "--nodate",
                     "--", "IN", "OUT"},
                    with(announced({{"udp://a", "udp://b"}, {"http://c"}}),
                         [](auto &d) {
                             d.is_private = true;
                             d.source = "SRC";
                             d.comment = "";
                             d.web_seeds = {"http://w/"};
                             d.name = "N";
                             d.dated = false;
                         })}),
    [](const auto &info) { return info.param.label; });

// ---------------------------------------------------------------------------
// The magnet link: the last line on standard output of a successful run.

struct magnet_case {
    std::vector<std::string> args;
    expected_document doc;
    std::string rest; // the link after its hash, percent-encoded by hand
};

void PrintTo(const magnet_case &c, std::ostream *os) {
    *os << describe(c.args);
}

class magnet_line : public upload_options, public ::testing::WithParamInterface<magnet_case> {};

TEST_P(magnet_line, follows_the_progress) {
    const auto args = substitute(GetParam().args, input, output);
    const expected_document d = single_file(GetParam().doc);
    const run_result r = run_quillet(args);
    ASSERT_EQ(r.status, 0) << describe(args) << "\nstderr: " << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, progress + magnet_of(d, GetParam().rest)) << describe(args);
    EXPECT_EQ(comparable(read_file(output), d), encoded(d));
}

INSTANTIATE_TEST_SUITE_P(
    cases, magnet_line,
    ::testing::Values(
        magnet_case{{"-a", "http://t", "--magnet", "IN", "OUT"},
                    announced({{default_url}}),
                    "&dn=data.bin&tr=http%3A%2F%2Ft%3A6881%2Fannounce"},
        // every tracker of every tier, in order; only A-Z a-z 0-9 - . _ ~ stay as they are
        magnet_case{
            {"--mag", "--tracker", "udp://a.example:1337/ann,http://b/?x=1&y=%", "--tracker",
             "https://c/", "--name", "\xc3\x9cn code~_-.bin", "IN", "OUT"},
            with(announced({{"udp://a.example:1337/ann", "http://b/?x=1&y=%"}, {"https://c/"}}),
                 [](auto &d) { d.name = "\xc3\x9cn code~_-.bin"; }),
            "&dn=%C3%9Cn%20code~_-.bin&tr=udp%3A%2F%2Fa.example%3A1337%2Fann"
            "&tr=http%3A%2F%2Fb%2F%3Fx%3D1%26y%3D%25&tr=https%3A%2F%2Fc%2F"},
        // the private flag and the source change the info dictionary, and so the hash
        magnet_case{{"IN", "--private", "--source", "S", "--tracker", "u", "OUT", "--magnet"},
                    with(announced({{"u"}}),
                         [](auto &d) {
                             d.is_private = true;
                             d.source = "S";
                         }),
                    "&dn=data.bin&tr=u"}));

TEST_F(upload_options, a_failed_run_prints_no_magnet_link) {
    const run_result r = run_quillet({"--tracker", "u", "--magnet", dir / "missing", output});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "could not access " + (dir / "missing") + ": " + error_text(ENOENT) + "\n");
    EXPECT_FALSE(path_exists(output));
}

// ---------------------------------------------------------------------------
// Refusals: one line on standard error, status 1, nothing created or touched.

const std::string invalid_arguments = "Invalid arguments. Use -h for help.\n";
const std::string bad_name = "--name must not be empty, \".\", \"..\" or contain \"/\"\n";
const std::string empty_tracker = "empty URL in --tracker\n";
const std::string empty_web_seed = "empty URL in --webseed\n";

struct refusal_case {
    std::vector<std::string> args;
    std::string message;
};

void PrintTo(const refusal_case &c, std::ostream *os) {
    *os << describe(c.args);
}

class refused_upload : public upload_options, public ::testing::WithParamInterface<refusal_case> {};

TEST_P(refused_upload, leaves_everything_as_it_was) {
    const auto args = substitute(GetParam().args, input, output);
    write_file(output, "previous bytes");
    const run_result r = run_quillet(args);
    EXPECT_EQ(r.status, 1) << describe(args);
    EXPECT_EQ(r.err, GetParam().message) << describe(args);
    EXPECT_EQ(r.out, "") << describe(args);
    EXPECT_EQ(read_file(output), "previous bytes") << describe(args);
    EXPECT_EQ(read_file(input), content);
}

INSTANTIATE_TEST_SUITE_P(
    cases, refused_upload,
    ::testing::Values(
        refusal_case{{"-a", "t", "--name", "", "IN", "OUT"}, bad_name},
        refusal_case{{"-a", "t", "--name=.", "IN", "OUT"}, bad_name},
        refusal_case{{"-a", "t", "--name", "..", "IN", "OUT"}, bad_name},
        refusal_case{{"-a", "t", "--name", "a/b", "IN", "OUT"}, bad_name},
        refusal_case{{"-a", "t", "--name", "/", "IN", "OUT"}, bad_name},
        refusal_case{{"-a", "t", "--name", "x/", "IN", "OUT"}, bad_name},
        // the last name counts
        refusal_case{{"-a", "t", "--name", "good", "--name", "..", "IN", "OUT"}, bad_name},
        refusal_case{{"--tracker", "", "IN", "OUT"}, empty_tracker},
        refusal_case{{"--tracker", "udp://a,", "IN", "OUT"}, empty_tracker},
        refusal_case{{"--tracker", ",udp://a", "IN", "OUT"}, empty_tracker},
        refusal_case{{"--tracker", "udp://a,,udp://b", "IN", "OUT"}, empty_tracker},
        refusal_case{{"--tracker", "udp://a", "--tracker=", "IN", "OUT"}, empty_tracker},
        refusal_case{{"-a", "t", "--webseed", "http://w", "--webseed", "", "IN", "OUT"},
                     empty_web_seed},
        // with -a its port is judged, whatever else is given
        refusal_case{{"-a", "t", "-p", "0", "--tracker", "udp://u", "IN", "OUT"},
                     "invalid port number\n"},
        // neither -a nor --tracker
        refusal_case{{"--private", "--webseed", "http://w", "IN", "OUT"}, invalid_arguments},
        // option values are judged before the operands, the piece length first
        refusal_case{{"--tracker", "u", "IN"}, invalid_arguments},
        refusal_case{{"--name", ""}, bad_name}, refusal_case{{"--tracker", ""}, empty_tracker},
        refusal_case{{"--name", "", "--tracker", "", "-l", "0"}, "piece length has to be > 0.\n"},
        refusal_case{{"--tracker", "", "--name", ""}, bad_name}));

// The parser's own refusals of the new names: some diagnostic, status 1, nothing created.
class refused_by_parser : public upload_options,
                          public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(refused_by_parser, with_its_own_diagnostic) {
    const auto args = substitute(GetParam(), input, output);
    const run_result r = run_quillet(args);
    EXPECT_EQ(r.status, 1) << describe(args);
    EXPECT_EQ(r.out, "") << describe(args);
    EXPECT_NE(r.err, "") << describe(args);
    EXPECT_EQ(r.err.find(invalid_arguments), std::string::npos) << describe(args);
    EXPECT_FALSE(path_exists(output)) << describe(args);
}

INSTANTIATE_TEST_SUITE_P(
    cases, refused_by_parser,
    ::testing::Values(std::vector<std::string>{"--tracker", "u", "--private=1", "IN", "OUT"},
                      std::vector<std::string>{"--tracker", "u", "--magnet=yes", "IN", "OUT"},
                      std::vector<std::string>{"IN", "OUT", "--tracker"},
                      std::vector<std::string>{"--tracker", "u", "IN", "OUT", "--exclude"},
                      // name and nodate; source and sorted
                      std::vector<std::string>{"--tracker", "u", "--n", "x", "IN", "OUT"},
                      std::vector<std::string>{"--tracker", "u", "--s", "IN", "OUT"},
                      // port, path, piecelength and now private
                      std::vector<std::string>{"-a", "t", "--p", "80", "IN", "OUT"}));

// ---------------------------------------------------------------------------
// Abbreviations accepted before the new names still resolve to the same options.

TEST_F(upload_options, old_abbreviations_resolve_as_before) {
    const run_result r = run_quillet({"--a", "http://t", "--po", "80", "--pa", "/p", "--pi", "1024",
                                      "--c", "hi", "--i", input, output});
    ASSERT_EQ(r.status, 0) << r.err;
    expected_document d = single_file(announced({{"http://t:80/p"}}));
    d.comment = "hi";
    d.piece_length = 1024;
    d.pieces = expected_pieces(content, 1024);
    EXPECT_EQ(comparable(read_file(output), d), encoded(d));

    const run_result help = run_quillet({"--h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.substr(0, 15), "Usage: quillet ");
    const run_result version = run_quillet({"--v"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.substr(0, 8), "quillet ");
}

TEST_F(upload_options, short_options_are_unchanged) {
    // "a:hiVp:P:l:c:": no letter was added for the new options
    for (const char *letter : {"-e", "-m", "-n", "-s", "-t", "-w"}) {
        const run_result r = run_quillet({"-a", "t", letter, "x", input, output});
        EXPECT_EQ(r.status, 1) << letter;
        EXPECT_NE(r.err.find("invalid option"), std::string::npos) << letter << ": " << r.err;
    }
    EXPECT_FALSE(path_exists(output));
}

// ---------------------------------------------------------------------------
// Directory trees: exclusions, and everything together.

// A tree with something for every kind of pattern: names at any depth, a path from the top,
// directories, and entries of other types that would otherwise give a message.
class excluded_tree : public ::testing::Test {
  protected:
    temp_dir dir;
    std::string root = dir / "tree";
    std::string output = dir / "out.torrent";

    void SetUp() override {
        const char *files[] = {"keep.txt",
                               "a.nfo",
                               "sub/b.nfo",
                               "sub/keep2.bin",
                               "sub/deeper/x.bin",
                               "Sample/clip.mkv",
                               "extra/Sample/clip.mkv",
                               "cache/c.bin",
                               "extra/cache/d.bin",
                               ".hidden.nfo",
                               ".hidden.txt",
                               "sub/notes~"};
        for (const char *dirs : {"", "/sub", "/sub/deeper", "/Sample", "/extra", "/extra/Sample",
                                 "/cache", "/extra/cache"})
            make_dir(root + dirs);
        std::uint64_t seed = 100;
        for (const char *file : files) {
            write_file(root + "/" + file, random_bytes(700 + 300 * (seed % 5), seed));
            ++seed;
        }
        ASSERT_EQ(mkfifo((root + "/fifo.nfo").c_str(), 0644), 0);
        ASSERT_EQ(mkfifo((root + "/kept.fifo").c_str(), 0644), 0);
        ASSERT_EQ(symlink("nowhere", (root + "/dangling.nfo").c_str()), 0);
    }

    expected_document tree_document(const expected_walk &walk, std::int64_t piece_length,
                                    expected_document d) const {
        d.content = expected_file_list(walk.files);
        if (d.name.empty())
            d.name = "tree";
        d.piece_length = piece_length;
        const std::string stream = concatenated(walk.files);
        if (!stream.empty())
            d.pieces = expected_pieces(stream, static_cast<int>(piece_length));
        return d;
    }
};

struct exclusion_case {
    std::string label;
    std::vector<std::string> patterns;
    std::set<std::string> left_out; // what the patterns match, by hand
    bool inclusive = false;
};

void PrintTo(const exclusion_case &c, std::ostream *os) {
    *os << c.label;
}

class exclusion : public excluded_tree, public ::testing::WithParamInterface<exclusion_case> {};

TEST_P(exclusion, leaves_out_what_matches_silently) {
    const exclusion_case &c = GetParam();
    std::vector<std::string> args = {"--tracker", "udp://u", "-l", "1024"};
    for (const auto &pattern : c.patterns) {
        args.push_back("--exclude");
        args.push_back(pattern);
    }
    if (c.inclusive)
        args.push_back("-i");
    args.push_back(root);
    args.push_back(output);
    walk_rules rules;
    rules.inclusive = c.inclusive;
    rules.left_out = c.left_out;
    const expected_walk walk = model_walk(root, rules);
    const run_result r = run_quillet(args);
    ASSERT_EQ(r.status, 0) << describe(args) << "\nstderr: " << r.err;
    EXPECT_EQ(r.out, walk.out);
    EXPECT_EQ(r.err,
              walk.err + (walk.files.empty() ? "warning: no files found in directory\n" : ""));
    const expected_document d = tree_document(walk, 1024, announced({{"udp://u"}}));
    EXPECT_EQ(comparable(read_file(output), d), encoded(d));
}

INSTANTIATE_TEST_SUITE_P(
    cases, exclusion,
    ::testing::Values(
        // without a pattern the fifo is reported and the dangling link cannot be stat'ed
        exclusion_case{"none", {}, {}},
        // a name at any depth; a fifo and a dangling link that match are left out silently
        exclusion_case{
            "name_at_any_depth", {"*.nfo"}, {"a.nfo", "sub/b.nfo", "fifo.nfo", "dangling.nfo"}},
        exclusion_case{
            "name_with_hidden_files_taken_in",
            {"*.nfo", "*~"},
            {"a.nfo", "sub/b.nfo", "fifo.nfo", "dangling.nfo", ".hidden.nfo", "sub/notes~"},
            true},
        // a directory's name: not entered, wherever it is
        exclusion_case{"directory_name", {"cache"}, {"cache", "extra/cache"}},
        // a path from the top of the tree, and one that names a directory
        exclusion_case{
            "path_from_the_top", {"Sample/*", "sub/deeper"}, {"Sample/clip.mkv", "sub/deeper"}},
        // "*" does not cross a slash; a pattern with a leading slash matches nothing
        exclusion_case{"path_wildcards_stay_in_one_directory",
                       {"*/*.bin", "/keep.txt"},
                       {"sub/keep2.bin", "cache/c.bin"}},
        exclusion_case{"everything",
                       {"*"},
                       {"keep.txt", "a.nfo", "sub", "Sample", "extra", "cache", ".hidden.nfo",
                        ".hidden.txt", "fifo.nfo", "kept.fifo", "dangling.nfo"}}),
    [](const auto &info) { return info.param.label; });

TEST_F(excluded_tree, the_input_itself_is_never_excluded) {
    const std::string renamed = dir / "tree.nfo";
    ASSERT_EQ(rename(root.c_str(), renamed.c_str()), 0);
    walk_rules rules;
    rules.left_out = {"a.nfo", "sub/b.nfo", "fifo.nfo", "dangling.nfo"};
    const expected_walk walk = model_walk(renamed, rules);
    const run_result r = run_quillet(
        {"--tracker", "u", "--exclude", "*.nfo", "--exclude", "tree*", renamed, output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, walk.out);
    expected_document d = tree_document(walk, 262144, announced({{"u"}}));
    d.name = "tree.nfo";
    EXPECT_EQ(comparable(read_file(output), d), encoded(d));
}

// Excluded entries are decided on by name alone: neither the walk nor its read-ahead opens
// them. The kept file shows that the watch sees an open.
TEST_F(excluded_tree, excluded_entries_are_not_opened) {
    const fd_guard watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(watch.fd, 0);
    const std::string watched[] = {root + "/sub/b.nfo", root + "/cache", root + "/keep.txt"};
    std::vector<int> ids;
    for (const auto &path : watched) {
        ids.push_back(inotify_add_watch(watch.fd, path.c_str(), IN_OPEN | IN_ACCESS));
        ASSERT_GE(ids.back(), 0) << path;
    }
    const run_result r =
        run_quillet({"--tracker", "u", "--exclude", "*.nfo", "--exclude", "cache", root, output});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<int> seen;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(watch.fd, buffer, sizeof buffer)) > 0;) {
        for (char *at = buffer; at < buffer + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(at);
            seen.insert(event->wd);
            at += sizeof(inotify_event) + event->len;
        }
    }
    EXPECT_EQ(seen.count(ids[0]), 0u) << "the excluded file was opened";
    EXPECT_EQ(seen.count(ids[1]), 0u) << "the excluded directory was opened";
    EXPECT_EQ(seen.count(ids[2]), 1u) << "the kept file was not seen opened";
}

// An upload to a private tracker from a release tree, with the magnet link, laid out here whole.
TEST_F(excluded_tree, private_upload_with_tiers_web_seeds_and_no_date) {
    walk_rules rules;
    rules.left_out = {"a.nfo",           "sub/b.nfo", "fifo.nfo",   "dangling.nfo",
                      "Sample/clip.mkv", "cache",     "extra/cache"};
    const expected_walk walk = model_walk(root, rules);
    expected_document wanted;
    wanted.trackers = {{"http://t:6881/a"}, {"udp://u1", "udp://u2"}, {"https://v/"}};
    wanted.is_private = true;
    wanted.source = "EXT";
    wanted.web_seeds = {"https://w1/pub/", "https://w2/pub/"};
    wanted.dated = false;
    wanted.name = "Release";
    const expected_document d = tree_document(walk, 4096, wanted);
    const run_result r = run_quillet({"--private",
                                      "--source",
                                      "EXT",
                                      "-a",
                                      "http://t",
                                      "-P",
                                      "/a",
                                      "--tracker",
                                      "udp://u1,udp://u2",
                                      "--tracker",
                                      "https://v/",
                                      "--webseed",
                                      "https://w1/pub/",
                                      "--webseed",
                                      "https://w2/pub/",
                                      "--nodate",
                                      "--exclude",
                                      "*.nfo",
                                      "--exclude",
                                      "Sample/*",
                                      "--exclude",
                                      "cache",
                                      "--name",
                                      "Release",
                                      "-l",
                                      "4096",
                                      "--magnet",
                                      root,
                                      output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, walk.err);
    EXPECT_EQ(r.out, walk.out + magnet_of(d, "&dn=Release&tr=http%3A%2F%2Ft%3A6881%2Fa"
                                             "&tr=udp%3A%2F%2Fu1&tr=udp%3A%2F%2Fu2"
                                             "&tr=https%3A%2F%2Fv%2F"));
    // no creation date: the whole document, byte for byte, every time
    EXPECT_EQ(read_file(output), encoded(d));
}

// ---------------------------------------------------------------------------
// --sorted: every directory's entries in ascending byte order of their names.

TEST(sorted_walk, takes_entries_in_byte_order_at_every_level) {
    temp_dir dir;
    const std::string root = dir / "tree";
    make_dir(root);
    // enough names that the system's listing order differs from byte order
    const char *names[] = {"b",   "a",  "B", "a.txt", "\xc3\xa9", "_x", "0", "z9", "z10",
                           "a-b", "aa", "c", "d",     "e",        "f",  "g", "h",  "i"};
    std::uint64_t seed = 1;
    for (const char *name : names) {
        write_file(root + "/" + name, random_bytes(50 + seed, seed));
        ++seed;
    }
    for (const char *sub : {"/sub", "/sub/z", "/m"})
        make_dir(root + sub);
    for (const char *name : {"/sub/b", "/sub/A", "/sub/z/2", "/sub/z/10", "/m/y", "/m/x"})
        write_file(root + name, random_bytes(40, seed++));
    walk_rules rules;
    rules.sorted = true;
    const expected_walk sorted = model_walk(root, rules);
    const expected_walk listed = model_walk(root);
    ASSERT_NE(listed.out, sorted.out) << "the listing is already sorted: nothing to show";
    const run_result r = run_quillet({"--tracker", "u", "--sorted", root, dir / "out.torrent"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, sorted.out);
    expected_document d = announced({{"u"}});
    d.content = expected_file_list(sorted.files);
    d.name = "tree";
    d.pieces = expected_pieces(concatenated(sorted.files), 262144);
    EXPECT_EQ(comparable(read_file(dir / "out.torrent"), d), encoded(d));
}

} // namespace
