// The command line as a user meets it: help and version output, the parser's
// refusals, the order of the run checks, and how option values reach the document.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace harness;

namespace {

const std::string help_text =
    "Usage: quillet [OPTIONS] -a announce <input file or directory> <output torrent>\n"
    "\n"
    "options:\n"
    "--announce    -a  <announceurl> : announce url\n"
    "--port        -p  <port>        : sets the port, default: 6881\n"
    "--path        -P  <path>        : sets the path on the server, default: /announce\n"
    "--piecelength -l  <piecelen>    : sets the piece length in bytes, default: 262144\n"
    "--comment     -c  <comment>     : adds an optional comment to the torrent file\n"
    "--inclusive   -i                : include hidden *nix files (starting with '.')\n"
    "--version     -V                : version of quillet\n"
    "--help        -h                : this help screen\n"
    "\n";

const std::string invalid_arguments = "Invalid arguments. Use -h for help.\n";
const std::string bad_piece_length = "piece length has to be > 0.\n";
const std::string progress = "computing sha1... done\n";

class command_line : public ::testing::Test {
  protected:
    temp_dir dir;
    std::string input = dir / "data.bin";
    std::string output = dir / "out.torrent";
    std::string content = random_bytes(3000, 7);

    void SetUp() override { write_file(input, content); }
};

// ---------------------------------------------------------------------------
// Help: printed to the byte, status 0, whatever came before it and whatever follows.

class help_request : public command_line,
                     public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(help_request, prints_the_eleven_lines_and_an_empty_line) {
    auto args = substitute(GetParam(), input, output);
    run_result r = run_quillet(args);
    EXPECT_EQ(r.status, 0) << describe(args);
    EXPECT_EQ(r.out, help_text) << describe(args);
    EXPECT_EQ(r.err, "") << describe(args);
    EXPECT_FALSE(path_exists(output)) << "help must not start a run: " << describe(args);
}

INSTANTIATE_TEST_SUITE_P(
    cases, help_request,
    ::testing::Values(std::vector<std::string>{"-h"}, std::vector<std::string>{"--help"},
                      // unambiguous abbreviation of --help
                      std::vector<std::string>{"--he"},
                      // help acts when met; the piece length is judged only afterwards
                      std::vector<std::string>{"-l", "0", "-h"},
                      std::vector<std::string>{"-p", "0", "-h"},
                      // later arguments, even unknown options, are not looked at
                      std::vector<std::string>{"-h", "-x"},
                      std::vector<std::string>{"-h", "--version"},
                      // a full run's arguments around it: still only help
                      std::vector<std::string>{"-a", "http://t", "IN", "OUT", "-h"},
                      // grouped after a flag
                      std::vector<std::string>{"-ih"}));

// ---------------------------------------------------------------------------
// Version line.

class version_request : public command_line,
                        public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(version_request, prints_one_version_line) {
    auto args = substitute(GetParam(), input, output);
    run_result r = run_quillet(args);
    EXPECT_EQ(r.status, 0) << describe(args);
    EXPECT_EQ(r.err, "") << describe(args);
    const std::string head = "quillet 1.1.4 (";
    const std::string tail = ">)\n";
    ASSERT_GE(r.out.size(), head.size() + tail.size() + 2) << r.out;
    EXPECT_EQ(r.out.substr(0, head.size()), head) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "exactly one line: " << r.out;
    // "(credit <address>)": some credit text, then an address in angle brackets
    const std::string inner = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
    const auto open = inner.find('<');
    ASSERT_NE(open, std::string::npos) << r.out;
    EXPECT_GT(open, 0u) << "credit before the address: " << r.out;
    EXPECT_LT(open + 1, inner.size()) << "address inside the brackets: " << r.out;
    EXPECT_EQ(inner.find('>'), std::string::npos) << r.out;
    EXPECT_FALSE(path_exists(output));
}

INSTANTIATE_TEST_SUITE_P(
    cases, version_request,
    ::testing::Values(std::vector<std::string>{"-V"}, std::vector<std::string>{"--version"},
                      std::vector<std::string>{"--vers"},
                      // grouped short options
                      std::vector<std::string>{"-iV"},
                      // the first of help and version wins
                      std::vector<std::string>{"-V", "-h"},
                      std::vector<std::string>{"-l", "0", "-V"},
                      std::vector<std::string>{"-a", "x", "IN", "OUT", "--version"}));

// ---------------------------------------------------------------------------
// The parser's own refusals: some diagnostic, status 1, nothing else happens.

class parser_refusal : public command_line,
                       public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(parser_refusal, reports_and_fails_without_touching_anything) {
    auto args = substitute(GetParam(), input, output);
    run_result r = run_quillet(args);
    EXPECT_EQ(r.status, 1) << describe(args);
    EXPECT_EQ(r.out, "") << "no help text, no progress: " << describe(args);
    EXPECT_NE(r.err, "") << "the parser's diagnostic: " << describe(args);
    EXPECT_EQ(r.err.find(invalid_arguments), std::string::npos) << describe(args);
    EXPECT_EQ(r.err.find(bad_piece_length), std::string::npos) << describe(args);
    EXPECT_FALSE(path_exists(output)) << describe(args);
    EXPECT_EQ(read_file(input), content);
}

INSTANTIATE_TEST_SUITE_P(cases, parser_refusal,
                         ::testing::Values(
                             // unknown short option before help: refused, no help
                             std::vector<std::string>{"-x", "-h"},
                             std::vector<std::string>{"-a", "http://t", "-x", "IN", "OUT"},
                             // unknown long option
                             std::vector<std::string>{"-a", "http://t", "--bogus", "IN", "OUT"},
                             // argument given to an option that takes none
                             std::vector<std::string>{"--help=x"},
                             std::vector<std::string>{"-a", "http://t", "--inclusive=yes", "IN",
                                                      "OUT"},
                             // ambiguous abbreviations: port/path/piecelength
                             std::vector<std::string>{"-a", "http://t", "--p", "80", "IN", "OUT"},
                             std::vector<std::string>{"-a", "http://t", "--p=80", "IN", "OUT"},
                             // missing argument at the end
                             std::vector<std::string>{"IN", "OUT", "-a"},
                             std::vector<std::string>{"-a", "http://t", "IN", "OUT", "-l"},
                             std::vector<std::string>{"-a", "http://t", "IN", "OUT", "--comment"},
                             // a refusal after an invalid piece length is still the parser's
                             std::vector<std::string>{"-l", "0", "-x"}));

// ---------------------------------------------------------------------------
// Checks after parsing, in their order: piece length first, then the required values.

struct check_case {
    std::vector<std::string> args;
    std::string message;
};

class run_check : public command_line, public ::testing::WithParamInterface<check_case> {};

TEST_P(run_check, refuses_with_its_message) {
    auto args = substitute(GetParam().args, input, output);
    run_result r = run_quillet(args);
    EXPECT_EQ(r.status, 1) << describe(args);
    EXPECT_EQ(r.err, GetParam().message) << describe(args);
    EXPECT_EQ(r.out, "") << describe(args);
    EXPECT_FALSE(path_exists(output)) << describe(args);
    EXPECT_EQ(read_file(input), content);
}

INSTANTIATE_TEST_SUITE_P(
    cases, run_check,
    ::testing::Values(
        // the piece length is judged before the missing arguments
        check_case{{"-l", "0"}, bad_piece_length}, check_case{{"-l", "0", "IN"}, bad_piece_length},
        check_case{{"-a", "http://t", "-l", "0", "IN", "OUT"}, bad_piece_length},
        // no leading digits gives 0
        check_case{{"-a", "http://t", "-l", "abc", "IN", "OUT"}, bad_piece_length},
        check_case{{"-a", "http://t", "-l", "", "IN", "OUT"}, bad_piece_length},
        check_case{{"-a", "http://t", "--piecelength=-5", "IN", "OUT"}, bad_piece_length},
        check_case{{"-a", "http://t", "-l", "-1", "IN", "OUT"}, bad_piece_length},
        // saturates at the lower 32-bit limit rather than wrapping to a positive value
        check_case{{"-a", "http://t", "-l", "-99999999999", "IN", "OUT"}, bad_piece_length},
        check_case{{"-a", "http://t", "-l", "-4294967295", "IN", "OUT"}, bad_piece_length},
        // the last one counts: a good value followed by a bad one
        check_case{{"-a", "http://t", "-l", "1024", "-l", "0", "IN", "OUT"}, bad_piece_length},
        // required values
        check_case{{}, invalid_arguments}, check_case{{"-a", "http://t"}, invalid_arguments},
        check_case{{"-a", "http://t", "IN"}, invalid_arguments},
        check_case{{"IN", "OUT"}, invalid_arguments},
        check_case{{"-c", "x", "-p", "1", "IN", "OUT"}, invalid_arguments}));

// ---------------------------------------------------------------------------
// Accepted command lines: how each option's value reaches the document.

struct accepted_case {
    std::string label;
    std::vector<std::string> args; // IN and OUT stand for the fixture's paths
    std::string announce_url;
    std::int64_t piece_length;
    bool has_comment = false;
    std::string comment;

    accepted_case(std::string label_text, std::vector<std::string> arguments, std::string url,
                  std::int64_t length, bool with_comment = false, std::string comment_text = {})
        : label(std::move(label_text)), args(std::move(arguments)), announce_url(std::move(url)),
          piece_length(length), has_comment(with_comment), comment(std::move(comment_text)) {}
};

std::string label_of(const ::testing::TestParamInfo<accepted_case> &info) {
    return info.param.label;
}

class accepted_command : public command_line,
                         public ::testing::WithParamInterface<accepted_case> {};

TEST_P(accepted_command, writes_the_expected_document) {
    const accepted_case &c = GetParam();
    auto args = substitute(c.args, input, output);
    run_result r = run_quillet(args);
    ASSERT_EQ(r.status, 0) << describe(args) << "\nstderr: " << r.err;
    EXPECT_EQ(r.out, progress);
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(path_exists(output));

    single_file_torrent t;
    t.announce_url = c.announce_url;
    t.has_comment = c.has_comment;
    t.comment = c.comment;
    t.length = static_cast<std::int64_t>(content.size());
    t.name = "data.bin";
    t.piece_length = c.piece_length;
    t.pieces = expected_pieces(content, static_cast<int>(c.piece_length));
    const std::string actual = read_file(output);
    EXPECT_EQ(strip_creation_date(actual), expected_single_file_torrent(t)) << describe(args);
    EXPECT_EQ(read_file(input), content);
}

const std::string dflt = ":6881/announce";

INSTANTIATE_TEST_SUITE_P(
    cases, accepted_command,
    ::testing::Values(
        accepted_case{
            "defaults", {"-a", "http://t.example", "IN", "OUT"}, "http://t.example" + dflt, 262144},
        accepted_case{"long_names",
                      {"--announce", "udp://t", "--port", "80", "--path", "/a", "--piecelength",
                       "1024", "--comment", "hi", "--inclusive", "IN", "OUT"},
                      "udp://t:80/a",
                      1024,
                      true,
                      "hi"},
        accepted_case{"long_names_with_equals",
                      {"--announce=http://t", "--port=1", "--path=/p", "--piecelength=512",
                       "--comment=c=d", "IN", "OUT"},
                      "http://t:1/p",
                      512,
                      true,
                      "c=d"},
        accepted_case{"abbreviations",
                      {"--ann", "http://t", "--pie=65536", "--po", "99", "--pat", "/x", "--com",
                       "z", "IN", "OUT"},
                      "http://t:99/x",
                      65536,
                      true,
                      "z"},
        accepted_case{
            "argument_attached", {"-ahttp://t", "-l65536", "IN", "OUT"}, "http://t" + dflt, 65536},
        accepted_case{"grouped_flag_and_argument",
                      {"-a", "http://t", "-il100", "IN", "OUT"},
                      "http://t" + dflt,
                      100},
        accepted_case{"positionals_first",
                      {"IN", "OUT", "-a", "http://t", "-l", "2048"},
                      "http://t" + dflt,
                      2048},
        accepted_case{"positionals_mixed",
                      {"-l", "2048", "IN", "-a", "http://t", "OUT"},
                      "http://t" + dflt,
                      2048},
        // the middle positional is ignored: the last one is the output
        accepted_case{"three_positionals",
                      {"-a", "http://t", "IN", "ignored.torrent", "OUT"},
                      "http://t" + dflt,
                      262144},
        accepted_case{"empty_announce", {"-a", "", "IN", "OUT"}, dflt, 262144},
        accepted_case{
            "double_dash", {"-a", "http://t", "--", "IN", "OUT"}, "http://t" + dflt, 262144},
        accepted_case{"last_one_wins",
                      {"-a", "http://first",
                       "-p", "1",
                       "-P", "/one",
                       "-l", "100",
                       "-c", "one",
                       "-a", "http://second",
                       "-p", "2",
                       "-P", "/two",
                       "-l", "200",
                       "-c", "two",
                       "IN", "OUT"},
                      "http://second:2/two",
                      200,
                      true,
                      "two"},
        // leading-decimal conversion of the piece length
        accepted_case{"piece_length_64k", {"-a", "t", "-l", "64k", "IN", "OUT"}, "t" + dflt, 64},
        accepted_case{"piece_length_blank_and_sign",
                      {"-a", "t", "-l", "  +700", "IN", "OUT"},
                      "t" + dflt,
                      700},
        accepted_case{"piece_length_int32_max",
                      {"-a", "t", "-l", "2147483647", "IN", "OUT"},
                      "t" + dflt,
                      2147483647},
        // beyond 32 bits the value saturates instead of wrapping (to 0, 1 or anything else)
        accepted_case{"piece_length_saturates",
                      {"-a", "t", "-l", "99999999999", "IN", "OUT"},
                      "t" + dflt,
                      2147483647},
        accepted_case{"piece_length_2_pow_32",
                      {"-a", "t", "-l", "4294967296", "IN", "OUT"},
                      "t" + dflt,
                      2147483647},
        accepted_case{"piece_length_2_pow_32_plus_1",
                      {"-a", "t", "-l", "4294967297", "IN", "OUT"},
                      "t" + dflt,
                      2147483647},
        // port texts that are not 0 stand in the URL exactly as typed
        accepted_case{"port_with_suffix",
                      {"-a", "http://t", "-p", "8080x", "IN", "OUT"},
                      "http://t:8080x/announce",
                      262144},
        accepted_case{"port_negative",
                      {"-a", "http://t", "-p", "-1", "IN", "OUT"},
                      "http://t:-1/announce",
                      262144},
        accepted_case{"port_blank_prefix",
                      {"-a", "http://t", "-p", " 7", "IN", "OUT"},
                      "http://t: 7/announce",
                      262144},
        // 2^32 would wrap to 0 without saturation and be refused
        accepted_case{"port_2_pow_32",
                      {"-a", "http://t", "-p", "4294967296", "IN", "OUT"},
                      "http://t:4294967296/announce",
                      262144},
        accepted_case{"port_huge",
                      {"-a", "http://t", "-p", "99999999999", "IN", "OUT"},
                      "http://t:99999999999/announce",
                      262144},
        // the path is joined straight to the port text
        accepted_case{"path_without_slash",
                      {"-a", "http://t", "-P", "ann", "IN", "OUT"},
                      "http://t:6881ann",
                      262144},
        accepted_case{
            "path_empty", {"-a", "http://t", "-P", "", "IN", "OUT"}, "http://t:6881", 262144},
        // comments: empty still gives the key; bytes, not characters, are counted
        accepted_case{
            "comment_empty", {"-a", "t", "-c", "", "IN", "OUT"}, "t" + dflt, 262144, true, ""},
        accepted_case{
            "comment_multibyte",
            {"-a", "t", "-c", "gr\xc3\xbc\xc3\x9f \xe2\x9c\x93 \xf0\x9f\x8e\xb5", "IN", "OUT"},
            "t" + dflt,
            262144,
            true,
            "gr\xc3\xbc\xc3\x9f \xe2\x9c\x93 \xf0\x9f\x8e\xb5"},
        // a comment that looks like document text is copied, not interpreted
        accepted_case{"comment_with_bencode_text",
                      {"-a", "t", "-c", "13:creation datei5e", "IN", "OUT"},
                      "t" + dflt,
                      262144,
                      true,
                      "13:creation datei5e"},
        accepted_case{"multibyte_announce",
                      {"-a", "http://\xc3\xa9t\xc3\xa9", "IN", "OUT"},
                      "http://\xc3\xa9t\xc3\xa9" + dflt,
                      262144}),
    label_of);

TEST_F(command_line, three_positionals_leave_the_middle_one_alone) {
    const std::string middle = dir / "middle.torrent";
    run_result r = run_quillet({"-a", "http://t", input, middle, output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(path_exists(output));
    EXPECT_FALSE(path_exists(middle));
}

TEST_F(command_line, double_dash_lets_an_input_start_with_a_dash) {
    const std::string dashed = "-data";
    write_file(dir / dashed, content);
    run_result r = run_quillet({"-a", "http://t", "--", dashed, "out.torrent"},
                               run_options_t{}.in_dir(dir.path));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, progress);
    single_file_torrent t;
    t.announce_url = "http://t" + dflt;
    t.length = static_cast<std::int64_t>(content.size());
    t.name = dashed;
    t.pieces = expected_pieces(content, 262144);
    EXPECT_EQ(strip_creation_date(read_file(dir / "out.torrent")), expected_single_file_torrent(t));
}

// ---------------------------------------------------------------------------
// Port texts that convert to 0 are refused before the output is touched.

class refused_port : public command_line, public ::testing::WithParamInterface<std::string> {};

TEST_P(refused_port, nothing_is_created) {
    run_result r = run_quillet({"-a", "http://t", "-p", GetParam(), input, output});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "invalid port number\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(path_exists(output));
}

TEST_P(refused_port, an_existing_output_is_not_touched) {
    write_file(output, "previous bytes");
    run_result r = run_quillet({"-a", "http://t", "--port=" + GetParam(), input, output});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "invalid port number\n");
    ASSERT_TRUE(path_exists(output));
    EXPECT_EQ(read_file(output), "previous bytes");
}

INSTANTIATE_TEST_SUITE_P(cases, refused_port,
                         ::testing::Values("0", "abc", "", "-0", "0x50", "000", " 0", "+0"));

TEST_F(command_line, port_check_follows_the_argument_checks) {
    // missing output: the argument check comes first
    run_result r = run_quillet({"-a", "http://t", "-p", "0", input});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, invalid_arguments);
    // bad piece length: reported before the port is looked at
    r = run_quillet({"-a", "http://t", "-p", "0", "-l", "0", input, output});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bad_piece_length);
    EXPECT_FALSE(path_exists(output));
}

} // namespace
