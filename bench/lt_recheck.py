#!/usr/bin/env python3
"""Rechecks content against a torrent with python3-libtorrent, for bench/run.sh to time as the
peer of `quillet verify`: its hashing threads raised to the processors there are.

  lt_recheck.py TORRENT CONTENT

Exit status 0 when every piece passed, 1 otherwise.
"""

import os
import sys

import libtorrent as lt


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip())
    torrent, content = sys.argv[1], os.path.abspath(sys.argv[2])
    session = lt.session({
        "listen_interfaces": "127.0.0.1:0",
        "enable_dht": False,
        "enable_lsd": False,
        "enable_upnp": False,
        "enable_natpmp": False,
        "hashing_threads": os.cpu_count() or 1,
        "alert_mask": lt.alert.category_t.status_notification | lt.alert.category_t.error_notification,
    })
    params = lt.add_torrent_params()
    params.ti = lt.torrent_info(torrent, {"max_buffer_size": 512 << 20})
    params.save_path = os.path.dirname(content)
    params.flags = (params.flags | lt.torrent_flags.paused | lt.torrent_flags.stop_when_ready) \
        & ~lt.torrent_flags.auto_managed
    handle = session.add_torrent(params)
    handle.replace_trackers([])
    handle.force_recheck()
    handle.resume()
    while True:
        session.wait_for_alert(100)
        alerts = session.pop_alerts()
        failed = [a for a in alerts if isinstance(a, (lt.torrent_error_alert, lt.file_error_alert))]
        if failed:
            sys.exit(f"libtorrent: {failed[0].message()}")
        if any(isinstance(a, lt.torrent_checked_alert) for a in alerts):
            break
    status = handle.status()
    sys.exit(0 if status.num_pieces == params.ti.num_pieces() else 1)


if __name__ == "__main__":
    main()
