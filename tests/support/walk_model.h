// A model of the directory walk, worked out independently of the tool: which entries a run
// takes in and in what order (the order the system lists each directory, or ascending byte
// order of names when sorted), the hidden-file rule, how deep it goes, what it prints; and the
// document expected for a tree. Directories are read with the same system listing the tool
// uses.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace harness {

// Subdirectories are walked only from directories above this level (the input is level 0).
constexpr int deepest_walked_level = 29;

// Closes a descriptor when it goes out of scope.
struct fd_guard {
    int fd = -1;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard();
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
};

// Names in a directory in the order the system lists them, "." and ".." left out. A failure
// to read the directory is recorded as a test failure.
std::vector<std::string> listing_at(int dirfd);
std::vector<std::string> listing(const std::string &path);

struct expected_file {
    std::string entry_path; // as printed in "adding %s"
    std::vector<std::string> components;
    std::int64_t size = 0;
    std::string content;
};

struct expected_walk {
    std::vector<expected_file> files;
    std::string out; // whole standard output
    std::string err; // whole standard error
};

struct walk_rules {
    bool inclusive = false;
    // The run is made as user 65534: files and directories without read permission for
    // others (all scratch files belong to root) cannot be opened.
    bool as_nobody = false;
    // Read the content of every added file (small trees only).
    bool read_content = true;
    // Working directory of the run; a relative input path starts from it.
    std::string cwd;
    // The output file, when it lies inside the tree: left out of the walk.
    std::string output;
    // Entries left out before anything is known about them, without a word, by their path below
    // the input ("sub/name"): what --exclude patterns match, listed by hand.
    std::set<std::string> left_out;
    // Every directory's entries in ascending byte order of their names (--sorted).
    bool sorted = false;
};

// What a run over the directory `input` takes in and prints, under `rules`.
expected_walk model_walk(const std::string &input, const walk_rules &rules = {});

// The content of the files joined in the order of the file list: the stream cut into pieces.
std::string concatenated(const std::vector<expected_file> &files);

// The info dictionary's file list: "5:files", then one dictionary of length and path per file.
std::string expected_file_list(const std::vector<expected_file> &files);

// The expected document for a directory, with the creation date blanked as
// strip_creation_date() blanks it ("13:creation datei0e").
struct directory_torrent {
    std::string announce_url; // base + ":" + port + path
    bool has_comment = false;
    std::string comment;
    std::vector<expected_file> files; // in the order of the file list
    std::string name;
    std::int64_t piece_length = 262144;
    std::string pieces; // concatenated raw digests; none at all for a tree without content
};
std::string expected_directory_torrent(const directory_torrent &t);

} // namespace harness
