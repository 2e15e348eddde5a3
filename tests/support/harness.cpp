#include "support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>

namespace harness {

namespace {

std::string find_setpriv() {
    for (const char *candidate : {"/usr/bin/setpriv", "/bin/setpriv", "/usr/sbin/setpriv"}) {
        if (access(candidate, X_OK) == 0)
            return candidate;
    }
    return {};
}

// A copy of the binary in a directory that user 65534 can reach, made once per test
// process: the build tree may sit below directories that user cannot enter.
struct unprivileged_copy {
    std::string dir;
    std::string binary;

    unprivileged_copy() {
        char pattern[] = "/tmp/quillet-bin-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        dir = pattern;
        chmod(dir.c_str(), 0755);
        std::string bytes = read_file(quillet_binary());
        binary = dir + "/quillet";
        write_file(binary, bytes);
        chmod(binary.c_str(), 0755);
    }
    ~unprivileged_copy() {
        if (!dir.empty())
            remove_tree(dir);
    }
};

const std::string &unprivileged_binary() {
    static unprivileged_copy copy;
    return copy.binary;
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

std::string quillet_binary() {
    return QUILLET_BINARY;
}

std::vector<std::string> substitute(std::vector<std::string> args, const std::string &in,
                                    const std::string &out) {
    for (auto &a : args) {
        if (a == "IN")
            a = in;
        if (a == "OUT")
            a = out;
    }
    return args;
}

std::string describe(const std::vector<std::string> &args) {
    std::string text;
    for (const auto &a : args)
        text += (text.empty() ? "'" : " '") + a + "'";
    return text;
}

bool can_drop_privileges() {
    return geteuid() == 0 && !find_setpriv().empty();
}

std::string error_text(int errnum) {
    return std::strerror(errnum);
}

run_result run_quillet(const std::vector<std::string> &args, const run_options_t &opts) {
    run_result result;

    std::vector<std::string> argv_text;
    std::string program;
    if (opts.unprivileged) {
        program = find_setpriv();
        if (program.empty()) {
            ADD_FAILURE() << "setpriv not found; check can_drop_privileges() first";
            return result;
        }
        argv_text = {program, "--reuid=65534", "--regid=65534", "--clear-groups",
                     unprivileged_binary()};
    } else {
        program = quillet_binary();
        argv_text = {program};
    }
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }

    // A stdout nobody reads from the start: the read end is closed before the child exists,
    // so that its very first write raises SIGPIPE however fast it starts.
    if (opts.close_stdout_at_start) {
        close(out_pipe[0]);
        out_pipe[0] = -1;
        result.stdout_closed = true;
    }

    result.started = std::time(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls from here on.
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull < 0)
            _exit(126);
        dup2(devnull, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        // Dispositions set to "ignore" and blocked signals survive exec: give the
        // program the defaults it would get from a shell.
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
            _exit(126);
        if (opts.address_space_limit > 0) {
            const rlimit limit = {opts.address_space_limit, opts.address_space_limit};
            if (setrlimit(RLIMIT_AS, &limit) != 0)
                _exit(126);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (opts.delayed_signal_us >= 0) {
        usleep(static_cast<useconds_t>(opts.delayed_signal_us));
        kill(pid, opts.delayed_signal);
        result.signal_sent = true;
    }
    int out_fd = out_pipe[0];
    int err_fd = err_pipe[0];
    if (out_fd >= 0)
        set_nonblocking(out_fd);
    set_nonblocking(err_fd);

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(opts.timeout_seconds);
    char buffer[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[2];
        int count = 0;
        if (out_fd >= 0)
            fds[count++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0)
            fds[count++] = {err_fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 && !result.timed_out) {
            kill(pid, SIGKILL);
            result.timed_out = true;
        }
        int ready = poll(fds, count, result.timed_out ? 1000 : static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int k = 0; k < count; ++k) {
            if (fds[k].revents == 0)
                continue;
            int fd = fds[k].fd;
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0) {
                close(fd);
                (fd == out_fd ? out_fd : err_fd) = -1;
                continue;
            }
            if (fd == out_fd) {
                result.out.append(buffer, static_cast<std::size_t>(n));
            } else {
                result.err.append(buffer, static_cast<std::size_t>(n));
            }
        }
        if (!opts.signal_marker.empty() && !result.signal_sent &&
            result.out.find(opts.signal_marker) != std::string::npos) {
            kill(pid, opts.signal_number);
            result.signal_sent = true;
        }
        if (!opts.close_marker.empty() && !result.stdout_closed && out_fd >= 0 &&
            result.out.find(opts.close_marker) != std::string::npos) {
            close(out_fd);
            out_fd = -1;
            result.stdout_closed = true;
        }
        if (result.timed_out && ready == 0)
            break; // killed child left a pipe open
    }
    if (out_fd >= 0)
        close(out_fd);
    if (err_fd >= 0)
        close(err_fd);

    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.finished = std::time(nullptr);
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
        result.signal = 0;
    } else if (WIFSIGNALED(wstatus)) {
        result.status = -1;
        result.signal = WTERMSIG(wstatus);
    }
    return result;
}

// ---------------------------------------------------------------------------

temp_dir::temp_dir() {
    char pattern[] = "/tmp/quillet-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    path = pattern;
    chmod(path.c_str(), 0755);
}

temp_dir::~temp_dir() {
    if (!path.empty())
        remove_tree(path);
}

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR *dir = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (dirent *entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..")
                    names.push_back(name);
            }
            closedir(dir);
            for (const auto &name : names)
                remove_tree(path + "/" + name);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void write_file(const std::string &path, const std::string &bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        ADD_FAILURE() << "cannot create " << path << ": " << std::strerror(errno);
        return;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "cannot write " << path << ": " << std::strerror(errno);
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

std::string read_file(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
        return {};
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ADD_FAILURE() << "cannot read " << path << ": " << std::strerror(errno);
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return bytes;
}

void make_sparse_file(const std::string &path, std::int64_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        ADD_FAILURE() << "cannot create " << path << ": " << std::strerror(errno);
        return;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ADD_FAILURE() << "ftruncate " << path << ": " << std::strerror(errno);
    }
    close(fd);
}

void make_dir(const std::string &path, unsigned mode) {
    if (mkdir(path.c_str(), mode) != 0) {
        ADD_FAILURE() << "mkdir " << path << ": " << std::strerror(errno);
        return;
    }
    chmod(path.c_str(), mode); // not reduced by the umask
}

std::string random_bytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    std::string bytes(n, '\0');
    for (std::size_t k = 0; k < n; ++k)
        bytes[k] = static_cast<char>(engine() & 0xff);
    return bytes;
}

bool path_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> temporary_files_in(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *listing = opendir(dir.c_str())) {
        while (dirent *entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name.front() == '.' && name.find(".quillet-") != std::string::npos)
                names.push_back(name);
        }
        closedir(listing);
    }
    return names;
}

bool is_same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ---------------------------------------------------------------------------

bool bvalue::has(const std::string &key) const {
    if (kind != dict)
        return false;
    for (const auto &entry : d) {
        if (entry.first == key)
            return true;
    }
    return false;
}

const bvalue &bvalue::operator[](const std::string &key) const {
    static const bvalue empty;
    if (kind != dict) {
        ADD_FAILURE() << "looking up \"" << key << "\" in a value that is not a dictionary";
        return empty;
    }
    for (const auto &entry : d) {
        if (entry.first == key)
            return entry.second;
    }
    ADD_FAILURE() << "dictionary has no key \"" << key << "\"";
    return empty;
}

std::vector<std::string> bvalue::keys() const {
    std::vector<std::string> result;
    for (const auto &entry : d)
        result.push_back(entry.first);
    return result;
}

namespace {

struct decoder {
    const std::string &text;
    std::size_t pos = 0;
    std::string error;
    // Offsets of the top-level "creation date" value, when seen.
    std::size_t date_begin = std::string::npos, date_end = std::string::npos;

    explicit decoder(const std::string &input) : text(input) {}

    bool fail(const std::string &why) {
        if (error.empty())
            error = why + " at offset " + std::to_string(pos);
        return false;
    }

    bool digits(std::string &out) {
        std::size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            ++pos;
        out = text.substr(start, pos - start);
        if (out.empty())
            return fail("expected digits");
        if (out.size() > 1 && out[0] == '0')
            return fail("leading zero");
        if (out.size() > 19)
            return fail("number too long");
        return true;
    }

    bool integer(std::int64_t &value) {
        ++pos; // 'i'
        bool negative = false;
        if (pos < text.size() && text[pos] == '-') {
            negative = true;
            ++pos;
        }
        std::string d;
        if (!digits(d))
            return false;
        if (negative && d == "0")
            return fail("negative zero");
        errno = 0;
        unsigned long long magnitude = std::strtoull(d.c_str(), nullptr, 10);
        if (errno != 0 ||
            magnitude > (negative ? 9223372036854775808ULL : 9223372036854775807ULL)) {
            return fail("integer out of 64-bit range");
        }
        value = negative ? static_cast<std::int64_t>(0 - magnitude)
                         : static_cast<std::int64_t>(magnitude);
        if (pos >= text.size() || text[pos] != 'e')
            return fail("integer not closed by 'e'");
        ++pos;
        return true;
    }

    bool string(std::string &value) {
        std::string d;
        if (!digits(d))
            return false;
        unsigned long long length = std::strtoull(d.c_str(), nullptr, 10);
        if (pos >= text.size() || text[pos] != ':')
            return fail("expected ':' after length");
        ++pos;
        if (length > text.size() - pos)
            return fail("string runs past the end");
        value = text.substr(pos, length);
        pos += length;
        return true;
    }

    bool value(bvalue &out, int depth) {
        if (depth > 200)
            return fail("nesting too deep");
        if (pos >= text.size())
            return fail("unexpected end");
        char c = text[pos];
        if (c == 'i') {
            out.kind = bvalue::integer;
            return integer(out.i);
        }
        if (c >= '0' && c <= '9') {
            out.kind = bvalue::string;
            return string(out.s);
        }
        if (c == 'l') {
            out.kind = bvalue::list;
            ++pos;
            while (pos < text.size() && text[pos] != 'e') {
                bvalue element;
                if (!value(element, depth + 1))
                    return false;
                out.l.push_back(std::move(element));
            }
            if (pos >= text.size())
                return fail("list not closed");
            ++pos;
            return true;
        }
        if (c == 'd') {
            out.kind = bvalue::dict;
            ++pos;
            while (pos < text.size() && text[pos] != 'e') {
                if (text[pos] < '0' || text[pos] > '9')
                    return fail("dictionary key not a string");
                std::string key;
                if (!string(key))
                    return false;
                if (!out.d.empty() && !(out.d.back().first < key)) {
                    return fail("dictionary key \"" + key + "\" not above \"" + out.d.back().first +
                                "\"");
                }
                std::size_t begin = pos;
                bvalue element;
                if (!value(element, depth + 1))
                    return false;
                if (depth == 0 && key == "creation date") {
                    date_begin = begin;
                    date_end = pos;
                }
                out.d.emplace_back(std::move(key), std::move(element));
            }
            if (pos >= text.size())
                return fail("dictionary not closed");
            ++pos;
            return true;
        }
        return fail(std::string("unexpected byte '") + c + "'");
    }
};

} // namespace

bool try_bdecode(const std::string &text, bvalue &out, std::string &error) {
    decoder dec(text);
    out = bvalue{};
    if (!dec.value(out, 0)) {
        error = dec.error;
        return false;
    }
    if (dec.pos != text.size()) {
        error = "trailing bytes after the document at offset " + std::to_string(dec.pos);
        return false;
    }
    return true;
}

bvalue bdecode(const std::string &text) {
    bvalue out;
    std::string error;
    if (!try_bdecode(text, out, error)) {
        ADD_FAILURE() << "malformed bencode: " << error << " (document of " << text.size()
                      << " bytes)";
    }
    return out;
}

std::string strip_creation_date(const std::string &torrent) {
    decoder dec(torrent);
    bvalue root;
    if (!dec.value(root, 0) || root.kind != bvalue::dict || dec.date_begin == std::string::npos) {
        ADD_FAILURE() << "no top-level creation date to blank"
                      << (dec.error.empty() ? "" : " (" + dec.error + ")");
        return torrent;
    }
    return torrent.substr(0, dec.date_begin) + "i0e" + torrent.substr(dec.date_end);
}

std::int64_t creation_date(const std::string &torrent) {
    bvalue root = bdecode(torrent);
    const bvalue &date = root["creation date"];
    EXPECT_EQ(date.kind, bvalue::integer) << "creation date is not an integer";
    return date.i;
}

std::string bstr(const std::string &bytes) {
    return std::to_string(bytes.size()) + ":" + bytes;
}

std::string bint(std::int64_t value) {
    std::string text = "i";
    text += std::to_string(value);
    text += 'e';
    return text;
}

std::string expected_single_file_torrent(const single_file_torrent &t) {
    std::string doc = "d8:announce" + bstr(t.announce_url);
    if (t.has_comment)
        doc += "7:comment" + bstr(t.comment);
    doc += "13:creation datei0e";
    doc += "4:infod";
    doc += "6:length" + bint(t.length);
    doc += "4:name" + bstr(t.name);
    doc += "12:piece length" + bint(t.piece_length);
    doc += "6:pieces" + bstr(t.pieces);
    doc += "ee";
    return doc;
}

// ---------------------------------------------------------------------------

std::string sha1_raw(const std::string &bytes) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), digest);
    return std::string(reinterpret_cast<const char *>(digest), SHA_DIGEST_LENGTH);
}

std::string expected_pieces(const std::string &content, int piece_length) {
    std::string digests;
    const std::size_t step = static_cast<std::size_t>(piece_length);
    for (std::size_t offset = 0; offset < content.size(); offset += step) {
        digests += sha1_raw(content.substr(offset, step));
    }
    return digests;
}

std::string expected_zero_pieces(std::int64_t size, int piece_length) {
    std::string digests;
    if (size <= 0)
        return digests;
    const std::int64_t full = size / piece_length;
    const std::int64_t tail = size % piece_length;
    if (full > 0) {
        const std::string whole =
            sha1_raw(std::string(static_cast<std::size_t>(piece_length), '\0'));
        digests.reserve(static_cast<std::size_t>(full + 1) * 20);
        for (std::int64_t k = 0; k < full; ++k)
            digests += whole;
    }
    if (tail > 0)
        digests += sha1_raw(std::string(static_cast<std::size_t>(tail), '\0'));
    return digests;
}

} // namespace harness
