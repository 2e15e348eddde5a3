#!/usr/bin/env python3
"""The live status line: shown on a terminal, erased before every other line, absent otherwise.

Usage: /usr/bin/python3 tests/progress_test.py <path to quillet> [unittest options]
"""
import os
import pty
import select
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # no cache files in the source tree
from support import bencode, scaffold  # noqa: E402
from support.scaffold import read, write  # noqa: E402

SAVE, RESTORE, CLEAR = b"\x1b7", b"\x1b8", b"\x1b[K"


def screen_of(data):
    """Replays terminal output the way a terminal shows it and returns the visible lines."""
    rows, row, col, saved = [[]], 0, 0, (0, 0)
    i = 0
    while i < len(data):
        if data.startswith(SAVE, i):
            saved, i = (row, col), i + len(SAVE)
        elif data.startswith(RESTORE, i):
            (row, col), i = saved, i + len(RESTORE)
        elif data.startswith(CLEAR, i):
            del rows[row][col:]
            i += len(CLEAR)
        elif data[i:i + 1] == b"\x1b":
            raise AssertionError("unexpected escape sequence at %d: %r" % (i, data[i:i + 8]))
        elif data[i:i + 1] == b"\r":
            col, i = 0, i + 1
        elif data[i:i + 1] == b"\n":
            row, i = row + 1, i + 1
            while len(rows) <= row:
                rows.append([])
        else:
            line = rows[row]
            while len(line) < col:
                line.append(" ")
            if col < len(line):
                line[col] = chr(data[i])
            else:
                line.append(chr(data[i]))
            col, i = col + 1, i + 1
    return "\n".join("".join(r).rstrip() for r in rows).rstrip("\n")


def run_on_terminal(args, cwd, stderr_too=True):
    """Runs quillet with stdout (and stderr, unless told otherwise: then it goes to a pipe) on a
    pseudo-terminal; returns (status, terminal bytes, timed chunks, stderr bytes from the pipe)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([scaffold.QUILLET] + args, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=slave, stderr=slave if stderr_too else subprocess.PIPE,
                            close_fds=True)
    os.close(slave)
    chunks, deadline = [], time.monotonic() + 300
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 1.0)
        if not ready:
            if proc.poll() is not None:
                break
            continue
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        chunks.append((time.monotonic(), chunk))
    os.close(master)
    err = b"" if stderr_too else proc.stderr.read()
    status = proc.wait(timeout=60)
    return status, b"".join(c for _, c in chunks), chunks, err


def run_plain(args, cwd):
    proc = scaffold.run(*args, cwd=cwd, stdin=subprocess.DEVNULL, timeout=300)
    return proc.returncode, proc.stdout, proc.stderr


def without_date(path):
    return bencode.strip_creation_date(read(path))


class ProgressOnTerminal(scaffold.ScratchCase):
    def setUp(self):
        super().setUp()
        # Sparse: hashing zeros takes long enough for several redraws without using disk.
        with open(os.path.join(self.tmp, "big"), "wb") as f:
            f.truncate(6 << 30)

    def test_single_file_line_is_drawn_redrawn_and_erased(self):
        status, data, chunks, _ = run_on_terminal(
            ["-a", "http://127.0.0.1", "big", "t.torrent"], self.tmp)
        self.assertEqual(status, 0, data)
        self.assertIn(SAVE, data, "no status line was drawn")
        draws = data.count(SAVE) + data.count(RESTORE + CLEAR)
        self.assertGreaterEqual(draws, 2, data)
        self.assertIn(b"of 6.0 GiB (", data)
        self.assertIn(b" left", data)
        self.assertEqual(screen_of(data), "computing sha1... done")
        # At most about ten redraws a second over the run.
        elapsed = chunks[-1][0] - chunks[0][0]
        redraws = data.count(RESTORE + CLEAR) - 1
        self.assertLessEqual(redraws, 10 * elapsed + 3, (redraws, elapsed))
        # The torrent is the same as without a terminal.
        plain_status, out, err = run_plain(["-a", "http://127.0.0.1", "big", "p.torrent"],
                                           self.tmp)
        self.assertEqual((plain_status, out, err), (0, b"computing sha1... done\n", b""))
        self.assertEqual(without_date(os.path.join(self.tmp, "t.torrent")),
                         without_date(os.path.join(self.tmp, "p.torrent")))

    def test_directory_lines_read_as_without_terminal(self):
        tree = os.path.join(self.tmp, "tree")
        os.mkdir(tree)
        os.rename(os.path.join(self.tmp, "big"), os.path.join(tree, "big"))
        for i in range(40):
            write(os.path.join(tree, "f%02d" % i), os.urandom(1000 + i))
        os.mkfifo(os.path.join(tree, "pipe"))
        os.symlink("missing", os.path.join(tree, "dangling"))
        args = ["-a", "http://127.0.0.1", "tree", "t.torrent"]
        status, data, _, _ = run_on_terminal(args, self.tmp)
        self.assertEqual(status, 0, data)
        self.assertIn(SAVE, data, "no status line was drawn")
        # The tree is looked at first: the line has a total and the time left.
        self.assertIn(b" of 6.0 GiB (", data)
        self.assertIn(b" left", data)
        plain_status, out, err = run_plain(args[:-1] + ["p.torrent"], self.tmp)
        self.assertEqual(plain_status, 0)
        # Both streams share the terminal; without the status line the screen holds exactly
        # the lines a plain run prints, stream by stream in the same order.
        screen = screen_of(data).split("\n")
        self.assertEqual([l for l in screen if not l.startswith("could not stat")],
                         out.decode().rstrip("\n").split("\n"))
        self.assertEqual([l for l in screen if l.startswith("could not stat")],
                         err.decode().rstrip("\n").split("\n"))
        self.assertEqual(without_date(os.path.join(self.tmp, "t.torrent")),
                         without_date(os.path.join(self.tmp, "p.torrent")))

    def test_create_shows_the_line_on_standard_error_and_results_alone(self):
        tree = os.path.join(self.tmp, "tree")
        os.mkdir(tree)
        os.rename(os.path.join(self.tmp, "big"), os.path.join(tree, "big"))
        status, data, _, _ = run_on_terminal(["create", "tree", "-l", "256K"], self.tmp)
        self.assertEqual(status, 0, data)
        self.assertIn(b" of 6.0 GiB (", data)
        self.assertIn(b" left", data)
        screen = screen_of(data).split("\n")
        self.assertEqual([line.split()[0] for line in screen], ["torrent", "info"])
        status, _, _, err = run_on_terminal(["create", "tree", "-l", "256K", "--force"], self.tmp,
                                            stderr_too=False)
        self.assertEqual((status, err), (0, b""))


class NoTerminal(unittest.TestCase):
    def test_not_one_extra_byte_when_stderr_is_not_a_terminal(self):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "big"), "wb") as f:
                f.truncate(3 << 30)
            # stdout on a terminal, stderr on a pipe: the terminal gets only the plain text.
            status, data, _, err = run_on_terminal(["-a", "x", "big", "t.torrent"], tmp,
                                                   stderr_too=False)
            self.assertEqual(status, 0)
            self.assertEqual(data, b"computing sha1... done\r\n")
            self.assertEqual(err, b"")


if __name__ == "__main__":
    sys.exit(scaffold.main())
