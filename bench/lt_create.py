#!/usr/bin/env python3
"""Makes a torrent with python3-libtorrent, for bench/run.sh to time as a peer.

  lt_create.py v1|v2|hybrid PIECE_LENGTH INPUT OUTPUT
"""

import os
import sys

import libtorrent as lt


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.strip())
    fmt, piece, source, output = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    flags = {
        "v1": lt.create_torrent.v1_only,
        "v2": lt.create_torrent.v2_only,
        "hybrid": 0,
    }[fmt]
    files = lt.file_storage()
    lt.add_files(files, source)
    torrent = lt.create_torrent(files, piece, flags=flags)
    torrent.add_tracker("http://127.0.0.1")
    lt.set_piece_hashes(torrent, os.path.dirname(os.path.abspath(source)))
    with open(output, "wb") as out:
        out.write(lt.bencode(torrent.generate()))


if __name__ == "__main__":
    main()
