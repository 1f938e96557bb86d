"""Server side of RFC 6455, enough for the agent's binary channel.

Frames from a client must be masked; the server's own frames are not.
Control frames are handled here (ping answered, close echoed), so the
caller only sees whole data messages.
"""

import base64
import hashlib
import os
import socket
import struct
import threading

GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

CONTINUATION, TEXT, BINARY, CLOSE, PING, PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA
DATA_OPCODES = (TEXT, BINARY)
CONTROL_OPCODES = (CLOSE, PING, PONG)

MAX_MESSAGE = 64 * 1024 * 1024


class ProtocolError(Exception):
    def __init__(self, message, code=1002):
        super().__init__(message)
        self.code = code


class Closed(Exception):
    """The peer closed the connection (cleanly or not)."""

    def __init__(self, code=None, reason="", clean=False):
        super().__init__("closed with code %s %r" % (code, reason) if clean else "connection lost")
        self.code = code
        self.reason = reason
        self.clean = clean


def accept_key(key):
    digest = hashlib.sha1((key.strip() + GUID).encode("ascii")).digest()
    return base64.b64encode(digest).decode("ascii")


def check_upgrade(method, headers):
    """None when the request is a valid opening handshake, else
    (HTTP status, reason)."""
    if method != "GET":
        return 405, "websocket handshake must use GET"
    if (headers.get("Upgrade") or "").strip().lower() != "websocket":
        return 400, "Upgrade header is %r, not websocket" % headers.get("Upgrade")
    # The agent sends Connection twice ("Upgrade" and "upgrade").
    if hasattr(headers, "get_all"):
        values = headers.get_all("Connection") or []
    else:
        values = [headers.get("Connection") or ""]
    tokens = [t.strip().lower() for v in values for t in v.split(",")]
    if "upgrade" not in tokens:
        return 400, "Connection header %r lacks upgrade" % ", ".join(values)
    if (headers.get("Sec-WebSocket-Version") or "").strip() != "13":
        return 426, "Sec-WebSocket-Version %r, only 13 is spoken" % headers.get("Sec-WebSocket-Version")
    key = (headers.get("Sec-WebSocket-Key") or "").strip()
    try:
        raw = base64.b64decode(key, validate=True)
    except ValueError:
        raw = b""
    if len(raw) != 16:
        return 400, "Sec-WebSocket-Key %r is not Base64 of 16 bytes" % key
    return None


def valid_close_code(code):
    if 3000 <= code <= 4999:
        return True
    return 1000 <= code <= 1015 and code not in (1004, 1005, 1006, 1015)


def encode_frame(opcode, payload, fin=True, mask=None):
    """One frame; mask is 4 bytes when framing as a client (tests use it)."""
    payload = bytes(payload)
    head = bytearray([(0x80 if fin else 0) | opcode])
    mbit = 0x80 if mask is not None else 0
    n = len(payload)
    if n <= 125:
        head.append(mbit | n)
    elif n <= 0xFFFF:
        head.append(mbit | 126)
        head += struct.pack(">H", n)
    else:
        head.append(mbit | 127)
        head += struct.pack(">Q", n)
    if mask is not None:
        head += mask
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    return bytes(head) + payload


class WebSocket:
    def __init__(self, sock, rfile):
        self.sock = sock
        self.rfile = rfile
        self.wlock = threading.Lock()
        self.closed = False
        self.close_sent = False

    # -- reading --------------------------------------------------------------

    def _read(self, n):
        data = b""
        while len(data) < n:
            try:
                chunk = self.rfile.read(n - len(data))
            except (OSError, ValueError):
                chunk = b""
            if not chunk:
                raise Closed()
            data += chunk
        return data

    def _frame(self):
        b0, b1 = self._read(2)
        fin = bool(b0 & 0x80)
        if b0 & 0x70:
            raise ProtocolError("reserved bits 0x%02x set without an extension" % (b0 & 0x70))
        opcode = b0 & 0x0F
        if opcode not in (CONTINUATION,) + DATA_OPCODES + CONTROL_OPCODES:
            raise ProtocolError("unknown opcode %d" % opcode)
        if not b1 & 0x80:
            raise ProtocolError("client frame is not masked")
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack(">H", self._read(2))[0]
        elif n == 127:
            n = struct.unpack(">Q", self._read(8))[0]
            if n >> 63:
                raise ProtocolError("64-bit length with the top bit set")
        if opcode in CONTROL_OPCODES and (n > 125 or not fin):
            raise ProtocolError("control frame fragmented or longer than 125 bytes")
        if n > MAX_MESSAGE:
            raise ProtocolError("frame of %d bytes is too large" % n, 1009)
        mask = self._read(4)
        payload = self._read(n)
        if n:
            # XOR through big integers: fast enough for whole documents.
            reps = (mask * (n // 4 + 1))[:n]
            payload = (int.from_bytes(payload, "big") ^ int.from_bytes(reps, "big")).to_bytes(n, "big")
        return fin, opcode, payload

    def receive(self):
        """The next data message as (opcode, payload); pings are answered
        on the way. Raises Closed when the connection ends."""
        parts = []
        started = None
        size = 0
        while True:
            fin, opcode, payload = self._frame()
            if opcode == PING:
                self.send(PONG, payload)
                continue
            if opcode == PONG:
                continue
            if opcode == CLOSE:
                if len(payload) == 1:
                    raise ProtocolError("close frame with a one-byte payload")
                code = struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
                if code is not None and not valid_close_code(code):
                    raise ProtocolError("close code %d may not be sent" % code)
                reason = payload[2:].decode("utf-8", "replace")
                self._answer_close(code)
                raise Closed(code, reason, clean=True)
            if opcode == CONTINUATION:
                if started is None:
                    raise ProtocolError("continuation frame without a started message")
            else:
                if started is not None:
                    raise ProtocolError("new data frame inside a fragmented message")
                started = opcode
            parts.append(payload)
            size += len(payload)
            if size > MAX_MESSAGE:
                raise ProtocolError("message too large", 1009)
            if fin:
                data = b"".join(parts)
                if started == TEXT:
                    try:
                        data.decode("utf-8")
                    except UnicodeDecodeError:
                        raise ProtocolError("text message is not UTF-8", 1007) from None
                return started, data

    # -- writing --------------------------------------------------------------

    def send(self, opcode, payload=b""):
        with self.wlock:
            if self.closed:
                raise Closed()
            self.sock.sendall(encode_frame(opcode, payload))

    def send_binary(self, payload):
        self.send(BINARY, payload)

    def _answer_close(self, code):
        if not self.close_sent:
            self.close_sent = True
            body = struct.pack(">H", code) if code is not None else b""
            try:
                self.send(CLOSE, body)
            except (OSError, Closed):
                pass

    def close(self, code=1000, reason=""):
        """Start a clean close; the reader sees the answer and ends."""
        if not self.close_sent:
            self.close_sent = True
            try:
                self.send(CLOSE, struct.pack(">H", code) + reason.encode("utf-8")[:123])
            except (OSError, Closed):
                pass

    def abort(self):
        """Drop the TCP connection; a blocked reader wakes with Closed."""
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def random_mask():
    return os.urandom(4)
