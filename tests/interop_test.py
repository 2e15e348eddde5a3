#!/usr/bin/python3
"""Torrents written by quillet, read back by a real BitTorrent engine.

Every kind of torrent quillet writes is loaded into libtorrent-rasterbar (Debian's
python3-libtorrent). The engine's view of the torrent -- name, sizes, file paths, piece
length, piece count, every piece digest, comment, tracker, info hash -- is compared with
what this test knows about the content it made itself, and a full recheck of that content
against the torrent must find every piece valid. Piece digests are recomputed here with
hashlib over the content the test wrote, never taken from quillet's output.

libtorrent is only a reader here: torrents come from quillet alone.

Usage: /usr/bin/python3 tests/interop_test.py <path to quillet> [unittest options]
Exit status 77 (skip) when libtorrent cannot be imported.

The engine never talks to anybody: the session listens on 127.0.0.1 only, DHT, local
discovery, UPnP and NAT-PMP are off, torrents are added paused and not auto-managed, their
trackers point at 127.0.0.1 and are dropped from the session's copy before checking, and the
engine pauses each torrent again the moment its check ends (stop_when_ready).
"""

import hashlib
import os
import stat
import sys
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
from support import bencode, scaffold  # noqa: E402
from support.scaffold import content, read, recheck, write  # noqa: E402

lt = scaffold.libtorrent("the libtorrent interoperability tests")

ANNOUNCE_BASE = "http://127.0.0.1"
PORT = "9"
DEFAULT_PATH = "/announce"
DEFAULT_PIECE_LENGTH = 262144

# Facts about libtorrent 2.0.8 as found on Debian 12, asserted by EngineLimits below.
ENGINE_MAX_LOADABLE_PIECE_LENGTH = 1073741823  # 2^30 - 1
ENGINE_MAX_CHECKABLE_PIECE_LENGTH = 536854528  # 32767 blocks of 16 KiB
ENGINE_MAX_TORRENT_FILE = 10000000  # bytes, default load limit for a .torrent file


# ---------------------------------------------------------------------------------------
# helpers


def listing(root, inclusive):
    """The files a directory run takes in, in the order the system lists them.

    Subdirectories (hidden ones too) are walked where they are listed, symbolic links are
    followed, hidden regular files are taken only with -i. Returns a list of
    (path components below root, absolute path).
    """
    out = []

    def walk(d, rel):
        for name in os.listdir(d):  # readdir order, "." and ".." already left out
            p = os.path.join(d, name)
            st = os.stat(p)
            if stat.S_ISDIR(st.st_mode):
                walk(p, rel + [name])
            elif stat.S_ISREG(st.st_mode):
                if name.startswith(".") and not inclusive:
                    continue
                out.append((rel + [name], p))

    walk(root, [])
    return out


class Expect:
    """What a torrent must say, built from the content the test made."""

    def __init__(self, name, files, piece_length, single, comment=None, url=None):
        self.name = name
        self.files = files  # list of (engine path, bytes)
        self.piece_length = piece_length
        self.single = single
        self.comment = comment
        self.url = url or f"{ANNOUNCE_BASE}:{PORT}{DEFAULT_PATH}"

    @property
    def stream(self):
        return b"".join(data for _, data in self.files)

    @property
    def num_pieces(self):
        total = sum(len(d) for _, d in self.files)
        return (total + self.piece_length - 1) // self.piece_length

    @classmethod
    def for_file(cls, path, piece_length, comment=None, url=None):
        name = os.path.basename(path.rstrip("/"))
        return cls(name, [(name, read(path))], piece_length, True, comment, url)

    @classmethod
    def for_tree(cls, root, piece_length, inclusive=False, comment=None, url=None):
        name = os.path.basename(os.path.normpath(root))
        files = [("/".join([name] + rel), read(p)) for rel, p in listing(root, inclusive)]
        return cls(name, files, piece_length, False, comment, url)


# ---------------------------------------------------------------------------------------
# base class


class EngineCase(scaffold.ScratchCase):
    scratch_prefix = "quillet-interop-"

    def quillet(self, *args, input_path, output="out.torrent", path=None, ok=True, announce=True):
        """Runs quillet in the temp dir with a loopback tracker (given with -a unless
        `announce` is false); returns the .torrent path. The run's start and end times are
        kept in self.times and its standard output in self.stdout."""
        cmd = []
        if announce:
            cmd += ["-a", ANNOUNCE_BASE, "-p", PORT]
        if path is not None:
            cmd += ["-P", path]
        cmd += list(args) + [input_path, output]
        t0 = int(time.time())
        r = scaffold.run(*cmd, cwd=self.tmp, timeout=300)
        t1 = int(time.time()) + 1
        if ok:
            self.assertEqual(
                r.returncode, 0, f"{cmd} failed: stdout={r.stdout!r} stderr={r.stderr!r}"
            )
        out = os.path.join(self.tmp, output)
        self.assertTrue(os.path.isfile(out), f"{cmd} left no {output}")
        self.times = (t0, t1)
        self.stdout = r.stdout
        return out

    def assert_engine_reads(self, torrent, exp):
        """Loads the torrent and checks the engine's view against `exp`; returns it."""
        raw = read(torrent)
        spans = {}
        doc, end = bencode.decode_at(raw, 0, spans)
        self.assertEqual(end, len(raw), "bytes after the end of the document")
        ti = lt.torrent_info(torrent)
        self.assertTrue(ti.is_valid())

        # the engine found the same info dictionary, so it computes the same info hash
        info_start, info_end = spans[b"info"]
        info = raw[info_start:info_end]
        self.assertEqual(bytes(ti.info_section()), info)
        self.assertEqual(str(ti.info_hashes().v1), hashlib.sha1(info).hexdigest())
        self.assertFalse(ti.info_hashes().has_v2())

        self.assertEqual(ti.name(), exp.name)
        total = sum(len(d) for _, d in exp.files)
        self.assertEqual(ti.total_size(), total)
        fs = ti.files()
        self.assertEqual(ti.num_files(), len(exp.files))
        self.assertEqual(
            [(fs.file_path(i), fs.file_size(i)) for i in range(fs.num_files())],
            [(p, len(d)) for p, d in exp.files],
        )
        offset = 0
        for i, (_, d) in enumerate(exp.files):
            self.assertEqual(fs.file_offset(i), offset, f"offset of file {i}")
            offset += len(d)

        self.assertEqual(ti.piece_length(), exp.piece_length)
        self.assertEqual(ti.num_pieces(), exp.num_pieces)
        stream = exp.stream
        pl = exp.piece_length
        for i in range(exp.num_pieces):
            piece = stream[i * pl : (i + 1) * pl]
            self.assertEqual(ti.piece_size(i), len(piece), f"size of piece {i}")
            self.assertEqual(
                bytes(ti.hash_for_piece(i)), hashlib.sha1(piece).digest(), f"digest of piece {i}"
            )

        self.assertEqual(ti.comment(), exp.comment if exp.comment is not None else "")
        self.assertEqual([(t.url, t.tier) for t in ti.trackers()], [(exp.url, 0)])
        self.assertGreaterEqual(ti.creation_date(), self.times[0])
        self.assertLessEqual(ti.creation_date(), self.times[1])
        self.assertEqual(ti.creator(), "")
        self.assertFalse(ti.priv())
        return ti

    def assert_recheck_complete(self, torrent, save_path, num_pieces):
        st, alert = recheck(torrent, save_path)
        self.assertIsInstance(alert, lt.torrent_checked_alert, "check did not end in time")
        self.assertEqual(st.errc.value(), 0, st.errc.message())
        self.assertEqual(len(st.pieces), num_pieces)
        missing = [i for i, have in enumerate(st.pieces) if not have]
        self.assertEqual(missing, [], "pieces the engine found invalid")
        self.assertEqual(st.num_pieces, num_pieces)
        self.assertTrue(st.is_seeding)
        self.assertEqual(st.state, lt.torrent_status.seeding)
        self.assertEqual(st.total_wanted, st.total_wanted_done)

    def check_file(self, rel, *args, comment=None, path=None):
        """Makes a torrent of the file tmp/rel, loads it and rechecks it."""
        pl = DEFAULT_PIECE_LENGTH
        for i, a in enumerate(args):
            if a == "-l":
                pl = int(args[i + 1])
        if comment is not None:
            args = args + ("-c", comment)
        torrent = self.quillet(*args, input_path=rel, path=path)
        url = f"{ANNOUNCE_BASE}:{PORT}{path if path is not None else DEFAULT_PATH}"
        full = os.path.join(self.tmp, rel)
        exp = Expect.for_file(full, pl, comment, url)
        ti = self.assert_engine_reads(torrent, exp)
        self.assert_recheck_complete(torrent, os.path.dirname(full), exp.num_pieces)
        return ti, exp

    def check_tree(self, rel, *args, comment=None, inclusive=False, output="out.torrent"):
        """Makes a torrent of the directory tmp/rel, loads it and rechecks it."""
        pl = DEFAULT_PIECE_LENGTH
        for i, a in enumerate(args):
            if a == "-l":
                pl = int(args[i + 1])
        if inclusive:
            args = args + ("-i",)
        if comment is not None:
            args = args + ("-c", comment)
        torrent = self.quillet(*args, input_path=rel, output=output)
        full = os.path.join(self.tmp, rel)
        exp = Expect.for_tree(full, pl, inclusive, comment)
        self.assertGreater(len(exp.files), 0)
        ti = self.assert_engine_reads(torrent, exp)
        self.assert_recheck_complete(
            torrent, os.path.dirname(os.path.normpath(full)), exp.num_pieces
        )
        return ti, exp

    def make_nested_tree(self, root, seed, pl):
        """Files of sizes around the piece length, several levels deep, one empty file."""
        sizes = {
            "top.bin": pl // 3,
            "a/one.bin": pl - 1,
            "a/b/two.bin": pl + 1,
            "a/b/empty": 0,
            "a/b/c/three.bin": 2 * pl,
            "a/b/c/d/four.bin": 5,
            "a/b/c/d/e/five.bin": pl + pl // 2,
            "z/six.bin": 1,
        }
        for k, (rel, size) in enumerate(sizes.items()):
            write(os.path.join(self.tmp, root, rel), content(seed * 100 + k, size))


# ---------------------------------------------------------------------------------------
# cases


class SingleFile(EngineCase):
    def test_default_piece_length_one_partial_piece(self):
        write(os.path.join(self.tmp, "plain.bin"), content(1, 100000))
        ti, exp = self.check_file("plain.bin")
        self.assertEqual(ti.num_pieces(), 1)

    def test_several_pieces_last_partial(self):
        write(os.path.join(self.tmp, "several.bin"), content(2, 7 * 16384 + 123))
        ti, _ = self.check_file("several.bin", "-l", "16384")
        self.assertEqual(ti.num_pieces(), 8)
        self.assertEqual(ti.piece_size(7), 123)

    def test_exact_multiple_of_piece_length(self):
        write(os.path.join(self.tmp, "exact.bin"), content(3, 4 * 16384))
        ti, _ = self.check_file("exact.bin", "-l", "16384")
        self.assertEqual(ti.num_pieces(), 4)
        self.assertEqual(ti.piece_size(3), 16384)

    def test_one_byte_past_piece_length(self):
        write(os.path.join(self.tmp, "past.bin"), content(4, 16385))
        ti, _ = self.check_file("past.bin", "-l", "16384")
        self.assertEqual(ti.num_pieces(), 2)
        self.assertEqual(ti.piece_size(1), 1)

    def test_piece_length_larger_than_file(self):
        write(os.path.join(self.tmp, "small.bin"), content(5, 999))
        ti, _ = self.check_file("small.bin", "-l", "4194304")
        self.assertEqual(ti.num_pieces(), 1)
        self.assertEqual(ti.piece_size(0), 999)

    def test_name_is_last_component_of_input_path(self):
        write(os.path.join(self.tmp, "deep/er/named.bin"), content(6, 5000))
        ti, _ = self.check_file("deep/er/named.bin", "-l", "1024")
        self.assertEqual(ti.name(), "named.bin")

    def test_absolute_input_path_and_tracker_path(self):
        write(os.path.join(self.tmp, "abs.bin"), content(7, 3000))
        ti, _ = self.check_file(os.path.join(self.tmp, "abs.bin"), path="/tr/ann")
        self.assertEqual([t.url for t in ti.trackers()], ["http://127.0.0.1:9/tr/ann"])

    def test_comment(self):
        write(os.path.join(self.tmp, "c.bin"), content(8, 2000))
        ti, _ = self.check_file("c.bin", comment="a plain comment")
        self.assertEqual(ti.comment(), "a plain comment")


class EmptyContent(EngineCase):
    """Torrents without a single byte of content: quillet writes them, the engine refuses
    them. These assert what each side does, so a change on either side shows."""

    def refusal(self, torrent):
        with self.assertRaises(RuntimeError) as cm:
            lt.torrent_info(torrent)
        return str(cm.exception)

    def test_empty_file(self):
        write(os.path.join(self.tmp, "empty.bin"), b"")
        torrent = self.quillet(input_path="empty.bin")
        raw = read(torrent)
        self.assertTrue(
            raw.endswith(b"4:infod6:lengthi0e4:name9:empty.bin12:piece lengthi262144e6:pieces0:ee"),
            raw,
        )
        self.assertEqual(self.refusal(torrent), "invalid length of torrent")

    def test_directory_of_empty_files(self):
        write(os.path.join(self.tmp, "ez/one"), b"")
        write(os.path.join(self.tmp, "ez/sub/two"), b"")
        torrent = self.quillet(input_path="ez")
        raw = read(torrent)
        self.assertNotIn(b"6:pieces", raw)
        self.assertTrue(raw.endswith(b"4:name2:ez12:piece lengthi262144eee"), raw)
        self.assertEqual(
            self.refusal(torrent), "invalid or missing 'pieces' entry in torrent file"
        )

    def test_empty_directory(self):
        os.mkdir(os.path.join(self.tmp, "nothing"))
        torrent = self.quillet(input_path="nothing")
        raw = read(torrent)
        self.assertTrue(
            raw.endswith(b"4:infod5:filesle4:name7:nothing12:piece lengthi262144eee"), raw
        )
        self.assertEqual(self.refusal(torrent), "no files in torrent")


class NestedDirectory(EngineCase):
    def test_nested_tree_pieces_across_files(self):
        self.make_nested_tree("tree", 10, 16384)
        ti, exp = self.check_tree("tree", "-l", "16384")
        self.assertEqual(ti.num_files(), 8)
        self.assertEqual(ti.name(), "tree")
        # at least one piece must really span two or more files for this case to count
        fs = ti.files()
        spanning = [
            p for p in range(ti.num_pieces()) if len(ti.map_block(p, 0, ti.piece_size(p))) > 1
        ]
        self.assertTrue(spanning, "no piece spans a file boundary")
        self.assertEqual(fs.file_path(0).split("/")[0], "tree")

    def test_default_piece_length_tree(self):
        self.make_nested_tree("big", 11, 262144)
        self.check_tree("big")

    def test_trailing_slash_gives_same_info(self):
        self.make_nested_tree("slash", 12, 4096)
        ti1, _ = self.check_tree("slash", "-l", "4096", output="plain.torrent")
        ti2, _ = self.check_tree("slash/", "-l", "4096", output="slashed.torrent")
        self.assertEqual(ti2.name(), "slash")
        self.assertEqual(str(ti1.info_hashes().v1), str(ti2.info_hashes().v1))

    def test_sizes_adding_up_to_exact_multiple(self):
        pl = 4096
        write(os.path.join(self.tmp, "mult/a"), content(13, pl + 100))
        write(os.path.join(self.tmp, "mult/b/c"), content(14, pl - 100))
        write(os.path.join(self.tmp, "mult/b/d"), content(15, pl))
        ti, _ = self.check_tree("mult", "-l", str(pl))
        self.assertEqual(ti.num_pieces(), 3)
        self.assertEqual(ti.piece_size(2), pl)

    def test_symbolic_links_followed(self):
        write(os.path.join(self.tmp, "links/real/data.bin"), content(16, 5000))
        os.symlink("real/data.bin", os.path.join(self.tmp, "links/to_file"))
        os.symlink("real", os.path.join(self.tmp, "links/to_dir"))
        ti, exp = self.check_tree("links", "-l", "1000")
        self.assertEqual(
            sorted(p for p, _ in exp.files),
            ["links/real/data.bin", "links/to_dir/data.bin", "links/to_file"],
        )


class PieceLengthOne(EngineCase):
    def test_small_file(self):
        write(os.path.join(self.tmp, "tiny.bin"), content(20, 300))
        ti, _ = self.check_file("tiny.bin", "-l", "1")
        self.assertEqual(ti.num_pieces(), 300)

    def test_small_tree(self):
        write(os.path.join(self.tmp, "t1/a"), content(21, 70))
        write(os.path.join(self.tmp, "t1/b/c"), content(22, 1))
        write(os.path.join(self.tmp, "t1/b/empty"), b"")
        write(os.path.join(self.tmp, "t1/d/e/f"), content(23, 129))
        ti, _ = self.check_tree("t1", "-l", "1")
        self.assertEqual(ti.num_pieces(), 200)


class OddPieceLengths(EngineCase):
    """Piece lengths that are not powers of two, or below 16 KiB, are all read and checked."""

    LENGTHS = (3, 1000, 16385, 65537, 1000003)

    def test_single_file(self):
        write(os.path.join(self.tmp, "odd.bin"), content(30, 150001))
        for pl in self.LENGTHS:
            with self.subTest(piece_length=pl):
                ti, exp = self.check_file("odd.bin", "-l", str(pl))
                self.assertEqual(ti.piece_length(), pl)

    def test_tree(self):
        self.make_nested_tree("oddtree", 31, 10007)
        for pl in self.LENGTHS:
            with self.subTest(piece_length=pl):
                ti, exp = self.check_tree("oddtree", "-l", str(pl))
                self.assertEqual(ti.piece_length(), pl)


class Utf8(EngineCase):
    COMMENT = "ça marche ✓ — 日本語のコメント 🎉"

    def test_tree_names_and_comment(self):
        root = "données"
        names = ["é.txt", "ünïcödé/ファイル.bin", "ünïcödé/深い/😀 smile.dat", "Ωmega"]
        for k, rel in enumerate(names):
            write(os.path.join(self.tmp, root, rel), content(40 + k, 3000 + 777 * k))
        ti, exp = self.check_tree(root, "-l", "2048", comment=self.COMMENT)
        self.assertEqual(ti.comment(), self.COMMENT)
        self.assertEqual(ti.name(), root)
        self.assertEqual(
            sorted(ti.files().file_path(i) for i in range(ti.num_files())),
            sorted(f"{root}/{n}" for n in names),
        )
        # the bytes in the file are the UTF-8 bytes, counted in bytes
        raw = read(os.path.join(self.tmp, "out.torrent"))
        c = self.COMMENT.encode()
        self.assertIn(b"7:comment%d:%s" % (len(c), c), raw)

    def test_single_file_name(self):
        name = "résumé ✓ 文件.bin"
        write(os.path.join(self.tmp, name), content(45, 40000))
        ti, _ = self.check_file(name, "-l", "16384", comment=self.COMMENT)
        self.assertEqual(ti.name(), name)
        self.assertEqual(ti.comment(), self.COMMENT)


class HiddenFiles(EngineCase):
    def make(self):
        for k, rel in enumerate(
            ["visible.txt", ".hidden", ".hdir/inside.txt", ".hdir/.deep", "sub/.x", "sub/y"]
        ):
            write(os.path.join(self.tmp, "h", rel), content(50 + k, 1500 + 100 * k))

    def paths(self, ti):
        return sorted(ti.files().file_path(i) for i in range(ti.num_files()))

    def test_without_inclusive(self):
        self.make()
        ti, _ = self.check_tree("h", "-l", "1024")
        self.assertEqual(self.paths(ti), ["h/.hdir/inside.txt", "h/sub/y", "h/visible.txt"])

    def test_with_inclusive(self):
        self.make()
        ti, _ = self.check_tree("h", "-l", "1024", inclusive=True)
        self.assertEqual(
            self.paths(ti),
            [
                "h/.hdir/.deep",
                "h/.hdir/inside.txt",
                "h/.hidden",
                "h/sub/.x",
                "h/sub/y",
                "h/visible.txt",
            ],
        )

    def test_hidden_input_file_itself(self):
        write(os.path.join(self.tmp, ".dotfile"), content(59, 5000))
        ti, _ = self.check_file(".dotfile", "-l", "1024")
        self.assertEqual(ti.name(), ".dotfile")


class RecheckFindsDamage(EngineCase):
    """The recheck is not a formality: one flipped byte costs exactly its piece."""

    def flip(self, path, offset):
        with open(path, "r+b") as f:
            f.seek(offset)
            b = f.read(1)
            f.seek(offset)
            f.write(bytes([b[0] ^ 0x01]))

    def assert_only_missing(self, torrent, save_path, num_pieces, bad):
        st, alert = recheck(torrent, save_path)
        self.assertIsInstance(alert, lt.torrent_checked_alert, "check did not end in time")
        self.assertEqual(len(st.pieces), num_pieces)
        self.assertEqual([i for i, have in enumerate(st.pieces) if not have], [bad])
        self.assertEqual(st.num_pieces, num_pieces - 1)
        self.assertFalse(st.is_seeding)
        self.assertNotEqual(st.state, lt.torrent_status.seeding)

    def test_single_file_byte_flipped(self):
        path = os.path.join(self.tmp, "victim.bin")
        write(path, content(60, 10 * 1000 + 17))
        torrent = self.quillet("-l", "1000", input_path="victim.bin")
        self.flip(path, 5432)
        self.assert_only_missing(torrent, self.tmp, 11, 5)

    def test_tree_byte_flipped_in_piece_spanning_files(self):
        pl = 1000
        self.make_nested_tree("dmg", 61, pl)
        torrent = self.quillet("-l", str(pl), input_path="dmg")
        exp = Expect.for_tree(os.path.join(self.tmp, "dmg"), pl)
        # pick the first byte of the second non-empty file that starts inside a piece
        offset, target = 0, None
        for p, d in exp.files:
            if d and offset % pl and target is None and offset > 0:
                target = (p, offset)
            offset += len(d)
        self.assertIsNotNone(target)
        path, stream_offset = target
        self.flip(os.path.join(self.tmp, path), 0)
        self.assert_only_missing(torrent, self.tmp, exp.num_pieces, stream_offset // pl)


class EngineLimits(EngineCase):
    """Where libtorrent 2.0.8 stops following quillet: quillet writes these torrents as
    asked; the engine refuses them. The exact refusals are asserted so that a change on
    either side is noticed."""

    def make_small(self, pl):
        path = os.path.join(self.tmp, "s.bin")
        if not os.path.exists(path):
            write(path, content(70, 3000))
        return self.quillet("-l", str(pl), input_path="s.bin", output=f"s{pl}.torrent")

    def add_error(self, torrent):
        st, alert = recheck(torrent, self.tmp)
        return st.errc.message()

    def test_largest_piece_length_checked(self):
        torrent = self.make_small(ENGINE_MAX_CHECKABLE_PIECE_LENGTH)
        exp = Expect.for_file(os.path.join(self.tmp, "s.bin"), ENGINE_MAX_CHECKABLE_PIECE_LENGTH)
        self.assert_engine_reads(torrent, exp)
        self.assert_recheck_complete(torrent, self.tmp, 1)

    def test_piece_length_loaded_but_not_checked(self):
        for pl in (ENGINE_MAX_CHECKABLE_PIECE_LENGTH + 1, ENGINE_MAX_LOADABLE_PIECE_LENGTH):
            with self.subTest(piece_length=pl):
                torrent = self.make_small(pl)
                self.assertEqual(lt.torrent_info(torrent).piece_length(), pl)
                self.assertEqual(self.add_error(torrent), "invalid piece size")

    def test_piece_length_refused_on_load(self):
        for pl in (ENGINE_MAX_LOADABLE_PIECE_LENGTH + 1, 2147483647):
            with self.subTest(piece_length=pl):
                torrent = self.make_small(pl)
                self.assertIn(b"12:piece lengthi%de" % pl, read(torrent))
                with self.assertRaises(RuntimeError) as cm:
                    lt.torrent_info(torrent)
                self.assertEqual(
                    str(cm.exception), "invalid or missing 'piece length' entry in torrent file"
                )

    def test_torrent_file_size_limit(self):
        # 16-byte pieces over a sparse file: 20 bytes of digest per 16 bytes of content.
        # Both files stay well clear of the limit; only the side they fall on matters.
        for pieces, loads in ((495000, True), (505000, False)):
            with self.subTest(pieces=pieces):
                name = f"sparse{pieces}.bin"
                with open(os.path.join(self.tmp, name), "wb") as f:
                    f.truncate(pieces * 16)
                torrent = self.quillet("-l", "16", input_path=name, output=f"{name}.torrent")
                size = os.path.getsize(torrent)
                self.assertEqual(size > ENGINE_MAX_TORRENT_FILE, not loads, size)
                if loads:
                    self.assertEqual(lt.torrent_info(torrent).num_pieces(), pieces)
                else:
                    with self.assertRaises(RuntimeError) as cm:
                        lt.torrent_info(torrent)
                    self.assertEqual(str(cm.exception), "metadata too large")


class NamesTheEngineRewrites(EngineCase):
    """File names Linux allows but the engine rewrites when it reads them. quillet copies
    names byte for byte; these assert the engine's reading so that users can be told."""

    def test_rewritten_names(self):
        raw_names = {
            b"back\\slash": "backslash",
            b"ctl\x01char": "ctl_char",
            b"bad\xff\xfeutf8": "bad__utf8",
            b"L" * 255: "L" * 240,
        }
        root = os.path.join(self.tmp.encode(), b"odd")
        os.mkdir(root)
        for k, n in enumerate(raw_names):
            write(os.path.join(root, n), content(80 + k, 10))
        torrent = self.quillet("-l", "1024", input_path="odd")
        raw = read(torrent)
        for n in raw_names:
            self.assertIn(b"%d:%see" % (len(n), n), raw, "quillet must copy the name as is")
        ti = lt.torrent_info(torrent)
        fs = ti.files()
        self.assertEqual(
            sorted(fs.file_path(i) for i in range(fs.num_files())),
            sorted("odd/" + v for v in raw_names.values()),
        )


class TrackerOptions(EngineCase):
    """The options for trackers and uploads, as the engine reads them: the private flag, the
    tiers of trackers, the web seeds and the name, and the magnet link parsed back to the same
    info hash, name and trackers. Every URL points at the loopback address."""

    A_URL = f"{ANNOUNCE_BASE}:{PORT}{DEFAULT_PATH}"
    TIER_2 = ["http://127.0.0.1:9/two-a", "udp://127.0.0.1:9"]
    TIER_3 = ["http://127.0.0.1:9/three?key=a&b=%41"]
    WEB_SEEDS = ["http://127.0.0.1:9/seed/", "ftp://127.0.0.1:9/mirror,with,commas/"]

    def upload_options(self, name):
        args = ["--private", "--source", "EXT", "--name", name, "--magnet"]
        args += ["--tracker", ",".join(self.TIER_2), "--tracker", self.TIER_3[0]]
        for seed in self.WEB_SEEDS:
            args += ["--webseed", seed]
        return args

    def assert_upload(self, torrent, name):
        """The engine's view of a torrent made with upload_options; returns it."""
        raw = read(torrent)
        spans = {}
        doc = bencode.decode(raw, spans)
        info = raw[spans[b"info"][0] : spans[b"info"][1]]
        ti = lt.torrent_info(torrent)
        self.assertTrue(ti.priv())
        self.assertEqual(doc[b"info"][b"source"], b"EXT")
        self.assertEqual(ti.name(), name)
        tiers = [[self.A_URL], self.TIER_2, self.TIER_3]
        self.assertEqual(doc[b"announce-list"], [[u.encode() for u in t] for t in tiers])
        # the engine shuffles the URLs within a tier, as clients should
        self.assertEqual(
            sorted((t.tier, t.url) for t in ti.trackers()),
            sorted((k, u) for k, tier in enumerate(tiers) for u in tier),
        )
        self.assertEqual([w["url"] for w in ti.web_seeds()], self.WEB_SEEDS)
        self.assertEqual(str(ti.info_hashes().v1), hashlib.sha1(info).hexdigest())

        # the link is the last line, and names what the torrent names
        lines = self.stdout.decode().splitlines()
        link = lines[-1]
        self.assertTrue(link.startswith("magnet:?xt=urn:btih:"), self.stdout)
        self.assertFalse(any(line.startswith("magnet:") for line in lines[:-1]))
        magnet = lt.parse_magnet_uri(link)
        self.assertEqual(str(magnet.info_hashes.v1), str(ti.info_hashes().v1))
        self.assertFalse(magnet.info_hashes.has_v2())
        self.assertEqual(magnet.name, name)
        self.assertEqual(magnet.trackers, [self.A_URL] + self.TIER_2 + self.TIER_3)
        return ti

    def test_single_file_upload(self):
        name = "Other name & more?.bin"
        write(os.path.join(self.tmp, "data.bin"), content(90, 70000))
        torrent = self.quillet("-l", "16384", *self.upload_options(name), input_path="data.bin")
        ti = self.assert_upload(torrent, name)
        self.assertEqual(ti.num_pieces(), 5)
        # the engine finds the content under the torrent's name
        save = os.path.join(self.tmp, "save")
        os.mkdir(save)
        os.symlink(os.path.join(self.tmp, "data.bin"), os.path.join(save, name))
        self.assert_recheck_complete(torrent, save, 5)

    def test_tree_upload(self):
        self.make_nested_tree("tree", 91, 16384)
        name = "Renamed ✓"
        torrent = self.quillet("-l", "16384", *self.upload_options(name), input_path="tree")
        ti = self.assert_upload(torrent, name)
        exp = Expect.for_tree(os.path.join(self.tmp, "tree"), 16384)
        fs = ti.files()
        self.assertEqual(
            [fs.file_path(i) for i in range(fs.num_files())],
            [name + p[len("tree") :] for p, _ in exp.files],
        )
        save = os.path.join(self.tmp, "save")
        os.mkdir(save)
        os.symlink(os.path.join(self.tmp, "tree"), os.path.join(save, name))
        self.assert_recheck_complete(torrent, save, exp.num_pieces)

    def test_trackers_without_announce_base_and_no_date(self):
        write(os.path.join(self.tmp, "t/a.bin"), content(92, 5000))
        write(os.path.join(self.tmp, "t/skip.nfo"), content(93, 100))
        args = ["--tracker", "udp://127.0.0.1:9", "--nodate", "--exclude", "*.nfo"]
        first = read(self.quillet(*args, input_path="t", output="1.torrent", announce=False))
        second = read(self.quillet(*args, input_path="t", output="2.torrent", announce=False))
        self.assertEqual(first, second, "without a date the same tree gives the same bytes")
        ti = lt.torrent_info(os.path.join(self.tmp, "1.torrent"))
        self.assertEqual([(t.url, t.tier) for t in ti.trackers()], [("udp://127.0.0.1:9", 0)])
        self.assertNotIn(b"announce-list", first)
        self.assertEqual(ti.creation_date(), 0)
        self.assertNotIn(b"creation date", first)
        self.assertFalse(ti.priv())
        self.assertEqual(ti.web_seeds(), [])
        self.assertEqual([ti.files().file_path(i) for i in range(ti.num_files())], ["t/a.bin"])


if __name__ == "__main__":
    print(f"libtorrent {lt.__version__}")
    sys.exit(scaffold.main())
