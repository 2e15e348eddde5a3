#pragma once
#include "common/tracker_tiers.h"

#include <cstdint>
#include <string>
#include <vector>

// The kinds of metainfo document the tool writes.
enum class torrent_format {
    v1,     // SHA-1 pieces over the content as one stream
    v2,     // a SHA-256 merkle tree per file
    hybrid, // both in one info dictionary, every file starting on a piece boundary
};

// The values of one run, gathered from the command line and handed down whole to every layer
// that needs one of them. A new option becomes one more field here.
struct run_options {
    const char *announce = nullptr; // the tracker's announce base; nullptr until given
    const char *port = "6881";      // port and path stay texts: the URL carries them as typed
    const char *path = "/announce";
    std::int32_t piece_length = 262144;
    const char *comment = nullptr; // no comment key without one; an empty one still counts
    bool inclusive = false;        // hidden regular files go into a directory torrent too
    const char *input_path = nullptr;
    const char *output_path = nullptr;
    torrent_format format = torrent_format::v1;

    // Complete announce URLs, one tier per --tracker; the URL built from -a comes before them.
    tracker_tiers trackers;
    std::vector<const char *> web_seeds;
    std::vector<const char *> excludes; // shell patterns of entries the walk leaves out
    const char *source = nullptr;       // an empty source still counts, like a comment
    const char *name = nullptr;         // nullptr: the name comes from the input path
    // Without a given name: the name of the directory an input ending in "." or ".." resolves
    // to, which names the torrent instead of that last component; empty for any other input.
    std::string resolved_name;
    bool is_private = false;
    bool no_date = false;
    bool magnet = false;
    // Directory entries in ascending byte order of their names at every level, instead of the
    // order the system lists them in. v2 and hybrid always sort: their file tree is ordered
    // that way.
    bool sorted = false;

    // What `quillet create` asks for beyond the classic rules; the classic command line leaves
    // every one of these as it is here.
    // v1: files in ascending byte order of their whole paths, the order mktorrent and
    // transmission-create list them in, so that the same content gives the same info hash.
    bool whole_path_order = false;
    // An entry that cannot be read, or a tree nested too deep, fails the run instead of being
    // skipped with a notice: an upload must not silently lack content.
    bool strict = false;
    bool hidden_left_out = false;        // names starting with '.' left out, directories too
    std::vector<const char *> includes;  // when any: only the files matching one are taken
    bool notices_on_stdout = true;       // "adding ..." and "computing sha1..." lines
    bool quiet = false;                  // not even warnings on standard error
    const char *created_by = nullptr;    // no created by key when nullptr
    bool replace_output = true;          // false: an output that exists by the end is kept
    bool keep_output_on_failure = false; // a failed run leaves an older output as it was
    // The content's size and file count found before hashing, so that progress can show a total
    // and a file that vanished or changed since is noticed; -1 when not looked at first.
    std::int64_t expected_bytes = -1;
    std::int64_t expected_files = -1;
    unsigned hash_threads = 0; // hashing threads at most (create -j); 0: one per processor
};
