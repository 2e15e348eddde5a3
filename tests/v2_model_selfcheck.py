#!/usr/bin/python3
"""Checks the v2 and hybrid model of tests/support/v2_model.py against libtorrent's creator.

For trees and single files of awkward sizes, at piece lengths of 16 KiB and 4 MiB, libtorrent
(Debian's python3-libtorrent) builds v2-only and hybrid torrents of the same content, without
file attributes or modification times. Their info dictionaries must be the model's byte for
byte (so both info hashes agree), their piece layers the model's, and libtorrent must load the
model's document with those same info hashes.

libtorrent is a second opinion here, not the definition: where it disagrees, the difference is
printed so that it can be weighed against the format's rules.

Usage: /usr/bin/python3 tests/v2_model_selfcheck.py
Exit status 0 when everything matches, 1 on a mismatch, 77 when libtorrent is missing.
"""

import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import v2_model  # noqa: E402

try:
    import libtorrent as lt
except ImportError:
    lt = None

SMALL, LARGE = 16384, 4 << 20


def sizes_of(piece):
    """Sizes around the edges of a block and of a piece."""
    return {"tiny": 1, "block-1": 16383, "block": 16384, "block+1": 16385,
            "piece-1": piece - 1, "piece": piece, "piece+1": piece + 1,
            "pieces+7": 3 * piece + 7, "two-pieces": 2 * piece}


def trees_of(piece):
    """Relative path -> size. Names chosen so that byte order and a plain sort of whole paths
    disagree ("a/b" before "a.txt"), with empty files in the middle and at the end."""
    sizes = sizes_of(piece)
    nested = {
        "a/b": sizes["piece+1"], "a/c/empty": 0, "a/c/d/e": sizes["block-1"], "a.txt": 1,
        "a-b": sizes["block"], "B/upper": sizes["block+1"], ".hd/f": sizes["piece"],
        ".hidden": 2, "sub/exact": sizes["two-pieces"], "sub/less": sizes["piece-1"],
        "z": sizes["pieces+7"], "zz/empty": 0,
    }
    nested["a/link"] = "../z"  # a symbolic link, followed
    return {"nested": nested, "empty-last": {"a": 5, "b": 0}, "pad-last": {"a": 16384, "b": 5},
            "one-file": {"only": 16385}, "one-nested": {"sub/deeper/only": sizes["pieces+7"]},
            "one-whole": {"only": sizes["two-pieces"]}, "one-empty": {"only": 0}}


def write_content(root, files):
    """Sizes make files of pseudo-random bytes; texts make symbolic links to them."""
    for seed, (relative, size) in enumerate(sorted(files.items())):
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(size, str):
            os.symlink(size, path)
            continue
        with open(path, "wb") as f:
            f.write(random.Random(seed).randbytes(size))


def libtorrent_document(path, piece, fmt, keep=None):
    """`keep` tells, from a path, whether libtorrent takes that entry; None takes all."""
    storage = lt.file_storage()
    lt.add_files(storage, path, keep or (lambda _: True), lt.create_torrent.no_attributes)
    flags = lt.create_torrent.no_attributes
    if fmt == "v2":
        flags |= lt.create_torrent.v2_only
    creator = lt.create_torrent(storage, piece, flags)
    lt.set_piece_hashes(creator, os.path.dirname(path))
    return lt.bencode(creator.generate())


def describe_files(info):
    return [(b"/".join(entry[b"path"]).decode(errors="replace"), entry[b"length"],
             entry.get(b"attr", b"").decode()) for entry in info.get(b"files", [])]


def differences(model_info, engine_info):
    """What differs between two decoded info dictionaries, in words."""
    said = []
    for key in sorted(set(model_info) | set(engine_info)):
        if key not in engine_info:
            said.append(f"only the model has {key!r}")
        elif key not in model_info:
            said.append(f"only libtorrent has {key!r}")
        elif model_info[key] != engine_info[key]:
            said.append(f"{key!r} differs")
    if model_info.get(b"files") != engine_info.get(b"files"):
        said.append(f"model files:      {describe_files(model_info)}")
        said.append(f"libtorrent files: {describe_files(engine_info)}")
    return said


def content_size(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(p) for _, p in v2_model.torrent_files(path, inclusive=True))
    return os.path.getsize(path)


def check(label, path, piece, fmt):
    """Returns the problems found for one input, format and piece length."""
    model = v2_model.build_torrent(path, fmt, "http://127.0.0.1:9/announce", piece, 0,
                                   inclusive=True)
    try:
        engine = libtorrent_document(path, piece, fmt)
    except RuntimeError as err:
        # libtorrent makes no torrent of no content at all; anything else it must build.
        if content_size(path) != 0:
            print(f"  {label}: MISMATCH, libtorrent does not build it ({err})")
            return [str(err)]
        print(f"  {label}: libtorrent does not build it ({err}); nothing to compare")
        return []
    problems = []
    model_info, engine_info = v2_model.info_bytes(model), v2_model.info_bytes(engine)
    if model_info != engine_info:
        problems += differences(v2_model.bdecode(model_info), v2_model.bdecode(engine_info))
    if v2_model.bdecode(model)[b"piece layers"] != v2_model.bdecode(engine)[b"piece layers"]:
        problems.append("piece layers differ")
    v1, v2 = v2_model.info_hashes(model)
    try:
        loaded = lt.torrent_info(model).info_hashes()
        if loaded.v2.to_bytes().hex() != v2 or (fmt == "hybrid") != loaded.has_v1() or (
                fmt == "hybrid" and loaded.v1.to_bytes().hex() != v1):
            problems.append("libtorrent loads the model's document with other info hashes")
    except RuntimeError as err:
        problems.append(f"libtorrent refuses the model's document: {err}")
    hashes = f"v1 {v1} v2 {v2}" if fmt == "hybrid" else f"v2 {v2}"
    verdict = "MISMATCH" if problems else "match"
    print(f"  {label}: {verdict}, model's {hashes}")
    for problem in problems:
        print(f"    {problem}")
    return problems


def check_walk_rules():
    """The walk rules libtorrent has no say in: hidden files, other file types, the output,
    the nesting limit. Returns the number of mismatches."""
    with tempfile.TemporaryDirectory() as top:
        def at_level(level, name="f"):
            return "/".join(["d"] * level) + "/" + name

        # At level 29 the walk ends at the first subdirectory, "d": "c" sorts before it and
        # stays, "f" after it is left out.
        write_content(top, {".hd/f": 1, ".hidden": 1, "a/b": 1, "a-b": 1, "a.txt": 1,
                            "ln": "a", "out.torrent": 1, at_level(28): 1, at_level(29, "c"): 1,
                            at_level(29): 1, at_level(30): 1})
        os.mkfifo(os.path.join(top, "pipe"))
        expected = [".hd/f", ".hidden", "a/b", "a-b", "a.txt", at_level(29, "c"), at_level(28),
                    "ln/b"]
        cases = [  # (what the walk is given, the files it must take, in order)
            ({"inclusive": True, "leave_out": os.path.join(top, "out.torrent")}, expected),
            ({}, [p for p in expected if p != ".hidden"] + ["out.torrent"]),
        ]
        mismatches = 0
        for arguments, files in cases:
            walked = [b"/".join(components).decode()
                      for components, _ in v2_model.torrent_files(top, **arguments)]
            if walked != files:
                mismatches += 1
                print(f"  walk rules, {arguments}: MISMATCH\n    walked   {walked}\n"
                      f"    expected {files}")
        print(f"  walk rules: {mismatches} mismatches")
        return mismatches


def main():
    failures = check_walk_rules()
    if lt is None:
        print("skipping the comparison with libtorrent: cannot import libtorrent")
        return 1 if failures else 77
    print(f"libtorrent {lt.__version__}")
    with tempfile.TemporaryDirectory() as scratch:
        for piece in (SMALL, LARGE):
            base = os.path.join(scratch, str(piece))
            for tree, files in trees_of(piece).items():
                write_content(os.path.join(base, tree), files)
                for fmt in ("v2", "hybrid"):
                    label = f"{fmt} tree {tree}, piece length {piece}"
                    failures += bool(check(label, os.path.join(base, tree), piece, fmt))
            single = os.path.join(base, "single")
            write_content(single, dict(sizes_of(piece), empty=0))
            for name in sorted(os.listdir(single)):
                for fmt in ("v2", "hybrid"):
                    label = f"{fmt} file {name} ({os.path.getsize(os.path.join(single, name))} " \
                            f"bytes), piece length {piece}"
                    failures += bool(check(label, os.path.join(single, name), piece, fmt))
    print(f"{failures} mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
