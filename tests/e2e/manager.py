#!/usr/bin/env python3
"""QZManager under wine64 with the agent installed as a service and the
development guard server, as an administrator meets it: the unattended mode
from "config.ini" with the automatic registration and the Control Panel
entry, its failures, and the main window driven through its controls (field
errors, the connection test, the apply wizard with the registration dialog
and the messages window, Back and Finish). Screenshots of the windows are
left in the work folder."""

import base64
import hashlib
import os
import shutil
import socket
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from conversation import INSTALL_DIR, KEY, WINE, Guard, check, install, is_state, log, run_e2e  # noqa: E402
from installer import wait_for  # noqa: E402

APPLET = "{987FEA4E-5C72-4f44-B168-B183B58ED115}"
NAMESPACE_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ControlPanel\NameSpace" + "\\" + APPLET
CLSID_KEY = r"HKCR\CLSID" + "\\" + APPLET
MANAGER = INSTALL_DIR + r"\QZManager.exe"
CAPTION = "Tallisto Client Manager"
DIRECTORY = {
    "rooms": [{"id": "11", "name": "Lab A", "d_id": "5"}, {"id": "12", "name": "Library"}],
    "images": [{"id": "21", "name": "Standard image"}, {"id": "22", "name": "Science image", "d_id": "5"}],
    "models": [{"id": "31", "name": "Desk PC", "d_id": "5"}, {"id": "32", "name": "Laptop", "d_id": "7"},
               {"id": "33", "name": "Thin client"}],
}

# Control ids of the manager's windows.
EDIT_SERVER, EDIT_PASSWORD, BUTTON_TEST, EDIT_PORT, PAGES = 1003, 1005, 1006, 1012, 1001
APPLY, CANCEL = 1, 2
EDIT_STATION, COMBO_ROOM, COMBO_IMAGE, COMBO_MODEL, MEMO_SOFTWARE = 1102, 1104, 1106, 1108, 1110
LIST, BACK, FINISH = 1202, 1203, 1204


def md5_b64(text):
    return base64.b64encode(hashlib.md5(text.encode("utf-8")).digest()).decode()


class Driver:
    """The window driver: one command a line, one answer a line."""

    def __init__(self, wine, exe):
        self.proc = subprocess.Popen([WINE, exe], env=wine.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, encoding="utf-8")

    def __call__(self, *words):
        line = " ".join(str(w) for w in words)
        self.proc.stdin.write(line.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r") + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().rstrip("\n")
        check(answer.startswith("ok"), "driver: %s -> %s" % (line, answer))
        return answer[3:]

    def unescape(self, text):
        out, i = [], 0
        while i < len(text):
            if text[i] == "\\" and i + 1 < len(text):
                out.append({"n": "\n", "r": "\r", "t": "\t"}.get(text[i + 1], text[i + 1]))
                i += 2
            else:
                out.append(text[i])
                i += 1
        return "".join(out)

    def text(self, hwnd, cid):
        return self.unescape(self("text", hwnd, cid))

    def box(self, title, timeout=60):
        """The message box with this title: (hwnd, icon, text)."""
        hwnd, rest = self("box", timeout * 1000, title).split(" ", 1)
        icon, caption, text = rest.split("\t")
        return hwnd, icon, self.unescape(text)

    def close_box(self, hwnd):
        self("close", hwnd)
        self("gone", 10000, hwnd)

    def lines(self, hwnd):
        out = self("lines", hwnd, LIST)
        if not out:
            return []
        kinds = {"0": "plain", "1": "success", "2": "failure"}
        result = []
        for item in out.split("\t"):
            kind, text = item.split(":", 1)
            result.append((kinds[kind], self.unescape(text)))
        return result

    def combo(self, hwnd, cid):
        parts = self("combo", hwnd, cid).split("\t")
        return int(parts[0]), [self.unescape(p) for p in parts[1:]]

    def shot(self, hwnd, path):
        bmp = path[:-4] + ".bmp"
        self("shot", hwnd, "Z:" + bmp.replace("/", "\\"))
        subprocess.run(["/usr/bin/python3", "-c",
                        "import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2])", bmp, path],
                       check=True)
        os.remove(bmp)

    def stop(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(20)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()


def write_config(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="\r\n") as f:
        f.write("[Params]\n" + "".join(l + "\n" for l in lines))


def read(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return True
    except OSError:
        return False


def scenario(run):
    exe, wine, guard, work = run.exe, run.wine, run.guard, run.work
    build = os.path.dirname(os.path.abspath(exe))
    manager = os.path.join(build, "QZManager.exe")
    driver_exe = os.path.join(build, "tests", "manager", "win32", "window_driver.exe")
    check(os.path.exists(manager) and os.path.exists(driver_exe), "QZManager or the window driver is not built")
    check(os.environ.get("DISPLAY"), "the windows need an X display (Xvfb)")

    guard.put_scenario({"auto_register": False, "directory": DIRECTORY, "settings": {"i_am_alive_period": 5000}})
    guard.start()
    log("guard server on port %d" % guard.port)
    wine.fresh()
    # No window manager runs on the test display: Wine draws the title bars itself.
    wine.run("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/d", "N", "/f")
    # The dialogs' font and the title bars' symbols, from Debian's fonts-wine.
    for name in ("tahoma.ttf", "tahomabd.ttf", "marlett.ttf"):
        font = os.path.join("/usr/share/wine/fonts", name)
        check(os.path.exists(font), "fonts-wine is not installed (scripts/setup.sh)")
        shutil.copy(font, wine.drive_c("windows", "Fonts"))
    install(wine, exe)
    run.installed = True
    data = wine.data_dir()
    config = os.path.join(data, "config.ini")
    autoreg = os.path.join(data, "Logs", "Autoreg.log")
    url = "127.0.0.1:%d/server" % guard.port

    log("unattended: config.ini with a room, model and image of the directory, and /register_cp")
    write_config(config, ["serverip=%s" % url, "serverpassword=harbour", "unlockpassword=Open Sesame",
                          "room=  lab a ", "model=DESK PC", "image=Science image"])
    wine.run(MANAGER, "/register_cp", timeout=180)
    check(not os.path.exists(config), "config.ini stays after a good run")
    text = read(autoreg)
    for line in ("Start autoreg", "Autoreg: Model Name=DESK PC,Room Name=lab a,Image Name=Science image",
                 "Autoreg: Model Id=31,Room Id=11,Image Id=22", "Workstation has been added successfully"):
        check(line in text, "Autoreg.log lacks %r:\n%s" % (line, text))
    added = guard.wait(lambda r: r["kind"] == "add_ws", 5, "the registration")
    doc = added.get("document") or ""
    for part in ('<room id="11"', '<image id="22"', '<model id="31"', "<name>add_workstation</name>"):
        check(part in doc, "registration document lacks %s: %s" % (part, doc))
    check("<multisession>" not in doc, "the automatic registration sends no multisession")
    state = guard.wait(is_state, 60, "a heartbeat of the restarted agent", added["seq"])
    check(state.get("key") == "connection_password", "the agent's key: %s" % state.get("key"))
    namespace = wine.run("reg", "query", NAMESPACE_KEY, "/reg:64")
    check("Tallisto Client" in namespace, "NameSpace entry: %s" % namespace)
    clsid = wine.run("reg", "query", CLSID_KEY, "/s", "/reg:64")
    for part in ("Configures Tallisto Client", "Tallisto.Settings", "System.ControlPanel.Category",
                 MANAGER + ",-20", MANAGER + ",0", "Shell\\Open\\Command"):
        check(part in clsid, "CLSID entry lacks %s: %s" % (part, clsid))
    telephone = wine.run("reg", "query", KEY, "/v", "telephone", "/reg:32")
    check(md5_b64("Open Sesame") in telephone, "unlock password value: %s" % telephone)
    manager_log = read(os.path.join(data, "Logs", "QZManager.log"))
    check("ServerIp=%s" % url in manager_log and "harbour" not in manager_log, "QZManager.log: %s" % manager_log)

    log("unattended: /unregister_cp removes the entry")
    wine.run(MANAGER, "-UNREGISTER_CP", timeout=60)
    check("Tallisto" not in wine.run("reg", "query", NAMESPACE_KEY, "/reg:64", check_rc=False), "NameSpace stays")
    check("Tallisto" not in wine.run("reg", "query", CLSID_KEY, "/reg:64", check_rc=False), "CLSID stays")

    log("unattended failures: a room the server doesn't list, a server that doesn't answer")
    os.remove(autoreg)
    write_config(config, ["serverip=%s" % url, "room=Nowhere", "model=Desk PC", "image=Standard image"])
    guard.put_scenario({"auto_register": False, "directory": DIRECTORY, "password": "HiddenMarigold",
                        "settings": {"i_am_alive_period": 5000}})
    # The station is known now: forget it, so the lookup runs.
    guard.stop()
    os.remove(os.path.join(work, "stations.json"))
    mark = len(guard.records())
    guard.start()
    wine.run(MANAGER, timeout=180)
    text = read(autoreg)
    check("Can not find room Nowhere on the server" in text, "Autoreg.log: %s" % text)
    check(not any(r["kind"] == "add_ws" for r in guard.records()[mark:]), "a registration was sent")
    write_config(config, ["serverip=127.0.0.1:9/server", "room=Lab A", "model=Desk PC", "image=Standard image"])
    wine.run(MANAGER, timeout=180)
    check("Can not register workstation: can not connect" in read(autoreg), "Autoreg.log: %s" % read(autoreg))

    log("the main window against a second guard server that doesn't know the station")
    guard.stop()
    second = Guard(os.path.join(work, "second"))
    os.makedirs(second.work)
    second.put_scenario({"auto_register": False, "directory": DIRECTORY, "settings": {"i_am_alive_period": 5000}})
    second.start()
    run.guard = second  # stopped at the end
    url2 = "127.0.0.1:%d/server" % second.port
    app = wine.start(MANAGER)
    drive = Driver(wine, driver_exe)
    try:
        main = drive("wait", 60000, CAPTION)
        check(drive.text(main, EDIT_SERVER) == "127.0.0.1:9/server", "address field: %r" % drive.text(main, EDIT_SERVER))
        check(drive.text(main, EDIT_PORT) == "8087", "port field")
        check(drive("focused", main, EDIT_SERVER) == "1", "the address field has the focus")
        drive.shot(main, os.path.join(work, "manager-main.png"))

        # Field errors: the box, and the Advanced page shown.
        for port, message in (("80a", "Port value has to be a whole number."),
                              ("70000", "Port value has to be between 1 and 65535.")):
            drive("tab", main, PAGES, 1)
            drive("set", main, EDIT_PORT, port)
            drive("tab", main, PAGES, 0)
            drive("click", main, APPLY)
            box, icon, text = drive.box("Error")
            check(text == message and icon in ("error", "other"), "port box: %r %s" % (text, icon))
            drive.close_box(box)
            check(drive("visible", main, EDIT_PORT) == "1", "the Advanced page is not shown")
        drive("set", main, EDIT_PORT, "8099")
        drive("tab", main, PAGES, 0)

        # An address that doesn't parse, then the new server that doesn't know the station.
        drive("set", main, EDIT_SERVER, "http://[::1")
        drive("click", main, BUTTON_TEST)
        box, icon, text = drive.box("Test Connection")
        check(text.startswith("Connection Test Failed."), "test box: %r" % text)
        drive.close_box(box)
        drive("set", main, EDIT_SERVER, url2)
        # The first change of the password field empties it; then it takes what is typed.
        drive("set", main, EDIT_PASSWORD, "harbour")
        check(drive.text(main, EDIT_PASSWORD) == "", "the first change doesn't empty the password field")
        drive("set", main, EDIT_PASSWORD, "harbour")
        drive("click", main, BUTTON_TEST)
        box, icon, text = drive.box("Test Connection")
        check("listed on the server. Click Apply Settings" in text and icon in ("info", "other"),
              "test box: %r %s" % (text, icon))
        drive.close_box(box)

        log("apply: registration dialog, the wizard's lines, Back")
        drive("click", main, APPLY)
        dialog = drive("wait", 60000, "Register Workstation")
        selected, rooms = drive.combo(dialog, COMBO_ROOM)
        check(rooms == ["Lab A", "Library"] and selected == -1, "rooms: %s" % rooms)
        check(drive.combo(dialog, COMBO_MODEL)[1] == ["Desk PC", "Laptop", "Thin client"], "models before a room")
        drive("click", dialog, 1)  # OK with nothing chosen
        box, icon, text = drive.box("Error")
        check(text == "Please choose a value from room list!", "register check: %r" % text)
        drive.close_box(box)
        drive("select", dialog, COMBO_ROOM, 1)  # Library: entries without a department only
        check(drive.combo(dialog, COMBO_MODEL)[1] == ["Thin client"], "models for Library")
        drive("select", dialog, COMBO_ROOM, 0)  # Lab A, department 5
        check(drive.combo(dialog, COMBO_MODEL)[1] == ["Desk PC", "Thin client"], "models for Lab A")
        drive("select", dialog, COMBO_MODEL, 0)
        drive("select", dialog, COMBO_IMAGE, 1)
        # The station name defaults to the computer's: the server finds the station by it
        # (Wine's adapters give no hardware addresses to match).
        station = drive.text(dialog, EDIT_STATION)
        check(station.strip() != "", "no station name offered")
        drive("set", dialog, MEMO_SOFTWARE, "Kiosk\r\nScanner")
        drive.shot(dialog, os.path.join(work, "manager-register.png"))
        drive("click", dialog, 1)
        msgs = drive("waitctl", 60000, LIST)
        check(drive("enabledwin", main) == "0", "the main window stays enabled behind the wizard")
        wait_for(lambda: drive("enabled", msgs, FINISH) == "1", 180, "the wizard's end")
        lines = drive.lines(msgs)
        log("wizard lines: %s" % lines)
        texts = [t for _, t in lines]
        want = ["Workstation has been added successfully", "Tallisto Service has been stopped", "Settings are saved",
                "Room : Lab A", "Tallisto Service successfully started", "Click Finish to exit the Setup Wizard."]
        at = [texts.index(w) if w in texts else -1 for w in want]
        check(-1 not in at and at == sorted(at), "wizard lines: %s" % lines)
        check(all(kind == "success" for kind, t in lines[:at[-2] + 1]), "a failure line: %s" % lines)
        check(lines[-3:] == [("plain", " "), ("plain", " "), ("plain", "Click Finish to exit the Setup Wizard.")],
              "the closing lines: %s" % lines[-3:])
        check(drive("focused", msgs, FINISH) == "1", "Finish has no focus")
        drive.shot(msgs, os.path.join(work, "manager-wizard.png"))
        added = second.wait(lambda r: r["kind"] == "add_ws", 5, "the registration from the dialog")
        doc = added.get("document") or ""
        for part in ("<name>%s</name>" % station, '<room id="11"', '<model id="31"', '<image id="22"', "Kiosk"):
            check(part in doc, "registration document lacks %r: %s" % (part, doc))
        second.wait(is_state, 60, "a heartbeat to the new server", added["seq"])
        wait_for(lambda: listening(8099), 60, "the agent's command port on 8099")

        log("Back, apply again (no registration now), Finish")
        drive("click", msgs, BACK)
        drive("gone", 10000, msgs)
        check(drive("enabledwin", main) == "1", "the main window stays disabled after Back")
        drive("click", main, APPLY)
        msgs = drive("waitctl", 60000, LIST)
        wait_for(lambda: drive("enabled", msgs, FINISH) == "1", 180, "the second wizard's end")
        lines = drive.lines(msgs)
        check(lines and lines[0] == ("success", "Tallisto Service has been stopped"), "second wizard: %s" % lines)
        drive("click", msgs, FINISH)
        app.wait(30)
    finally:
        drive.stop()
        if app.poll() is None:
            app.kill()


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
