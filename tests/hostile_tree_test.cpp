// Trees made to trip a walk: names with every byte a name may hold, names of the longest length,
// very many entries in one directory, and links that loop. Each run must succeed with a document
// that agrees with itself: its digests are those of the files it lists, read back by the paths
// it gives.
#include "support/harness.h"
#include "support/walk_model.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace harness;

namespace {

struct hostile_case {
    const char *label;
    std::function<void(const std::string &)> build; // fills the (existing) input directory
    bool exact_model;                               // the walk model predicts the whole run
};

void PrintTo(const hostile_case &c, std::ostream *os) {
    *os << c.label;
}

// One file per byte value 1-255 but '/', named by that byte ("." becomes ".x"), each holding
// its own name.
void every_byte_names(const std::string &dir) {
    for (int value = 1; value < 256; ++value) {
        if (value == '/') {
            continue;
        }
        const std::string name = value == '.' ? ".x" : std::string(1, static_cast<char>(value));
        write_file(std::string(dir).append("/").append(name), name);
    }
    write_file(dir + "/\xff\xfe\xc0 not utf-8", "bytes");
}

void longest_names(const std::string &dir) {
    const std::string longest(255, 'n');
    make_dir(dir + "/" + longest);
    write_file(dir + "/" + longest + "/" + std::string(255, 'f'), random_bytes(3000, 1));
    write_file(dir + "/" + std::string(254, 'g') + "\n", random_bytes(70000, 2));
}

void looping_links(const std::string &dir) {
    make_dir(dir + "/d");
    write_file(dir + "/d/f", "content");
    EXPECT_EQ(symlink("..", (dir + "/d/up").c_str()), 0);
    EXPECT_EQ(symlink("self", (dir + "/self").c_str()), 0);
    EXPECT_EQ(symlink("b", (dir + "/a").c_str()), 0);
    EXPECT_EQ(symlink("a", (dir + "/b").c_str()), 0);
}

// Many entries in one directory, every tenth one holding a byte.
void crowded_directory(const std::string &dir) {
    for (int k = 0; k < 100'000; ++k) {
        const std::string path = dir + "/e" + std::to_string(k);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << path;
        if (k % 10 == 0) {
            EXPECT_EQ(write(fd, "z", 1), 1);
        }
        close(fd);
    }
}

// The largest resident size of any child reaped so far, in bytes. The figures below are those of
// this case's runs when the case runs in a process of its own, as CTest runs it.
long children_peak_rss() {
    struct rusage usage = {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss * 1024;
}

class hostile_tree : public ::testing::TestWithParam<hostile_case> {};

TEST_P(hostile_tree, document_agrees_with_the_files_it_lists) {
    const hostile_case &c = GetParam();
    const temp_dir scratch;
    const std::string input = scratch / "in";
    make_dir(input);
    c.build(input);
    // A run over a tree of one file first, so that the memory the tree takes can be told apart.
    make_dir(scratch / "one");
    write_file(scratch / "one/f", "f");
    EXPECT_EQ(run_quillet({"-a", "http://t.example", scratch / "one", scratch / "o"}).status, 0);
    const long baseline_rss = children_peak_rss();
    const run_result run = run_quillet({"-i", "-a", "http://t.example", input, scratch / "o"},
                                       run_options_t().timeout(300));
    ASSERT_EQ(run.status, 0) << run.err.substr(0, 2000);
    const std::string torrent = read_file(scratch / "o");
    const bvalue info = bdecode(torrent)["info"];
    std::string content;
    for (const bvalue &file : info["files"].l) {
        std::string path = input;
        for (const bvalue &component : file["path"].l) {
            path += "/" + component.s;
        }
        const std::string bytes = read_file(path);
        EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), file["length"].i) << path;
        content += bytes;
    }
    EXPECT_EQ(info["pieces"].s, expected_pieces(content, 262144));
    if (c.exact_model) {
        walk_rules rules;
        rules.inclusive = true;
        const expected_walk walk = model_walk(input, rules);
        directory_torrent expected;
        expected.announce_url = "http://t.example:6881/announce";
        expected.files = walk.files;
        expected.name = "in";
        expected.pieces = expected_pieces(concatenated(walk.files), 262144);
        EXPECT_EQ(strip_creation_date(torrent), expected_directory_torrent(expected));
        EXPECT_EQ(run.out, walk.out);
    }
    const std::size_t files = info["files"].l.size();
    const long tree_rss = children_peak_rss() - baseline_rss;
    if (files >= 10'000) {
        EXPECT_LT(tree_rss / static_cast<long>(files), 1024) << "memory grows with the tree";
    }
    std::cout << c.label << ": " << files << " files in the document, peak RSS " << tree_rss / 1024
              << " KiB above a one-file tree ("
              << tree_rss / static_cast<long>(files == 0 ? 1 : files) << " bytes per file)\n";
}

INSTANTIATE_TEST_SUITE_P(trees, hostile_tree,
                         ::testing::Values(hostile_case{"every_byte_names", every_byte_names, true},
                                           hostile_case{"longest_names", longest_names, true},
                                           hostile_case{"looping_links", looping_links, false},
                                           hostile_case{"crowded_directory", crowded_directory,
                                                        false}),
                         [](const auto &info) { return std::string(info.param.label); });

// Content of file `f` in directory `d` of the churned tree: always the same for the same name.
std::string churned_content(int d, int f) {
    return random_bytes(20'000 + static_cast<std::size_t>(f) * 3'000,
                        static_cast<std::uint64_t>(d) * 100 + static_cast<std::uint64_t>(f));
}

void make_churned_directory(const std::string &path, int d) {
    make_dir(path);
    for (int f = 0; f < 5; ++f) {
        write_file(path + "/f" + std::to_string(f), churned_content(d, f));
    }
}

// Directories are removed and made again, or made unreadable and readable again, while the
// tree is walked: the run goes on past them, and its digests are those of what it lists (or it
// names a file caught while being written again).
TEST(hostile_tree, directories_removed_or_closed_mid_walk) {
    if (!can_drop_privileges()) {
        GTEST_SKIP() << "needs root and setpriv: a directory closed to root is still open to it";
    }
    const temp_dir scratch;
    make_dir(scratch / "out", 0777);
    const std::string input = scratch / "in";
    make_dir(input);
    constexpr int directory_count = 12;
    for (int d = 0; d < directory_count; ++d) {
        make_churned_directory(input + "/d" + std::to_string(d), d);
    }
    std::atomic<bool> running{true};
    std::thread churn([&] {
        std::mt19937 rng(5);
        while (running.load()) {
            const auto d = static_cast<int>(rng() % directory_count);
            const std::string path = input + "/d" + std::to_string(d);
            if (rng() % 2 == 0) {
                remove_tree(path);
                make_churned_directory(path, d);
            } else {
                chmod(path.c_str(), 0);
                chmod(path.c_str(), 0755);
            }
        }
    });
    int runs_listing_fewer = 0;
    int runs_failed = 0;
    for (int run_number = 0; run_number < 20; ++run_number) {
        const run_result run = run_quillet({"-a", "http://t.example", input, scratch / "out/o"},
                                           run_options_t().as_nobody());
        if (run.status != 0) {
            // A file caught while it was being written again.
            EXPECT_NE(run.err.find(" changed while being read\n"), std::string::npos) << run.err;
            EXPECT_FALSE(path_exists(scratch / "out/o"));
            ++runs_failed;
            continue;
        }
        const bvalue info = bdecode(read_file(scratch / "out/o"))["info"];
        std::string content;
        for (const bvalue &file : info["files"].l) {
            // A file is written front to back: what a run read of it is a prefix of its content.
            content += churned_content(std::stoi(file["path"].l.at(0).s.substr(1)),
                                       std::stoi(file["path"].l.at(1).s.substr(1)))
                           .substr(0, static_cast<std::size_t>(file["length"].i));
        }
        EXPECT_EQ(info["pieces"].s, expected_pieces(content, 262144)) << "run " << run_number;
        runs_listing_fewer += info["files"].l.size() < std::size_t{5} * directory_count ? 1 : 0;
    }
    running.store(false);
    churn.join();
    std::cout << "churned tree: 20 runs, " << runs_failed << " reported a changed file, "
              << runs_listing_fewer << " listed fewer files than the tree holds at rest\n";
}

} // namespace
