"""Fixtures: a server on port 0, and a stand-in agent that speaks its side.

The stand-in builds its requests from the protocol as the agent does
(query layout, one-time key, document shape) and reads replies with the
agent's lenient rules, so a server that only suits itself fails here.
"""

import base64
import http.client
import io
import json
import os
import random
import socket
import struct
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from guardlib import crypto  # noqa: E402
from guardlib.guard import Guard  # noqa: E402
from guardlib.query import path_encode  # noqa: E402
from guardlib.recorder import Recorder  # noqa: E402
from guardlib.server import GuardServer  # noqa: E402


def start_server(test, raw_scenario=None, cli_layer=None, scenario_path=None, state_file=None):
    """A started server whose record goes to a temporary file; stopped at
    the end of the test."""
    folder = tempfile.mkdtemp(prefix="guard-test-")
    test.addCleanup(_rmtree, folder)
    log = io.StringIO()
    rec = Recorder(os.path.join(folder, "record.jsonl"), echo=True, stream=log)
    guard = Guard(raw_scenario=raw_scenario, scenario_path=scenario_path, cli_layer=cli_layer, recorder=rec,
                  content_dir=None if scenario_path else folder)
    srv = GuardServer(guard, "127.0.0.1", 0, "/server", state_file).start()
    test.addCleanup(srv.stop)
    srv.record_path = rec.path
    srv.folder = folder
    srv.log = log
    return srv


def _rmtree(path):
    for root, dirs, files in os.walk(path, topdown=False):
        for n in files:
            os.unlink(os.path.join(root, n))
        for n in dirs:
            os.rmdir(os.path.join(root, n))
    os.rmdir(path)


def read_records(srv):
    with open(srv.record_path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def last_record(srv, kind=None):
    recs = [r for r in read_records(srv) if kind is None or r["kind"] == kind]
    return recs[-1] if recs else None


def http_request(port, method, target, body=None, headers=None, timeout=10):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, target, body=body, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def agent_decode(body, key):
    """The agent's reading of a reply: one byte is a status, anything else
    a ciphertext (trailing partial block ignored, padding not checked)."""
    if len(body) == 1:
        return body[0], None
    return None, crypto.decrypt_lenient(body, key).decode("utf-8")


class FakeAgent:
    """One workstation's agent, as far as the server can see it."""

    def __init__(self, port, hostname="LAB-07", macs=("AA:BB:CC:DD:EE:01",), password="harbour",
                 listener_port=8087, base="/server"):
        self.port = port
        self.hostname = hostname
        self.macs = list(macs)
        self.password_hash = crypto.b64encode(crypto.md5(password))
        self.listener_port = listener_port
        self.base = base
        self.key = None            # connection password, once handed out
        self.nochange = None
        self.version = ""
        self.stamps = {"settings_update_time": "", "sl_settings_update_time": "",
                       "banner_update_time": "1", "app_cache_update_time": ""}
        self.lock_status = "unlocked"
        self.last_reply = None

    # -- query pieces, built as the agent builds them ---------------------------

    def mac_params(self):
        return "&".join("mac=" + path_encode(m) for m in self.macs)

    def one_time_key(self):
        return ("%d%d" % (random.randint(0, 65534), random.randint(0, 65534))).encode("ascii")

    def encrypted_key(self, k):
        return path_encode(crypto.b64encode(crypto.encrypt(k, crypto.b64decode(self.password_hash))))

    def guard_url(self, query):
        return self.base + "/guard?" + query

    # -- the five requests -------------------------------------------------------

    def register(self):
        k = self.one_time_key()
        q = "register_me=%s&f=13&platform=Win32NT&guard_port=%d&hostname=%s&%s" % (
            self.encrypted_key(k), self.listener_port, path_encode(self.hostname), self.mac_params())
        status, body = http_request(self.port, "GET", self.guard_url(q))
        return self._take(status, body, k)

    def test_connection(self):
        k = self.one_time_key()
        q = "test=%s&hostname=%s&%s" % (self.encrypted_key(k), path_encode(self.hostname), self.mac_params())
        status, body = http_request(self.port, "GET", self.guard_url(q))
        return self._decode_only(status, body, k)

    def directory(self):
        k = self.one_time_key()
        status, body = http_request(self.port, "GET", self.guard_url("give_station_register=" + self.encrypted_key(k)))
        return self._decode_only(status, body, k)

    def add_ws(self, document):
        k = self.one_time_key()
        status, body = http_request(self.port, "POST", self.guard_url("add_ws=" + self.encrypted_key(k)),
                                    crypto.encrypt(document.encode("utf-8"), k))
        return self._decode_only(status, body, k)

    def heartbeat(self, document=None, use_nochange=False, **doc_args):
        document = document or self.state_document(**doc_args)
        q = "hostname=" + path_encode(self.hostname)
        if use_nochange and self.nochange:
            q += "&nochange=" + self.nochange
        q += "&" + self.mac_params()
        status, body = http_request(self.port, "POST", self.guard_url(q),
                                    crypto.encrypt(document.encode("utf-8"), self.key or b""))
        return self._take(status, body, self.key or b"")

    def stop(self):
        doc = '<?xml version="1.0"?><request><command><name>i_am_turning_off</name></command></request>'
        q = "hostname=%s&%s" % (path_encode(self.hostname), self.mac_params())
        status, body = http_request(self.port, "POST", self.guard_url(q),
                                    crypto.encrypt(doc.encode("utf-8"), self.key or b""))
        return self._decode_only(status, body, self.key or b"")

    # -- documents -------------------------------------------------------------

    def state_document(self, events=(), listener_port=False, packet_id=None, lock_status=None):
        root = ET.Element("command", {"version": "1.0.0.1"})
        if packet_id:
            root.set("id", packet_id)
        ET.SubElement(root, "name").text = "i_am_alive"
        st = ET.SubElement(root, "active_state")
        if listener_port:
            ET.SubElement(st, "listener_port").text = str(self.listener_port)
        ET.SubElement(st, "os_ver", {"is64bit": "True", "ms": "False", "vdi": "none"}).text = "Windows 10"
        ET.SubElement(st, "lock_status").text = lock_status or self.lock_status
        for key in ("settings_update_time", "sl_settings_update_time", "banner_update_time",
                    "app_cache_update_time"):
            ET.SubElement(st, key).text = self.stamps[key]
        ET.SubElement(st, "login_state", {"state": "logoff"})
        ET.SubElement(st, "applications_state")
        if events:
            evs = ET.SubElement(root, "events")
            for number in events:
                ev = ET.SubElement(evs, "event", {"id": str(number), "client_time": "2025-03-24T09:05:07"})
                ET.SubElement(ev, "login_state", {"state": "logon", "user_id": "1"})
        ET.SubElement(root, "client_time").text = time.strftime("%Y-%m-%dT%H:%M:%S")
        return ET.tostring(root, encoding="unicode")

    # -- replies ---------------------------------------------------------------

    def _decode_only(self, http_status, body, key):
        if http_status != 200:
            return "http", http_status
        status, text = agent_decode(body, key)
        return ("status", status) if status is not None else ("ok", text)

    def _take(self, http_status, body, key):
        """Apply a reply the way the agent's inbound processing does."""
        kind, value = self._decode_only(http_status, body, key)
        if kind != "ok":
            if not (kind == "status" and value == 0xF2):
                self.key = None
                self.nochange = None
            return kind, value
        root = ET.fromstring(value)
        self.last_reply = root
        self.version = root.get("version", "1.0")
        cs = root.find("control_state")
        if cs.find("lock_status") is not None:
            self.lock_status = cs.findtext("lock_status")
        if cs.find("nochange") is not None:
            self.nochange = cs.findtext("nochange")
        s = cs.find("settings")
        if s is not None and s.find("communicate_password") is not None:
            self.key = crypto.b64decode(s.findtext("communicate_password"), strict=False)
        for key in ("settings_update_time", "sl_settings_update_time"):
            if cs.find(key) is not None:
                self.stamps[key] = cs.findtext(key) or ""
        if cs.find("banners") is not None:
            self.stamps["banner_update_time"] = cs.find("banners").get("banner_update_time")
        cache = cs.find("apps/app_cache")
        if cache is not None:
            self.stamps["app_cache_update_time"] = cache.get("modifytime")
        return kind, root


class WsClient:
    """A minimal client end of the websocket channel: masks what it sends,
    refuses masked frames."""

    def __init__(self, port, target, extra_headers=(), key=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.key = key or base64.b64encode(os.urandom(16)).decode("ascii")
        lines = ["GET %s HTTP/1.1" % target, "Host: 127.0.0.1:%d" % port,
                 "Connection: Upgrade", "Upgrade:websocket", "Sec-WebSocket-Key: " + self.key,
                 "Sec-WebSocket-Version: 13", "Sec-WebSocket-Extensions: ", "Connection: upgrade",
                 "Cache-Control: no-cache", "Pragma: no-cache", "Origin: http://127.0.0.1:%d" % port]
        # An extra header replaces one of the same name.
        names = {h.split(":", 1)[0].strip().lower() for h in extra_headers}
        lines = [lines[0]] + [h for h in lines[1:] if h.split(":", 1)[0].strip().lower() not in names]
        lines += list(extra_headers)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("ascii"))
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.buf += chunk
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        first, *rest = head.decode("latin-1").split("\r\n")
        self.status = int(first.split()[1]) if first else 0
        self.headers = {}
        for line in rest:
            name, _, value = line.partition(":")
            self.headers[name.strip().lower()] = value.strip()

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.buf += chunk
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def send(self, opcode, payload=b"", fin=True, masked=True):
        from guardlib.websocket import encode_frame
        self.sock.sendall(encode_frame(opcode, payload, fin, os.urandom(4) if masked else None))

    def send_raw(self, data):
        self.sock.sendall(data)

    def recv(self):
        """(fin, opcode, payload) of the next frame."""
        b0, b1 = self._read(2)
        if b1 & 0x80:
            raise AssertionError("server frame is masked")
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack(">H", self._read(2))[0]
        elif n == 127:
            n = struct.unpack(">Q", self._read(8))[0]
        return bool(b0 & 0x80), b0 & 0x0F, self._read(n)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def ws_target(agent, check_key=None, base="/server"):
    """The agent's resource name (with its leading "//") and query."""
    key = agent.key if check_key is None else check_key

    def enc(text):
        return path_encode(crypto.b64encode(crypto.encrypt(text.encode("utf-8"), key)))

    q = "hostname=%s&check=%s&%s" % (path_encode(agent.hostname), enc(agent.hostname), agent.mac_params())
    q += "".join("&sm=" + enc(m) for m in agent.macs)
    return "/" + base + "/guard7?" + q


def server_wait(predicate, timeout=5.0):
    """Wait for something the server does on its own threads."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


class quiet_stderr:
    """argparse complains on stderr before it exits; keep test output clean."""

    def __enter__(self):
        self.saved, sys.stderr = sys.stderr, io.StringIO()
        return sys.stderr

    def __exit__(self, *exc):
        sys.stderr = self.saved
