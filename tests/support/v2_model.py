"""The torrents quillet must write with --format v2 and --format hybrid, built from the rules of
those formats alone, so that quillet's bytes can be compared with them.

Python's standard library only (hashlib), for Debian's /usr/bin/python3.

Entry points:
    build_torrent(input_path, fmt, announce, piece_length, creation_date, comment=None,
                  inclusive=False, leave_out=None) -> bytes
        the whole document; fmt is "v2" or "hybrid".
    torrent_files(input_path, inclusive=False, leave_out=None) -> [(components, path)]
        the files a directory input holds, in the order they enter the torrent.
    file_tree_hashes(path, piece_length) -> (length, pieces root or None, piece layer bytes)
    info_hashes(document) -> (SHA-1 hex, SHA-256 hex) of the info dictionary as written.
    bencode(value) -> bytes; bdecode(data) -> value (strict: canonical integers, keys
        ascending and unique, nothing after the value).

Run as a script it writes the expected document to standard output:
    v2_model.py --format v2|hybrid --announce URL --piece-length N --date SECONDS
                [--comment TEXT] [--inclusive] [--leave-out PATH] INPUT
"""

import argparse
import hashlib
import os
import stat
import sys

try:
    from . import bencode as _codec
except ImportError:  # run as a script from its own folder
    import bencode as _codec

BLOCK = 16384
ZERO_NODE = bytes(32)
# Subdirectories are walked only below this nesting level (the input directory is level 0). In a
# directory at this level the walk ends at its first subdirectory: that entry and every entry
# after it (in the walk's order, ascending names) are left out, files included.
DEEPEST_WALKED_LEVEL = 29


# ---------------------------------------------------------------------------------------
# bencoding


def _as_bytes(text):
    return text if isinstance(text, bytes) else os.fsencode(text)


def bencode(value):
    """Byte strings (str is taken as file-system bytes), ints, lists and dicts; every
    dictionary's keys in ascending byte order."""
    if isinstance(value, bool):
        raise TypeError("no booleans in bencoding")
    if isinstance(value, int):
        return b"i%de" % value
    if isinstance(value, (bytes, str)):
        raw = _as_bytes(value)
        return b"%d:%s" % (len(raw), raw)
    if isinstance(value, list):
        return b"l" + b"".join(bencode(item) for item in value) + b"e"
    if isinstance(value, dict):
        items = sorted(
            ((_as_bytes(key), item) for key, item in value.items()), key=lambda pair: pair[0]
        )
        keys = [key for key, _ in items]
        if len(set(keys)) != len(keys):
            raise ValueError("two keys with the same bytes")
        return b"d" + b"".join(bencode(key) + bencode(item) for key, item in items) + b"e"
    raise TypeError(f"cannot bencode {type(value).__name__}")


def bdecode(data):
    return _codec.decode(data)


def info_bytes(document):
    """The info dictionary exactly as written in the document."""
    spans = {}
    if b"info" not in _codec.decode(document, spans):
        raise ValueError("no info dictionary")
    start, end = spans[b"info"]
    return document[start:end]


def info_hashes(document):
    info = info_bytes(document)
    return hashlib.sha1(info).hexdigest(), hashlib.sha256(info).hexdigest()


# ---------------------------------------------------------------------------------------
# the per-file merkle tree


def _root(nodes, width, zero):
    """The root over `nodes` padded with `zero` (the zero node of their level) to `width`
    nodes, a power of two."""
    nodes = nodes + [zero] * (width - len(nodes))
    while len(nodes) > 1:
        nodes = [hashlib.sha256(nodes[i] + nodes[i + 1]).digest() for i in range(0, len(nodes), 2)]
    return nodes[0]


def _power_of_two_at_least(count):
    width = 1
    while width < count:
        width *= 2
    return width


def pieces_root(data):
    """The pieces root of content held in memory, or None when it is empty."""
    leaves = [hashlib.sha256(data[at : at + BLOCK]).digest() for at in range(0, len(data), BLOCK)]
    return _root(leaves, _power_of_two_at_least(len(leaves)), ZERO_NODE) if leaves else None


def file_tree_hashes(path, piece_length):
    """(length, pieces root or None for an empty file, piece layer bytes or b"" for a file
    of one piece or less)."""
    leaves, length = [], 0
    with open(path, "rb") as f:
        while block := f.read(BLOCK):
            leaves.append(hashlib.sha256(block).digest())
            length += len(block)
    if not leaves:
        return 0, None, b""
    root = _root(leaves, _power_of_two_at_least(len(leaves)), ZERO_NODE)
    if length <= piece_length:
        return length, root, b""
    per_piece = piece_length // BLOCK
    layer = [
        _root(leaves[at : at + per_piece], per_piece, ZERO_NODE)
        for at in range(0, len(leaves), per_piece)
    ]
    return length, root, b"".join(layer)


# ---------------------------------------------------------------------------------------
# the files of the input


def torrent_name(input_path):
    """The last component of the path as typed, trailing slashes aside (a path of slashes
    only is named "/")."""
    raw = _as_bytes(input_path)
    end = len(raw)
    while end > 1 and raw[end - 1 : end] == b"/":
        end -= 1
    start = raw.rfind(b"/", 0, end - 1) + 1
    return raw[start:end]


def _same_file(status, leave_out):
    return leave_out is not None and (status.st_dev, status.st_ino) == leave_out


def _readable(path):
    try:
        with open(path, "rb"):
            return True
    except OSError:
        return False


def _walk(directory, components, level, inclusive, leave_out, out):
    try:
        names = sorted(os.listdir(directory))
    except OSError:
        return
    for name in names:
        path = directory + b"/" + name
        try:
            status = os.stat(path)
        except OSError:
            continue
        if stat.S_ISDIR(status.st_mode):
            if level >= DEEPEST_WALKED_LEVEL:
                return
            _walk(path, components + [name], level + 1, inclusive, leave_out, out)
        elif stat.S_ISREG(status.st_mode):
            if (name.startswith(b".") and not inclusive) or _same_file(status, leave_out):
                continue
            if _readable(path):
                out.append((components + [name], path))


def torrent_files(input_path, inclusive=False, leave_out=None):
    """[(path components below the input, path)] of every file a directory input puts in the
    torrent: names in ascending byte order at each level, so a directory's files come where
    its name sorts; hidden files only when inclusive; links followed; anything but regular
    files and directories left out, as are entries that cannot be examined or read and the
    file `leave_out` names (the output); the nesting limit as DEEPEST_WALKED_LEVEL says."""
    identity = None
    if leave_out is not None and os.path.exists(leave_out):
        status = os.stat(leave_out)
        identity = (status.st_dev, status.st_ino)
    out = []
    _walk(_as_bytes(input_path), [], 0, inclusive, identity, out)
    return out


# ---------------------------------------------------------------------------------------
# the document


def v1_pieces(paths_and_padding, piece_length):
    """SHA-1 of every piece of the content: the files' bytes and the padding's zero bytes,
    one stream."""
    digests, piece = [], b""
    for path, padding in paths_and_padding:
        with open(path, "rb") as f:
            while chunk := f.read(piece_length - len(piece)):
                piece += chunk
                if len(piece) == piece_length:
                    digests.append(hashlib.sha1(piece).digest())
                    piece = b""
        piece += bytes(padding)
        if len(piece) == piece_length:
            digests.append(hashlib.sha1(piece).digest())
            piece = b""
    if piece:
        digests.append(hashlib.sha1(piece).digest())
    return b"".join(digests)


def _padding(length, piece_length):
    return -length % piece_length


def _leaf(length, root):
    entry = {"length": length}
    if root is not None:
        entry["pieces root"] = root
    return {"": entry}


def _place(tree, components, leaf):
    for component in components[:-1]:
        tree = tree.setdefault(component, {})
    tree[components[-1]] = leaf


def _directory_info(input_path, piece_length, hybrid, inclusive, leave_out, layers):
    """With two or more files, every file that does not end on a piece boundary is padded,
    the last one included; the only file of a directory has no padding."""
    tree, files, content = {}, [], []
    walked = torrent_files(input_path, inclusive, leave_out)
    for components, path in walked:
        length, root, layer = file_tree_hashes(path, piece_length)
        _place(tree, components, _leaf(length, root))
        if layer:
            layers[root] = layer
        padding = _padding(length, piece_length) if len(walked) > 1 else 0
        files.append({"length": length, "path": components})
        if padding:
            files.append({"attr": "p", "length": padding, "path": [".pad", str(padding)]})
        content.append((path, padding))
    info = {"file tree": tree}
    if hybrid:
        info["files"] = files
        if sum(entry["length"] for entry in files):
            info["pieces"] = v1_pieces(content, piece_length)
    return info


def _single_file_info(input_path, piece_length, hybrid, layers):
    length, root, layer = file_tree_hashes(input_path, piece_length)
    if layer:
        layers[root] = layer
    info = {"file tree": {torrent_name(input_path): _leaf(length, root)}}
    if hybrid:
        info["length"] = length
        info["pieces"] = v1_pieces([(input_path, 0)], piece_length)
    return info


def build_torrent(input_path, fmt, announce, piece_length, creation_date, comment=None,
                  inclusive=False, leave_out=None):
    """The complete document for --format v2 or hybrid. `announce` is the whole announce URL
    as written; `comment` None writes no comment key."""
    if fmt not in ("v2", "hybrid"):
        raise ValueError(f"format {fmt!r} is neither v2 nor hybrid")
    if piece_length < BLOCK or piece_length & (piece_length - 1):
        raise ValueError(f"piece length {piece_length} is not a power of two of at least {BLOCK}")
    hybrid = fmt == "hybrid"
    layers = {}
    if os.path.isdir(input_path):
        info = _directory_info(input_path, piece_length, hybrid, inclusive, leave_out, layers)
    else:
        info = _single_file_info(input_path, piece_length, hybrid, layers)
    info.update({"meta version": 2, "name": torrent_name(input_path), "piece length": piece_length})
    document = {"announce": announce, "creation date": creation_date, "info": info,
                "piece layers": layers}
    if comment is not None:
        document["comment"] = comment
    return bencode(document)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--format", required=True, choices=("v2", "hybrid"))
    parser.add_argument("--announce", required=True)
    parser.add_argument("--piece-length", type=int, default=262144)
    parser.add_argument("--date", type=int, required=True)
    parser.add_argument("--comment")
    parser.add_argument("--inclusive", action="store_true")
    parser.add_argument("--leave-out")
    parser.add_argument("input")
    args = parser.parse_args()
    sys.stdout.buffer.write(
        build_torrent(args.input, args.format, args.announce, args.piece_length, args.date,
                      args.comment, args.inclusive, args.leave_out))


if __name__ == "__main__":
    main()
