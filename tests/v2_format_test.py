#!/usr/bin/python3
"""quillet --format v2 and --format hybrid, byte for byte against the model of
tests/support/v2_model.py, and the run rules around them: the refusals of the command line,
the messages of a run, failures that leave no output, and v1 left exactly as it was.

Usage: /usr/bin/python3 tests/v2_format_test.py <path to quillet> [unittest options]
"""

import os
import random
import resource
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import v2_model  # noqa: E402
from support import bencode, scaffold  # noqa: E402
from support.scaffold import read, write  # noqa: E402
from v2_model_selfcheck import write_content  # noqa: E402

BASE = "http://t.example"
ANNOUNCE = BASE + ":6881/announce"
SMALL, LARGE = 16384, 4 << 20
FORMATS = ("v2", "hybrid")


def sizes_of(piece):
    """Sizes at the edges of a block and of a piece."""
    return {"tiny": 1, "block-1": 16383, "block": 16384, "block+1": 16385, "piece-1": piece - 1,
            "piece": piece, "piece+1": piece + 1, "pieces+7": 3 * piece + 7,
            "two-pieces": 2 * piece, "empty": 0}


def nested_tree(piece):
    """Relative path -> size, or -> link target. "a/b" sorts before "a.txt" and "a-b" in the file
    tree, though not as whole paths. make_tree links "same/two" to "same/one": two files of the
    same content, which share one piece layer entry."""
    sizes = sizes_of(piece)
    return {"a/b": sizes["piece+1"], "a/c/empty": 0, "a/c/d/e": sizes["block-1"], "a.txt": 1,
            "a-b": sizes["block"], "B/upper": sizes["block+1"], ".hd/f": sizes["piece"],
            ".hd/.g": 3, ".hidden": 2, "sub/exact": sizes["two-pieces"],
            "sub/less": sizes["piece-1"], "z": sizes["pieces+7"], "zz/empty": 0,
            "same/one": 2 * piece + 1, "a/link": "../z"}


def make_tree(root, files):
    """Sizes make files of pseudo-random bytes, texts symbolic links."""
    write_content(root, files)
    if os.path.exists(os.path.join(root, "same/one")):
        os.link(os.path.join(root, "same/one"), os.path.join(root, "same/two"))


def run(args, cwd=None, preexec_fn=None):
    """Runs quillet; returns (status, stdout, stderr), status negative for a signal."""
    done = scaffold.run(*args, cwd=cwd, timeout=300, preexec_fn=preexec_fn)
    return done.returncode, done.stdout, done.stderr


def adding_lines(input_path, inclusive=False, leave_out=None):
    """The "adding" lines of a directory run, in the order the files enter the torrent."""
    return b"".join(b"adding %s/%s\n" % (os.fsencode(input_path), b"/".join(components))
                    for components, _ in
                    v2_model.torrent_files(input_path, inclusive, leave_out))


class Case(scaffold.ScratchCase):
    scratch_prefix = "quillet-v2-"

    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.tmp, "out.torrent")

    def path(self, relative):
        return os.path.join(self.tmp, relative)

    def assert_model_document(self, input_path, fmt, piece, extra=(), comment=None,
                              inclusive=False, leave_out=None):
        """Runs quillet and compares its document with the model's; returns the run."""
        args = ["--format", fmt, "-a", BASE] + list(extra)
        if piece is not None:
            args += ["-l", str(piece)]
        if comment is not None:
            args += ["-c", comment]
        if inclusive:
            args += ["-i"]
        status, out, err = run(args + [input_path, leave_out or self.out])
        self.assertEqual(status, 0, err)
        written = read(leave_out or self.out)
        date = v2_model.bdecode(written)[b"creation date"]
        expected = v2_model.build_torrent(input_path, fmt, ANNOUNCE, piece or 262144, date,
                                          comment, inclusive, leave_out)
        self.assertEqual(written, expected, f"{fmt} of {input_path}, piece length {piece}")
        return out, err


class AgainstTheModel(Case):
    def test_single_files_at_the_edges_of_blocks_and_pieces(self):
        for piece in (SMALL, LARGE):
            for label, size in sizes_of(piece).items():
                path = self.path(f"{label}-{piece}")
                write(path, random.Random(size).randbytes(size))
                for fmt in FORMATS:
                    with self.subTest(fmt=fmt, piece=piece, size=label):
                        out, err = self.assert_model_document(path, fmt, piece)
                        self.assertEqual((out, err), (b"computing sha1... done\n", b""))

    def test_nested_trees_with_and_without_hidden_files(self):
        for piece in (SMALL, LARGE):
            root = self.path(f"tree{piece}")
            make_tree(root, nested_tree(piece))
            for fmt in FORMATS:
                for inclusive in (False, True):
                    with self.subTest(fmt=fmt, piece=piece, inclusive=inclusive):
                        out, err = self.assert_model_document(root, fmt, piece,
                                                              inclusive=inclusive)
                        self.assertEqual(out, adding_lines(root, inclusive))
                        self.assertEqual(err, b"")

    def test_files_longer_than_a_batch(self):
        # Those are read into batches whose leaves the hashing threads compute; shorter ones
        # are hashed as they are read, and the two kinds follow each other in any order.
        root = self.path("batches")
        make_tree(root, {"a": (3 << 20) + 5, "b": 100, "c": 4 << 20, "d": (2 << 20) + SMALL,
                         "e": 300000, "f/g": (2 << 20) + 1})
        # The only file of a directory, longer than a batch: no padding ends its last piece.
        only = os.path.join(root, "f")
        for piece in (SMALL, 65536):
            for fmt in FORMATS:
                for source in (root, os.path.join(root, "a"), only):
                    with self.subTest(fmt=fmt, piece=piece, source=source):
                        self.assert_model_document(source, fmt, piece)

    def test_small_trees(self):
        trees = {
            "one-piece": {"a": SMALL, "b": SMALL},  # no padding, no piece layer
            "one-more": {"a": SMALL + 1, "b": 1},  # padding after both
            "pad-last": {"a": SMALL, "b": 5},
            "empty-last": {"a": 5, "b": 0},
            "only-file": {"only": 3 * SMALL + 1},  # the only file of a torrent: no padding
            "only-nested": {"d/e/only": SMALL + 1},
            "only-whole": {"only": 2 * SMALL},
            "only-empty": {"only": 0},
            "one-and-empty": {"a": SMALL + 1, "b": 0},  # two files: padding after the first
            "below-block": {"x/y": 100, "x/z": 16383},
            "empty-files": {"e1": 0, "d/e2": 0},
        }
        for name, files in trees.items():
            root = self.path(name)
            make_tree(root, files)
            for fmt in FORMATS:
                with self.subTest(tree=name, fmt=fmt):
                    self.assert_model_document(root, fmt, SMALL)

    def test_default_piece_length_comment_and_input_spelling(self):
        root = self.path("tree")
        make_tree(root, {"a": 300000, "b/c": 262144, "b/d": 7})
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                self.assert_model_document(root, fmt, None, comment="a comment ✓")
                self.assert_model_document(root + "/", fmt, None)
                self.assert_model_document(os.path.relpath(root), fmt, 65536)

    def test_empty_directory_warns(self):
        os.mkdir(self.path("nothing"))
        make_tree(self.path("hidden-only"), {".h": 10})
        for root in (self.path("nothing"), self.path("hidden-only")):
            for fmt in FORMATS:
                with self.subTest(root=root, fmt=fmt):
                    out, err = self.assert_model_document(root, fmt, SMALL)
                    self.assertEqual((out, err), (b"", b"warning: no files found in directory\n"))

    def test_output_inside_the_tree_is_left_out(self):
        root = self.path("tree")
        make_tree(root, {"a": 20000, "sub/b": 5})
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                output = os.path.join(root, "sub", "out.torrent")
                out, _ = self.assert_model_document(root, fmt, SMALL, leave_out=output)
                self.assertEqual(out, adding_lines(root, leave_out=output))
                os.unlink(output)

    def test_nesting_limit_and_other_entries(self):
        root = self.path("deep")
        # At level 29 the walk ends at the first subdirectory in name order: "c" stays, "f"
        # and the level 30 below are left out.
        level = "/".join(["d"] * 29)
        make_tree(root, {level + "/c": 1, level + "/f": 2, level + "/d/g": 3, "d/e": 4, "k": 5})
        os.mkfifo(os.path.join(root, "fifo"))
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                out, err = self.assert_model_document(root, fmt, SMALL)
                self.assertEqual(
                    out,
                    b"adding %s/%s/c\nadding %s/d/e\nignoring %s/fifo (no directory or regular "
                    b"file)\nadding %s/k\n" % ((os.fsencode(root), os.fsencode(level))
                                              + (os.fsencode(root),) * 3))
                self.assertEqual(err, b"")


class WithTheTrackerOptions(Case):
    def test_keys_of_the_other_options_and_the_magnet_link(self):
        root = self.path("tree")
        make_tree(root, {"a": 40000, "b/c": 7})
        write(self.path("one"), random.Random(3).randbytes(40000))
        for fmt in FORMATS:
            for source in (root, self.path("one")):
                with self.subTest(fmt=fmt, source=source):
                    status, out, err = run(
                        ["--format", fmt, "--private", "--source", "SRC", "--webseed", "http://w/",
                         "--tracker", "http://t1/a", "--tracker", "http://t2/a", "--nodate",
                         "--name", "N", "--magnet", "-l", str(SMALL), source, self.out])
                    self.assertEqual((status, err), (0, b""))
                    written = read(self.out)
                    document = v2_model.bdecode(written)  # strict: keys in ascending order
                    self.assertEqual(list(document), [b"announce", b"announce-list", b"info",
                                                      b"piece layers", b"url-list"])
                    self.assertEqual(document[b"url-list"], [b"http://w/"])
                    # the model's info dictionary, with the given name and the two info keys
                    expected = v2_model.bdecode(v2_model.build_torrent(
                        source, fmt, "", SMALL, 0))[b"info"]
                    expected.update({b"name": b"N", b"private": 1, b"source": b"SRC"})
                    if os.path.isfile(source):
                        expected[b"file tree"] = {b"N": expected[b"file tree"][b"one"]}
                    info = v2_model.info_bytes(written)
                    self.assertEqual(info, v2_model.bencode(expected))
                    sha1, sha256 = v2_model.info_hashes(written)
                    link = f"magnet:?xt=urn:btih:{sha1}&" if fmt == "hybrid" else "magnet:?"
                    link += (f"xt=urn:btmh:1220{sha256}&dn=N&tr=http%3A%2F%2Ft1%2Fa"
                             "&tr=http%3A%2F%2Ft2%2Fa")
                    self.assertEqual(out.splitlines()[-1].decode(), link)


class Refusals(Case):
    """Refused runs: one line on standard error, status 1, nothing created."""

    CASES = [
        (["--format", "v3"], b"unknown format 'v3': use v1, v2 or hybrid\n"),
        (["--format", ""], b"unknown format '': use v1, v2 or hybrid\n"),
        (["--format=V2"], b"unknown format 'V2': use v1, v2 or hybrid\n"),
        (["--fo", "hybrid2"], b"unknown format 'hybrid2': use v1, v2 or hybrid\n"),
        # a bad word ends the run where it is met, before help is looked at
        (["--format", "v", "-h"], b"unknown format 'v': use v1, v2 or hybrid\n"),
        (["--format", "v2", "-l", "16383"],
         b"piece length has to be a power of two >= 16384 for v2 torrents.\n"),
        (["--format", "hybrid", "-l", "24576"],
         b"piece length has to be a power of two >= 16384 for hybrid torrents.\n"),
        (["-l", "8192", "--format", "v2"],
         b"piece length has to be a power of two >= 16384 for v2 torrents.\n"),
        (["--format", "hybrid", "-l", "2147483647"],
         b"piece length has to be a power of two >= 16384 for hybrid torrents.\n"),
        (["--format", "v2", "-l", "1"],
         b"piece length has to be a power of two >= 16384 for v2 torrents.\n"),
        # the existing check of the piece length comes first
        (["--format", "v2", "-l", "0"], b"piece length has to be > 0.\n"),
        (["--format", "v2", "-p", "0"], b"invalid port number\n"),
    ]

    def test_refused_with_one_line(self):
        write(self.path("in"), b"content")
        for args, message in self.CASES:
            with self.subTest(args=args):
                status, out, err = run(args + ["-a", BASE, "in", "out.torrent"], cwd=self.tmp)
                self.assertEqual((status, out, err), (1, b"", message))
                self.assertFalse(os.path.exists(self.out))

    def test_format_checks_come_before_the_missing_arguments(self):
        self.assertEqual(run(["--format", "v2", "-l", "1000"]),
                         (1, b"", b"piece length has to be a power of two >= 16384 for v2 "
                          b"torrents.\n"))
        self.assertEqual(run(["--format", "v7"]),
                         (1, b"", b"unknown format 'v7': use v1, v2 or hybrid\n"))
        self.assertEqual(run(["--format", "v2"]),
                         (1, b"", b"Invalid arguments. Use -h for help.\n"))

    def test_help_before_a_bad_word_and_a_missing_word(self):
        status, out, err = run(["-h", "--format", "v3"])
        self.assertEqual((status, err), (0, b""))
        self.assertTrue(out.startswith(b"Usage: quillet"))
        status, out, err = run(["-a", BASE, "in", "out", "--format"])
        self.assertEqual((status, out), (1, b""))
        self.assertIn(b"'--format' requires an argument", err)

    def test_output_that_is_the_input(self):
        write(self.path("in"), b"content")
        for fmt in FORMATS:
            status, out, err = run(["--format", fmt, "-a", BASE, "in", "in"], cwd=self.tmp)
            self.assertEqual((status, out, err),
                             (1, b"", b"destination file in is the input file\n"))
            self.assertEqual(read(self.path("in")), b"content")


class VersionOneUnchanged(Case):
    def test_v1_word_and_last_word_give_the_default_document(self):
        root = self.path("tree")
        make_tree(root, {"c": 5000, "a/b": 70000, "b": 1})
        status, _, err = run(["-a", BASE, "-l", "1000", root, self.out])
        self.assertEqual(status, 0, err)
        default = read(self.out)
        # v1 keeps its piece lengths that v2 cannot use, and its listing order
        for words in (["--format", "v1"], ["--format", "hybrid", "--format", "v1"]):
            with self.subTest(words=words):
                status, _, err = run(words + ["-a", BASE, "-l", "1000", root, self.out])
                self.assertEqual(status, 0, err)
                self.assertEqual(v2_model.bdecode(read(self.out))[b"info"],
                                 v2_model.bdecode(default)[b"info"])


class Failures(Case):
    """Failures during a v2 or hybrid run: one line, status 1, no output left."""

    def assert_failed(self, args, message, stdout=None):
        status, out, err = run(args)
        self.assertEqual((status, err), (1, message))
        if stdout is not None:
            self.assertEqual(out, stdout)
        self.assertFalse(os.path.exists(self.out))

    def test_changed_and_unreadable_content(self):
        # /proc files announce size 0 and then yield bytes; /proc/self/mem fails to read
        os.mkdir(self.path("grows"))
        os.symlink("/proc/self/status", self.path("grows/status"))
        os.mkdir(self.path("fails"))
        os.symlink("/proc/self/mem", self.path("fails/mem"))
        eio = os.strerror(5).encode()
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                grows, fails = self.path("grows"), self.path("fails")
                self.assert_failed(["--format", fmt, "-a", BASE, grows, self.out],
                                   b"file %s/status changed while being read\n" % grows.encode(),
                                   b"adding %s/status\n" % grows.encode())
                self.assert_failed(["--format", fmt, "-a", BASE, grows + "/status", self.out],
                                   b"file %s/status changed while being read\n" % grows.encode(),
                                   b"computing sha1... ")
                self.assert_failed(["--format", fmt, "-a", BASE, fails, self.out],
                                   b"could not read file %s/mem: %s\n" % (fails.encode(), eio))
                self.assert_failed(["--format", fmt, "-a", BASE, fails + "/mem", self.out],
                                   b"could not read file %s/mem: %s\n" % (fails.encode(), eio))

    def test_write_error(self):
        make_tree(self.path("tree"), {"a": 70000, "b": 3})
        for fmt in FORMATS:
            for source in ("tree", "tree/a"):
                with self.subTest(fmt=fmt, source=source):
                    status, _, err = run(["--format", fmt, "-a", BASE, self.path(source),
                                          "/dev/full"])
                    self.assertEqual((status, err), (1, b"could not write destination file "
                                                        b"/dev/full: No space left on device\n"))

    def test_unreadable_file_is_left_out(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run quillet as user 65534")
        os.chmod(self.tmp, 0o777)  # user 65534 writes the outputs here
        root = self.path("tree")
        make_tree(root, {"a": 100, "b": 20000, "c": 5})
        os.chmod(os.path.join(root, "b"), 0)
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                output = self.path(f"{fmt}.torrent")
                status, out, err = run(["--format", fmt, "-a", BASE, "-l", str(SMALL), root,
                                        output], preexec_fn=as_nobody)
                self.assertEqual(status, 0, err)
                self.assertEqual(out, b"adding %s/a\nadding %s/b\nadding %s/c\n"
                                 % ((os.fsencode(root),) * 3))
                self.assertEqual(err, b"could not open file %s/b\n" % os.fsencode(root))
                written = read(output)
                date = v2_model.bdecode(written)[b"creation date"]
                # the model, run as root, can read b: it must be left out for it too
                os.rename(os.path.join(root, "b"), self.path("b-aside"))
                expected = v2_model.build_torrent(root, fmt, ANNOUNCE, SMALL, date)
                os.rename(self.path("b-aside"), os.path.join(root, "b"))
                self.assertEqual(written, expected)

    def test_termination_while_hashing_removes_the_output(self):
        root = self.path("tree")
        make_tree(root, {"a": 5})
        with open(os.path.join(root, "zeros"), "wb") as f:
            f.truncate(1 << 30)  # hashing it takes long enough to be interrupted
        for fmt in FORMATS:
            for source in (root, os.path.join(root, "zeros")):
                with self.subTest(fmt=fmt, source=source):
                    child = subprocess.Popen([scaffold.QUILLET, "--format", fmt, "-a", BASE,
                                              source, self.out], stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL)
                    self.assertTrue(wait_until_open(child.pid, os.path.join(root, "zeros")),
                                    "never saw the big file open")
                    child.send_signal(signal.SIGTERM)
                    self.assertEqual(child.wait(timeout=60), -signal.SIGTERM)
                    self.assertFalse(os.path.exists(self.out))

    def test_every_memory_limit_gives_the_document_or_a_clean_failure(self):
        if sanitized(scaffold.QUILLET):
            self.skipTest("AddressSanitizer reserves far more address space than any limit")
        make_tree(self.path("tree"), {f"f{k}": 100000 + 3371 * k for k in range(40)})
        failures = 0
        for fmt in FORMATS:
            for source in ("tree", "tree/f7"):
                with self.subTest(fmt=fmt, source=source):
                    failures += self.sweep_memory_limits(
                        ["--format", fmt, "-a", BASE, "-l", str(SMALL), self.path(source),
                         self.out])
        self.assertGreater(failures, 0, "no limit made any run fail")

    def sweep_memory_limits(self, args):
        """Runs at limits from the lowest at which the program starts to just above the lowest
        at which the run succeeds; returns the number of clean failures."""
        status, _, err = run(args)
        self.assertEqual(status, 0, err)
        reference = bencode.strip_creation_date(read(self.out))

        def outcome(limit):
            if os.path.exists(self.out):
                os.unlink(self.out)
            status, _, err = run(args, preexec_fn=lambda: limit_address_space(limit))
            left = os.path.exists(self.out)
            if status == 0 and left:
                same = bencode.strip_creation_date(read(self.out)) == reference
                return "exact" if same else "wrong document"
            if status == 1 and not left and err.count(b"\n") == 1 and err.endswith(b"\n"):
                return "clean failure"
            return f"fault: status {status}, output {'left' if left else 'absent'}, {err!r}"

        def lowest_passing(low, high, passes):
            while high - low > fine:
                middle = (low + high) // 2 // fine * fine
                low, high = (low, middle) if passes(middle) else (middle, high)
            return high

        fine, coarse = 64 << 10, 1 << 20
        # Below the limit at which the program can start at all, only the loader speaks.
        start_up = lowest_passing(0, 256 << 20, lambda limit: run(
            ["-V"], preexec_fn=lambda: limit_address_space(limit))[0] == 0)
        success = lowest_passing(start_up, 4096 << 20, lambda limit: outcome(limit) == "exact")
        fine_from = max(success - 3 * coarse, start_up)
        limits = list(range(start_up, fine_from, coarse))
        limits += range(fine_from, success + coarse, fine)
        seen = {}
        for limit in limits:
            seen.setdefault(outcome(limit), []).append(limit >> 10)
        self.assertLessEqual(set(seen), {"exact", "clean failure"}, seen)
        print(f"  {' '.join(args[:2])} {os.path.basename(args[-2])}: "
              + ", ".join(f"{len(kib)} {what}" for what, kib in sorted(seen.items())))
        return len(seen.get("clean failure", []))


def as_nobody():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def limit_address_space(limit):
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def sanitized(binary):
    return b"__asan_init" in read(binary)


def wait_until_open(pid, path):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except FileNotFoundError:
            return False
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                    return True
            except OSError:
                pass
        time.sleep(0.002)
    return False


if __name__ == "__main__":
    sys.exit(scaffold.main())
