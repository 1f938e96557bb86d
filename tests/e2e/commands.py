#!/usr/bin/env python3
"""The installed agent's command port under wine64, driven as the guard
server drives it: the stub page, addresses, the process list and ending a
process, a lock state and the logging level, a wrongly keyed POST, a flood of
connections, and a message fetched and shown by the message program."""

import http.server
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from conversation import (INSTALL_DIR, PROBE64, PROBE64_STRINGS, SVC, Failure, check, is_state, log,  # noqa: E402
                          prepare, run_e2e, start_probe64)
from guardlib import agentport, cli, crypto  # noqa: E402

PORT = 8087


def command(guard, name, params=(), xml=(), key=None, tries=3):
    """One command under the station's current connection password; the
    password may change with a heartbeat, so an empty reply is tried again."""
    for attempt in range(tries):
        k = key if key is not None else cli._guard_lookup("http://127.0.0.1:%d" % guard.port, None)[0]
        doc = agentport.build_command(name, params, xml, command_id=agentport.new_command_id())
        got = agentport.post_command("127.0.0.1", PORT, k, doc, 30)
        if got.text is not None or key is not None:
            return got
        time.sleep(1)
    return got


def field(text, name):
    m = re.search("<%s>(.*?)</%s>" % (name, name), text or "", re.S)
    return m.group(1) if m else None


def processes(guard):
    got = command(guard, "get_all_active_processes")
    check(got.text and field(got.text, "result") == "success", "process list: %s" % (got.error or got.text))
    return re.findall(r"<process>(.*?)</process>", got.text, re.S)


def process_entry(guard, image):
    """The process list's entry of a program by its file name, once it shows."""
    deadline = time.time() + 30
    while time.time() < deadline:
        entry = next((p for p in processes(guard)
                      if (field(p, "path") or "").lower().endswith("\\" + image.lower())), None)
        if entry is not None:
            return entry
        time.sleep(1)
    raise Failure("%s is not in the process list" % image)


def xwd_to_png(data, path):
    """The root window's dump (24 or 32 bits a pixel) as a PNG; its pixels back for checks."""
    header_size, _, _, depth, width, height = struct.unpack(">6I", data[:24])
    bits_per_pixel, bytes_per_line = struct.unpack(">II", data[44:52])
    ncolors = struct.unpack(">I", data[76:80])[0]
    byte_order = struct.unpack(">I", data[28:32])[0]
    check(bits_per_pixel in (24, 32), "xwd bits per pixel %d" % bits_per_pixel)
    step = bits_per_pixel // 8
    pixels = data[header_size + 12 * ncolors:]
    rows = []
    for y in range(height):
        line = pixels[y * bytes_per_line:y * bytes_per_line + width * step]
        out = bytearray(b"\0")
        for x in range(width):
            px = line[step * x:step * x + step]
            # Least significant byte first: blue, green, red.
            out += bytes((px[2], px[1], px[0])) if byte_order == 0 else bytes(px[-3:])
        rows.append(bytes(out))

    def chunk(tag, payload):
        return struct.pack(">I", len(payload)) + tag + payload + struct.pack(">I", zlib.crc32(tag + payload))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(b"".join(rows), 6)) + chunk(b"IEND", b""))
    return width, height, rows


def flood(n, hold):
    """n connections at once, each silent for `hold` seconds."""
    socks = []
    for _ in range(n):
        try:
            socks.append(socket.create_connection(("127.0.0.1", PORT), timeout=2))
        except OSError:
            pass
    time.sleep(hold)
    for s in socks:
        s.close()
    return len(socks)


def scenario(run):
    exe, work, wine, guard = run.exe, run.work, run.wine, run.guard
    prepare(exe, wine, guard)
    run.installed = True
    build = os.path.dirname(exe)
    # The stand-in authorization library switches the agent to custom login.
    shutil.copy(os.path.join(build, "Authorize.dll"), wine.install_dir())
    wine.run("net", "start", SVC)
    kvlog = wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client", "Logs", "kv.log")
    reg = guard.wait(lambda r: r["kind"] == "register", 30, "registration")
    guard.wait(is_state, 15, "first state document", reg["seq"])

    log("the stub page")
    stub = agentport.fetch_stub("127.0.0.1", PORT)
    check(stub.http_status == 200 and len(stub.body) == 1208, "stub page: %s %d bytes" % (stub.http_status,
                                                                                         len(stub.body)))
    check("<title>Bad request</title>" in stub.text and "HTTP Error 400 - Request is badly formed." in stub.text,
          "stub page text")

    log("get_mac")
    got = command(guard, "get_mac")
    check(field(got.text, "result") == "success" and field(got.text, "raw_data"), "get_mac: %s" % got.text)
    listed = command(guard, "get_mac", [("cm", "2")])
    check(field(listed.text, "result") == "success", "get_mac cm=2: %s" % listed.text)

    log("show_message: accepted; Wine has no interactive session to show it in")
    got = command(guard, "show_message", [("message", "The lab closes at eight.")])
    check(field(got.text, "result") == "success", "show_message: %s" % got.text)
    deadline = time.time() + 20
    seen = False
    while not seen and time.time() < deadline:
        with open(kvlog, "rb") as f:
            seen = b"No interactive user, can not show message" in f.read()
        time.sleep(0.5)
    check(seen, "the messenger did not run")

    log("the message program against the agent: a number the cache doesn't hold shows nothing")
    check(os.environ.get("DISPLAY"), "a display is needed (Xvfb)")
    out = wine.run(INSTALL_DIR + r"\QZMessenger.exe", str(PORT), "4242", check_rc=False)
    with open(kvlog, "rb") as f:
        check(b"Process messenger request 4242" in f.read(), "the agent saw no fetch: %s" % out)

    log("the message program shows a fetched message in a real window")
    document = b"<response><title>Tallisto Client</title><message>The lab closes at eight.</message></response>"
    fetched = []

    class Port(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            fetched.append((self.path, self.headers.get("Authorization", "")))
            body = crypto.encrypt(document if self.path == "/?77" else b"", crypto.MESSENGER_KEY)
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass
    stand_in = http.server.HTTPServer(("127.0.0.1", 0), Port)
    threading.Thread(target=stand_in.serve_forever, daemon=True).start()
    shower = wine.start(INSTALL_DIR + r"\QZMessenger.exe", str(stand_in.server_port), "77")
    window = None
    deadline = time.time() + 30
    pattern = r'0x[0-9a-f]+ "Tallisto Client": \(.*?\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)'
    while window is None and time.time() < deadline:
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
        window = re.search(pattern, tree)
        time.sleep(0.5)
    stand_in.shutdown()
    check(fetched and fetched[0][0] == "/?77" and fetched[0][1].startswith("Basic "), "fetch: %s" % fetched)
    check(window is not None, "no message box on the display")
    time.sleep(1)
    dump = subprocess.run(["xwd", "-root", "-silent"], capture_output=True).stdout
    shot = os.path.join(work, "message-box.png")
    _, _, rows = xwd_to_png(dump, shot)
    w, h, x, y = (int(v) for v in window.groups())
    colours = {rows[y + j][1 + 3 * (x + i):4 + 3 * (x + i)] for j in range(0, h, 2) for i in range(0, w, 2)}
    check(len(colours) > 2, "the message box shows nothing")
    log("message box %dx%d at %d,%d; screenshot %s" % (w, h, x, y, shot))

    log("the message program is listed with its version strings, then ended")
    entry = process_entry(guard, "QZMessenger.exe")
    check((field(entry, "path") or "").lower() == (INSTALL_DIR + r"\QZMessenger.exe").lower(), "path: %s" % entry)
    check(field(entry, "product_name") == "Tallisto Messenger" and field(entry, "company") == "Korvane Inc"
          and field(entry, "version") == "1.0.0.1", "version strings: %s" % entry)
    pid = field(entry, "process_id")
    got = command(guard, "shutdown_process", xml=["<process><process_id>%s</process_id></process>" % pid])
    check(field(got.text, "result") == "success", "shutdown_process: %s" % got.text)
    check(not any(field(p, "process_id") == pid for p in processes(guard)), "QZMessenger.exe still listed")
    shower.wait(30)

    log("a 64-bit program in System32 is listed with its own path and version strings")
    probe = start_probe64(wine, exe, 300)
    try:
        entry = process_entry(guard, "qzprobe64.exe")
        check((field(entry, "path") or "").lower() == PROBE64.lower(), "the probe's path: %s" % entry)
        for name, value in PROBE64_STRINGS.items():
            check(field(entry, name) == value, "the probe's %s: %s" % (name, entry))
    finally:
        wine.run("taskkill", "/f", "/im", "qzprobe64.exe", check_rc=False)
        probe.wait(30)

    log("set_state with a lock state: in the reply and the next heartbeat")
    mark = guard.records()[-1]["seq"]
    got = command(guard, "set_state", xml=["<control_state><lock_status>locked</lock_status></control_state>"])
    check("<lock_status>locked</lock_status>" in (got.text or ""), "set_state reply: %s" % got.text)
    guard.wait(lambda r: is_state(r) and "<lock_status>locked</lock_status>" in r["document"], 45,
               "locked in a heartbeat", mark)

    log("set_logging_level")
    mark = guard.records()[-1]["seq"]
    got = command(guard, "set_logging_level", [("logging_level", "4")])
    check(field(got.text, "result") == "success", "set_logging_level: %s" % got.text)
    guard.wait(lambda r: is_state(r) and "<logging_level>4</logging_level>" in r["document"], 45,
               "logging level 4 in a heartbeat", mark)
    command(guard, "set_logging_level", [("logging_level", "6")])

    log("remote_login of a lab user under custom authentication")
    mark = guard.records()[-1]["seq"]
    got = command(guard, "remote_login", xml=['<login>ann</login>'])
    check(field(got.text, "result") == "success", "remote_login: %s" % got.text)
    guard.wait(lambda r: is_state(r) and "<user_name>ann</user_name>" in r["document"], 45, "the lab user in a heartbeat", mark)
    stored = wine.run("reg", "query", r"HKLM\Software\Korvane Guard", "/v", "Username", "/reg:32", check_rc=False)
    check("ann" in stored, "registry value Username: %s" % stored)
    got = command(guard, "remote_login", xml=['<login>bob</login>'])
    check(field(got.text, "result") == "fail", "remote_login while ann is on: %s" % got.text)

    log("the countdown display ends by itself")
    t0 = time.time()
    wine.run(INSTALL_DIR + r"\DOZudezoz.exe", "2", timeout=30)
    check(time.time() - t0 < 25, "the countdown display did not end")
    out = wine.run(INSTALL_DIR + r"\DOZudezoz.exe", "abc", check_rc=False, timeout=30)

    log("a wrongly keyed POST gets an empty body; the port keeps serving")
    wrong = command(guard, "get_mac", key=b"not the password")
    check(wrong.http_status == 200 and wrong.body == b"", "wrong key: %s %r" % (wrong.http_status, wrong.body))

    log("a flood of connections")
    threads = [threading.Thread(target=flood, args=(100, 3)) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = command(guard, "get_mac")
    check(field(got.text, "result") == "success", "after the flood: %s" % (got.error or got.text))


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
