#!/usr/bin/env python3
"""Makes and checks the directory-tree workloads of bench/run.sh.

  gen_tree.py make  many-medium|many-small DIR COUNT SEED
  gen_tree.py check many-medium|many-small DIR COUNT SEED
  gen_tree.py bytes many-medium|many-small DIR COUNT SEED   (DIR unused)

many-medium: COUNT files of 64 KiB, 512 per subdirectory (d00/f00000 ...).
many-small:  COUNT files of 0-4096 bytes (sizes from SEED) spread over a random
             tree of about COUNT/100 directories, at most 10 levels below DIR,
             with one chain that reaches level 10.

File content comes from an AES-CTR key stream (openssl enc over /dev/zero), which
is fast and reproducible; names never start with "." so that no file is hidden.
`check` replays the layout from COUNT and SEED and compares it with what is on
disk (file count, total bytes, deepest level); it prints one line and exits 0 on
a match, 1 otherwise.
"""

import os
import random
import subprocess
import sys

MEDIUM_SIZE = 65536
MEDIUM_PER_DIR = 512
SMALL_MAX = 4096
MAX_LEVEL = 10


def layout(kind, count, seed):
    """Returns (directories, files): relative dir paths and (relpath, size) pairs."""
    if kind == "many-medium":
        ndirs = max(1, (count + MEDIUM_PER_DIR - 1) // MEDIUM_PER_DIR)
        dirs = ["d%02d" % j for j in range(ndirs)]
        files = [("d%02d/f%05d" % (i // MEDIUM_PER_DIR, i), MEDIUM_SIZE) for i in range(count)]
        return dirs, files
    if kind == "many-small":
        rng = random.Random(seed)
        # (path, level); the input directory itself is level 0.
        nodes = [("", 0)]
        # One chain down to the deepest level so the tree really is 10 deep.
        path = ""
        for level in range(1, MAX_LEVEL + 1):
            path = (path + "/" if path else "") + "c%02d" % level
            nodes.append((path, level))
        ndirs = max(len(nodes), count // 100)
        serial = 0
        while len(nodes) < ndirs:
            parent, plevel = rng.choice(nodes)
            if plevel >= MAX_LEVEL:
                continue
            name = "d%05d" % serial
            serial += 1
            nodes.append(((parent + "/" if parent else "") + name, plevel + 1))
        files = []
        for i in range(count):
            d, _ = rng.choice(nodes)
            size = rng.randint(0, SMALL_MAX)
            files.append(((d + "/" if d else "") + "f%06d" % i, size))
        dirs = [p for p, _ in nodes if p]
        return dirs, files
    sys.exit("unknown kind: " + kind)


def max_level(dirs):
    return max((p.count("/") + 1 for p in dirs), default=0)


def make(kind, root, count, seed):
    dirs, files = layout(kind, count, seed)
    os.makedirs(root, exist_ok=False)
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    stream = subprocess.Popen(
        ["openssl", "enc", "-aes-128-ctr", "-nosalt", "-pass", "pass:quillet-%s-%d" % (kind, seed),
         "-in", "/dev/zero"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=1 << 20)
    try:
        for rel, size in files:
            data = stream.stdout.read(size) if size else b""
            if len(data) != size:
                sys.exit("key stream ended early")
            with open(os.path.join(root, rel), "wb", buffering=0) as f:
                f.write(data)
    finally:
        stream.kill()
        stream.wait()


def check(kind, root, count, seed):
    dirs, files = layout(kind, count, seed)
    want = (len(files), sum(s for _, s in files), max_level(dirs))
    nfiles = nbytes = deepest = 0
    base = root.rstrip("/").count("/")
    for dirpath, _, names in os.walk(root):
        deepest = max(deepest, dirpath.rstrip("/").count("/") - base)
        for n in names:
            nfiles += 1
            nbytes += os.stat(os.path.join(dirpath, n)).st_size
    got = (nfiles, nbytes, deepest)
    print("files=%d bytes=%d levels=%d" % got)
    return 0 if got == want else 1


def main():
    if len(sys.argv) != 6 or sys.argv[1] not in ("make", "check", "bytes"):
        sys.exit(__doc__)
    cmd, kind, root, count, seed = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
    if cmd == "make":
        make(kind, root, count, seed)
        return 0
    if cmd == "bytes":
        # Total content bytes, for the disk and memory checks before making it.
        print(sum(s for _, s in layout(kind, count, seed)[1]))
        return 0
    return check(kind, root, count, seed)


if __name__ == "__main__":
    sys.exit(main())
