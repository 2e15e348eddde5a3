// How the document reaches the output path: written beside it and renamed over it when whole, so
// that the path never shows a part of it; written in place where a rename would lose something
// (other hard links, a directory that takes no new file); written directly to a device.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace harness;

namespace {

const std::string old_document = "d3:old8:documente";

std::vector<std::string> run_args(const std::string &input, const std::string &output) {
    return {"-a", "http://t.example", input, output};
}

struct stat status_of(const std::string &path, bool follow = true) {
    struct stat status = {};
    EXPECT_EQ(follow ? stat(path.c_str(), &status) : lstat(path.c_str(), &status), 0) << path;
    return status;
}

mode_t process_umask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Whatever is at `path` now, or "" when nothing is.
std::string current_content(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

void expect_document_of(const std::string &torrent, const std::string &name) {
    bvalue document;
    std::string error;
    ASSERT_TRUE(try_bdecode(torrent, document, error)) << error;
    EXPECT_EQ(document["info"]["name"].s, name);
}

// While a large input is hashed, the output path is read over and over: every read shows the
// old document or the whole new one.
TEST(output_file, path_shows_the_old_document_or_the_whole_new_one) {
    const temp_dir dir;
    make_sparse_file(dir / "big", 768LL << 20);
    const std::string output = dir / "o.torrent";
    write_file(output, old_document);
    std::atomic<bool> running{true};
    int reads = 0;
    int old_reads = 0;
    std::vector<std::string> other_contents; // each different one once
    bool temporary_seen = false;
    std::thread watcher([&] {
        while (running.load()) {
            std::string content = current_content(output);
            ++reads;
            if (content == old_document) {
                ++old_reads;
            } else if (other_contents.empty() || other_contents.back() != content) {
                other_contents.push_back(std::move(content));
            }
            temporary_seen = temporary_seen || !temporary_files_in(dir.path).empty();
        }
    });
    const run_result run = run_quillet(run_args(dir / "big", output));
    running.store(false);
    watcher.join();
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string final_document = read_file(output);
    expect_document_of(final_document, "big");
    for (const std::string &content : other_contents) {
        EXPECT_EQ(content, final_document)
            << "a read of " << content.size() << " bytes saw a partial document";
    }
    EXPECT_GT(old_reads, 0) << "the run ended before the watcher saw anything";
    EXPECT_TRUE(temporary_seen) << "the document was not written beside the output";
    EXPECT_TRUE(temporary_files_in(dir.path).empty());
    std::cout << reads << " reads of the output path during the run\n";
}

// Each layout is set up in a fresh directory, run once, and checked.
struct layout_case {
    const char *label;
    std::function<std::string(const temp_dir &)> set_up; // returns the output path to give
    std::function<void(const temp_dir &, const std::string &)> check;
};

void PrintTo(const layout_case &c, std::ostream *os) {
    *os << c.label;
}

class output_layout : public ::testing::TestWithParam<layout_case> {};

TEST_P(output_layout, document_lands_where_it_belongs) {
    const temp_dir dir;
    write_file(dir / "in", random_bytes(70000, 7));
    const std::string output = GetParam().set_up(dir);
    const run_result run = run_quillet(run_args(dir / "in", output));
    ASSERT_EQ(run.status, 0) << run.err;
    GetParam().check(dir, output);
    EXPECT_TRUE(temporary_files_in(dir.path).empty());
    EXPECT_TRUE(temporary_files_in(dir / "real").empty());
}

std::string linked_output(const temp_dir &dir, bool target_exists) {
    make_dir(dir / "real");
    if (target_exists) {
        write_file(dir / "real/t.torrent", old_document);
        chmod((dir / "real/t.torrent").c_str(), 0640);
    }
    EXPECT_EQ(symlink("real/t.torrent", (dir / "link.torrent").c_str()), 0);
    return dir / "link.torrent";
}

void expect_link_kept(const temp_dir &dir, const std::string &output) {
    EXPECT_TRUE(S_ISLNK(status_of(output, false).st_mode)) << "the link was replaced";
    expect_document_of(read_file(dir / "real/t.torrent"), "in");
}

INSTANTIATE_TEST_SUITE_P(
    layouts, output_layout,
    ::testing::Values(
        layout_case{"new_output_gets_the_usual_mode",
                    [](const temp_dir &dir) { return dir / "o.torrent"; },
                    [](const temp_dir &, const std::string &output) {
                        expect_document_of(read_file(output), "in");
                        EXPECT_EQ(status_of(output).st_mode & 07777, 0666 & ~process_umask());
                    }},
        layout_case{"replaced_output_keeps_its_mode",
                    [](const temp_dir &dir) {
                        write_file(dir / "o.torrent", old_document);
                        chmod((dir / "o.torrent").c_str(), 0604);
                        return dir / "o.torrent";
                    },
                    [](const temp_dir &, const std::string &output) {
                        expect_document_of(read_file(output), "in");
                        EXPECT_EQ(status_of(output).st_mode & 07777, 0604U);
                    }},
        layout_case{"link_to_an_existing_file_stays_a_link",
                    [](const temp_dir &dir) { return linked_output(dir, true); },
                    [](const temp_dir &dir, const std::string &output) {
                        expect_link_kept(dir, output);
                        EXPECT_EQ(status_of(dir / "real/t.torrent").st_mode & 07777, 0640U);
                    }},
        layout_case{"dangling_link_gets_its_target_made",
                    [](const temp_dir &dir) { return linked_output(dir, false); },
                    expect_link_kept},
        layout_case{"hard_linked_output_is_written_in_place",
                    [](const temp_dir &dir) {
                        write_file(dir / "o.torrent", old_document);
                        EXPECT_EQ(link((dir / "o.torrent").c_str(), (dir / "other").c_str()), 0);
                        return dir / "o.torrent";
                    },
                    [](const temp_dir &dir, const std::string &output) {
                        EXPECT_TRUE(is_same_file(output, dir / "other"));
                        expect_document_of(read_file(dir / "other"), "in");
                    }},
        layout_case{"name_too_long_for_a_temporary_file_is_written_in_place",
                    [](const temp_dir &dir) {
                        write_file(dir / std::string(250, 'o'), old_document);
                        return dir / std::string(250, 'o');
                    },
                    [](const temp_dir &, const std::string &output) {
                        expect_document_of(read_file(output), "in");
                    }},
        layout_case{"device_is_written_directly",
                    [](const temp_dir &) { return std::string("/dev/null"); },
                    [](const temp_dir &, const std::string &output) {
                        EXPECT_TRUE(S_ISCHR(status_of(output).st_mode));
                    }}),
    [](const auto &info) { return std::string(info.param.label); });

// A run that fails removes the output path (a link itself, not what it points to) and leaves no
// temporary file; the file a link points to keeps its old content.
TEST(output_file, failed_run_leaves_no_output_and_no_temporary_file) {
    const temp_dir dir;
    make_dir(dir / "real");
    write_file(dir / "real/t.torrent", old_document);
    ASSERT_EQ(symlink("real/t.torrent", (dir / "link.torrent").c_str()), 0);
    write_file(dir / "o.torrent", old_document);
    for (const std::string &output : {dir / "o.torrent", dir / "link.torrent"}) {
        const run_result run = run_quillet(run_args(dir / "missing", output));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err,
                  "could not access " + (dir / "missing") + ": " + error_text(ENOENT) + "\n");
        EXPECT_FALSE(path_exists(output));
    }
    EXPECT_EQ(read_file(dir / "real/t.torrent"), old_document);
    EXPECT_TRUE(temporary_files_in(dir.path).empty());
    EXPECT_TRUE(temporary_files_in(dir / "real").empty());
}

// The output lies in the tree it describes, hidden files included: neither the older output nor
// the file the new document is written to is taken into the document.
TEST(output_file, output_inside_the_tree_is_left_out) {
    const temp_dir dir;
    make_dir(dir / "tree");
    write_file(dir / "tree/a", random_bytes(5000, 1));
    write_file(dir / "tree/.b", random_bytes(3000, 2));
    write_file(dir / "tree/o.torrent", old_document);
    const run_result run =
        run_quillet({"-i", "-a", "http://t.example", dir / "tree", dir / "tree/o.torrent"});
    ASSERT_EQ(run.status, 0) << run.err;
    const bvalue document = bdecode(read_file(dir / "tree/o.torrent"));
    std::vector<std::string> names;
    for (const bvalue &file : document["info"]["files"].l) {
        names.push_back(file["path"].l.at(0).s);
    }
    EXPECT_EQ(names, (std::vector<std::string>{".b", "a"}));
    EXPECT_EQ(run.out.find("o.torrent"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(".quillet-"), std::string::npos) << run.out;
}

// Where no new file can be made beside the output, a writable output is written in place, and
// one that may not be written is refused as before, untouched.
TEST(output_file, unprivileged_user_writes_in_place_or_is_refused) {
    if (!can_drop_privileges()) {
        GTEST_SKIP() << "needs root and setpriv to run as user 65534";
    }
    const temp_dir dir;
    write_file(dir / "in", random_bytes(9000, 9));
    make_dir(dir / "closed", 0755);
    write_file(dir / "closed/o.torrent", old_document);
    ASSERT_EQ(chown((dir / "closed/o.torrent").c_str(), 65534, 65534), 0);
    const ino_t inode = status_of(dir / "closed/o.torrent").st_ino;
    run_result run =
        run_quillet(run_args(dir / "in", dir / "closed/o.torrent"), run_options_t().as_nobody());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(status_of(dir / "closed/o.torrent").st_ino, inode);
    expect_document_of(read_file(dir / "closed/o.torrent"), "in");

    make_dir(dir / "open", 0777);
    write_file(dir / "open/o.torrent", old_document);
    chmod((dir / "open/o.torrent").c_str(), 0644);
    run = run_quillet(run_args(dir / "in", dir / "open/o.torrent"), run_options_t().as_nobody());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "could not open destination file " + (dir / "open/o.torrent") + "\n");
    EXPECT_EQ(read_file(dir / "open/o.torrent"), old_document);
    EXPECT_TRUE(temporary_files_in(dir / "open").empty());
}

} // namespace
