#!/usr/bin/python3
"""`quillet show`, checked against libtorrent's reading of the same torrents.

Torrents are made by quillet (every format and its main options), mktorrent,
transmission-create, buildtorrent and libtorrent's own creator (v1, v2, hybrid). For each,
`quillet show --json --pads` must give the info hashes, name, files, sizes, trackers, web seeds
and private flag that libtorrent's torrent_info reads from the same file. Then the command's own
contract: exit status, the one-line refusals, limits named with their option, escapes of what a
torrent says, several torrents at once, and a file the user may not read.

Usage: /usr/bin/python3 tests/show_test.py <path to quillet> [unittest options]
Exit status 77 (skip) when libtorrent cannot be imported.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no cache files in the source tree
from support import scaffold  # noqa: E402
from support.scaffold import NOBODY, write  # noqa: E402

lt = scaffold.libtorrent("the show tests")


def run(*args, user=()):
    return scaffold.run(*args, user=user, timeout=120)


def show_json(path):
    result = run("show", "--json", "--pads", path)
    if result.returncode != 0:
        raise AssertionError(f"show {path}: exit {result.returncode}: {result.stderr!r}")
    return json.loads(result.stdout)


def engine_view(path):
    """What libtorrent reads from the torrent, in show's JSON terms."""
    info = lt.torrent_info(path, {"max_buffer_size": 64 << 20})
    files = info.files()
    hashes = info.info_hashes()
    content = [i for i in range(files.num_files())
               if not files.file_flags(i) & lt.file_storage.flag_pad_file]
    tiers = {}
    for tracker in info.trackers():
        tiers.setdefault(tracker.tier, []).append(tracker.url)
    return {
        "name": info.name(),
        "info_hash_v1": str(hashes.v1) if hashes.has_v1() else None,
        "info_hash_v2": str(hashes.v2) if hashes.has_v2() else None,
        "files": [(files.file_path(i), files.file_size(i)) for i in content],
        "size": sum(files.file_size(i) for i in content),
        # The engine shuffles the URLs of a tier, as clients should.
        "trackers": [sorted(tiers[tier]) for tier in sorted(tiers)],
        "webseeds": [seed["url"] for seed in info.web_seeds()],
        "private": info.priv(),
        "piece_length": info.piece_length(),
    }


# Web seeds end in "/" here: the engine adds one to a multi-file torrent's seed that lacks it.
def shown_view(shown):
    view = {key: shown[key] for key in ("name", "info_hash_v1", "info_hash_v2", "size",
                                        "trackers", "webseeds", "private", "piece_length")}
    view["trackers"] = [sorted(tier) for tier in shown["trackers"]]
    view["files"] = [(entry["path"], entry["size"]) for entry in shown["files"]
                     if not entry["pad"]]
    return view


def libtorrent_maker(flags):
    def make(content, out):
        storage = lt.file_storage()
        lt.add_files(storage, content)
        creator = lt.create_torrent(storage, 16384, flags=flags)
        creator.add_tracker("http://127.0.0.1:9/a", 0)
        creator.add_tracker("http://127.0.0.1:9/b", 1)
        creator.add_url_seed("http://127.0.0.1:9/seed/")
        creator.set_priv(True)
        lt.set_piece_hashes(creator, os.path.dirname(content))
        with open(out, "wb") as f:
            f.write(lt.bencode(creator.generate()))
    return make


def command_maker(*template):
    """A peer run as a command; {in} and {out} stand for the content and the torrent."""
    def make(content, out):
        args = [arg.replace("{in}", content).replace("{out}", out) for arg in template]
        subprocess.run(args, check=True, capture_output=True, timeout=120)
    return make


def quillet_maker(*options):
    return command_maker(scaffold.QUILLET, "-a", "http://127.0.0.1/a", *options, "{in}",
                         "{out}")


class Fixture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="quillet-show-")
        cls.tree = os.path.join(cls.dir, "tree")
        for relative, size in (("a.bin", 40000), ("sub/b.txt", 7), ("sub/deeper/c", 70000),
                               ("empty", 0)):
            write(os.path.join(cls.tree, relative),
                  bytes((i * 7 + size) % 251 for i in range(size)))
        cls.single = os.path.join(cls.dir, "single.dat")
        write(cls.single, b"single file content " * 3000)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        path = self.path(name)
        write(path, data)
        return path


class AgreesWithLibtorrent(Fixture):
    def test_every_maker_and_format(self):
        q = quillet_maker
        makers = {
            "quillet v1": q(),
            "quillet v1 options": q("--private", "--tracker", "http://127.0.0.1/b", "--webseed",
                                    "http://127.0.0.1/w/", "--source", "SRC", "-c", "a comment",
                                    "-l", "16384", "--name", "renamed", "--nodate"),
            "quillet v2": q("--format", "v2", "-l", "16384"),
            "quillet v2 options": q("--format", "v2", "--private", "--webseed", "http://w/",
                                    "--tracker", "http://127.0.0.1/b"),
            "quillet hybrid": q("--format", "hybrid", "-l", "16384"),
            "quillet hybrid options": q("--format", "hybrid", "--private", "--source", "S",
                                        "--exclude", "*.txt", "--sorted"),
            "mktorrent": command_maker("mktorrent", "-a", "http://127.0.0.1/a,http://127.0.0.1/c",
                                       "-a", "http://127.0.0.1/b", "-w", "http://127.0.0.1/w/",
                                       "-p", "-s", "SRC", "-l", "15", "-o", "{out}", "{in}"),
            "transmission-create": command_maker("transmission-create", "-t",
                                                 "http://127.0.0.1/a", "-t", "http://127.0.0.1/b",
                                                 "-p", "-s", "16", "-o", "{out}", "{in}"),
            "buildtorrent": command_maker("buildtorrent", "-q", "-a", "http://127.0.0.1/a", "-A",
                                          "http://127.0.0.1/a,http://127.0.0.1/b|http://c/",
                                          "-w", "http://127.0.0.1/w/", "-p", "1", "{in}",
                                          "{out}"),
            "libtorrent v1": libtorrent_maker(lt.create_torrent.v1_only),
            "libtorrent v2": libtorrent_maker(lt.create_torrent.v2_only),
            "libtorrent hybrid": libtorrent_maker(0),
        }
        compared = 0
        for label, make in makers.items():
            for content in (self.tree, self.single):
                with self.subTest(maker=label, content=os.path.basename(content)):
                    out = self.path(f"{label} {os.path.basename(content)}.torrent".replace(" ",
                                                                                          "_"))
                    make(content, out)
                    shown = show_json(out)
                    self.assertEqual(shown_view(shown), engine_view(out))
                    # buildtorrent writes "announce-list" before "announce": accepted, listed.
                    self.assertEqual([problem.split(" at byte")[0] for problem in
                                      shown["problems"]],
                                     ["key 'announce' out of order"] if label == "buildtorrent"
                                     and content == self.tree else [])
                    compared += 1
        print(f"{compared} torrents shown as libtorrent reads them")


class LargeTorrent(Fixture):
    def test_three_hundred_thousand_files_load_with_the_default_limits(self):
        count, piece = 300000, 16384
        files = [{b"length": 1 + i % 3, b"path": [b"d%03d" % (i // 1000), b"f%06d" % i]}
                 for i in range(count)]
        total = sum(entry[b"length"] for entry in files)
        info = {b"files": files, b"name": b"large", b"piece length": piece,
                b"pieces": b"\x01" * 20 * -(-total // piece)}
        path = self.write("large.torrent", lt.bencode({b"announce": b"http://127.0.0.1/a",
                                                      b"info": info}))
        shown = show_json(path)
        self.assertEqual(len(shown["files"]), count)
        self.assertEqual(shown_view(shown), engine_view(path))


class Contract(Fixture):
    def torrent(self, name, *options):
        out = self.path(name)
        scaffold.run("-a", "http://127.0.0.1/a", *options, self.tree, out, check=True)
        return out

    def test_refusals_are_one_line_with_reason_and_offset(self):
        cases = [
            ("leading zero", b"d1:ai01ee", "not bencode: integer with a leading zero at byte 5"),
            ("truncated", b"d4:info", "not bencode: truncated: a dictionary is not closed at "
                                      "byte 7"),
            ("million lists", b"l" * 1000000 + b"e" * 1000000,
             "too large to read: nesting deeper than the depth limit of 1000 at byte 1000 "
             "(raise the limit with --max-depth)"),
        ]
        for label, data, message in cases:
            with self.subTest(label):
                path = self.write("refused.torrent", data)
                result = run("show", path)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.stderr.decode(), f"{path}: {message}\n")

    def test_limits_refuse_and_their_options_raise_them(self):
        plain = self.torrent("plain.torrent", "-l", "16384")
        size = os.path.getsize(plain)
        cases = [("--max-size", str(size - 1), str(size)), ("--max-depth", "4", "5"),
                 ("--max-tokens", "30", "1000"), ("--max-string", "100", "1000"),
                 ("--max-pieces", "3", "8")]
        for option, low, enough in cases:
            with self.subTest(option):
                refused = run("show", option, low, plain)
                self.assertEqual(refused.returncode, 1, refused.stderr)
                self.assertIn("(raise ", refused.stderr.decode())
                self.assertIn(option, refused.stderr.decode())
                self.assertEqual(run("show", option, enough, plain).returncode, 0)

    def test_invalid_torrent_is_shown_with_its_problems_and_exit_2(self):
        data = (b"d8:announce9:http://t/4:infod6:lengthi40000e4:name2:.."
                b"12:piece lengthi16384e6:pieces19:" + b"x" * 19 + b"ee")
        path = self.write("invalid.torrent", data)
        result = run("show", "--json", path)
        self.assertEqual(result.returncode, 2)
        shown = json.loads(result.stdout)
        self.assertEqual(shown["name"], "..")
        self.assertEqual(shown["problems"], ["the name is a path component '.' or '..'",
                                             "'pieces' of 19 bytes, not a multiple of 20"])
        self.assertEqual(result.stderr.decode(), f"{path}: not a valid torrent (see its "
                                                 "problems)\n")
        text = run("show", path)
        self.assertEqual(text.returncode, 2)
        self.assertIn(b"problems:      the name is a path component", text.stdout)

    def test_what_a_torrent_says_cannot_drive_the_terminal(self):
        name = b"evil\x1b]0;title\x07\x9b\xff.bin"
        data = (b"d7:comment4:\x1b[2J4:infod6:lengthi1e4:name%d:%s12:piece lengthi16384e"
                b"6:pieces20:%see" % (len(name), name, b"x" * 20))
        path = self.write("escapes.torrent", data)
        text = run("show", path)
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertFalse(any(byte < 0x20 and byte != 0x0a or byte == 0x7f
                             for byte in text.stdout))
        self.assertIn(b"name:          evil\\x1b]0;title\\x07\\x9b\\xff.bin\n", text.stdout)
        self.assertIn(b"comment:       \\x1b[2J\n", text.stdout)
        shown = json.loads(run("show", "--json", path).stdout)
        self.assertEqual(shown["name"], "evil\x1b]0;title\x07\\x9b\\xff.bin")

    def test_several_torrents_make_an_array_and_the_worst_exit(self):
        good = self.torrent("good.torrent", "--format", "hybrid")
        invalid = self.write("bad-pieces.torrent", b"d4:infod6:lengthi1e4:name1:x"
                             b"12:piece lengthi16384e6:pieces0:ee")
        result = run("show", "--json", good, invalid)
        self.assertEqual(result.returncode, 2)
        self.assertEqual([entry["format"] for entry in json.loads(result.stdout)],
                         ["hybrid", "v1"])
        missing = run("show", good, self.path("not-there.torrent"), invalid)
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"not-there.torrent: No such file or directory\n", missing.stderr)
        self.assertEqual(missing.stdout.count(b"\nfile:"), 1)  # the other two, apart

    def test_file_the_user_may_not_read(self):
        probe = subprocess.run([*NOBODY, "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("cannot run as an unprivileged user here")
        private = self.torrent("private.torrent")
        os.chmod(private, 0o600)
        os.chmod(self.dir, 0o755)
        result = run("show", private, user=NOBODY)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), f"{private}: Permission denied\n")


if __name__ == "__main__":
    sys.exit(scaffold.main())
