// Runs that meet trouble from outside: too little memory at every size between start-up and
// success, a read or a write that fails at each call in turn, and a signal at any moment. Each run
// must either write the exact document or fail cleanly: one line on standard error and status 1 (or
// death by the signal sent), with no output file left behind.

#include "support/harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using harness::run_quillet;
using harness::run_result;
using harness::temp_dir;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#else
constexpr bool address_sanitizer = false;
#endif

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * kib;

struct input_case {
    const char *label;
    bool tree;
    int piece_length;
    bool every_option = false; // every option that adds to the document or the output
};

// The options that add keys, lists and a magnet link, each of which takes memory of its own.
const std::vector<std::string> every_option = {
    "-c",        "a comment",         "--private", "--tracker", "http://u.example/a",
    "--webseed", "http://w.example/", "--source",  "SRC",       "--name",
    "renamed",   "--exclude",         "f1*",       "--sorted",  "--magnet"};

void PrintTo(const input_case &c, std::ostream *os) {
    *os << c.label;
}

// The input: one file of 40,000,000 bytes, or 300 files of about the same total, so that the
// pieces run over two full 16 MiB pieces and a partial last one.
std::string make_input(const temp_dir &scratch, bool tree) {
    if (!tree) {
        harness::write_file(scratch / "f40", harness::random_bytes(40'000'000, 40));
        return scratch / "f40";
    }
    harness::make_dir(scratch / "tree");
    for (int k = 0; k < 300; ++k) {
        const std::size_t size = 100'000 + static_cast<std::size_t>(k) * 337;
        harness::write_file(scratch / ("tree/f" + std::to_string(k)),
                            harness::random_bytes(size, 1000 + static_cast<std::uint64_t>(k)));
    }
    return scratch / "tree";
}

// The content the document says it covers, in its own order, read back from the input.
std::string content_of(const harness::bvalue &info, const std::string &input, bool tree) {
    if (!tree) {
        return harness::read_file(input);
    }
    std::string content;
    for (const harness::bvalue &file : info["files"].l) {
        content += harness::read_file(input + "/" + file["path"].l.at(0).s);
    }
    return content;
}

// A document from a run without limits, checked against digests computed here; later runs
// must reproduce it byte for byte (creation date blanked).
std::string checked_reference(const std::vector<std::string> &args, const std::string &input,
                              const std::string &output, bool tree, int piece_length) {
    const run_result run = run_quillet(args);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string torrent = harness::read_file(output);
    const harness::bvalue info = harness::bdecode(torrent)["info"];
    EXPECT_EQ(info["pieces"].s,
              harness::expected_pieces(content_of(info, input, tree), piece_length));
    return harness::strip_creation_date(torrent);
}

enum class outcome { exact, clean_failure, fault };

outcome judge(const run_result &run, const std::string &output, const std::string &reference,
              std::string &why) {
    const bool left = harness::path_exists(output);
    if (run.status == 0 && left &&
        harness::strip_creation_date(harness::read_file(output)) == reference) {
        return outcome::exact;
    }
    const bool one_line = !run.err.empty() && run.err.find('\n') == run.err.size() - 1;
    if (run.status == 1 && one_line && !left) {
        return outcome::clean_failure;
    }
    why = "status " + std::to_string(run.status) + ", signal " + std::to_string(run.signal) +
          ", output " + (left ? "left" : "absent") + ", stderr: " + run.err;
    return outcome::fault;
}

// The lowest limit, to `step`, between `low` (fails) and `high` (passes) at which `passes` holds.
template <typename predicate>
std::uint64_t lowest_passing(std::uint64_t low, std::uint64_t high, std::uint64_t step,
                             predicate passes) {
    while (high - low > step) {
        const std::uint64_t middle = low + (high - low) / 2 / step * step;
        (passes(middle) ? high : low) = middle;
    }
    return high;
}

class memory_limit : public ::testing::TestWithParam<input_case> {};

TEST_P(memory_limit, every_run_is_exact_or_fails_cleanly) {
    if (address_sanitizer) {
        GTEST_SKIP()
            << "AddressSanitizer reserves far more address space than any limit under test";
    }
    const input_case &c = GetParam();
    const temp_dir scratch;
    const std::string input = make_input(scratch, c.tree);
    const std::string output = scratch / "o.torrent";
    std::vector<std::string> args = {"-a", "http://t.example", "-l",
                                     std::to_string(c.piece_length)};
    if (c.every_option) {
        args.insert(args.end(), every_option.begin(), every_option.end());
    }
    args.insert(args.end(), {input, output});
    const std::string reference = checked_reference(args, input, output, c.tree, c.piece_length);

    const auto starts = [](std::uint64_t limit) {
        return run_quillet({"-V"}, harness::run_options_t().address_space(limit)).status == 0;
    };
    const auto succeeds = [&](std::uint64_t limit) {
        return run_quillet(args, harness::run_options_t().address_space(limit)).status == 0;
    };
    const std::uint64_t start_up = lowest_passing(0, 256 * mib, 64 * kib, starts);
    const std::uint64_t success = lowest_passing(start_up, 4096 * mib, 64 * kib, succeeds);

    // Coarse steps up to the neighbourhood of success, fine steps across it.
    std::vector<std::uint64_t> limits;
    const std::uint64_t fine_from = success > start_up + 3 * mib ? success - 3 * mib : start_up;
    for (std::uint64_t limit = start_up; limit < fine_from; limit += mib) {
        limits.push_back(limit);
    }
    for (std::uint64_t limit = fine_from; limit <= success + 3 * mib; limit += 96 * kib) {
        limits.push_back(limit);
    }
    int counts[3] = {};
    for (const std::uint64_t limit : limits) {
        std::remove(output.c_str());
        const run_result run = run_quillet(args, harness::run_options_t().address_space(limit));
        std::string why;
        const outcome seen = judge(run, output, reference, why);
        ++counts[static_cast<int>(seen)];
        EXPECT_NE(seen, outcome::fault) << "limit " << limit / kib << " KiB: " << why;
    }
    std::cout << c.label << ": " << limits.size() << " runs from " << start_up / kib << " to "
              << (success + 3 * mib) / kib << " KiB: " << counts[0] << " exact, " << counts[1]
              << " clean failures, " << counts[2] << " faults\n";
}

INSTANTIATE_TEST_SUITE_P(inputs, memory_limit,
                         ::testing::Values(input_case{"file_256k", false, 262144},
                                           input_case{"file_16m", false, 16777216},
                                           input_case{"tree_256k", true, 262144},
                                           input_case{"tree_16m", true, 16777216},
                                           input_case{"file_every_option", false, 262144, true},
                                           input_case{"tree_every_option", true, 262144, true}),
                         [](const auto &info) { return std::string(info.param.label); });

class early_signal : public ::testing::TestWithParam<int> {};

// The output is created within the first milliseconds; a signal may come before, during or
// after that, but never leaves an output behind.
TEST_P(early_signal, leaves_the_exact_document_or_nothing) {
    const int sig = GetParam();
    const temp_dir scratch;
    harness::write_file(scratch / "in", harness::random_bytes(8 * mib, 8));
    const std::string output = scratch / "o.torrent";
    const std::vector<std::string> args = {"-a", "http://t.example", scratch / "in", output};
    const std::string reference = checked_reference(args, scratch / "in", output, false, 262144);

    std::mt19937 rng(static_cast<unsigned>(sig));
    std::uniform_int_distribution<long> delay_us(500, 3000);
    int completed = 0;
    int killed = 0;
    for (int k = 0; k < 150; ++k) {
        std::remove(output.c_str());
        const long delay = delay_us(rng);
        const run_result run =
            run_quillet(args, harness::run_options_t().signal_after_us(delay, sig));
        const bool left = harness::path_exists(output);
        if (run.status == 0) {
            ++completed;
            EXPECT_EQ(harness::strip_creation_date(harness::read_file(output)), reference)
                << "after " << delay << " us";
        } else {
            ++killed;
            EXPECT_EQ(run.signal, sig) << "after " << delay << " us: " << run.err;
            EXPECT_FALSE(left) << "output left by a signal after " << delay << " us";
        }
    }
    std::cout << strsignal(sig) << ": " << completed << " runs completed, " << killed
              << " ended by the signal\n";
}

INSTANTIATE_TEST_SUITE_P(signals, early_signal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

struct signal_case {
    int signal;
    bool tree;
};

void PrintTo(const signal_case &c, std::ostream *os) {
    *os << sigabbrev_np(c.signal) << (c.tree ? "_tree" : "_file");
}

class signal_at_random : public ::testing::TestWithParam<signal_case> {};

// A signal at a moment drawn from the whole length of a run (seeded). A guarded signal ends the
// run with no output and no temporary file; SIGKILL cannot be caught, but leaves at the output
// path the older document or the whole new one, never a part: only the temporary file may stay.
TEST_P(signal_at_random, leaves_a_whole_document_or_none) {
    const signal_case &c = GetParam();
    const temp_dir scratch;
    std::string input;
    if (c.tree) {
        harness::make_dir(scratch / "tree");
        for (int k = 0; k < 40; ++k) {
            harness::write_file(scratch / ("tree/f" + std::to_string(k)),
                                harness::random_bytes(100'000, 70 + static_cast<unsigned>(k)));
        }
        input = scratch / "tree";
    } else {
        harness::write_file(scratch / "in", harness::random_bytes(4 * mib, 4));
        input = scratch / "in";
    }
    harness::make_dir(scratch / "out");
    const std::string output = scratch / "out/o.torrent";
    const std::vector<std::string> args = {"-a", "http://t.example", input, output};
    const std::string reference = checked_reference(args, input, output, c.tree, 262144);
    // The moments are drawn from the length of an undisturbed run, the first one not counted.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run_quillet(args).status, 0);
    const long span_us = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::steady_clock::now() - started)
                                               .count());
    const std::string older = "d3:old8:documente";

    std::mt19937 rng(static_cast<unsigned>(c.signal * 2 + (c.tree ? 1 : 0)));
    std::uniform_int_distribution<long> delay_us(0, span_us);
    int counts[3] = {}; // completed, ended by the signal, left the temporary file
    for (int k = 0; k < 30; ++k) {
        harness::remove_tree(output);
        for (const std::string &name : harness::temporary_files_in(scratch / "out")) {
            harness::remove_tree(scratch / ("out/" + name));
        }
        if (c.signal == SIGKILL) {
            harness::write_file(output, older);
        }
        const long delay = delay_us(rng);
        const run_result run =
            run_quillet(args, harness::run_options_t().signal_after_us(delay, c.signal));
        const bool left = harness::path_exists(output);
        const std::string content = left ? harness::read_file(output) : std::string();
        const bool temporary = !harness::temporary_files_in(scratch / "out").empty();
        counts[2] += temporary ? 1 : 0;
        if (run.status == 0) {
            ++counts[0];
            EXPECT_EQ(harness::strip_creation_date(content), reference) << "after " << delay;
            EXPECT_FALSE(temporary) << "after " << delay << " us";
            continue;
        }
        ++counts[1];
        EXPECT_EQ(run.signal, c.signal) << "after " << delay << " us: " << run.err;
        if (c.signal != SIGKILL) {
            EXPECT_FALSE(left) << "output left by a signal after " << delay << " us";
            EXPECT_FALSE(temporary) << "temporary file left after " << delay << " us";
        } else if (content != older) {
            EXPECT_EQ(harness::strip_creation_date(content), reference)
                << "partial output after " << delay << " us";
        }
    }
    std::cout << sigabbrev_np(c.signal) << (c.tree ? " tree" : " file") << ": 30 runs over "
              << span_us << " us: " << counts[0] << " completed, " << counts[1]
              << " ended by the signal, " << counts[2] << " left the temporary file\n";
}

INSTANTIATE_TEST_SUITE_P(signals, signal_at_random,
                         ::testing::Values(signal_case{SIGINT, false}, signal_case{SIGTERM, true},
                                           signal_case{SIGHUP, false}, signal_case{SIGPIPE, true},
                                           signal_case{SIGKILL, false}, signal_case{SIGKILL, true},
                                           signal_case{SIGINT, true}, signal_case{SIGPIPE, false},
                                           signal_case{SIGTERM, false}, signal_case{SIGHUP, true}),
                         [](const auto &info) {
                             return std::string(sigabbrev_np(info.param.signal)) +
                                    (info.param.tree ? "_tree" : "_file");
                         });

// Files of the tree are grown, cut back and replaced while it is hashed. Every state a file
// goes through starts with the same bytes (the longer one only adds a tail), so a document is
// right exactly when its digests are those of each file's first `length` bytes; otherwise the
// run must say which file changed.
TEST(changing_tree, document_agrees_with_itself_or_names_the_file) {
    const temp_dir scratch;
    harness::make_dir(scratch / "tree");
    constexpr int file_count = 24;
    std::vector<std::string> longest(file_count);
    std::vector<std::size_t> shorter(file_count);
    for (int k = 0; k < file_count; ++k) {
        shorter[k] = 60'000 + static_cast<std::size_t>(k) * 1'000;
        longest[k] = harness::random_bytes(shorter[k] + 9'000, 900 + static_cast<unsigned>(k));
        harness::write_file(scratch / ("tree/f" + std::to_string(k)),
                            longest[k].substr(0, shorter[k]));
    }
    const std::string output = scratch / "o.torrent";
    const std::vector<std::string> args = {"-a", "http://t.example", scratch / "tree", output};

    std::atomic<bool> running{true};
    std::thread mutator([&] {
        std::mt19937 rng(77);
        while (running.load()) {
            const auto k = static_cast<int>(rng() % file_count);
            const std::string path = scratch / ("tree/f" + std::to_string(k));
            const std::size_t size = rng() % 2 == 0 ? shorter[k] : longest[k].size();
            if (rng() % 3 == 0) { // replaced by a new file of that size
                harness::write_file(scratch / "staged", longest[k].substr(0, size));
                std::rename((scratch / "staged").c_str(), path.c_str());
            } else { // grown or cut back in place
                harness::write_file(path, longest[k].substr(0, size));
            }
        }
    });
    int consistent = 0;
    int changed = 0;
    for (int run_number = 0; run_number < 25; ++run_number) {
        std::remove(output.c_str());
        const run_result run = run_quillet(args);
        if (run.status != 0) {
            ++changed;
            EXPECT_EQ(run.status, 1);
            EXPECT_TRUE(run.err.rfind("file ", 0) == 0 &&
                        run.err.find(" changed while being read\n") != std::string::npos)
                << run.err;
            EXPECT_FALSE(harness::path_exists(output));
            continue;
        }
        ++consistent;
        const harness::bvalue info = harness::bdecode(harness::read_file(output))["info"];
        std::string content;
        for (const harness::bvalue &file : info["files"].l) {
            const int k = std::stoi(file["path"].l.at(0).s.substr(1));
            content += longest[k].substr(0, static_cast<std::size_t>(file["length"].i));
        }
        EXPECT_EQ(info["pieces"].s, harness::expected_pieces(content, 262144))
            << "run " << run_number << " disagrees with itself";
    }
    running.store(false);
    mutator.join();
    EXPECT_TRUE(harness::temporary_files_in(scratch.path).empty());
    std::cout << "changing tree: 25 runs, " << consistent << " consistent documents, " << changed
              << " reported a changed file\n";
}

// An environment variable set for the runs of one scope; the child inherits it.
struct scoped_env {
    std::string name;
    scoped_env(std::string variable, const std::string &value) : name(std::move(variable)) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    ~scoped_env() { unsetenv(name.c_str()); }
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;
};

struct fault_case {
    const char *label;
    bool tree;
    bool write; // a failing write to the output, else a failing read of the input
};

void PrintTo(const fault_case &c, std::ostream *os) {
    *os << c.label;
}

// A file of 600,000 bytes, or a tree of files over and under the read-ahead's whole-file size.
std::string make_small_input(const temp_dir &scratch, bool tree) {
    if (!tree) {
        harness::write_file(scratch / "f", harness::random_bytes(600'000, 6));
        return scratch / "f";
    }
    harness::make_dir(scratch / "tree");
    for (int k = 0; k < 9; ++k) {
        const std::size_t size = k < 6 ? 20'000 + static_cast<std::size_t>(k) * 7'000 : 3'000;
        harness::write_file(scratch / ("tree/f" + std::to_string(k)),
                            harness::random_bytes(size, 500 + static_cast<std::uint64_t>(k)));
    }
    return scratch / "tree";
}

class failing_call : public ::testing::TestWithParam<fault_case> {};

// The n-th counted call fails, for n = 1, 2, ... until a run no longer reaches the n-th call;
// that run must be exact, every earlier one a clean failure that names the reason.
TEST_P(failing_call, every_run_is_exact_or_names_the_failure) {
    const fault_case &c = GetParam();
    const temp_dir scratch;
    const std::string input = make_small_input(scratch, c.tree);
    harness::make_dir(scratch / "out");
    const std::string output = scratch / "out/o.torrent";
    const std::vector<std::string> args = {"-a", "http://t.example", input, output};
    const std::string reference = checked_reference(args, input, output, c.tree, 262144);
    const int error = c.write ? ENOSPC : EIO;
    const std::string prefix = c.write ? scratch / "out/" : input;
    const std::string reason = ": " + harness::error_text(error) + "\n";
    const std::string log = scratch / "injected";

    const scoped_env preload("LD_PRELOAD", FAULT_INJECT_LIBRARY);
    const scoped_env sanitizer("ASAN_OPTIONS", "verify_asan_link_order=0");
    const scoped_env marker("QUILLET_FAULT_LOG", log);
    int failures = 0;
    bool finished = false;
    for (int call = 1; call <= 400 && !finished; ++call) {
        std::remove(output.c_str());
        std::remove(log.c_str());
        const scoped_env fault("QUILLET_FAULT", std::string(c.write ? "write " : "read ") +
                                                    std::to_string(call) + " " +
                                                    std::to_string(error) + " " + prefix);
        const run_result run = run_quillet(args);
        std::string why;
        const outcome seen = judge(run, output, reference, why);
        EXPECT_TRUE(harness::temporary_files_in(scratch / "out").empty()) << "call " << call;
        if (!harness::path_exists(log)) {
            EXPECT_EQ(seen, outcome::exact) << "call " << call << " never made: " << why;
            finished = true;
            continue;
        }
        ++failures;
        EXPECT_EQ(seen, outcome::clean_failure) << "call " << call << ": " << why;
        const std::string expected_start =
            c.write ? "could not write destination file " + output : "could not read file ";
        EXPECT_EQ(run.err.rfind(expected_start, 0), 0U) << "call " << call << ": " << run.err;
        EXPECT_TRUE(run.err.size() > reason.size() &&
                    run.err.compare(run.err.size() - reason.size(), reason.size(), reason) == 0)
            << "call " << call << ": " << run.err;
    }
    EXPECT_TRUE(finished) << "the sweep did not reach the end of the run";
    std::cout << c.label << ": " << failures + (finished ? 1 : 0) << " runs, " << failures
              << " clean failures, " << (finished ? 1 : 0) << " exact\n";
}

INSTANTIATE_TEST_SUITE_P(calls, failing_call,
                         ::testing::Values(fault_case{"write_file", false, true},
                                           fault_case{"write_tree", true, true},
                                           fault_case{"read_file", false, false},
                                           fault_case{"read_tree", true, false}),
                         [](const auto &info) { return std::string(info.param.label); });

// Large files are read in batches of whole pieces and, for long pieces, in lane groups that read
// each piece by offset; or, where mappings were measured cheaper, hashed from 2 MiB-aligned
// mappings of both (the choice forced here). The digests must be those of the content whatever
// the piece length and wherever the file starts in the content; a mapping refused means reading
// instead; and a file cut short or grown while it is read or mapped must end the run as a changed
// file, not by SIGBUS.
struct large_file_case {
    const char *label;
    const char *source; // "read" or "mapped"
    bool tree;          // the large file after a small one, so that its pieces start unaligned
    int piece_length;
    std::size_t size;  // of the large file
    std::string fault; // "KIND N VALUE" for the large file, or empty
    bool changed;      // the run must report the large file as changed
};

void PrintTo(const large_file_case &c, std::ostream *os) {
    *os << c.label;
}

class large_file : public ::testing::TestWithParam<large_file_case> {};

constexpr std::size_t large_size = 64 * mib + 300'001;

TEST_P(large_file, hashes_as_read_or_reports_the_change) {
    const large_file_case &c = GetParam();
    static const std::string large = harness::random_bytes(large_size, 64);
    const temp_dir scratch;
    std::string input = scratch / "large";
    std::string large_path = input;
    if (c.tree) {
        input = scratch / "tree";
        large_path = input + "/b";
        harness::make_dir(input);
        harness::write_file(input + "/a", harness::random_bytes(1'000, 1));
        harness::write_file(input + "/c", harness::random_bytes(5'000, 3));
    }
    harness::write_file(large_path, large.substr(0, c.size));
    const std::string output = scratch / "o.torrent";
    const std::string log = scratch / "fault.log";
    const scoped_env preload("LD_PRELOAD", FAULT_INJECT_LIBRARY);
    const scoped_env sanitizer("ASAN_OPTIONS", "verify_asan_link_order=0");
    const scoped_env marker("QUILLET_FAULT_LOG", log);
    const scoped_env fault("QUILLET_FAULT", c.fault + " " + large_path);
    const scoped_env source("QUILLET_CONTENT_SOURCE", c.source);
    const run_result run = run_quillet({"-a", "http://t.example", "--sorted", "-l",
                                        std::to_string(c.piece_length), input, output});
    EXPECT_EQ(harness::path_exists(log), !c.fault.empty()) << "the fault was not made";
    if (c.changed) {
        EXPECT_EQ(run.status, 1) << "signal " << run.signal;
        EXPECT_EQ(run.err, "file " + large_path + " changed while being read\n");
        EXPECT_FALSE(harness::path_exists(output));
        return;
    }
    ASSERT_EQ(run.status, 0) << run.err;
    const harness::bvalue info = harness::bdecode(harness::read_file(output))["info"];
    EXPECT_EQ(info["pieces"].s,
              harness::expected_pieces(content_of(info, input, c.tree), c.piece_length));
}

std::string fault(const char *kind, int call, std::size_t value) {
    return std::string(kind) + " " + std::to_string(call) + " " + std::to_string(value);
}

std::string resize(int read_number, std::size_t length) {
    return fault("resize", read_number, length);
}

INSTANTIATE_TEST_SUITE_P(
    cases, large_file,
    ::testing::Values(
        large_file_case{"file_256k", "read", false, 262144, large_size, "", false},
        large_file_case{"file_16k", "read", false, 16384, large_size, "", false},
        large_file_case{"tree_1m", "read", true, 1048576, large_size, "", false},
        large_file_case{"cut_to_nothing", "read", false, 262144, large_size, resize(1, 0), true},
        large_file_case{"cut_halfway", "read", false, 262144, 64 * mib, resize(8, 62 * mib), true},
        large_file_case{"cut_in_a_tree", "read", true, 1048576, 48 * mib - 1'000,
                        resize(2, 46 * mib), true},
        large_file_case{"grown", "read", false, 262144, large_size, resize(3, large_size + 1),
                        true},
        // 4 MiB pieces go to a lane group, whose 16 lanes read 256 KiB of their pieces a round.
        large_file_case{"lanes_4m", "read", true, 4 * mib, large_size, "", false},
        large_file_case{"lanes_cut_midway", "read", false, 4 * mib, large_size,
                        resize(32, 24 * mib), true},
        large_file_case{"lanes_cut_in_the_last_rounds", "read", false, 4 * mib, 64 * mib,
                        resize(200, 62 * mib), true},
        // Batches of 4 MiB mapped whole; in a tree the file's windows start off the 2 MiB grid
        // of the content, and each lane of a group maps 2 MiB of its piece at a time.
        large_file_case{"mapped_256k", "mapped", false, 262144, large_size, "", false},
        large_file_case{"mapped_tree_1m", "mapped", true, 1048576, large_size, "", false},
        large_file_case{"mapped_lanes_4m", "mapped", true, 4 * mib, large_size, "", false},
        large_file_case{"first_mapping_refused", "mapped", false, 262144, large_size,
                        fault("map", 1, ENOMEM), false},
        large_file_case{"lanes_refused_midway", "mapped", false, 4 * mib, large_size,
                        fault("map", 9, ENOMEM), false},
        // Nothing is read after the last windows: only their lost pages tell the cut.
        large_file_case{"cut_under_the_last_window", "mapped", false, 262144, 64 * mib,
                        fault("resize_map", 16, 63 * mib), true},
        large_file_case{"lanes_cut_under_the_last_windows", "mapped", false, 4 * mib, 64 * mib,
                        fault("resize_map", 32, 62 * mib), true}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
