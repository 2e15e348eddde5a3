#!/usr/bin/env python3
"""Loads a torrent with python3-libtorrent's torrent_info, for bench/run.sh to time as a peer
of `quillet show`. With `--import-only` it only imports libtorrent, so that the interpreter's
own start-up can be told apart from the load.

  lt_load.py TORRENT | --import-only
"""

import sys

import libtorrent as lt


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip())
    if sys.argv[1] != "--import-only":
        # The load alone. The default 10 MB file limit refuses torrents of 100,000 files and more.
        lt.torrent_info(sys.argv[1], {"max_buffer_size": 256 << 20})


if __name__ == "__main__":
    main()
