"""Payload cipher and text encodings of the guard protocol.

AES-128 in ECB mode under a key prepared from arbitrary key material,
PKCS#7 padding, standard Base64, MD5 password hashes. Padding and Base64
are written out here rather than borrowed, so the server does not share
an implementation detail with whatever the agent uses.
"""

import hashlib

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

BLOCK = 16

# Fixed key texts of the protocol.
SETTINGS_FILE_KEY = b"tide_lamps"
MESSENGER_KEY = b"{3C8A61F0-5B2D-4E97-8F14-A6D09C2E7B35}"


class CipherError(ValueError):
    """The input cannot be a ciphertext under the given key."""


def prepare_key(material):
    """Sixteen 0x01 bytes with the first sixteen bytes of the material over them."""
    material = bytes(material)[:BLOCK]
    return material + b"\x01" * (BLOCK - len(material))


def _cipher(material):
    return Cipher(algorithms.AES(prepare_key(material)), modes.ECB())


def pad(data):
    n = BLOCK - len(data) % BLOCK
    return bytes(data) + bytes([n]) * n


def unpad(data):
    """Strict PKCS#7: every padding byte must be present and equal."""
    if not data or len(data) % BLOCK:
        raise CipherError("padded data is not a whole number of blocks")
    n = data[-1]
    if n < 1 or n > BLOCK or data[-n:] != bytes([n]) * n:
        raise CipherError("bad padding (wrong key or damaged data)")
    return data[:-n]


def encrypt(data, material):
    enc = _cipher(material).encryptor()
    return enc.update(pad(data)) + enc.finalize()


def decrypt(data, material):
    """Decrypt and check the padding; a wrong key almost always fails here.

    The server is deliberately stricter than the agent's reader: it wants
    to tell a wrong key or a truncated body apart from a bad document.
    """
    data = bytes(data)
    if len(data) < BLOCK:
        raise CipherError("Invalid file format")
    if len(data) % BLOCK:
        raise CipherError("length %d is not a multiple of %d" % (len(data), BLOCK))
    dec = _cipher(material).decryptor()
    return unpad(dec.update(data) + dec.finalize())


def decrypt_lenient(data, material):
    """The reader rule of the agent: trailing partial block ignored, padding
    taken from the last byte without checking the others."""
    data = bytes(data)
    blocks = len(data) // BLOCK
    if blocks == 0:
        raise CipherError("Invalid file format")
    dec = _cipher(material).decryptor()
    plain = dec.update(data[:blocks * BLOCK]) + dec.finalize()
    p = plain[-1]
    return plain[:-BLOCK] + plain[-BLOCK:][:max(0, BLOCK - p)]


# --- Base64 -----------------------------------------------------------------

_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_INDEX = {c: i for i, c in enumerate(_ALPHABET)}


def b64encode(data):
    data = bytes(data)
    out = []
    for i in range(0, len(data), 3):
        chunk = data[i:i + 3]
        v = int.from_bytes(chunk + b"\0" * (3 - len(chunk)), "big")
        quad = [_ALPHABET[(v >> s) & 63] for s in (18, 12, 6, 0)]
        if len(chunk) < 3:
            quad[3] = "="
        if len(chunk) < 2:
            quad[2] = "="
        out.append("".join(quad))
    return "".join(out)


def b64decode(text, strict=True):
    """Decode standard Base64.

    strict=False follows the agent's reader: whole groups of four only, a
    short trailing group ignored. strict=True (what the server applies to
    anything an agent sends) rejects such groups, stray characters and
    misplaced padding, so an encoding fault is reported instead of guessed.
    """
    if isinstance(text, (bytes, bytearray)):
        text = text.decode("ascii", "replace")
    if strict and len(text) % 4:
        raise ValueError("Base64 text length %d is not a multiple of 4" % len(text))
    out = bytearray()
    groups = len(text) // 4
    for g in range(groups):
        quad = text[4 * g:4 * g + 4]
        if strict and "=" in quad and g != groups - 1:
            raise ValueError("Base64 padding before the end")
        if quad[2] == "=":
            count = 1
            if strict and quad[3] != "=":
                raise ValueError("Base64 padding in the wrong place")
        elif quad[3] == "=":
            count = 2
        else:
            count = 3
        v = 0
        for c in quad[:count + 1]:
            if c not in _INDEX:
                if strict:
                    raise ValueError("character %r is not Base64" % c)
                idx = 0
            else:
                idx = _INDEX[c]
            v = (v << 6) | idx
        v <<= 6 * (3 - count)
        out += v.to_bytes(3, "big")[:count]
    return bytes(out)


# --- password hashes ----------------------------------------------------------

def md5(data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    return hashlib.md5(data).digest()


def password_hash(password):
    """The stored form of a connection password: Base64 of its MD5 digest."""
    return b64encode(md5(password))
