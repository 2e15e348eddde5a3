"""What the Python tests share: the binary under test, taken from the command line and run with
its output captured; scratch directories and content; libtorrent, which only Debian's own
interpreter (/usr/bin/python3) can import, with one engine session that rechecks content; and
torrents read back with the strict decoder.

A test module imports this, asks for libtorrent with `libtorrent(...)` if it needs it (the run
then ends with the skip status 77 where it cannot be imported), and ends with
`sys.exit(scaffold.main())`.
"""

import hashlib
import os
import random
import subprocess
import sys
import tempfile
import time
import unittest

from support import bencode

QUILLET = None  # absolute path of the binary under test, set by main()

# The prefix that runs a command as an unprivileged user: the tests run as root in CI, and root
# reads and writes everything.
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

WAIT_LIMIT = 60.0  # seconds; every wait on the engine gives up after this


def run(*args, user=(), **options):
    """Runs the binary with `args` after the command prefix `user` (NOBODY, say), capturing
    standard output and error; `options` go to subprocess.run (cwd, env, text, timeout...)."""
    return subprocess.run([*user, QUILLET, *args], capture_output=True, **options)


# ---------------------------------------------------------------------------------------
# content and files


def content(seed, size):
    """Deterministic pseudo-random bytes, different for every seed."""
    return random.Random(seed).randbytes(size)


def write(path, data, mode="wb"):
    """Writes `data` to `path`, making the directories it needs."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, mode) as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ScratchCase(unittest.TestCase):
    """A test case with a scratch directory of its own, `self.tmp`, removed after it."""

    scratch_prefix = "quillet-"

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix=self.scratch_prefix)
        self.addCleanup(scratch.cleanup)
        self.tmp = scratch.name


# ---------------------------------------------------------------------------------------
# torrents read back


def info_bytes(data):
    """The bytes of the info dictionary, as they are in the document."""
    spans = {}
    bencode.decode(data, spans)
    start, end = spans[b"info"]
    return data[start:end]


def info_hash_v1(data):
    return hashlib.sha1(info_bytes(data)).hexdigest()


# ---------------------------------------------------------------------------------------
# libtorrent


def libtorrent(tests):
    """libtorrent's module; the run ends with the skip status when it cannot be imported."""
    try:
        import libtorrent as lt
    except ImportError as err:
        print(f"skipping {tests}: cannot import libtorrent ({err})")
        sys.exit(77)
    return lt


# One engine session for the whole run. It never talks to anybody: it listens on 127.0.0.1
# only, with DHT, local discovery, UPnP and NAT-PMP off.
SESSION = None


def session():
    global SESSION
    if SESSION is None:
        import libtorrent as lt

        cat = lt.alert.category_t
        SESSION = lt.session(
            {
                "listen_interfaces": "127.0.0.1:0",
                "enable_dht": False,
                "enable_lsd": False,
                "enable_upnp": False,
                "enable_natpmp": False,
                "alert_mask": cat.status_notification
                | cat.error_notification
                | cat.storage_notification,
            }
        )
    return SESSION


def wait_for_alert(ses, kind, handle, deadline):
    """Pops alerts until one of `kind` about `handle` arrives; returns it, or None on timeout.
    Error alerts about the handle are returned too, so a failure ends the wait early."""
    import libtorrent as lt

    while time.monotonic() < deadline:
        ses.wait_for_alert(100)
        for a in ses.pop_alerts():
            if not hasattr(a, "handle") or a.handle != handle:
                continue
            if isinstance(a, (kind, lt.torrent_error_alert, lt.file_error_alert)):
                return a
    return None


def recheck(torrent_path, save_path):
    """Adds the torrent paused, rechecks its content and returns (status, last alert).

    The engine does not check a paused torrent, so the torrent is resumed with
    stop_when_ready: the engine pauses it again as soon as the check ends, before it could
    announce; its trackers are also removed from the session's copy beforehand.
    """
    import libtorrent as lt

    ses = session()
    params = lt.add_torrent_params()
    params.ti = lt.torrent_info(torrent_path)
    params.save_path = save_path
    params.flags = (
        params.flags | lt.torrent_flags.paused | lt.torrent_flags.stop_when_ready
    ) & ~lt.torrent_flags.auto_managed
    handle = ses.add_torrent(params)
    try:
        handle.replace_trackers([])
        handle.force_recheck()
        handle.resume()
        deadline = time.monotonic() + WAIT_LIMIT
        alert = wait_for_alert(ses, lt.torrent_checked_alert, handle, deadline)
        checking = (
            lt.torrent_status.checking_files,
            lt.torrent_status.queued_for_checking,
            lt.torrent_status.checking_resume_data,
        )
        st = handle.status()
        while st.state in checking and st.errc.value() == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
            st = handle.status()
        return st, alert
    finally:
        ses.remove_torrent(handle)
        wait_for_alert(ses, lt.torrent_removed_alert, handle, time.monotonic() + WAIT_LIMIT)


# ---------------------------------------------------------------------------------------
# entry point


def main():
    """Takes the binary from the first argument, then runs the calling module's tests with the
    remaining arguments as unittest options; returns the exit status."""
    global QUILLET
    if len(sys.argv) < 2:
        print(f"usage: {sys.argv[0]} <path to quillet> [unittest options]", file=sys.stderr)
        return 2
    QUILLET = os.path.abspath(sys.argv[1])
    if not os.access(QUILLET, os.X_OK):
        print(f"{QUILLET} is not an executable", file=sys.stderr)
        return 2
    prog = unittest.main(
        module="__main__", argv=[sys.argv[0]] + sys.argv[2:], exit=False, verbosity=2
    )
    return 0 if prog.result.wasSuccessful() else 1
