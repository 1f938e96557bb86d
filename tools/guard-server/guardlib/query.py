"""Query strings as the agent writes them.

The agent path-encodes values: bytes outside 0x21..0x7F and fifteen
punctuation characters become %XX, everything else (including "/", "=",
":" and "&") is copied. A "+" is always escaped, so here it never means a
blank, unlike form encoding.
"""

_ESCAPED = set('*<>#%"{}|\\^[]`+')


def path_encode(text):
    out = []
    for ch in text:
        if 0x21 <= ord(ch) <= 0x7F and ch not in _ESCAPED:
            out.append(ch)
        else:
            out.extend("%%%02X" % b for b in ch.encode("utf-8"))
    return "".join(out)


def _hexval(c):
    return int(c, 16) if c in "0123456789abcdefABCDEF" else None


def percent_decode(text, warnings=None):
    """Undo %XX escapes; the bytes are read as UTF-8.

    A "%" not followed by two hex digits is kept as it is and noted.
    """
    raw = bytearray()
    i = 0
    data = text.encode("utf-8")
    while i < len(data):
        b = data[i]
        if b == 0x25:  # %
            hi = _hexval(chr(data[i + 1])) if i + 1 < len(data) else None
            lo = _hexval(chr(data[i + 2])) if i + 2 < len(data) else None
            if hi is not None and lo is not None:
                raw.append(hi * 16 + lo)
                i += 3
                continue
            if warnings is not None:
                warnings.append("stray '%%' in query value %r" % text)
        raw.append(b)
        i += 1
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        if warnings is not None:
            warnings.append("query value %r is not UTF-8 after decoding" % text)
        return raw.decode("utf-8", "replace")


def parse_query(raw, warnings=None):
    """Split a raw query into (name, value) pairs, in order, values decoded.

    Empty items (the agent ends a URL with "&" when it has no MAC
    address) are skipped. Only the first "=" separates name and value.
    """
    pairs = []
    for item in raw.split("&"):
        if not item:
            continue
        name, sep, value = item.partition("=")
        if warnings is not None:
            for ch in sorted(set(value) & {"+", " "}):
                warnings.append("unescaped %r in query parameter %r" % (ch, name))
        pairs.append((percent_decode(name, warnings), percent_decode(value, warnings)))
    return pairs


def query_dict(pairs):
    d = {}
    for name, value in pairs:
        d.setdefault(name, []).append(value)
    return d
