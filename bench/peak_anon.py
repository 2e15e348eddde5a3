#!/usr/bin/env python3
"""Runs a command and prints the most anonymous memory (RssAnon) it held, in KiB.

    bench/peak_anon.py OUTFILE COMMAND [ARGS...]

The kernel keeps no peak of RssAnon (VmHWM counts the file pages a process maps too), so
/proc/PID/status is read every half millisecond while the command runs; a peak shorter than
that can be missed. The command's output goes where this program's goes; its exit status is
this program's. The figure is written to OUTFILE.
"""
import os
import subprocess
import sys
import time


def rss_anon_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return 0


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out, command = sys.argv[1], sys.argv[2:]
    child = subprocess.Popen(command)
    peak = 0
    while child.poll() is None:
        peak = max(peak, rss_anon_kib(child.pid))
        time.sleep(0.0005)
    with open(out, "w") as figure:
        figure.write(f"{peak}\n")
    sys.exit(child.returncode)


if __name__ == "__main__":
    main()
