"""The web console: a small page on loopback that shows the stations the
server knows and drives their agents (screenshot, message, lock states,
logoff, processes, inventory, log archive). It can shut machines down, so it
listens on 127.0.0.1 only and every request must carry the token printed at
start: in the page's address once (which sets a same-site cookie), and in
the X-Console-Token header for every change."""

import hmac
import http.server
import json
import mimetypes
import os
import re
import secrets
import socketserver
import threading
import time
import urllib.parse

from . import crypto, xmlutil

STATIC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "console")
COOKIE = "qz_console"
MAX_BODY = 64 * 1024
HISTORY = 20
DOWNLOADS = 8
LOCK_WORDS = ("locked", "halflocked", "unlocked")


def _document(text):
    """The root of a document the agent sent, or None."""
    try:
        return xmlutil.parse(text.encode("utf-8")) if text else None
    except xmlutil.DocumentError:
        return None


def summary(station_json, room_names, app_names):
    """What the list shows of one station, from what the server keeps."""
    out = {
        "name": station_json.get("hostname") or station_json.get("name") or "?",
        "room": room_names.get(str(station_json.get("room_id"))) or "",
        "address": station_json.get("address") or "",
        "websocket": station_json.get("websocket"),
        "listener_port": station_json.get("guard_port"),
        "last_heartbeat": station_json.get("last_document_time"),
        "version": None, "lock_status": station_json.get("reported", {}).get("lock_status"),
        "login": None, "applications": [], "pending_events": 0,
    }
    root = _document(station_json.get("last_document"))
    if root is None:
        return out
    out["version"] = root.get("version")
    out["lock_status"] = xmlutil.text_of(root, "active_state", "lock_status", default=out["lock_status"])
    # The user's name from the user list, by the id the login state names.
    users = root.find("users")
    names = {u.get("id") or xmlutil.text_of(u, "id"): u.get("name") or xmlutil.text_of(u, "name") or ""
             for u in (users if users is not None else [])}
    login = xmlutil.child(root, "active_state", "login_state")
    if login is not None:
        user = names.get(login.get("user_id")) or xmlutil.text_of(login, "user_name") or login.get("user_id") or ""
        out["login"] = {"state": login.get("state"), "user": user}
    apps = xmlutil.child(root, "active_state", "applications_state")
    for a in apps if apps is not None else []:
        out["applications"].append(app_names.get(a.get("id"), "application %s" % a.get("id")))
    events = root.find("events")
    out["pending_events"] = len(events) if events is not None else 0
    return out


def _payload(root, name):
    return crypto.b64decode(xmlutil.text_of(root, name, default=""), strict=False)


def decode_reply(command, reply):
    """What the page shows of a reply besides the document itself; a log
    archive comes back as bytes under "archive"."""
    root = _document(reply)
    if root is None:
        return {}
    out = {"result": xmlutil.text_of(root, "result")}
    if command == "get_screen_shot":
        data = _payload(root, "screen_shot")
        out["image"] = "data:%s;base64,%s" % ("image/png" if data[:4] == b"\x89PNG" else "image/gif",
                                             crypto.b64encode(data))
        out["captured"] = time.strftime("%Y-%m-%d %H:%M:%S")
        out["bytes"] = len(data)
    elif command == "get_computer_info":
        text = _payload(root, "raw_data").decode("utf-8", "replace")
        # The report breaks its lines with CR, CR LF or LF.
        out["text"] = text.replace("\r\n", "\n").replace("\r", "\n")
    elif command == "get_client_log":
        out["archive"] = _payload(root, "raw_data")
    elif command == "get_all_active_processes":
        out["processes"] = [{"id": xmlutil.text_of(p, "process_id"), "name": xmlutil.text_of(p, "name"),
                             "path": xmlutil.text_of(p, "path"), "started": xmlutil.text_of(p, "launch_time")}
                            for p in root.iter("process")]
    return out


class Console:
    def __init__(self, server, port=0):
        self.server = server              # the GuardServer: its guard and command sender
        self.token = secrets.token_urlsafe(24)
        self.lock = threading.Lock()
        self.history = {}                 # station -> recent commands, newest last
        self.downloads = {}               # id -> (file name, bytes)
        self.httpd = _ConsoleHTTP(("127.0.0.1", port), self)
        self.port = self.httpd.server_address[1]
        self._thread = None

    @property
    def url(self):
        return "http://127.0.0.1:%d/?token=%s" % (self.port, self.token)

    def start(self):
        self._thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="guard-console", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    # -- what the page asks for ----------------------------------------------------

    def stations(self):
        snap = self.server.guard.snapshot()
        sc = snap.get("effective") or {}
        rooms = {str(r["id"]): r["name"] for r in (sc.get("directory") or {}).get("rooms", [])}
        apps = {}
        for a in (sc.get("apps") or []) if isinstance(sc.get("apps"), list) else []:
            if isinstance(a, dict) and "id" in a:
                apps[str(a["id"])] = a.get("name") or a.get("path") or str(a["id"])
        now = time.time()
        out = []
        for st in snap["stations"]:
            s = summary(st, rooms, apps)
            s["age"] = round(now - s["last_heartbeat"], 1) if s["last_heartbeat"] else None
            out.append(s)
        return out

    def station(self, name):
        found = next((s for s in self.stations() if s["name"] == name), None)
        if found is None:
            return None
        with self.lock:
            found["history"] = list(self.history.get(name, []))
        return found

    def command(self, name, body):
        station = self.server.guard.station_by_name(name)
        if station is None:
            return 404, {"error": "no station %r" % name}
        command = body.get("name")
        if not isinstance(command, str) or not re.match(r"^[a-z_]{1,40}$", command):
            return 400, {"error": "a command name is required"}
        params = body.get("params") or {}
        xml = body.get("xml") or []
        if not isinstance(params, dict) or not isinstance(xml, list):
            return 400, {"error": "params is an object, xml a list"}
        order = {"name": command, "params": {str(k): str(v) for k, v in params.items()},
                 "xml": [str(x) for x in xml], "timeout": 60}
        rec = self.server.send_command(station, order)
        entry = {"time": time.strftime("%H:%M:%S"), "command": command, "ok": rec.get("ok"),
                 "error": rec.get("error"), "request": rec.get("document_out"),
                 "reply": rec.get("reply_document")}
        entry.update(decode_reply(command, rec.get("reply_document")))
        data = entry.pop("archive", None)
        if data is not None and entry.get("result") == "success":
            key = secrets.token_urlsafe(12)
            with self.lock:
                self.downloads[key] = ("%s-logs.zip" % name, data)
                while len(self.downloads) > DOWNLOADS:
                    self.downloads.pop(next(iter(self.downloads)))
            entry["download"] = "/api/download/%s" % key
        # The history keeps the documents, not the pictures.
        kept = {k: v for k, v in entry.items() if k not in ("image", "processes", "text")}
        if entry.get("reply") and command in ("get_screen_shot", "get_client_log", "get_computer_info"):
            kept["reply"] = re.sub(r"(<(screen_shot|raw_data)>)[^<]{64,}", r"\1... (%d bytes, shown above)" %
                                   len(entry["reply"]), entry["reply"])
        self._remember(name, kept)
        return 200, entry

    def _remember(self, name, entry):
        with self.lock:
            self.history.setdefault(name, []).append(entry)
            del self.history[name][:-HISTORY]

    def set_lock(self, name, body):
        word = body.get("lock_status")
        if word not in LOCK_WORDS:
            return 400, {"error": "lock_status is one of %s" % ", ".join(LOCK_WORDS)}
        try:
            self.server.guard.change_station({"station": name, "lock_status": word})
        except KeyError:
            return 404, {"error": "no station %r" % name}
        entry = {"time": time.strftime("%H:%M:%S"), "command": "lock state %s" % word, "ok": True,
                 "request": "the server answers the next heartbeat with <lock_status>%s</lock_status>" % word}
        self._remember(name, entry)
        return 200, entry


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "GuardConsole/1.0"
    timeout = 60

    def log_message(self, fmt, *args):
        pass

    def handle_one_request(self):
        # A page that went away mid-answer is no error of the server's.
        try:
            super().handle_one_request()
        except (ConnectionError, TimeoutError):
            self.close_connection = True

    @property
    def console(self):
        return self.server.console

    def do_GET(self):
        self.route("GET")

    def do_POST(self):
        self.route("POST")

    def send(self, status, body, content_type, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy",
                         "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'")
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)

    def json(self, status, obj):
        self.send(status, (json.dumps(obj, default=str) + "\n").encode("utf-8"), "application/json; charset=utf-8")

    def authorised(self, query, changing):
        token = self.console.token
        header = self.headers.get("X-Console-Token") or ""
        if hmac.compare_digest(header, token):
            return True
        if changing:
            return False  # a change needs the header: a cookie alone could be another site's form
        cookies = dict(c.strip().split("=", 1) for c in (self.headers.get("Cookie") or "").split(";") if "=" in c)
        given = query.get("token") or cookies.get(COOKIE) or ""
        return hmac.compare_digest(given, token)

    def route(self, method):
        parsed = urllib.parse.urlsplit(self.path)
        path = parsed.path
        query = dict(urllib.parse.parse_qsl(parsed.query))
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if length < 0 or length > MAX_BODY:
            self.close_connection = True
            return self.json(413, {"error": "body too large"})
        body = self.rfile.read(length) if length else b""
        if not self.authorised(query, method != "GET"):
            return self.json(403, {"error": "the console's token is required"})
        if method == "GET" and path in ("/", "/index.html"):
            return self.static("index.html", [("Set-Cookie", "%s=%s; Path=/; HttpOnly; SameSite=Strict" %
                                               (COOKIE, self.console.token))])
        if method == "GET" and path in ("/app.js", "/style.css"):
            return self.static(path[1:])
        if method == "GET" and path == "/api/stations":
            return self.json(200, self.console.stations())
        m = re.match(r"^/api/stations/([^/]+)(?:/(command|lock))?$", path)
        if m:
            name = urllib.parse.unquote(m.group(1))
            if method == "GET" and not m.group(2):
                found = self.console.station(name)
                return self.json(200, found) if found else self.json(404, {"error": "no station %r" % name})
            if method == "POST" and m.group(2):
                try:
                    data = json.loads(body.decode("utf-8") or "{}")
                except (UnicodeDecodeError, ValueError):
                    return self.json(400, {"error": "the body is not JSON"})
                if not isinstance(data, dict):
                    return self.json(400, {"error": "the body is a JSON object"})
                handler = self.console.command if m.group(2) == "command" else self.console.set_lock
                return self.json(*handler(name, data))
        m = re.match(r"^/api/download/([A-Za-z0-9_-]+)$", path)
        if method == "GET" and m:
            with self.console.lock:
                found = self.console.downloads.get(m.group(1))
            if not found:
                return self.json(404, {"error": "no such download"})
            return self.send(200, found[1], "application/zip",
                             [("Content-Disposition", 'attachment; filename="%s"' % found[0])])
        return self.json(404, {"error": "no %s %s" % (method, path)})

    def static(self, name, extra=()):
        with open(os.path.join(STATIC, name), "rb") as f:
            data = f.read()
        kind = mimetypes.guess_type(name)[0] or "application/octet-stream"
        if kind.startswith("text/") or kind.endswith("javascript"):
            kind += "; charset=utf-8"
        self.send(200, data, kind, extra)


class _ConsoleHTTP(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, console):
        self.console = console
        super().__init__(address, _Handler)
