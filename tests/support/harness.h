// Test harness for quillet: runs the built binary as a child process, makes
// scratch files and directories, and reads back the bencoded documents it writes.
//
// Everything lives in namespace `harness` so that none of these helper names can
// clash at link time with a function of quillet_core.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// ---------------------------------------------------------------------------
// Running the binary

struct run_options_t {
    // Working directory of the child; empty keeps the test's own.
    std::string cwd;
    // Run as user and group 65534 with no supplementary groups (through setpriv).
    // Check can_drop_privileges() first and skip when it is false.
    bool unprivileged = false;
    // When stdout has shown `signal_marker`, send `signal_number` to the child once.
    std::string signal_marker;
    int signal_number = 0;
    // When stdout has shown `close_marker`, close the read end of the stdout pipe so
    // that the child's next write to stdout raises SIGPIPE.
    std::string close_marker;
    // Close the read end of the stdout pipe at once: the child's first write to stdout
    // raises SIGPIPE.
    bool close_stdout_at_start = false;
    // The child is killed with SIGKILL after this many seconds (run_result::timed_out).
    int timeout_seconds = 120;
    // When above 0, the child's address space (RLIMIT_AS) is limited to this many bytes.
    std::uint64_t address_space_limit = 0;
    // When at least 0, `delayed_signal` is sent this many microseconds after the child starts.
    long delayed_signal_us = -1;
    int delayed_signal = 0;

    run_options_t &in_dir(const std::string &dir) {
        cwd = dir;
        return *this;
    }
    run_options_t &as_nobody() {
        unprivileged = true;
        return *this;
    }
    run_options_t &send_signal_after_stdout(const std::string &marker, int sig) {
        signal_marker = marker;
        signal_number = sig;
        return *this;
    }
    run_options_t &close_stdout_after(const std::string &marker) {
        close_marker = marker;
        return *this;
    }
    run_options_t &close_stdout_from_start() {
        close_stdout_at_start = true;
        return *this;
    }
    run_options_t &timeout(int seconds) {
        timeout_seconds = seconds;
        return *this;
    }
    run_options_t &address_space(std::uint64_t bytes) {
        address_space_limit = bytes;
        return *this;
    }
    run_options_t &signal_after_us(long microseconds, int sig) {
        delayed_signal_us = microseconds;
        delayed_signal = sig;
        return *this;
    }
};

struct run_result {
    int status = -1;            // exit status, or -1 when the child died of a signal
    int signal = 0;             // the signal that ended the child, 0 when it exited
    std::string out;            // everything read from stdout
    std::string err;            // everything read from stderr
    bool timed_out = false;     // the harness killed the child after timeout_seconds
    bool signal_sent = false;   // the signal of send_signal_after_stdout was delivered
    bool stdout_closed = false; // close_stdout_after took effect
    std::time_t started = 0;    // calendar time just before the child was started
    std::time_t finished = 0;   // calendar time just after it was reaped
};

// Absolute path of the binary under test.
std::string quillet_binary();

// Runs quillet with `args` (argv[1..]) via fork/execv, no shell; stdin is /dev/null.
run_result run_quillet(const std::vector<std::string> &args, const run_options_t &opts = {});

// `args` with the placeholders IN and OUT replaced by `in` and `out`.
std::vector<std::string> substitute(std::vector<std::string> args, const std::string &in,
                                    const std::string &out);

// The arguments quoted one by one, for a failure message.
std::string describe(const std::vector<std::string> &args);

// True when the tests run as root and setpriv is available, so a child can be run as
// user 65534 for permission cases.
bool can_drop_privileges();

// Text of strerror(errnum), as the program's "%m" would print it.
std::string error_text(int errnum);

// ---------------------------------------------------------------------------
// Scratch files

// A fresh directory under /tmp with mode 0755 (so that user 65534 can enter it),
// removed with everything inside when it goes out of scope, whatever the modes of
// what it contains.
struct temp_dir {
    std::string path;

    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    // path + "/" + name
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// Removes a file or a whole tree (chmod-ing directories so they can be emptied).
void remove_tree(const std::string &path);

// These record a test failure (and return quietly) when the system call fails.
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
void make_sparse_file(const std::string &path, std::int64_t size);
void make_dir(const std::string &path, unsigned mode = 0755);

// Deterministic pseudo-random content.
std::string random_bytes(std::size_t n, std::uint64_t seed);

// lstat succeeds (a dangling symlink exists).
bool path_exists(const std::string &path);
// Names in `dir` of the temporary files a run writes its document to before renaming it
// (".NAME.quillet-XXXXXX"): a finished run, failed or not, leaves none.
std::vector<std::string> temporary_files_in(const std::string &dir);
// Both paths name the same inode (following symlinks).
bool is_same_file(const std::string &a, const std::string &b);

// ---------------------------------------------------------------------------
// Bencode

struct bvalue {
    enum kind_t { integer, string, list, dict };
    kind_t kind = integer;
    std::int64_t i = 0;
    std::string s;
    std::vector<bvalue> l;
    // Keys in document order (the decoder checks that they ascend strictly).
    std::vector<std::pair<std::string, bvalue>> d;

    bool has(const std::string &key) const;
    // Records a test failure and returns a static empty value when the key is missing
    // or this is not a dictionary.
    const bvalue &operator[](const std::string &key) const;
    std::vector<std::string> keys() const;
};

// Strict decoder: canonical integers and lengths, dictionary keys in strictly
// ascending byte order, and the whole buffer consumed. Returns false with a
// description in `error` otherwise.
bool try_bdecode(const std::string &text, bvalue &out, std::string &error);
// As try_bdecode, but records a test failure (ADD_FAILURE) on malformed input.
bvalue bdecode(const std::string &text);

// Replaces the value of the top-level "creation date" key by i0e so that two
// documents can be compared byte for byte. Parses the document structure, so a
// comment that happens to contain the same text is left alone. Records a test
// failure and returns the input unchanged if there is no such key.
std::string strip_creation_date(const std::string &torrent);
// The value of the top-level "creation date" key (records a failure when missing).
std::int64_t creation_date(const std::string &torrent);

// "len:bytes"
std::string bstr(const std::string &bytes);
// "i<value>e"
std::string bint(std::int64_t value);

// The expected document for a single regular file, assembled fragment by fragment in
// the order the tool writes them, with the creation date blanked as
// strip_creation_date() blanks it ("13:creation datei0e").
struct single_file_torrent {
    std::string announce_url; // base + ":" + port + path
    bool has_comment = false;
    std::string comment;
    std::int64_t length = 0;
    std::string name;
    std::int64_t piece_length = 262144;
    std::string pieces; // concatenated raw digests
};
std::string expected_single_file_torrent(const single_file_torrent &t);

// ---------------------------------------------------------------------------
// Digests (the oracle)

// 20-byte SHA-1 digest, computed with OpenSSL.
std::string sha1_raw(const std::string &bytes);
// Digests of every piece of `content`, the last one possibly short, concatenated.
std::string expected_pieces(const std::string &content, int piece_length);
// The same for `size` zero bytes (a sparse file), computing the digest of a full
// zero piece only once.
std::string expected_zero_pieces(std::int64_t size, int piece_length);

} // namespace harness
