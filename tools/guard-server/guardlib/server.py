"""HTTP plumbing: routes, the websocket connection, commands and control.

Routes, under the server path (default /server):
  guard        the five guard requests
  guard7       the websocket channel
  get_banner   banner pictures (?id=...)
  update/NAME  update installers
and, outside it, /control/... for tests and administrators.
"""

import http.server
import json
import os
import re
import socket
import socketserver
import struct
import tempfile
import threading
import time
import urllib.parse

from . import agentport, crypto, scenario, websocket
from .guard import Guard

MAX_BODY = 64 * 1024 * 1024


class BadRequest(Exception):
    pass


def split_target(target):
    """(path, raw query) of a request target; the path with runs of "/"
    collapsed, since the agent's websocket request starts with "//"."""
    if re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://", target):
        rest = target.split("://", 1)[1]
        target = "/" + rest.split("/", 1)[1] if "/" in rest else "/"
    path, _, raw_query = target.partition("?")
    return re.sub("/{2,}", "/", path) or "/", raw_query


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "GuardDev/1.0"
    # Idle keep-alive connections go away by themselves.
    timeout = 60

    def setup(self):
        super().setup()
        self.server.track(self.connection, True)

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.track(self.connection, False)

    def log_message(self, fmt, *args):
        # Every exchange is recorded by the guard; nothing to add here.
        pass

    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (ConnectionError, socket.timeout):
            self.close_connection = True
        except Exception as e:  # the server outlives any request
            self.close_connection = True
            self.server.guard.say("request handler error %s: %s" % (type(e).__name__, e))

    # Every method goes through one dispatcher, so a wrong method gets the
    # guard's own answer instead of the library's 501.
    def do_GET(self):
        self.dispatch()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_OPTIONS = do_PATCH = do_GET

    @property
    def peer(self):
        return self.client_address

    def raw_target(self):
        # The library rewrites a leading "//"; the record keeps what was sent.
        parts = self.requestline.split()
        return parts[1] if len(parts) >= 2 else self.path

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            data = bytearray()
            while True:
                line = self.rfile.readline(1024)
                try:
                    n = int(line.split(b";")[0].strip(), 16)
                except ValueError:
                    raise BadRequest("bad chunk header %r" % line) from None
                if n == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(data)
                if len(data) + n > MAX_BODY:
                    raise BadRequest("body larger than %d bytes" % MAX_BODY)
                data += self.rfile.read(n)
                self.rfile.readline(8)
        length = self.headers.get("Content-Length")
        if not length:
            return b""
        try:
            n = int(length)
        except ValueError:
            raise BadRequest("Content-Length %r" % length) from None
        if n < 0 or n > MAX_BODY:
            raise BadRequest("Content-Length %d out of range" % n)
        data = self.rfile.read(n)
        if len(data) != n:
            raise BadRequest("body ended after %d of %d bytes" % (len(data), n))
        return data

    def dispatch(self):
        srv = self.server
        target = self.raw_target()
        path, raw_query = split_target(target)
        method = self.command
        try:
            body = self.read_body()
        except BadRequest as e:
            srv.guard.say("bad request %s %s: %s" % (method, target, e))
            self.close_connection = True
            return self.reply(400, str(e).encode("utf-8"), "text/plain; charset=utf-8")
        if path.startswith("/control/") or path == "/control":
            return self.control(method, path, raw_query, body)
        base = srv.base
        if path == base + "/guard":
            return self.send_outcome(srv.guard.guard(method, target, raw_query, body, self.peer))
        if path == base + "/guard7":
            return self.websocket(method, target, raw_query)
        if path == base + "/get_banner":
            return self.send_outcome(srv.guard.banner(method, target, raw_query, self.peer))
        if path.startswith(base + "/update/"):
            name = urllib.parse.unquote(path[len(base) + len("/update/"):], errors="replace")
            return self.send_outcome(srv.guard.update(method, target, name, self.peer))
        return self.send_outcome(srv.guard.unrouted(method, target, raw_query, self.peer))

    # -- answers ---------------------------------------------------------------

    def reply(self, status, body=b"", content_type="application/octet-stream", extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_outcome(self, out):
        if out.delay_ms:
            self.server.stop_event.wait(out.delay_ms / 1000.0)
        if out.drop:
            self.close_connection = True
            try:
                if getattr(out, "reset", False):
                    # Linger 0: the close sends a reset (the agent sees 10054).
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                else:
                    self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if out.drip_ms or out.stall_ms:
            return self.send_shaped(out)
        self.reply(out.http_status, out.body, out.content_type)

    def send_shaped(self, out):
        """The answer written by hand, so its timing is ours: dripped in small
        pieces, or stalled halfway through its body and then closed."""
        self.close_connection = True
        head = ("%s %d %s\r\nServer: %s\r\nContent-Type: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                % (self.protocol_version, out.http_status, self.responses.get(out.http_status, ("",))[0],
                   self.version_string(), out.content_type, len(out.body))).encode("latin-1")
        data = head + (out.body if self.command != "HEAD" else b"")
        stop = self.server.stop_event
        try:
            if out.stall_ms:
                self.wfile.write(data[:len(head) + len(out.body) // 2])
                self.wfile.flush()
                stop.wait(out.stall_ms / 1000.0)
                self.connection.shutdown(socket.SHUT_RDWR)
                return
            step = max(1, out.drip_bytes)
            for at in range(0, len(data), step):
                if at and stop.wait(out.drip_ms / 1000.0):
                    return
                self.wfile.write(data[at:at + step])
                self.wfile.flush()
        except OSError:
            pass  # the peer gave up first, which is what a drip tests

    def reply_json(self, status, obj):
        body = (json.dumps(obj, ensure_ascii=False, indent=1, default=str) + "\n").encode("utf-8")
        self.reply(status, body, "application/json; charset=utf-8")

    # -- websocket -------------------------------------------------------------

    def websocket(self, method, target, raw_query):
        srv = self.server
        guard = srv.guard
        problem = websocket.check_upgrade(method, self.headers)
        station, out = guard.ws_open(method, target, raw_query, self.peer, problem)
        if out is not None:
            self.close_connection = True
            return self.send_outcome(out)
        key = self.headers.get("Sec-WebSocket-Key")
        self.send_response(101, "Switching Protocols")
        self.send_header("Upgrade", "websocket")
        self.send_header("Connection", "Upgrade")
        self.send_header("Sec-WebSocket-Accept", websocket.accept_key(key))
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True
        self.connection.settimeout(None)
        ws = websocket.WebSocket(self.connection, self.rfile)
        with guard.lock:
            old, station.ws = station.ws, ws
        if old is not None:
            old.abort()
        srv.track_ws(ws, True)
        how, code, error = "lost", None, None
        try:
            while not srv.stop_event.is_set():
                opcode, data = ws.receive()
                answer = guard.ws_message(station, opcode, data, self.peer)
                if answer.delay_ms:
                    srv.stop_event.wait(answer.delay_ms / 1000.0)
                if answer.drop:
                    continue
                for message in answer.messages:
                    ws.send_binary(message)
        except websocket.Closed as e:
            how, code = ("closed by the agent" if e.clean else "lost"), e.code
        except websocket.ProtocolError as e:
            how, code, error = "protocol error", e.code, str(e)
            ws.close(e.code, str(e))
        except OSError as e:
            how, error = "lost", str(e)
        finally:
            srv.track_ws(ws, False)
            with guard.lock:
                if station.ws is ws:
                    station.ws = None
            if srv.stop_event.is_set():
                how = "server stopped"
            guard.ws_closed(station, how, code, error, self.peer)

    # -- control ---------------------------------------------------------------

    def control(self, method, path, raw_query, body):
        srv = self.server
        q = dict(urllib.parse.parse_qsl(raw_query))
        what = path[len("/control/"):].strip("/") if path.startswith("/control/") else ""
        try:
            data = json.loads(body.decode("utf-8")) if body.strip() else {}
        except (UnicodeDecodeError, ValueError) as e:
            return self.reply_json(400, {"error": "body is not JSON: %s" % e})
        try:
            if what == "state" and method == "GET":
                return self.reply_json(200, srv.guard.snapshot())
            if what == "records" and method == "GET":
                rec = srv.guard.recorder
                if rec is None:
                    return self.reply_json(404, {"error": "no recorder"})
                since = int(q.get("since", 0))
                count = int(q.get("count", 0))
                if count:
                    found = rec.wait(since, q.get("kind"), q.get("station"), count, float(q.get("timeout", 10)))
                else:
                    found = rec.select(since, q.get("kind"), q.get("station"))
                return self.reply_json(200, found)
            if what == "scenario" and method in ("PUT", "POST"):
                warnings = srv.guard.set_scenario(data)
                srv.guard.say("scenario replaced through the control interface")
                return self.reply_json(200, {"warnings": warnings})
            if what == "station" and method == "POST":
                try:
                    st = srv.guard.change_station(data)
                except KeyError:
                    return self.reply_json(404, {"error": "no station %r" % data.get("station")})
                return self.reply_json(200, {"station": st})
            if what == "command" and method == "POST":
                return self.reply_json(*srv.control_command(data))
            if what == "ws_close" and method == "POST":
                closed = srv.close_websockets(data.get("station"), int(data.get("code", 1001)),
                                              str(data.get("reason", "going away")))
                return self.reply_json(200, {"closed": closed})
            if what == "shutdown" and method == "POST":
                self.reply_json(200, {"stopping": True})
                threading.Thread(target=srv.stop, daemon=True).start()
                return None
        except scenario.ScenarioError as e:
            return self.reply_json(400, {"error": str(e)})
        except ValueError as e:
            return self.reply_json(400, {"error": str(e)})
        return self.reply_json(404, {"error": "no control %s %s" % (method, path)})


class _HTTPServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, owner):
        self.owner = owner
        super().__init__(address, Handler)

    def __getattr__(self, name):
        # The handler reaches the owner's state through its server.
        return getattr(self.owner, name)


class GuardServer:
    """The whole server; start() returns once it listens."""

    def __init__(self, guard=None, host="127.0.0.1", port=0, base="/server", state_file=None):
        self.stop_event = threading.Event()
        self.guard = guard or Guard(stop_event=self.stop_event)
        self.guard.stop_event = self.stop_event
        self.guard.command_sender = self.send_queued
        self.base = "/" + base.strip("/") if base.strip("/") else ""
        self.state_file = state_file
        self._state_lock = threading.Lock()
        if state_file:
            self.guard.after_record = self.write_state
        self._conns = set()
        self._wss = set()
        self._track_lock = threading.Lock()
        self.httpd = _HTTPServer((host, port), self)
        self.host, self.port = self.httpd.server_address[:2]
        self._thread = None
        self.stopped = threading.Event()

    @property
    def url(self):
        return "http://%s:%d%s" % (self.host, self.port, self.base)

    def track(self, conn, add):
        with self._track_lock:
            (self._conns.add if add else self._conns.discard)(conn)

    def track_ws(self, ws, add):
        with self._track_lock:
            (self._wss.add if add else self._wss.discard)(ws)

    def start(self):
        self._thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="guard-http", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stop listening, end open connections, close the record."""
        if self.stop_event.is_set():
            self.stopped.wait(5)
            return
        self.stop_event.set()
        self.httpd.shutdown()
        with self._track_lock:
            wss, conns = list(self._wss), list(self._conns)
        for ws in wss:
            ws.close(1001, "server going away")
            ws.abort()
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.httpd.server_close()
        if self._thread:
            self._thread.join(5)
        if self.state_file:
            self.write_state()
        if self.guard.recorder:
            self.guard.recorder.close()
        self.stopped.set()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def write_state(self):
        """The per-workstation records as one JSON file, replaced whole."""
        snap = self.guard.snapshot()
        text = json.dumps({"stations": snap["stations"]}, ensure_ascii=False, indent=1, default=str)
        with self._state_lock:
            folder = os.path.dirname(os.path.abspath(self.state_file))
            fd, tmp = tempfile.mkstemp(prefix=".state", dir=folder)
            try:
                with os.fdopen(fd, "w", encoding="utf-8") as f:
                    f.write(text + "\n")
                os.replace(tmp, self.state_file)
            except OSError as e:
                self.guard.say("cannot write %s: %s" % (self.state_file, e))
                try:
                    os.unlink(tmp)
                except OSError:
                    pass

    def close_websockets(self, name=None, code=1001, reason="going away"):
        """Start a clean close of the open websockets (one station's when
        named); a peer that never answers the close loses the connection
        after two seconds. Returns the labels of the stations closed."""
        guard = self.guard
        with guard.lock:
            found = [guard.station_by_name(name)] if name else list(guard.book.stations)
            targets = [(st.label, st.ws) for st in found if st is not None and st.ws is not None]
        for _, ws in targets:
            ws.close(code, reason)
            timer = threading.Timer(2.0, ws.abort)
            timer.daemon = True
            timer.start()
        return [label for label, _ in targets]

    # -- commands to the agent ---------------------------------------------------

    def control_command(self, data):
        name = data.get("station")
        if not name or not data.get("name"):
            return 400, {"error": "station and name are required"}
        order = {k: v for k, v in data.items() if k not in ("station", "queue")}
        if data.get("queue"):
            if not self.guard.queue_command(name, order):
                return 404, {"error": "no station %r" % name}
            return 200, {"queued": True}
        station = self.guard.station_by_name(name)
        if station is None:
            return 404, {"error": "no station %r" % name}
        return 200, self.send_command(station, order)

    def send_queued(self, station, order):
        self.send_command(station, order)

    def send_command(self, station, order):
        """Send one command document to the agent, over its websocket when
        one is open (unless told otherwise), else to its command port."""
        target = self.guard.command_target(station)
        command_id = str(order.get("id") or agentport.new_command_id())
        params = order.get("params") or {}
        if isinstance(params, dict):
            params = list(params.items())
        try:
            document = agentport.build_command(
                order["name"], [(str(k), str(v)) for k, v in params], order.get("xml") or (),
                command_id=command_id, hostname=order.get("hostname"), session_id=order.get("session_id"))
        except ValueError as e:
            return self.guard.record_command({"station": target["label"], "error": str(e), "ok": False})
        via = order.get("via", "auto")
        timeout = float(order.get("timeout", 30))
        rec = {"station": target["label"], "command": order["name"], "command_id": command_id,
               "document_out": document}
        key = target["key"]
        if key is None:
            rec.update(ok=False, error="the station has no connection password yet")
            return self.guard.record_command(rec)
        if via == "ws" or (via == "auto" and target["ws"] is not None):
            rec["channel"] = "ws"
            ws = target["ws"]
            if ws is None:
                rec.update(ok=False, error="the station has no websocket open")
                return self.guard.record_command(rec)
            ev = self.guard.expect_reply(command_id)
            try:
                ws.send_binary(crypto.encrypt(document.encode("utf-8"), key))
            except (OSError, websocket.Closed) as e:
                self.guard.take_reply(command_id)
                rec.update(ok=False, error="websocket send failed: %s" % e)
                return self.guard.record_command(rec)
            ev.wait(timeout)
            text = self.guard.take_reply(command_id)
            if text is None:
                rec.update(ok=False, error="no reply within %g s" % timeout)
            else:
                rec.update(ok=True, reply_document=text)
            return self.guard.record_command(rec)
        rec["channel"] = "http"
        if not target["port"]:
            rec.update(ok=False, error="the station's listener port is not known")
            return self.guard.record_command(rec)
        rec["to"] = "%s:%s" % (target["address"], target["port"])
        got = agentport.post_command(target["address"], target["port"], key, document, timeout)
        rec["http_status"] = got.http_status
        if got.error:
            rec.update(ok=False, error=got.error)
        else:
            rec.update(ok=True, reply_document=got.text)
        return self.guard.record_command(rec)


def wait_until(predicate, timeout=10.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
