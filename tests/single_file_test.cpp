// A regular file as input, end to end: the document's bytes against digests computed
// here, the progress text, and what every kind of failure leaves behind.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

using namespace harness;

namespace {

const std::string progress = "computing sha1... done\n";
const std::string default_url = "http://tracker.example:6881/announce";

class single_file : public ::testing::Test {
  protected:
    temp_dir dir;
    std::string output = dir / "out.torrent";

    // Expected document for `content` read from a file called `name`.
    static std::string document(const std::string &content, const std::string &name,
                                int piece_length) {
        single_file_torrent t;
        t.announce_url = default_url;
        t.length = static_cast<std::int64_t>(content.size());
        t.name = name;
        t.piece_length = piece_length;
        t.pieces = expected_pieces(content, piece_length);
        return expected_single_file_torrent(t);
    }

    // The run failed and left nothing at the output path.
    void expect_failed_cleanly(const run_result &r, const std::string &message) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.err, message);
        EXPECT_FALSE(path_exists(output)) << "a failed run must remove its output";
    }
};

// ---------------------------------------------------------------------------
// Content and piece boundaries.

struct content_case {
    std::string label;
    std::size_t size;
    int piece_length;
    std::size_t digests; // the count the piece rule gives, stated independently
};

class piece_layout : public single_file, public ::testing::WithParamInterface<content_case> {};

TEST_P(piece_layout, document_matches_digests_computed_here) {
    const content_case &c = GetParam();
    const std::string input = dir / "payload.dat";
    const std::string content = random_bytes(c.size, c.size * 31 + 5);
    write_file(input, content);

    run_result r = run_quillet(
        {"-a", "http://tracker.example", "-l", std::to_string(c.piece_length), input, output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, progress);
    EXPECT_EQ(r.err, "");

    const std::string actual = read_file(output);
    EXPECT_EQ(strip_creation_date(actual), document(content, "payload.dat", c.piece_length));

    // The pieces string announces exactly the digests the piece rule gives.
    const bvalue doc = bdecode(actual);
    EXPECT_EQ(doc["info"]["pieces"].s.size(), 20 * c.digests);
    EXPECT_NE(actual.find("6:pieces" + std::to_string(20 * c.digests) + ":"), std::string::npos);

    // Creation date: the time of the run, in seconds since the epoch.
    const std::int64_t date = creation_date(actual);
    EXPECT_GE(date, static_cast<std::int64_t>(r.started) - 2);
    EXPECT_LE(date, static_cast<std::int64_t>(r.finished) + 2);

    EXPECT_EQ(read_file(input), content) << "the input is only read";
}

std::string content_label(const ::testing::TestParamInfo<content_case> &info) {
    return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(
    cases, piece_layout,
    ::testing::Values(content_case{"empty_file", 0, 262144, 0},
                      content_case{"one_byte", 1, 262144, 1},
                      content_case{"exact_multiple", 3 * 1024, 1024, 3},
                      content_case{"exactly_one_piece", 4096, 4096, 1},
                      content_case{"one_byte_past_a_piece", 1025, 1024, 2},
                      content_case{"one_byte_short_of_two_pieces", 2047, 1024, 2},
                      content_case{"piece_longer_than_file", 1000, 262144, 1},
                      content_case{"piece_length_one", 50, 1, 50},
                      content_case{"odd_piece_length", 10000, 333, 31},
                      content_case{"default_piece_length_with_tail", 2 * 262144 + 7, 262144, 3},
                      content_case{"many_small_pieces", 200000, 16, 12500},
                      // Long enough pieces are read and hashed 16 side by side, the short
                      // last one on its own.
                      content_case{"pieces_in_lane_groups", 17 * 1048640 + 5, 1048640, 18}),
    content_label);

TEST_F(single_file, empty_file_gives_an_empty_pieces_string) {
    const std::string input = dir / "empty";
    write_file(input, "");
    run_result r = run_quillet({"-a", "http://tracker.example", input, output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, progress);
    // Spelled out rather than built, for the one layout everybody can read at a glance.
    EXPECT_EQ(strip_creation_date(read_file(output)),
              "d8:announce36:http://tracker.example:6881/announce13:creation datei0e"
              "4:infod6:lengthi0e4:name5:empty12:piece lengthi262144e6:pieces0:ee");
}

TEST_F(single_file, one_byte_past_a_piece_hashes_the_last_byte_alone) {
    const std::string input = dir / "f";
    std::string content = random_bytes(1025, 99);
    write_file(input, content);
    run_result r = run_quillet({"-a", "http://tracker.example", "-l", "1024", input, output});
    ASSERT_EQ(r.status, 0) << r.err;
    const bvalue doc = bdecode(read_file(output));
    const std::string &pieces = doc["info"]["pieces"].s;
    ASSERT_EQ(pieces.size(), 40u);
    EXPECT_EQ(pieces.substr(0, 20), sha1_raw(content.substr(0, 1024)));
    EXPECT_EQ(pieces.substr(20), sha1_raw(content.substr(1024, 1)));
}

TEST_F(single_file, huge_piece_length_on_a_small_file) {
    const std::string input = dir / "small";
    const std::string content = random_bytes(10, 3);
    write_file(input, content);
    run_result r = run_quillet({"-a", "http://tracker.example", "-l", "2147483647", input, output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, progress);
    EXPECT_EQ(strip_creation_date(read_file(output)), document(content, "small", 2147483647));
}

TEST_F(single_file, an_existing_output_is_replaced) {
    const std::string input = dir / "in";
    const std::string content = random_bytes(5000, 11);
    write_file(input, content);
    write_file(output, std::string(100000, 'x'));
    run_result r = run_quillet({"-a", "http://tracker.example", "-l", "1024", input, output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(strip_creation_date(read_file(output)), document(content, "in", 1024));
}

// ---------------------------------------------------------------------------
// The name comes from the input path as typed.

struct name_case {
    std::string typed; // relative to the temp dir, which is the child's cwd
    std::string name;
};

class input_name : public single_file, public ::testing::WithParamInterface<name_case> {};

TEST_P(input_name, is_the_last_component_of_the_typed_path) {
    const std::string content = random_bytes(700, 17);
    make_dir(dir / "sub");
    write_file(dir / "sub/data.bin", content);
    write_file(dir / ".hidden", content);
    write_file(dir / "d\xc3\xa4t\xc3\xa4", content);
    ASSERT_EQ(symlink("sub/data.bin", (dir / "link.bin").c_str()), 0) << std::strerror(errno);

    run_result r = run_quillet({"-a", "http://tracker.example", GetParam().typed, "out.torrent"},
                               run_options_t{}.in_dir(dir.path));
    ASSERT_EQ(r.status, 0) << GetParam().typed << ": " << r.err;
    EXPECT_EQ(r.out, progress);
    EXPECT_EQ(strip_creation_date(read_file(output)), document(content, GetParam().name, 262144))
        << GetParam().typed;
}

INSTANTIATE_TEST_SUITE_P(cases, input_name,
                         ::testing::Values(name_case{"sub/data.bin", "data.bin"},
                                           name_case{"./sub/data.bin", "data.bin"},
                                           name_case{"sub//data.bin", "data.bin"},
                                           name_case{"sub/../sub/data.bin", "data.bin"},
                                           // a hidden input is taken without -i
                                           name_case{".hidden", ".hidden"},
                                           name_case{"./.hidden", ".hidden"},
                                           // a symlink is followed; the name is the link's
                                           name_case{"link.bin", "link.bin"},
                                           // the byte length of a multibyte name
                                           name_case{"d\xc3\xa4t\xc3\xa4", "d\xc3\xa4t\xc3\xa4"}));

TEST_F(single_file, absolute_input_path_names_the_file) {
    const std::string content = random_bytes(300, 1);
    write_file(dir / "abs.bin", content);
    run_result r = run_quillet({"-a", "http://tracker.example", dir / "abs.bin", output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(strip_creation_date(read_file(output)), document(content, "abs.bin", 262144));
}

// ---------------------------------------------------------------------------
// Inputs that cannot be used.

class missing_input : public single_file, public ::testing::WithParamInterface<bool> {};

TEST_P(missing_input, reports_the_system_error_and_removes_the_output) {
    const bool output_existed = GetParam();
    if (output_existed)
        write_file(output, "an older torrent");
    const std::string input = dir / "no-such-file";
    run_result r = run_quillet({"-a", "http://tracker.example", input, output});
    expect_failed_cleanly(r, "could not access " + input + ": " + error_text(ENOENT) + "\n");
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(output_existed_before, missing_input, ::testing::Bool());

TEST_F(single_file, input_below_a_regular_file_is_not_a_directory) {
    write_file(dir / "plain", "x");
    const std::string input = dir / "plain/inner";
    run_result r = run_quillet({"-a", "http://tracker.example", input, output});
    expect_failed_cleanly(r, "could not access " + input + ": " + error_text(ENOTDIR) + "\n");
}

TEST_F(single_file, trailing_slash_on_a_file_is_not_a_directory) {
    write_file(dir / "plain", "x");
    run_result r = run_quillet({"-a", "http://tracker.example", "plain/", "out.torrent"},
                               run_options_t{}.in_dir(dir.path));
    expect_failed_cleanly(r, "could not access plain/: " + error_text(ENOTDIR) + "\n");
}

TEST_F(single_file, dangling_symlink_input) {
    ASSERT_EQ(symlink("gone", (dir / "dangling").c_str()), 0);
    run_result r = run_quillet({"-a", "http://tracker.example", dir / "dangling", output});
    expect_failed_cleanly(r, "could not access " + (dir / "dangling") + ": " + error_text(ENOENT) +
                                 "\n");
}

TEST_F(single_file, fifo_input_is_not_a_file) {
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0) << std::strerror(errno);
    write_file(output, "an older torrent");
    // a fifo has no writer here: a program that opened it would hang until the timeout
    run_result r =
        run_quillet({"-a", "http://tracker.example", fifo, output}, run_options_t{}.timeout(20));
    EXPECT_FALSE(r.timed_out);
    expect_failed_cleanly(r, "not a file or directory: " + fifo + "\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(single_file, device_input_is_not_a_file) {
    run_result r = run_quillet({"-a", "http://tracker.example", "/dev/null", output});
    expect_failed_cleanly(r, "not a file or directory: /dev/null\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(single_file, proc_file_that_grows_while_read_is_refused) {
    // /proc/self/status says size 0 but yields text: length and digests would disagree
    run_result r = run_quillet({"-a", "http://tracker.example", "/proc/self/status", output});
    expect_failed_cleanly(r, "file /proc/self/status changed while being read\n");
}

TEST_F(single_file, unreadable_input_as_unprivileged_user) {
    if (!can_drop_privileges()) {
        GTEST_SKIP() << "needs root and setpriv to run the tool as user 65534";
    }
    const std::string input = dir / "secret.bin";
    write_file(input, random_bytes(4000, 5));
    ASSERT_EQ(chmod(input.c_str(), 0600), 0);
    // a directory the unprivileged user may create the output in
    const std::string out_dir = dir / "out";
    make_dir(out_dir, 0777);
    output = out_dir + "/secret.torrent";

    run_result r =
        run_quillet({"-a", "http://tracker.example", input, output}, run_options_t{}.as_nobody());
    expect_failed_cleanly(r, "could not open file " + input + "\n");
    EXPECT_EQ(r.out, "") << "no progress before the input is open";
}

TEST_F(single_file, readable_input_as_unprivileged_user) {
    // The counterpart of the case above: the same setup with a readable file works, so a
    // failure there comes from the permission and not from the way the tool is started.
    if (!can_drop_privileges()) {
        GTEST_SKIP() << "needs root and setpriv to run the tool as user 65534";
    }
    const std::string input = dir / "open.bin";
    const std::string content = random_bytes(4000, 5);
    write_file(input, content);
    const std::string out_dir = dir / "out";
    make_dir(out_dir, 0777);
    output = out_dir + "/open.torrent";
    run_result r = run_quillet({"-a", "http://tracker.example", "-l", "1024", input, output},
                               run_options_t{}.as_nobody());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(strip_creation_date(read_file(output)), document(content, "open.bin", 1024));
    struct stat st;
    ASSERT_EQ(stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
}

// ---------------------------------------------------------------------------
// Outputs that cannot be used.

TEST_F(single_file, output_in_a_missing_directory) {
    const std::string input = dir / "in";
    write_file(input, "abc");
    output = dir / "no-such-dir/out.torrent";
    run_result r = run_quillet({"-a", "http://tracker.example", input, output});
    expect_failed_cleanly(r, "could not open destination file " + output + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(input), "abc");
}

TEST_F(single_file, output_is_a_directory) {
    const std::string input = dir / "in";
    write_file(input, "abc");
    output = dir / "taken";
    make_dir(output);
    run_result r = run_quillet({"-a", "http://tracker.example", input, output});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "could not open destination file " + output + "\n");
    EXPECT_EQ(r.out, "");
    struct stat st;
    ASSERT_EQ(stat(output.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// The output names the input itself: refused before anything is opened.
enum class alias_kind { same_path, other_spelling, hard_link, symlink_to_input };

class output_is_input : public single_file, public ::testing::WithParamInterface<alias_kind> {};

TEST_P(output_is_input, nothing_is_written_and_the_input_stays) {
    const std::string input = dir / "precious.bin";
    const std::string content = random_bytes(3000, 77);
    write_file(input, content);
    std::string typed_output;
    switch (GetParam()) {
    case alias_kind::same_path:
        typed_output = input;
        break;
    case alias_kind::other_spelling:
        typed_output = dir.path + "/./precious.bin";
        break;
    case alias_kind::hard_link:
        typed_output = dir / "hard.torrent";
        ASSERT_EQ(link(input.c_str(), typed_output.c_str()), 0) << std::strerror(errno);
        break;
    case alias_kind::symlink_to_input:
        typed_output = dir / "soft.torrent";
        ASSERT_EQ(symlink(input.c_str(), typed_output.c_str()), 0) << std::strerror(errno);
        break;
    }
    run_result r = run_quillet({"-a", "http://tracker.example", input, typed_output});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "destination file " + typed_output + " is the input file\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(input), content) << "the input must survive";
    EXPECT_TRUE(path_exists(typed_output)) << "nothing is removed";
    EXPECT_TRUE(is_same_file(input, typed_output));
}

INSTANTIATE_TEST_SUITE_P(cases, output_is_input,
                         ::testing::Values(alias_kind::same_path, alias_kind::other_spelling,
                                           alias_kind::hard_link, alias_kind::symlink_to_input));

TEST_F(single_file, full_device_output_reports_the_write_error) {
    const std::string input = dir / "in";
    write_file(input, random_bytes(100000, 8));
    run_result r = run_quillet({"-a", "http://tracker.example", input, "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "could not write destination file /dev/full: " + error_text(ENOSPC) + "\n");
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0) << "/dev/full must not be removed";
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// A device node of our own, so that a tool that wrongly unlinks its output after a
// failure damages nothing outside the temp dir.
class device_output : public single_file {
  protected:
    std::string node = dir / "device";
    bool make_node(unsigned major_number, unsigned minor_number) {
        return mknod(node.c_str(), S_IFCHR | 0666, makedev(major_number, minor_number)) == 0;
    }
    bool node_is_char_device() {
        struct stat st;
        return lstat(node.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    }
};

TEST_F(device_output, full_device_of_our_own_is_kept) {
    if (!make_node(1, 7))
        GTEST_SKIP() << "cannot create a device node: " << std::strerror(errno);
    write_file(dir / "in", random_bytes(1000, 8));
    run_result r = run_quillet({"-a", "http://tracker.example", dir / "in", node});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "could not write destination file " + node + ": " + error_text(ENOSPC) + "\n");
    EXPECT_TRUE(node_is_char_device());
}

TEST_F(device_output, null_device_is_kept_after_a_failure) {
    if (!make_node(1, 3))
        GTEST_SKIP() << "cannot create a device node: " << std::strerror(errno);
    const std::string input = dir / "missing";
    run_result r = run_quillet({"-a", "http://tracker.example", input, node});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "could not access " + input + ": " + error_text(ENOENT) + "\n");
    EXPECT_TRUE(node_is_char_device()) << "only a regular output file is removed";
}

TEST_F(device_output, null_device_as_output_succeeds) {
    if (!make_node(1, 3))
        GTEST_SKIP() << "cannot create a device node: " << std::strerror(errno);
    write_file(dir / "in", random_bytes(1000, 8));
    run_result r = run_quillet({"-a", "http://tracker.example", dir / "in", node});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, progress);
    EXPECT_TRUE(node_is_char_device());
}

// ---------------------------------------------------------------------------
// Large sparse inputs.

TEST_F(single_file, sparse_file_over_4_gib_has_its_exact_length) {
    const std::int64_t size = (std::int64_t{1} << 32) + 1;
    const int piece_length = 16 * 1024 * 1024;
    const std::string input = dir / "big.img";
    make_sparse_file(input, size);

    run_result r = run_quillet(
        {"-a", "http://tracker.example", "-l", std::to_string(piece_length), input, output},
        run_options_t{}.timeout(300));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, progress);
    EXPECT_EQ(r.err, "");

    single_file_torrent t;
    t.announce_url = default_url;
    t.length = size;
    t.name = "big.img";
    t.piece_length = piece_length;
    t.pieces = expected_zero_pieces(size, piece_length);
    // 256 full pieces and one of a single byte
    ASSERT_EQ(t.pieces.size(), 257u * 20);
    const std::string actual = read_file(output);
    EXPECT_NE(actual.find("6:lengthi4294967297e"), std::string::npos);
    EXPECT_EQ(strip_creation_date(actual), expected_single_file_torrent(t));
}

// An interrupted run removes its partial output and dies of the same signal.
class interrupted_run : public single_file, public ::testing::WithParamInterface<int> {};

TEST_P(interrupted_run, leaves_no_output) {
    const int sig = GetParam();
    const std::string input = dir / "huge.img";
    // hashing 8 GiB of zeros takes seconds: ample time for the signal to land mid-run
    make_sparse_file(input, std::int64_t{8} << 30);
    run_result r = run_quillet({"-a", "http://tracker.example", input, output},
                               run_options_t{}.send_signal_after_stdout("computing sha1... ", sig));
    ASSERT_TRUE(r.signal_sent) << "no progress text seen; stdout: " << r.out;
    EXPECT_EQ(r.status, -1) << "the tool must not exit normally; stderr: " << r.err;
    EXPECT_EQ(r.signal, sig) << strsignal(r.signal);
    EXPECT_EQ(r.out, "computing sha1... ");
    EXPECT_FALSE(path_exists(output)) << "the partial output must be removed";
}

INSTANTIATE_TEST_SUITE_P(signals, interrupted_run, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(sigabbrev_np(info.param));
                         });

TEST_F(single_file, closed_stdout_at_first_progress_text) {
    // nobody reads stdout: the flush of the progress text raises SIGPIPE
    write_file(dir / "in", random_bytes(5000, 2));
    run_result r = run_quillet({"-a", "http://tracker.example", dir / "in", output},
                               run_options_t{}.close_stdout_from_start());
    EXPECT_EQ(r.status, -1) << "stderr: " << r.err;
    EXPECT_EQ(r.signal, SIGPIPE) << strsignal(r.signal);
    EXPECT_FALSE(path_exists(output));
}

TEST_F(single_file, stdout_closed_while_hashing) {
    // the reader goes away after the first progress text: the final "done" raises SIGPIPE
    const std::string input = dir / "mid.img";
    // long enough to hash that the pipe is closed well before the end
    make_sparse_file(input, std::int64_t{256} << 20);
    run_result r = run_quillet({"-a", "http://tracker.example", input, output},
                               run_options_t{}.close_stdout_after("computing sha1... "));
    ASSERT_TRUE(r.stdout_closed) << "stdout: " << r.out;
    EXPECT_EQ(r.status, -1) << "stderr: " << r.err;
    EXPECT_EQ(r.signal, SIGPIPE) << strsignal(r.signal);
    EXPECT_FALSE(path_exists(output));
}

} // namespace
