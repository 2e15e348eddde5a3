#!/usr/bin/python3
"""`quillet verify`, its verdicts per file and the pieces it finds bad, checked against
libtorrent's own recheck of the same content.

One tree (a = 100000 bytes, m/empty, m/mid = 50000, z = 70000; pieces of 32 KiB) is made into a
torrent by the classic command line in each format, then damaged one way per case. For every
case and format the exit status and each file's status and bad byte ranges must be exactly
those in the table, and the pieces those ranges cover must be exactly the pieces libtorrent's
force_recheck leaves unfinished. Then the command's own contract: refusals before anything is
opened, a file the user may not read, -q, a single file, symbolic links.

Usage: /usr/bin/python3 tests/verify_test.py <path to quillet> [unittest options]
Exit status 77 (skip) when libtorrent cannot be imported.
"""

import json
import os
import re
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache files in the source tree
from support import bencode as decoding  # noqa: E402
from support import scaffold  # noqa: E402
from support.scaffold import NOBODY, read, write  # noqa: E402
from support.v2_model import bencode  # noqa: E402

lt = scaffold.libtorrent("the verify tests")

PIECE = 32768
SIZES = {"a": 100000, "m/empty": 0, "m/mid": 50000, "z": 70000}
FORMATS = ("v1", "v2", "hybrid")


def run(*args, user=()):
    return scaffold.run(*args, user=user, timeout=300)


def make_tree(root):
    for index, (path, size) in enumerate(sorted(SIZES.items())):
        write(os.path.join(root, "t", path), scaffold.content(index + 1, size))


def make_torrent(root, fmt):
    torrent = os.path.join(root, f"{fmt}.torrent")
    made = run("-a", "http://127.0.0.1", "--sorted", "--format", fmt, "-l", str(PIECE),
               os.path.join(root, "t"), torrent)
    assert made.returncode == 0, made.stderr
    return torrent


def flip(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0xFF]))


def pieces_of_ranges(torrent, report):
    """The pieces that verify's bad ranges cover, placed by libtorrent's own file offsets."""
    files = lt.torrent_info(torrent).files()
    offsets = {files.file_path(i).replace(os.sep, "/"): files.file_offset(i)
               for i in range(files.num_files())}
    bad = set()
    for entry in report["files"]:
        for start, end in entry["bad_ranges"]:
            first = offsets[entry["path"]] + start
            last = offsets[entry["path"]] + end - 1
            bad.update(range(first // PIECE, last // PIECE + 1))
    return bad


def libtorrent_bad_pieces(torrent, save_path):
    status, _ = scaffold.recheck(torrent, save_path)
    return {i for i, have in enumerate(status.pieces) if not have}


# Each case: how the tree is damaged, and what is not intact (path: status, ranges) when the
# files follow each other in one stream (v1) and when each starts a piece (v2, hybrid).
CASES = {
    "first_byte": (lambda t: flip(f"{t}/a", 0),
                   {"a": ("damaged", [[0, 32768]])},
                   {"a": ("damaged", [[0, 32768]])}),
    "last_byte": (lambda t: flip(f"{t}/a", 99999),
                  {"a": ("suspect", [[98304, 100000]]), "m/mid": ("suspect", [[0, 31072]])},
                  {"a": ("damaged", [[98304, 100000]])}),
    "across_a_piece_boundary": (lambda t: (flip(f"{t}/a", 32767), flip(f"{t}/a", 32768)),
                                {"a": ("damaged", [[0, 65536]])},
                                {"a": ("damaged", [[0, 65536]])}),
    "truncated": (lambda t: os.truncate(f"{t}/z", 1000),
                  {"z": ("wrong_size", [[0, 70000]]), "m/mid": ("suspect", [[31072, 50000]])},
                  {"z": ("wrong_size", [[0, 70000]])}),
    "extended": (lambda t: write(f"{t}/a", b"more", "ab"),
                 {"a": ("wrong_size", [])},
                 {"a": ("wrong_size", [])}),
    "missing_in_the_middle": (lambda t: os.remove(f"{t}/m/mid"),
                              {"m/mid": ("missing", [[0, 50000]]),
                               "a": ("suspect", [[98304, 100000]]),
                               "z": ("suspect", [[0, 13840]])},
                              {"m/mid": ("missing", [[0, 50000]])}),
    "empty_file_missing": (lambda t: os.remove(f"{t}/m/empty"),
                           {"m/empty": ("missing", [])},
                           {"m/empty": ("missing", [])}),
    "empty_file_grown": (lambda t: write(f"{t}/m/empty", b"x", "wb"),
                         {"m/empty": ("wrong_size", [])},
                         {"m/empty": ("wrong_size", [])}),
}


def json_report(text):
    """The report, which must be laid out as a JSON library lays out the whole document with an
    indent of 2, though the command writes it a file at a time."""
    report = json.loads(text)
    laid_out = json.dumps(report, indent=2, ensure_ascii=False) + "\n"
    without_time = [re.sub(r'"seconds": [^\n]*', "", t) for t in (text.decode(), laid_out)]
    assert without_time[0] == without_time[1], text
    return report


class Damage(scaffold.ScratchCase):
    scratch_prefix = "quillet-verify-case-"

    @classmethod
    def setUpClass(cls):
        cls.pristine = tempfile.mkdtemp(prefix="quillet-verify-")
        make_tree(cls.pristine)
        cls.torrents = {fmt: make_torrent(cls.pristine, fmt) for fmt in FORMATS}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pristine)

    def test_intact_content_exits_0_in_every_format(self):
        for fmt, torrent in self.torrents.items():
            with self.subTest(fmt=fmt):
                result = run("verify", "--json", torrent)
                self.assertEqual(result.returncode, 0, result.stderr)
                report = json.loads(result.stdout)
                self.assertEqual(report["status"], "intact")
                self.assertEqual(report["pieces_good"], report["pieces_total"])
                self.assertEqual({f["path"]: f["size"] for f in report["files"]},
                                 {f"t/{p}": s for p, s in SIZES.items()})

    def test_each_damage_gives_exact_verdicts_and_libtorrents_bad_pieces(self):
        for case, (damage, in_stream, per_file) in CASES.items():
            for fmt, torrent in self.torrents.items():
                with self.subTest(case=case, fmt=fmt):
                    content = os.path.join(self.tmp, case, fmt)
                    shutil.copytree(os.path.join(self.pristine, "t"), os.path.join(content, "t"))
                    damage(os.path.join(content, "t"))
                    result = run("verify", "--json", torrent, os.path.join(content, "t"))
                    self.assertEqual(result.returncode, 2, result.stderr)
                    report = json_report(result.stdout)
                    self.assertEqual(report["status"], "damaged")
                    expected = in_stream if fmt == "v1" else per_file
                    found = {f["path"][2:]: (f["status"], f["bad_ranges"])
                             for f in report["files"] if f["status"] != "intact"}
                    self.assertEqual(found, {p: (s, list(r)) for p, (s, r) in expected.items()})
                    lt_bad = libtorrent_bad_pieces(torrent, content)
                    self.assertEqual(pieces_of_ranges(torrent, report), lt_bad)
                    self.assertEqual(report["pieces_total"] - report["pieces_good"], len(lt_bad))

    def test_a_folder_of_one_file_has_no_padding_to_check(self):
        # A hybrid torrent of one file in a folder is written without a pad file, as libtorrent
        # writes it: its last piece is short, in every format.
        content = os.path.join(self.tmp, "one")
        write(os.path.join(content, "t", "a"), scaffold.content(1, 100000))
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                torrent = make_torrent(content, fmt)
                self.assertEqual(run("verify", "-q", torrent).returncode, 0)
                flip(os.path.join(content, "t", "a"), 99999)
                result = run("verify", "--json", torrent)
                flip(os.path.join(content, "t", "a"), 99999)
                self.assertEqual(result.returncode, 2, result.stderr)
                report = json.loads(result.stdout)
                self.assertEqual([(f["status"], f["bad_ranges"]) for f in report["files"]],
                                 [("damaged", [[98304, 100000]])])


def write_torrent(path, info):
    write(path, bencode({b"announce": b"http://127.0.0.1/", b"info": info}))


class Contract(scaffold.ScratchCase):
    scratch_prefix = "quillet-verify-"

    def v1_info(self, name, paths):
        return {b"name": name, b"piece length": PIECE, b"pieces": b"\0" * 20,
                b"files": [{b"length": 1, b"path": p} for p in paths]}

    def test_paths_that_leave_the_content_are_refused_before_anything_is_opened(self):
        outside = os.path.join(self.tmp, "outside")
        write(outside, b"x")
        cases = {
            "dot_dot": self.v1_info(b"t", [[b"..", b"outside"]]),
            "slash_in_a_component": self.v1_info(b"t", [[b"a/../../outside"]]),
            "name_as_default_path": self.v1_info(b"..", [[b"outside"]]),
        }
        for case, info in cases.items():
            with self.subTest(case=case):
                torrent = os.path.join(self.tmp, "t", f"{case}.torrent")
                write_torrent(torrent, info)
                before = os.stat(outside).st_atime_ns
                result = run("verify", torrent)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(b"quillet verify: ", result.stderr)
                self.assertEqual(os.stat(outside).st_atime_ns, before)

    def test_paths_longer_than_4_gib_together_are_refused(self):
        # A v2 tree holds a folder's name once, however many files lie below it.
        files = {b"f%d" % i: {b"": {b"length": 1, b"pieces root": b"\1" * 32}}
                 for i in range(22_000)}
        info = {b"name": b"t", b"piece length": PIECE, b"meta version": 2,
                b"file tree": {b"d" * 200_000: files}}
        torrent = os.path.join(self.tmp, "long.torrent")
        write_torrent(torrent, info)
        result = run("verify", torrent, self.tmp)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"paths are longer than 4 GiB together", result.stderr)

    def test_a_file_the_user_may_not_read_is_unreadable_with_the_systems_reason(self):
        make_tree(self.tmp)
        torrent = make_torrent(self.tmp, "v1")
        os.chmod(self.tmp, 0o755)
        os.chmod(os.path.join(self.tmp, "t", "z"), 0)
        result = run("verify", torrent, user=NOBODY)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn(b"unreadable  t/z (Permission denied)", result.stdout)

    def test_quiet_prints_nothing_and_usage_exits_1(self):
        make_tree(self.tmp)
        torrent = make_torrent(self.tmp, "hybrid")
        os.remove(os.path.join(self.tmp, "t", "a"))
        quiet = run("verify", "-q", torrent)
        self.assertEqual((quiet.returncode, quiet.stdout, quiet.stderr), (2, b"", b""))
        self.assertEqual(run("verify").returncode, 1)
        self.assertEqual(run("verify", os.path.join(self.tmp, "none.torrent")).returncode, 1)
        self.assertIn(b"Exit status: 0", run("verify", "-h").stdout)

    def test_hybrid_hashes_that_disagree_are_reported(self):
        make_tree(self.tmp)
        torrent = make_torrent(self.tmp, "hybrid")
        document = decoding.decode(read(torrent))
        pieces = bytearray(document[b"info"][b"pieces"])
        pieces[20] ^= 1  # the v1 digest of a's second piece; its v2 hashes still match
        document[b"info"][b"pieces"] = bytes(pieces)
        write(torrent, bencode(document))
        result = run("verify", torrent)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn(b"damaged     t/a: bytes [32768, 65536)\n", result.stdout)
        self.assertIn(b"the v1 and v2 hashes disagree on 1 piece\n", result.stdout)

    def test_a_single_file_and_symbolic_links_are_followed_as_create_follows_them(self):
        make_tree(self.tmp)
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                torrent = os.path.join(self.tmp, f"single-{fmt}.torrent")
                made = run("-a", "http://127.0.0.1", "--format", fmt, "-l", str(PIECE),
                           os.path.join(self.tmp, "t", "a"), torrent)
                self.assertEqual(made.returncode, 0, made.stderr)
                link = os.path.join(self.tmp, f"link-{fmt}")
                os.symlink(os.path.join(self.tmp, "t", "a"), link)
                result = run("verify", "--all", torrent, link)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(b"intact      a\n", result.stdout)
                self.assertIn(b"1 of 1 files intact", result.stdout)


if __name__ == "__main__":
    sys.exit(scaffold.main())
