#!/usr/bin/python3
"""v2 and hybrid torrents written by quillet, read back by a real BitTorrent engine.

Every torrent is loaded into libtorrent (Debian's python3-libtorrent) with the session of
tests/support/scaffold.py, which talks to nobody. The engine must find the info dictionary
quillet wrote, with its v2 info hash (and its v1 one for hybrid), the files, their sizes and
their pieces roots, every file starting on a piece boundary; for hybrid the padding and the
v1 digests of the padded content, recomputed here with hashlib. A full recheck must find every
piece valid, which it can only do with the piece layers (the engine checks them against the
roots: a flipped bit in one makes it refuse the torrent); a flipped byte must cost exactly its
piece. Where libtorrent's own creator builds the same info dictionary, both info hashes must be
equal.

Usage: /usr/bin/python3 tests/interop_v2_test.py <path to quillet> [unittest options]
Exit status 77 (skip) when libtorrent cannot be imported.
"""

import hashlib
import os
import sys

sys.dont_write_bytecode = True  # no cache files in the source tree
import interop_test as base  # noqa: E402  (exits with 77 when libtorrent is missing)
from support import bencode, scaffold, v2_model  # noqa: E402
from support.scaffold import content, read, write  # noqa: E402
from v2_model_selfcheck import libtorrent_document  # noqa: E402

lt = base.lt
SMALL, LARGE = 16384, 4 << 20


def padded(size, piece):
    return -(-size // piece) * piece


class Layout:
    """What a v2 or hybrid torrent of the files must say: (engine path, bytes) in the order of
    the file tree, every file starting on a piece boundary."""

    def __init__(self, name, files, piece):
        self.name, self.files, self.piece = name, files, piece

    @property
    def num_pieces(self):
        return sum(padded(len(data), self.piece) for _, data in self.files) // self.piece

    @property
    def padding(self):
        """With two or more files, each is padded with zero bytes to a piece boundary; the
        only file of a torrent, in a directory or not, has no padding."""
        if len(self.files) == 1:
            return [0]
        return [padded(len(data), self.piece) - len(data) for _, data in self.files]

    @property
    def v1_stream(self):
        return b"".join(data + bytes(n) for (_, data), n in zip(self.files, self.padding))

    def first_piece(self, path):
        at = 0
        for name, data in self.files:
            if name == path:
                return at // self.piece
            at += padded(len(data), self.piece)
        raise KeyError(path)

    @classmethod
    def of(cls, input_path, piece, inclusive=False):
        name = os.path.basename(os.path.normpath(input_path))
        if os.path.isfile(input_path):
            return cls(name, [(name, read(input_path))], piece)
        files = [("/".join([name] + [c.decode() for c in components]), read(path))
                 for components, path in v2_model.torrent_files(input_path, inclusive)]
        return cls(name, files, piece)


class V2Case(base.EngineCase):
    def make(self, fmt, rel, piece, *args, output="out.torrent"):
        return self.quillet("--format", fmt, "-l", str(piece), *args, input_path=rel,
                            output=output)

    def assert_v2_reads(self, torrent, fmt, exp):
        raw = read(torrent)
        spans = {}
        bencode.decode(raw, spans)
        info = raw[spans[b"info"][0]:spans[b"info"][1]]
        ti = lt.torrent_info(torrent)
        self.assertEqual(bytes(ti.info_section()), info)
        hashes = ti.info_hashes()
        self.assertTrue(hashes.has_v2())
        self.assertEqual(hashes.v2.to_bytes(), hashlib.sha256(info).digest())
        self.assertEqual(hashes.has_v1(), fmt == "hybrid")
        if fmt == "hybrid":
            self.assertEqual(hashes.v1.to_bytes(), hashlib.sha1(info).digest())
        self.assertEqual(ti.name(), exp.name)
        self.assertEqual(ti.piece_length(), exp.piece)
        self.assertEqual(ti.num_pieces(), exp.num_pieces)

        fs = ti.files()
        pad = [bool(fs.file_flags(i) & lt.file_storage.flag_pad_file)
               for i in range(fs.num_files())]
        real = [i for i in range(fs.num_files()) if not pad[i]]
        self.assertEqual([(fs.file_path(i), fs.file_size(i)) for i in real],
                         [(path, len(data)) for path, data in exp.files])
        for i, (path, data) in zip(real, exp.files):
            self.assertEqual(fs.file_offset(i) % exp.piece, 0, f"{path} starts inside a piece")
            if data:
                self.assertEqual(fs.root(i).to_bytes(), v2_model.pieces_root(data), f"root of {path}")
        if fmt == "hybrid":
            self.assert_v1_view(ti, fs, pad, exp)
        return ti

    def assert_v1_view(self, ti, fs, pad, exp):
        stream = exp.v1_stream
        pads = [(fs.file_path(i), fs.file_size(i)) for i in range(fs.num_files()) if pad[i]]
        self.assertEqual(pads, [(f"{exp.name}/.pad/{n}", n) for n in exp.padding if n])
        for i in range(exp.num_pieces):
            piece = stream[i * exp.piece:(i + 1) * exp.piece]
            self.assertEqual(bytes(ti.hash_for_piece(i)), hashlib.sha1(piece).digest(),
                             f"v1 digest of piece {i}")

    def check(self, fmt, rel, piece, *args, inclusive=False):
        torrent = self.make(fmt, rel, piece, *args, *(["-i"] if inclusive else []),
                            output=f"{fmt}.torrent")
        full = os.path.join(self.tmp, rel)
        exp = Layout.of(full, piece, inclusive)
        ti = self.assert_v2_reads(torrent, fmt, exp)
        self.assert_recheck_complete(torrent, os.path.dirname(os.path.normpath(full)),
                                     exp.num_pieces)
        return ti, exp, torrent


class SingleFiles(V2Case):
    SIZES = (1, 16383, 16384, 16385, 3 * 16384 + 7)

    def test_sizes_at_block_and_piece_edges(self):
        for size in self.SIZES + (LARGE - 1, LARGE + 1):
            name = f"f{size}.bin"
            write(os.path.join(self.tmp, name), content(size, size))
            for piece in (SMALL, LARGE):
                for fmt in ("v2", "hybrid"):
                    with self.subTest(size=size, piece=piece, fmt=fmt):
                        self.check(fmt, name, piece)


class Trees(V2Case):
    def test_nested_tree(self):
        for piece in (SMALL, LARGE):
            self.make_nested_tree(f"tree{piece}", 90, piece)
            for fmt in ("v2", "hybrid"):
                with self.subTest(piece=piece, fmt=fmt):
                    ti, exp, _ = self.check(fmt, f"tree{piece}", piece)
                    self.assertEqual(ti.name(), f"tree{piece}")

    def test_hidden_files_links_and_shared_content(self):
        root = os.path.join(self.tmp, "mixed")
        for k, rel in enumerate(["a/b", "a.txt", "a-b", ".h/in", ".hidden", "same1", "same2"]):
            size = 2 * SMALL + 1 if rel.startswith("same") else 5000 + 7000 * k
            write(os.path.join(root, rel), content(7 if rel.startswith("same")
                                                                  else 91 + k, size))
        write(os.path.join(root, "e/empty"), b"")
        os.symlink("a", os.path.join(root, "link"))
        for fmt in ("v2", "hybrid"):
            for inclusive in (False, True):
                with self.subTest(fmt=fmt, inclusive=inclusive):
                    self.check(fmt, "mixed", SMALL, inclusive=inclusive)


class Damage(V2Case):
    """The recheck is not a formality: a flipped byte costs exactly its piece. The engine checks
    the piece layers against their roots when a torrent is added: quillet's pass, a damaged one
    is refused."""

    def setUp(self):
        super().setUp()
        self.make_nested_tree("dmg", 95, SMALL)
        self.exp = Layout.of(os.path.join(self.tmp, "dmg"), SMALL)

    def test_flipped_byte(self):
        path, data = next((p, d) for p, d in self.exp.files if len(d) >= 2 * SMALL)
        for fmt in ("v2", "hybrid"):
            with self.subTest(fmt=fmt):
                torrent = self.make(fmt, "dmg", SMALL, output=f"{fmt}.torrent")
                base.RecheckFindsDamage.flip(self, os.path.join(self.tmp, path), SMALL + 5)
                base.RecheckFindsDamage.assert_only_missing(
                    self, torrent, self.tmp, self.exp.num_pieces, self.exp.first_piece(path) + 1)
                base.RecheckFindsDamage.flip(self, os.path.join(self.tmp, path), SMALL + 5)

    def test_piece_layers_are_verified_when_added(self):
        for fmt in ("v2", "hybrid"):
            with self.subTest(fmt=fmt):
                torrent = self.make(fmt, "dmg", SMALL, output=f"{fmt}.torrent")
                self.assert_recheck_complete(torrent, self.tmp, self.exp.num_pieces)
                raw = bytearray(read(torrent))
                root, layer = next(iter(bencode.decode(bytes(raw))[b"piece layers"].items()))
                head = b"%d:" % len(layer)
                at = bytes(raw).index(root + head) + len(root) + len(head)
                raw[at + 40] ^= 1  # in the layer's second node
                write(torrent, raw)
                with self.assertRaises(RuntimeError) as refused:
                    scaffold.recheck(torrent, self.tmp)
                self.assertEqual(str(refused.exception), "a piece layer is invalid")


class SameAsLibtorrentsCreator(V2Case):
    """Same files, same piece length, no attributes: libtorrent's creator builds the same info
    dictionary, a directory of one file included, which has no padding."""

    def test_info_hashes_equal(self):
        self.make_nested_tree("same", 97, SMALL)
        write(os.path.join(self.tmp, "one.bin"), content(98, 3 * SMALL + 11))
        for rel in ("same", "one.bin"):
            for piece in (SMALL, 65536):
                for fmt in ("v2", "hybrid"):
                    with self.subTest(rel=rel, piece=piece, fmt=fmt):
                        torrent = self.make(fmt, rel, piece, "-i", output=f"{fmt}.torrent")
                        ours = lt.torrent_info(torrent).info_hashes()
                        theirs = v2_model.info_bytes(
                            libtorrent_document(os.path.join(self.tmp, rel), piece, fmt))
                        self.assertEqual(ours.v2.to_bytes(), hashlib.sha256(theirs).digest())
                        if fmt == "hybrid":
                            self.assertEqual(ours.v1.to_bytes(), hashlib.sha1(theirs).digest())

    def test_directories_of_one_file(self):
        """At any depth, ending inside a piece or on its end, longer than a batch of pieces;
        the count is of the files in the torrent, so what the directory holds besides, hidden
        or excluded, changes nothing."""
        left_out = (("--exclude", "*.nfo"), lambda path: not path.endswith(".nfo") and
                    not os.path.basename(path).startswith("."))
        cases = {  # directory: (relative path -> size, quillet's options and libtorrent's filter)
            "d": ({"a.bin": 100000}, ((), None)),
            "e": ({"sub/a.bin": 100000}, ((), None)),
            "whole": ({"a.bin": 4 * SMALL}, ((), None)),
            "long": ({"x/y/a.bin": (3 << 20) + 5}, ((), None)),
            "others": ({"a.bin": 100000, ".hidden": 7, "skip.nfo": 9, ".h/.b": 3}, left_out),
        }
        for k, (rel, (files, (options, keep))) in enumerate(cases.items()):
            for name, size in files.items():
                write(os.path.join(self.tmp, rel, name), content(60 + k, size))
            for piece in (SMALL, 1 << 20):
                with self.subTest(rel=rel, piece=piece):
                    torrent = self.make("hybrid", rel, piece, *options)
                    theirs = libtorrent_document(os.path.join(self.tmp, rel), piece, "hybrid",
                                                 keep)
                    self.assertEqual(v2_model.info_bytes(read(torrent)),
                                     v2_model.info_bytes(theirs))
                    if not options:
                        self.check("hybrid", rel, piece)


if __name__ == "__main__":
    print(f"libtorrent {lt.__version__}")
    sys.exit(scaffold.main())
