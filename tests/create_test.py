#!/usr/bin/python3
"""`quillet create`, driven from outside: the bytes of the torrents it writes, what it prints
on standard output and standard error, its exit status and the files it leaves behind.

Oracles need no model of quillet: libtorrent loads and rechecks every torrent; mktorrent
writes the same info hash for the same content; the torrent's own bytes are read back with
the strict decoder of tests/support.

Usage: /usr/bin/python3 tests/create_test.py <path to quillet> [unittest options]
Exit status 77 (skip) when libtorrent cannot be imported.
"""

import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no cache files in the source tree
from support import scaffold  # noqa: E402
from support.bencode import decode  # noqa: E402
from support.scaffold import NOBODY, info_hash_v1, read, write  # noqa: E402

lt = scaffold.libtorrent("the create tests")

TRACKER = "http://127.0.0.1:9/announce"


def make_tree(root):
    """Names whose order differs between sorting each level and sorting whole paths:
    "a-b" < "a/b" < "a0" as whole paths, while "a" < "a-b" < "a0" level by level."""
    for rel, size in [("a/b", 40000), ("a/c/d", 1), ("a-b", 70000), ("a0", 16384),
                      ("z/.keep/x", 3), (".hidden", 5), ("B", 123457)]:
        write(os.path.join(root, rel), os.urandom(size))


class CreateCase(scaffold.ScratchCase):
    scratch_prefix = "quillet-create-"

    def setUp(self):
        super().setUp()
        os.chmod(self.tmp, 0o755)
        self.tree = os.path.join(self.tmp, "tree")
        make_tree(self.tree)

    def run_create(self, *args, ok=True, cwd=None, env=None, user=()):
        done = scaffold.run("create", *args, user=user, cwd=cwd or self.tmp, env=env)
        if ok:
            self.assertEqual(done.returncode, 0, done.stderr.decode())
        return done

    def torrent(self, name="tree.torrent"):
        return read(os.path.join(self.tmp, name))

    def paths_of(self, data):
        info = decode(data)[b"info"]
        return [b"/".join(f[b"path"]).decode() for f in info.get(b"files", [])]


class EngineReadsAndRechecks(CreateCase):
    def test_every_format_and_layout(self):
        write(os.path.join(self.tmp, "one.bin"), os.urandom(300001))
        for layout in ["tree", "one.bin"]:
            for fmt in ["v1", "v2", "hybrid"]:
                with self.subTest(layout=layout, format=fmt):
                    out = f"{fmt}.torrent"
                    done = self.run_create(layout, "-f", fmt, "-o", out, "--force", "--json",
                                           "-t", TRACKER, "-l", "16K")
                    shown = json.loads(done.stdout)
                    ti = lt.torrent_info(os.path.join(self.tmp, out))
                    self.assertEqual(shown["piece_count"], ti.num_pieces())
                    self.assertEqual(shown["size"], ti.total_size() - sum(
                        ti.files().file_size(i) for i in range(ti.num_files())
                        if ti.files().file_flags(i) & lt.file_storage.flag_pad_file))
                    hashes = ti.info_hashes()
                    if fmt != "v2":
                        self.assertEqual(shown["info_hash_v1"], str(hashes.v1))
                    if fmt != "v1":
                        self.assertEqual(shown["info_hash_v2"], str(hashes.v2))
                    status, _ = scaffold.recheck(os.path.join(self.tmp, out), self.tmp)
                    self.assertEqual(status.num_pieces, ti.num_pieces())


class SameInfoHashAsMktorrent(CreateCase):
    # (create's options, mktorrent's): the same keys in the info dictionary.
    CASES = [
        ([], []),
        (["-p"], ["-p"]),
        (["-s", "SRC"], ["-s", "SRC"]),
        (["--hidden", "-l", "17"], ["-l", "17"]),
        (["-j", "1", "-f", "v1"], []),
    ]

    def test_same_content_same_info_hash(self):
        for create_args, mk_args in self.CASES:
            for layout in ["tree", "tree/B"]:
                with self.subTest(args=create_args, layout=layout):
                    has_length = "-l" in create_args
                    exponent = [] if has_length else ["-l", "15"]
                    self.run_create(layout, "--no-date", "-o", "q.torrent", "--force",
                                    *exponent, *create_args)
                    mk = os.path.join(self.tmp, "m.torrent")
                    if os.path.exists(mk):
                        os.unlink(mk)
                    # mktorrent takes hidden files too: without --hidden, compare a copy of
                    # the tree that has none.
                    source = layout
                    if "--hidden" not in create_args and layout == "tree":
                        source = os.path.join(self.tmp, "copy", "tree")
                        shutil.rmtree(os.path.dirname(source), ignore_errors=True)
                        shutil.copytree(self.tree, source,
                                        ignore=shutil.ignore_patterns(".*"))
                    subprocess.run(["mktorrent", "-a", TRACKER, *exponent, *mk_args, "-o", mk,
                                    source], cwd=self.tmp, check=True, capture_output=True)
                    self.assertEqual(info_hash_v1(self.torrent("q.torrent")),
                                     info_hash_v1(read(mk)))

    def test_whole_path_order(self):
        self.run_create("tree")
        self.assertEqual(self.paths_of(self.torrent()), ["B", "a-b", "a/b", "a/c/d", "a0"])


class PieceLengths(CreateCase):
    def test_sizes_and_exponents(self):
        for text, length in [("256K", 262144), ("256KiB", 262144), ("16kb", 16384), ("4M", 4 << 20),
                             ("4MiB", 4 << 20), ("4194304", 4 << 20), ("22", 4 << 20),
                             ("14", 16384), ("16384", 16384), ("256M", 256 << 20)]:
            with self.subTest(text=text):
                self.run_create("tree", "-l", text, "--force")
                self.assertEqual(decode(self.torrent())[b"info"][b"piece length"], length)

    def test_refused(self):
        for text in ["1000", "16383", "29", "13", "3M", "512M", "1G", "64k0", "auto2", "-22", "",
                     "4MiBs", "99999999999999K"]:
            with self.subTest(text=text):
                done = self.run_create("tree", "-l", text, ok=False)
                self.assertEqual(done.returncode, 1)
                self.assertIn(b"power of two", done.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "tree.torrent")))

    def test_auto_follows_the_total_and_its_cap(self):
        # 100 MiB in at most 2,048 pieces: 64 KiB; a cap below the table's choice wins.
        with open(os.path.join(self.tmp, "big"), "wb") as f:
            f.truncate(100 << 20)
        for args, length in [([], 65536), (["--max-piece-length", "32K"], 32768)]:
            with self.subTest(args=args):
                done = self.run_create("big", "--json", "--force", *args)
                self.assertEqual(json.loads(done.stdout)["piece_length"], length)


class Rules(CreateCase):
    def test_hidden_include_exclude(self):
        for args, expected in [
            ([], ["B", "a-b", "a/b", "a/c/d", "a0"]),
            (["--hidden"], [".hidden", "B", "a-b", "a/b", "a/c/d", "a0", "z/.keep/x"]),
            (["-x", "a"], ["B", "a-b", "a0"]),
            (["--include", "a*"], ["a-b", "a0"]),
            (["--include", "a/*"], ["a/b"]),
        ]:
            with self.subTest(args=args):
                self.run_create("tree", "--force", *args)
                self.assertEqual(self.paths_of(self.torrent()), expected)

    def test_special_files_left_out_with_a_warning(self):
        os.mkfifo(os.path.join(self.tree, "pipe"))
        for args, said in [([], b"warning: tree/pipe left out: not a regular file or directory\n"),
                           (["-q"], b"")]:
            with self.subTest(args=args):
                done = self.run_create("tree", "--force", *args)
                self.assertEqual(done.stderr, said)
                self.assertNotIn("pipe", self.paths_of(self.torrent()))

    def test_output_inside_the_content_and_dot(self):
        # `create .` names the torrent after the directory, and leaves it out of itself even
        # when it was there before and hidden files are taken.
        for args in [[], ["--hidden", "--force"], ["--force", "-o", "a/x.torrent"]]:
            with self.subTest(args=args):
                done = self.run_create(".", *args, cwd=self.tree)
                out = args[-1] if "-o" in args else "tree.torrent"
                data = read(os.path.join(self.tree, out))
                self.assertEqual(decode(data)[b"info"][b"name"], b"tree")
                self.assertNotIn(out, self.paths_of(data))
                self.assertIn(out.encode(), done.stdout)

    def test_refusals(self):
        os.makedirs(os.path.join(self.tmp, "empty/.only"))
        write(os.path.join(self.tmp, "zero/f"), b"")
        os.makedirs(os.path.join(self.tmp, "loop/in"))
        os.symlink("..", os.path.join(self.tmp, "loop/in/up"))
        write(os.path.join(self.tmp, "tree.torrent"), b"keep")
        for args, message in [
            (["tree"], b"tree.torrent exists: use --force to replace it"),
            (["empty"], b"nothing to share in empty"),
            (["zero"], b"nothing to share in zero"),
            (["loop"], b"loop/in/up: symbolic link loop"),
            (["tree", "-o", "x", "-t", "ftp://h/a"], b"scheme 'ftp' is not one of"),
            (["tree", "-o", "x", "-t", "http://h:70000/a"], b"port"),
            (["tree", "-o", "x", "-t", "udp:///a"], b"no host"),
            (["tree", "-o", "x", "-t", "tracker.example.org"], b"not a complete URL"),
            (["tree", "-o", "x", "-w", "udp://h/x"], b"web seed URL"),
            (["tree", "-o", "x", "-n", ".."], b"--name"),
            (["/", "-o", "x"], b"/ has no name for the torrent: use --name"),
            (["/.", "-o", "x"], b"/. has no name for the torrent: use --name"),
            (["tree", "B", "-o", "-"], b"give one PATH"),
            (["tree/B", "-o", "tree/B", "--force"], b"is the input file"),
        ]:
            with self.subTest(args=args):
                done = self.run_create(*args, ok=False)
                self.assertEqual(done.returncode, 1)
                self.assertIn(message, done.stderr)
                self.assertEqual(done.stderr.count(b"\n"), 1, done.stderr)
                self.assertEqual(done.stdout, b"")
                self.assertEqual(self.torrent(), b"keep")
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "x")))

    def test_unreadable_as_unprivileged_user(self):
        for rel in ["a/b", "a/c"]:
            with self.subTest(unreadable=rel):
                target = os.path.join(self.tree, rel)
                os.chmod(target, 0)
                try:
                    done = self.run_create("tree", "-o", "o.torrent", ok=False, user=NOBODY)
                finally:
                    os.chmod(target, 0o755)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn(rel.encode() + b":", done.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "o.torrent")))
                self.assertEqual(os.listdir(self.tmp), ["tree"])

    def setUp(self):
        super().setUp()
        # The unprivileged user writes its output here.
        os.chmod(self.tmp, 0o777)


class Output(CreateCase):
    def test_standard_output_and_several_paths(self):
        done = self.run_create("tree", "-o", "-", "--magnet", "--no-date")
        self.assertEqual(lt.torrent_info(lt.bdecode(done.stdout)).name(), "tree")
        self.assertIn(b"magnet:?xt=urn:btih:" + info_hash_v1(done.stdout).encode(), done.stderr)
        os.mkdir(os.path.join(self.tmp, "out"))
        done = self.run_create("tree", "tree/B", "tree/a", "-o", "out", "--json")
        shown = json.loads(done.stdout)
        self.assertEqual([r["torrent"] for r in shown], ["out/tree.torrent", "out/B.torrent",
                                                         "out/a.torrent"])
        for r in shown:
            self.assertEqual(info_hash_v1(self.torrent(r["torrent"])), r["info_hash_v1"])

    def test_results_only_on_standard_output(self):
        done = self.run_create("tree", "--magnet")
        lines = done.stdout.decode().splitlines()
        self.assertEqual([line.split()[0] for line in lines], ["torrent", "info", "magnet"])
        self.assertIn(info_hash_v1(self.torrent()), lines[1])
        self.assertEqual(done.stderr, b"")
        done = self.run_create("tree", "-q", "--force")
        self.assertEqual(done.stdout + done.stderr, b"")
        done = self.run_create("tree", "--json", "--force", "-f", "hybrid")
        self.assertEqual(list(json.loads(done.stdout)), [
            "torrent", "name", "info_hash_v1", "info_hash_v2", "magnet", "size", "files",
            "piece_length", "piece_count", "seconds"])

    def test_outer_keys(self):
        version = scaffold.run("-V").stdout.split()[1]
        for args, created_by, dated in [
            ([], b"quillet " + version, True),
            (["--created-by", "me", "--no-date"], b"me", False),
            (["--no-created-by"], None, True),
        ]:
            with self.subTest(args=args):
                self.run_create("tree", "--force", *args)
                outer = decode(self.torrent())
                self.assertEqual(outer.get(b"created by"), created_by)
                self.assertEqual(b"creation date" in outer, dated)
                self.assertNotIn(b"announce", outer)

    def test_tiers(self):
        self.run_create("tree", "-t", "udp://a:1/x,https://b/y", "-t", "wss://c/z")
        outer = decode(self.torrent())
        self.assertEqual(outer[b"announce"], b"udp://a:1/x")
        self.assertEqual(outer[b"announce-list"],
                         [[b"udp://a:1/x", b"https://b/y"], [b"wss://c/z"]])


class Presets(CreateCase):
    GOOD = """version: 1
default:
  private: true
  no_date: true
  comment: from default
presets:
  ptp:
    trackers:
      - https://tracker.example.org/abc/announce
    source: PTP
    piece_length: 16
    exclude_patterns: ["a0"]
    entropy: true
  cap:
    max_piece_length: 14
    include_patterns: ["*b"]
    private: false
"""

    def presets(self, text, where=None):
        path = where or os.path.join(self.tmp, "p.yaml")
        write(path, text.encode())
        return path

    def test_values_and_overrides(self):
        path = self.presets(self.GOOD)
        for args, keys, files, warned in [
            (["-P", "ptp"], {b"source": b"PTP", b"private": 1, b"piece length": 65536},
             ["B", "a-b", "a/b", "a/c/d"], True),
            (["-P", "ptp", "-s", "RED", "-l", "15"], {b"source": b"RED", b"piece length": 32768},
             ["B", "a-b", "a/b", "a/c/d"], True),
            (["-P", "cap"], {b"piece length": 16384}, ["a-b", "a/b"], False),
        ]:
            with self.subTest(args=args):
                done = self.run_create("tree", "--force", "--presets", path, *args)
                outer = decode(self.torrent())
                for key, value in keys.items():
                    self.assertEqual(outer[b"info"].get(key), value)
                self.assertEqual(outer[b"comment"], b"from default")
                self.assertNotIn(b"creation date", outer)
                self.assertEqual(self.paths_of(self.torrent()), files)
                self.assertEqual(b"p.yaml:13:5: warning: unknown key 'entropy'" in done.stderr,
                                 warned, done.stderr)
        self.assertNotIn(b"private", decode(self.torrent())[b"info"])

    def test_default_location(self):
        config = os.path.join(self.tmp, "config")
        self.presets(self.GOOD, os.path.join(config, "quillet", "presets.yaml"))
        env = dict(os.environ, XDG_CONFIG_HOME=config)
        self.run_create("tree", "-P", "ptp", env=env)
        self.assertEqual(decode(self.torrent())[b"announce"],
                         b"https://tracker.example.org/abc/announce")

    def test_refused(self):
        for text, args, message in [
            ("version: 1\npresets:\n  x: [\n", ["-P", "x"], b"p.yaml:4:1: malformed presets file"),
            ("version: 1\npresets:\n  x:\n    private: maybe\n", ["-P", "x"], b"p.yaml:4:14:"),
            ("version: 1\npresets:\n  x:\n    piece_length: 30\n", ["-P", "x"], b"p.yaml:4:19:"),
            ("version: 1\npresets: {}\n", ["-P", "y"], b"no preset named 'y'"),
            ("version: 2\n", ["-P", "x"], b"p.yaml:1:10: only version 1"),
            # What reaches the terminal is escaped, not obeyed.
            ("version: 1\npresets: {}\n", ["-P", "y\x1b[2J"], b"no preset named 'y\\x1b[2J'"),
        ]:
            with self.subTest(text=text):
                path = self.presets(text)
                done = self.run_create("tree", "--presets", path, *args, ok=False)
                self.assertEqual(done.returncode, 1)
                self.assertIn(message, done.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "tree.torrent")))

    def test_unknown_key_is_shown_escaped(self):
        path = self.presets('version: 1\ndefault:\n  "k\\e]0;owned\\a": 1\n')
        done = self.run_create("tree", "--presets", path)
        self.assertIn(b"unknown key 'k\\x1b]0;owned\\x07' ignored", done.stderr)
        self.assertNotIn(b"\x1b", done.stderr)


class ClassicMend(CreateCase):
    def test_dot_names_the_directory(self):
        for arg in [".", "./", "a/.."]:
            with self.subTest(input=arg):
                out = os.path.join(self.tmp, "c.torrent")
                scaffold.run("-a", "http://h", arg, out, cwd=self.tree, check=True)
                self.assertEqual(decode(read(out))[b"info"][b"name"], b"tree")


if __name__ == "__main__":
    sys.exit(scaffold.main())
