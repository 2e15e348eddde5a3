"""Reading back the bencoded documents quillet writes, for the Python tests.

The decoder is strict, as a reader comparing byte for byte must be: integers and lengths in
canonical form (no leading zeros, no "-0"), dictionary keys strictly ascending, nothing after
the document. Malformed input raises ValueError.
"""

import re

_INTEGER = re.compile(rb"i(0|-?[1-9][0-9]*)e")
_LENGTH = re.compile(rb"(0|[1-9][0-9]*):")


def decode_at(buf, i=0, spans=None):
    """Decodes one value at buf[i:]; returns (value, end).

    When `spans` is a dict and the value is a dictionary, the byte range of each of its values
    (not of nested ones) is recorded in `spans` under its key: how a test finds the bytes of
    the info dictionary, from which the info hash is computed.
    """
    c = buf[i : i + 1]
    if c == b"i":
        m = _INTEGER.match(buf, i)
        if not m:
            raise ValueError(f"malformed integer at offset {i}")
        return int(m.group(1)), m.end()
    if c == b"l":
        i, out = i + 1, []
        while buf[i : i + 1] != b"e":
            value, i = decode_at(buf, i)
            out.append(value)
        return out, i + 1
    if c == b"d":
        i, out, last = i + 1, {}, None
        while buf[i : i + 1] != b"e":
            key_at = i
            key, i = decode_at(buf, i)
            if not isinstance(key, bytes):
                raise ValueError(f"dictionary key at offset {key_at} is not a byte string")
            if last is not None and key <= last:
                raise ValueError(f"key {key!r} at offset {key_at} does not follow {last!r}")
            start = i
            out[key], i = decode_at(buf, i)
            if spans is not None:
                spans[key] = (start, i)
            last = key
        return out, i + 1
    if c.isdigit():
        m = _LENGTH.match(buf, i)
        if not m:
            raise ValueError(f"malformed byte-string length at offset {i}")
        end = m.end() + int(m.group(1))
        if end > len(buf):
            raise ValueError(f"byte string at offset {i} runs past the end")
        return buf[m.end() : end], end
    raise ValueError(f"no bencoded value at offset {i}")


def decode(buf, spans=None):
    """Decodes a whole document; bytes after its end are an error."""
    value, end = decode_at(buf, 0, spans)
    if end != len(buf):
        raise ValueError(f"{len(buf) - end} bytes after the end of the document")
    return value


def strip_creation_date(document):
    """The document with its top-level creation date set to 0, so that two runs compare equal.

    The value is found by decoding, so a comment holding the same text is left alone.
    """
    spans = {}
    top = decode(document, spans)
    if not isinstance(top, dict) or b"creation date" not in top:
        raise ValueError("the document has no top-level creation date")
    start, end = spans[b"creation date"]
    return document[:start] + b"i0e" + document[end:]
