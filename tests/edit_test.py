#!/usr/bin/python3
"""`quillet edit`, driven as a user runs it, its output read back by libtorrent.

Oracles that need no model: libtorrent's own reading of the edited torrent (info hash,
trackers, web seeds, comment) and its recheck of the content; the classic command line, which
writes the info dictionary that an edit inside it must give; hashlib over the info bytes for
the hashes `--json` prints. Torrents come from quillet, mktorrent, transmission-create and
libtorrent.

Usage: /usr/bin/python3 tests/edit_test.py <path to quillet> [unittest options]
Exit status 77 (skip) when libtorrent cannot be imported.
"""

import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # no cache files in the source tree
from support import bencode, scaffold  # noqa: E402
from support.scaffold import NOBODY, info_bytes, read, write  # noqa: E402

lt = scaffold.libtorrent("the edit tests")

TRACKER = "http://127.0.0.1:9/announce"
PIECE = 32768


def quillet(*args, user=()):
    return scaffold.run(*args, user=user, text=True)


# ------------------------------------------------------------------------------- makers ---
# Each writes a torrent of `source` (a file or folder) with one tracker, TRACKER.


def classic(fmt, *extra):
    def make(source, out):
        scaffold.run("--format", fmt, "--nodate", "--tracker", TRACKER, "-l", str(PIECE), *extra,
                     source, out, check=True)
    return make


def mktorrent(source, out):
    subprocess.run(["mktorrent", "-l", "15", "-a", TRACKER, "-o", out, source],
                   check=True, capture_output=True)


def transmission(source, out):
    subprocess.run(["transmission-create", "-s", str(PIECE // 1024), "-t", TRACKER, "-o", out,
                    source], check=True, capture_output=True)


def libtorrent(flags):
    def make(source, out):
        files = lt.file_storage()
        lt.add_files(files, source)
        torrent = lt.create_torrent(files, PIECE, flags=flags)
        torrent.add_tracker(TRACKER)
        lt.set_piece_hashes(torrent, os.path.dirname(source))
        write(out, lt.bencode(torrent.generate()))
    return make


MAKERS = {
    "quillet-v1": classic("v1"),
    "quillet-v2": classic("v2"),
    "quillet-hybrid": classic("hybrid"),
    "mktorrent": mktorrent,
    "transmission-create": transmission,
    "libtorrent-v1": libtorrent(lt.create_torrent.v1_only),
    "libtorrent-v2": libtorrent(lt.create_torrent.v2_only),
    "libtorrent-hybrid": libtorrent(0),
}

# Edits outside the info dictionary, with the trackers (tier, URL), web seeds and comment that
# libtorrent must then read; every torrent starts with TRACKER alone.
OUTSIDE_EDITS = [
    (["--tracker", "http://a.example/ann", "--tracker", "udp://b.example:80,udp://c.example:81"],
     [(0, "http://a.example/ann"), (1, "udp://b.example:80"), (1, "udp://c.example:81")],
     [], None),
    (["--add-tracker", "http://d.example/x,http://e.example/y", "--webseed", "http://w.example/",
      "--comment", "edited", "--date", "1234567890", "--created-by", "someone"],
     [(0, TRACKER), (1, "http://d.example/x"), (1, "http://e.example/y")],
     ["http://w.example/"], "edited"),
    (["--remove-tracker", TRACKER, "--add-webseed", "http://v.example/", "--nodate"], [],
     ["http://v.example/"], None),
]

# Edits inside the info dictionary, for the recheck.
INSIDE_EDIT = ["--private", "--source", "CROSS"]


class EditCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="quillet-edit-")
        cls.tmp = cls._tmp.name
        cls.folder = os.path.join(cls.tmp, "album")
        os.makedirs(os.path.join(cls.folder, "sub"))
        for rel, size in [("a.bin", 100000), ("sub/b.bin", 40000), ("sub/c.txt", 5)]:
            write(os.path.join(cls.folder, rel), os.urandom(size))
        cls.single = os.path.join(cls.tmp, "one.bin")
        write(cls.single, os.urandom(70000))

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp, name)

    def edit(self, torrent, *args):
        done = quillet("edit", torrent, *args)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done

    def assert_recheck_valid(self, torrent):
        st, alert = scaffold.recheck(torrent, self.tmp)
        self.assertIsInstance(alert, lt.torrent_checked_alert, "check did not end in time")
        self.assertEqual(st.errc.value(), 0, st.errc.message())
        self.assertTrue(st.is_seeding)


class Outside(EditCase):
    """The info bytes stay; libtorrent reads the same info hash with the new fields."""

    def test_every_maker_and_edit(self):
        for maker, make in MAKERS.items():
            for source in (self.folder, self.single):
                original = self.path(f"{maker}-{os.path.basename(source)}.torrent")
                make(source, original)
                before = lt.torrent_info(original).info_hashes()
                for number, (args, trackers, seeds, comment) in enumerate(OUTSIDE_EDITS):
                    with self.subTest(maker=maker, source=source, edit=number):
                        out = self.path(f"out-{maker}-{number}.torrent")
                        self.edit(original, *args, "-o", out, "--force")
                        self.assertEqual(info_bytes(read(out)), info_bytes(read(original)))
                        ti = lt.torrent_info(out)
                        self.assertEqual(ti.info_hashes(), before)
                        # Clients shuffle the URLs of a tier as they load them.
                        self.assertEqual(sorted((t.tier, t.url) for t in ti.trackers()), trackers)
                        self.assertEqual([s["url"] for s in ti.web_seeds()], seeds)
                        self.assertEqual(ti.comment() or None, comment)
                        self.assert_recheck_valid(out)


class Inside(EditCase):
    """An edit inside the info dictionary gives what the classic command line writes for the
    same content with those options, in every format, both ways."""

    OPTIONS = ["--private", "--source", "CROSS", "--name", "renamed"]
    UNDO = ["--public", "--source", "", "--name"]

    def check(self, edited, json_out, wanted, old):
        self.assertEqual(info_bytes(read(edited)), info_bytes(read(wanted)))
        report = json.loads(json_out)
        for version, digest in (("v1", hashlib.sha1), ("v2", hashlib.sha256)):
            if report[f"old_info_hash_{version}"] is None:
                continue
            self.assertEqual(report[f"old_info_hash_{version}"],
                             digest(info_bytes(read(old))).hexdigest())
            self.assertEqual(report[f"new_info_hash_{version}"],
                             digest(info_bytes(read(wanted))).hexdigest())

    def test_equals_the_classic_command_line(self):
        for fmt in ("v1", "v2", "hybrid"):
            for source in (self.folder, self.single):
                with self.subTest(format=fmt, source=source):
                    plain, marked = self.path("plain.torrent"), self.path("marked.torrent")
                    classic(fmt)(source, plain)
                    classic(fmt, *self.OPTIONS)(source, marked)
                    out = self.path("edited.torrent")
                    done = self.edit(plain, *self.OPTIONS, "--json", "-o", out, "--force")
                    self.check(out, done.stdout, marked, plain)
                    name = os.path.basename(source)
                    done = self.edit(marked, *self.UNDO, name, "--json", "-o", out, "--force")
                    self.check(out, done.stdout, plain, marked)

    def test_peer_torrents_recheck_after_private_and_source(self):
        for maker, make in MAKERS.items():
            with self.subTest(maker=maker):
                original, out = self.path(f"{maker}.torrent"), self.path("in.torrent")
                make(self.folder, original)
                done = self.edit(original, *INSIDE_EDIT, "--json", "-o", out, "--force")
                report = json.loads(done.stdout)
                self.assertEqual(report["changed"], ["info.private", "info.source"])
                ti = lt.torrent_info(out)
                self.assertTrue(ti.priv())
                hashes = ti.info_hashes()
                if hashes.has_v1():
                    self.assertEqual(str(hashes.v1), report["new_info_hash_v1"])
                self.assertNotEqual(hashes, lt.torrent_info(original).info_hashes())
                self.assert_recheck_valid(out)

    def test_info_keys_out_of_order(self):
        """Such an info dictionary is kept byte for byte by edits beside it, and sorted by edits
        inside it."""
        plain, marked = self.path("plain.torrent"), self.path("marked.torrent")
        classic("v1")(self.folder, plain)
        classic("v1", "--source", "CROSS")(self.folder, marked)
        info = bencode.decode(read(plain))[b"info"]
        info_raw = b"d" + b"".join(lt.bencode(k) + lt.bencode(v) for k, v in
                                   reversed(list(info.items()))) + b"e"
        unsorted = self.path("unsorted.torrent")
        write(unsorted, b"d8:announce" + lt.bencode(TRACKER) + b"4:info" + info_raw + b"e")
        out = self.path("unsorted-out.torrent")
        self.edit(unsorted, "--comment", "c", "-o", out)
        self.assertIn(b"4:info" + info_raw + b"e", read(out))
        self.assertEqual(str(lt.torrent_info(out).info_hashes().v1),
                         hashlib.sha1(info_raw).hexdigest())
        self.edit(unsorted, "--source", "CROSS", "-o", out, "--force")
        self.assertEqual(info_bytes(read(out)), info_bytes(read(marked)))

    def test_unknown_keys_stay_as_they_are(self):
        original = self.path("unknown.torrent")
        classic("hybrid")(self.folder, original)
        top = bencode.decode(read(original))
        top[b"info"][b"x-custom"] = [b"kept", 7]
        top[b"zz-outer"] = {b"a": 1}
        write(original, lt.bencode(top))
        out = self.path("unknown-edited.torrent")
        self.edit(original, "--source", "S", "--comment", "c", "-o", out, "--force")
        edited = bencode.decode(read(out))
        self.assertEqual(edited[b"zz-outer"], {b"a": 1})
        self.assertEqual(edited[b"info"], {**top[b"info"], b"source": b"S"})


class Refusals(EditCase):
    """Refused runs exit 1 with one reason on standard error and leave every file as it was."""

    def setUp(self):
        self.good = self.path("good.torrent")
        classic("v1")(self.folder, self.good)
        self.bad_pieces = self.path("bad-pieces.torrent")
        top = bencode.decode(read(self.good))
        top[b"info"][b"pieces"] = top[b"info"][b"pieces"][:19]
        write(self.bad_pieces, lt.bencode(top))
        self.truncated = self.path("truncated.torrent")
        write(self.truncated, read(self.good)[:-9])

    def test_refused_runs(self):
        existing = self.path("existing.torrent")
        cases = [
            ([self.truncated, "-o", self.path("never.torrent")], "not bencode"),
            ([self.bad_pieces, "-o", self.path("never.torrent")], "not a valid torrent"),
            ([self.good, "--name", "../up", "-o", self.path("never.torrent")], "--name"),
            ([self.good], "give -o OUT"),
            ([self.good, self.good, "-o", self.path("never.torrent")], "use --in-place"),
            ([self.good, "--private", "--public", "-n"], "excludes"),
            ([self.good, "-o", existing], "exists: use --force"),
            ([self.good, "--add-tracker", "ftp://t.example/a", "-n"], "tracker URL 'ftp:"),
            ([self.good, "--tracker", "http://t.example:99999/a", "-n"], "tracker URL"),
            ([self.good, "--add-webseed", "t.example/files", "-n"], "web seed URL"),
        ]
        write(existing, b"keep me")
        for args, reason in cases:
            with self.subTest(args=args):
                done = quillet("edit", *args, "--source", "x")
                self.assertEqual(done.returncode, 1)
                self.assertIn(reason, done.stderr)
                self.assertEqual(done.stdout, "")
                self.assertFalse(os.path.exists(self.path("never.torrent")))
                self.assertEqual(read(existing), b"keep me")
        self.edit(self.good, "--comment", "x", "-o", existing, "--force")
        self.assertEqual(lt.torrent_info(existing).comment(), "x")

    def test_standard_output(self):
        to_file = self.path("to-file.torrent")
        self.edit(self.good, "--comment", "piped", "-o", to_file)
        done = scaffold.run("edit", self.good, "--comment", "piped", "-o", "-", cwd=self.tmp,
                            check=True)
        self.assertEqual(done.stdout, read(to_file))
        self.assertIn(b" -> -\n  changed:       comment", done.stderr)
        self.assertFalse(os.path.exists(self.path("-")))

    def test_in_place_edits_each_and_keeps_modes(self):
        torrents = [self.path(f"many-{i}.torrent") for i in range(3)]
        for i, torrent in enumerate(torrents):
            shutil.copy(self.good, torrent)
            os.chmod(torrent, 0o640 + i)
        before = [read(t) for t in torrents]
        bad_before = read(self.bad_pieces)
        done = self.edit(torrents[0], "--source", "S", "--tracker", "http://x.example/a", "-n")
        self.assertIn("would change:  announce, info.source", done.stdout)
        self.assertEqual(read(torrents[0]), before[0])
        done = quillet("edit", "--in-place", "--source", "S", torrents[0], self.bad_pieces,
                       *torrents[1:])
        self.assertEqual(done.returncode, 1)
        self.assertIn("bad-pieces.torrent: not a valid torrent", done.stderr)
        self.assertEqual(read(self.bad_pieces), bad_before)
        for i, torrent in enumerate(torrents):
            self.assertEqual(os.stat(torrent).st_mode & 0o777, 0o640 + i)
            self.assertNotEqual(read(torrent), before[i])
            self.assertEqual(lt.torrent_info(torrent).info_section(),
                             lt.torrent_info(torrents[0]).info_section())
        self.assertEqual([n for n in os.listdir(self.tmp) if n.startswith(".")], [])

    def test_signal_leaves_no_temporary_file(self):
        folder = self.path("signalled")
        os.mkdir(folder)
        torrents = [os.path.join(folder, f"t{i}.torrent") for i in range(2000)]
        for torrent in torrents:
            shutil.copy(self.good, torrent)
        run = subprocess.Popen([scaffold.QUILLET, "edit", "--in-place", "-c", "new", *torrents],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.1)
        run.send_signal(signal.SIGTERM)
        self.assertIn(run.wait(timeout=60), (-signal.SIGTERM, 0))
        self.assertEqual(sorted(os.listdir(folder)), sorted(os.path.basename(t) for t in torrents))
        comments = {lt.torrent_info(t).comment() for t in torrents}
        self.assertEqual(comments, {"new"} if run.returncode == 0 else {""})

    def test_unwritable_place_leaves_the_torrent(self):
        locked = self.path("locked")
        os.mkdir(locked, 0o755)
        torrent = os.path.join(locked, "t.torrent")
        shutil.copy(self.good, torrent)
        os.chmod(torrent, 0o644)
        os.chmod(self.tmp, 0o755)
        for args in (["--in-place"], ["-o", os.path.join(locked, "new.torrent")]):
            with self.subTest(args=args):
                done = quillet("edit", torrent, "--comment", "x", *args, user=NOBODY)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn("Permission denied", done.stderr)
                self.assertEqual(sorted(os.listdir(locked)), ["t.torrent"])
                self.assertEqual(read(torrent), read(self.good))


if __name__ == "__main__":
    sys.exit(scaffold.main())
