// The read-ahead driven in-process over a scratch directory holding every kind of entry: each
// probe's results must be what a plain stat and read of the entry give, and the budget must
// count exactly what the probes hold, whichever way the probes were done: through io_uring,
// after the ring's setup failed, after the ring failed mid-run, or by the walk's own thread.

#include "support/harness.h"
#include "tree/prefetch.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using dir_handle = std::unique_ptr<DIR, int (*)(DIR *)>;

// Small files around the read-whole limit, more of them than one ring group, with one file of
// every other kind among them.
struct scratch_tree {
    harness::temp_dir tmp;
    std::string dir = tmp / "t";

    scratch_tree() {
        harness::make_dir(dir);
        const std::size_t limit = prefetch_file_limit;
        const std::vector<std::size_t> sizes = {0, 1, 4096, limit - 1, limit, limit + 1, 100000};
        for (std::size_t k = 0; k < 80; ++k) {
            harness::write_file(dir + "/f" + std::to_string(k),
                                harness::random_bytes(sizes[k % sizes.size()], k));
        }
        harness::make_dir(dir + "/sub");
        harness::write_file(dir + "/.hidden", "hidden");
        harness::write_file(dir + "/output", "the run's own output");
        EXPECT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);
        EXPECT_EQ(symlink("f1", (dir + "/link").c_str()), 0);
        EXPECT_EQ(symlink("missing", (dir + "/dangling").c_str()), 0);
    }
};

// The rule of a run that writes `output`, taking hidden files in or not.
probe_rule rule_of_run(bool inclusive, const std::string &output) {
    struct stat status = {};
    EXPECT_EQ(stat(output.c_str(), &status), 0);
    return {inclusive, {{true, status.st_dev, status.st_ino}, {}}};
}

// Lists the directory as the walk does and hands every entry over at once.
std::vector<probe_handle> hand_over_all(prefetcher &pool, DIR *dir) {
    std::vector<probe_handle> probes;
    for (const dirent *found = readdir(dir); found != nullptr; found = readdir(dir)) {
        probes.push_back(prefetch_new_probe(pool, dirfd(dir), found->d_name, found->d_type));
    }
    prefetch_submit(pool, probes);
    return probes;
}

// Checks one done probe against the entry itself; returns the bytes it should hold reserved.
std::int64_t check_probe(const std::string &dir, const entry_probe &probe, const probe_rule &rule) {
    SCOPED_TRACE(probe.name);
    EXPECT_FALSE(probe.out_of_memory);
    const std::string path = dir + "/" + probe.name;
    struct stat want = {};
    const bool exists = stat(path.c_str(), &want) == 0;
    EXPECT_EQ(probe.stat_ok, exists) << "status";
    if (!exists || !probe.stat_ok) {
        return 0;
    }
    const bool hidden = probe.name[0] == '.' && !rule.inclusive;
    const bool output =
        want.st_dev == rule.outputs.written.device && want.st_ino == rule.outputs.written.inode;
    EXPECT_EQ(probe.status.st_mode & S_IFMT, want.st_mode & S_IFMT);
    if (!(hidden && S_ISREG(want.st_mode))) { // a hidden file's status is not needed
        EXPECT_EQ(probe.status.st_size, want.st_size);
        EXPECT_EQ(probe.status.st_ino, want.st_ino);
        EXPECT_EQ(probe.status.st_dev, want.st_dev);
    }
    const bool taken_in = S_ISREG(want.st_mode) && !hidden && !output;
    if (probe.file.fd >= 0) {
        struct stat opened = {};
        EXPECT_TRUE(taken_in) << "a file the walk leaves out was kept open";
        EXPECT_EQ(fstat(probe.file.fd, &opened), 0);
        EXPECT_EQ(opened.st_ino, want.st_ino);
    }
    if (!taken_in || want.st_size > prefetch_file_limit) {
        EXPECT_EQ(probe.content, probe_content::not_read);
        EXPECT_TRUE(probe.bytes.empty());
        return 0;
    }
    EXPECT_EQ(probe.content, probe_content::read);
    EXPECT_EQ(std::string(probe.bytes.begin(), probe.bytes.end()), harness::read_file(path));
    return want.st_size + 1;
}

// How the helper threads come to do without a ring, if they do.
enum class ring_fault { none, at_setup, after_one_group, plain_calls_asked };

struct prefetch_case {
    const char *label;
    unsigned helpers;
    bool walk_helps; // the test's thread waits as the walk does, doing probes itself
    ring_fault fault;
    bool inclusive;
};

void PrintTo(const prefetch_case &c, std::ostream *out) {
    *out << c.label;
}

class read_ahead : public ::testing::TestWithParam<prefetch_case> {};

TEST_P(read_ahead, probes_match_the_entries_and_the_budget_comes_back) {
    const prefetch_case &c = GetParam();
    scratch_tree tree;
    const probe_rule rule = rule_of_run(c.inclusive, tree.dir + "/output");
    const dir_handle dir(opendir(tree.dir.c_str()), closedir);
    ASSERT_NE(dir, nullptr);
    prefetcher pool(c.helpers, rule);
    if (c.fault == ring_fault::at_setup) {
        prefetch_fail_ring_setup(pool);
    } else if (c.fault == ring_fault::after_one_group) {
        prefetch_fail_ring_after(pool, 1);
    } else if (c.fault == ring_fault::plain_calls_asked) {
        prefetch_plain_calls(pool);
    }
    std::vector<probe_handle> probes = hand_over_all(pool, dir.get());
    std::int64_t reserved = 0;
    for (const probe_handle &probe : probes) {
        if (c.walk_helps) {
            prefetch_wait(probe);
        } else {
            probe->done.wait(false, std::memory_order_acquire);
        }
        reserved += check_probe(tree.dir, *probe, rule);
    }
    const prefetch_counts held = prefetch_report(pool);
    EXPECT_EQ(held.held_bytes, reserved);
    const long groups = static_cast<long>((probes.size() + ring_group_size - 1) / ring_group_size);
    probes.clear();
    const prefetch_counts after = prefetch_report(pool);
    EXPECT_EQ(after.held_bytes, 0);
    EXPECT_EQ(after.held_files, 0);
    if (c.walk_helps || c.helpers == 0) {
        return;
    }
    if (c.fault == ring_fault::at_setup) {
        EXPECT_EQ(after.rings_set_up, 0);
        EXPECT_EQ(after.ring_groups, 0);
        EXPECT_TRUE(after.ring_given_up);
        return;
    }
    if (c.fault == ring_fault::plain_calls_asked) {
        EXPECT_EQ(after.rings_set_up, 0);
        EXPECT_EQ(after.ring_groups, 0);
        EXPECT_FALSE(after.ring_given_up);
        return;
    }
    if (after.rings_set_up == 0) {
        GTEST_SKIP() << "no io_uring here (left out of the build or refused by the system)";
    }
    const bool fails = c.fault == ring_fault::after_one_group;
    EXPECT_EQ(after.ring_groups, fails ? 1 : groups);
    EXPECT_EQ(after.ring_given_up, fails);
}

INSTANTIATE_TEST_SUITE_P(
    ways, read_ahead,
    ::testing::Values(prefetch_case{"ring", 1, false, ring_fault::none, false},
                      prefetch_case{"ring_inclusive", 1, false, ring_fault::none, true},
                      prefetch_case{"ring_setup_fails", 1, false, ring_fault::at_setup, false},
                      prefetch_case{"ring_fails_mid_run", 1, false, ring_fault::after_one_group,
                                    false},
                      prefetch_case{"plain_calls", 1, false, ring_fault::plain_calls_asked, false},
                      prefetch_case{"walk_thread_helps", 2, true, ring_fault::none, false},
                      prefetch_case{"walk_thread_only", 0, true, ring_fault::none, false}),
    [](const ::testing::TestParamInfo<prefetch_case> &info) { return info.param.label; });

// Probes given back before they are done (the walk of a directory ended early) are withdrawn or
// waited for, and give back everything they held, also while a ring fails under them.
TEST(read_ahead_abandoned, probes_given_back_early_hold_nothing) {
    scratch_tree tree;
    const probe_rule rule = rule_of_run(false, tree.dir + "/output");
    for (const bool ring_fails : {false, true}) {
        const dir_handle dir(opendir(tree.dir.c_str()), closedir);
        ASSERT_NE(dir, nullptr);
        prefetcher pool(2, rule);
        if (ring_fails) {
            prefetch_fail_ring_after(pool, 1);
        }
        hand_over_all(pool, dir.get()); // the handles go at once
        const prefetch_counts after = prefetch_report(pool);
        EXPECT_EQ(after.held_bytes, 0);
        EXPECT_EQ(after.held_files, 0);
    }
}

} // namespace
