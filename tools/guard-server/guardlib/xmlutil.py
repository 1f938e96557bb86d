"""XML documents of the protocol, read and written with ElementTree."""

import xml.etree.ElementTree as ET

DECLARATION = '<?xml version="1.0" encoding="UTF-8"?>'


class DocumentError(ValueError):
    """Bytes that decrypted but do not form a usable document."""


def parse(data, warnings=None):
    """Parse UTF-8 document bytes into the root element."""
    if data.startswith(b"\xef\xbb\xbf"):
        if warnings is not None:
            warnings.append("document starts with a byte-order mark")
        data = data[3:]
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise DocumentError("document is not UTF-8: %s" % e) from None
    try:
        return ET.fromstring(data)
    except ET.ParseError as e:
        raise DocumentError("document is not well-formed XML: %s" % e) from None


def child(parent, *names):
    node = parent
    for name in names:
        if node is None:
            return None
        node = node.find(name)
    return node


def text_of(parent, *names, default=None):
    node = child(parent, *names)
    if node is None:
        return default
    return node.text or ""


def sub(parent, name, text=None, **attrs):
    el = ET.SubElement(parent, name, {k: str(v) for k, v in attrs.items()})
    if text is not None:
        el.text = str(text)
    return el


def to_text(root, declaration=True):
    body = ET.tostring(root, encoding="unicode")
    return DECLARATION + body if declaration else body


def to_bytes(root):
    return to_text(root).encode("utf-8")


def fragment(text):
    """Parse an XML fragment given by a scenario or a command line."""
    try:
        return ET.fromstring(text)
    except ET.ParseError as e:
        raise ValueError("not a well-formed XML element: %s (%r)" % (e, text)) from None
