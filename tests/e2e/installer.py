#!/usr/bin/env python3
"""The setup program under wine64 as an administrator meets it: a silent
installation that registers and starts the agent, which then talks to the
development guard server; a self-update offered by the server with the setup
program of the next version, which the agent downloads and runs, and after
which it comes back with the new version and reports success; and an
uninstallation that leaves nothing of the program behind but its data."""

import os
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from conversation import KEY, SVC, check, is_state, log, run_e2e  # noqa: E402

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TallistoClient"
EVENT_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tallisto Client"
PROGRAMS = ("QZService.exe", "QZMessenger.exe", "QZScreen.exe", "DOZudezoz.exe", "restart.exe", "QZManager.exe",
            "uninstall.exe")
CP_KEY = r"HKCR\CLSID\{987FEA4E-5C72-4f44-B168-B183B58ED115}"


def service_state(wine):
    out = wine.run("sc", "query", SVC, check_rc=False)
    for line in out.splitlines():
        if "STATE" in line:
            return line.split(":")[1].split()[0].strip()
    return None


def wait_for(pred, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if pred():
            return
        time.sleep(0.5)
    check(False, "timed out waiting for " + what)


def scenario(run):
    exe, wine, guard = run.exe, run.wine, run.guard
    build = os.path.dirname(os.path.abspath(exe))
    setup = os.path.join(build, "QZSetup.exe")
    next_setup = os.path.join(build, "next", "QZSetup.exe")
    check(os.path.exists(setup) and os.path.exists(next_setup), "the setup programs are not built")
    guard.put_scenario({"settings": {"i_am_alive_period": 5000}})
    guard.start()
    log("guard server on port %d" % guard.port)
    wine.fresh()
    url = "http://127.0.0.1:%d/server" % guard.port
    wine.run("reg", "add", KEY, "/v", "ServerURL", "/t", "REG_SZ", "/d", url, "/f", "/reg:32")
    wine.run("reg", "add", KEY, "/v", "loglevel", "/t", "REG_DWORD", "/d", "6", "/f", "/reg:32")
    folder = wine.drive_c("Program Files", "Tallisto")
    data = wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client")

    log("silent installation")
    wine.run(setup, "/S", timeout=180)
    run.installed = True
    for name in PROGRAMS:
        check(os.path.exists(os.path.join(folder, name)), "%s not installed" % name)
    check(service_state(wine) == "4", "the service is not running after setup: %s" % service_state(wine))
    entry = wine.run("reg", "query", UNINSTALL_KEY)
    check("DisplayVersion    REG_SZ    1.0.0.1" in entry and "Korvane Inc" in entry, "uninstall entry: %s" % entry)
    check("Tallisto Client" in wine.run("reg", "query", CP_KEY, "/reg:64", check_rc=False),
          "the manager's Control Panel entry")
    source = wine.run("reg", "query", EVENT_KEY)
    check(r"C:\Program Files\Tallisto\QZService.exe" in source, "event source: %s" % source)
    reg = guard.wait(lambda r: r["kind"] == "register", 30, "registration")
    first = guard.wait(is_state, 20, "first state document", reg["seq"])
    check('<command version="1.0.0.1">' in first["document"], "version in the document")

    log("self-update with the next version's setup program (a name with a blank)")
    # The server serves files from its scenario's folder only.
    shutil.copy(next_setup, os.path.join(run.work, "next-setup.exe"))
    offer = {"id": "501", "file": "QZSetup 2.exe", "path": "next-setup.exe"}
    guard.put_scenario({"settings": {"i_am_alive_period": 5000}, "update": offer})
    # 15 s of waiting before the download, then the setup program stops and restarts the agent.
    done = guard.wait(lambda r: is_state(r) and '<update id="501" state="True"' in r["document"], 150,
                      "the update's success event", first["seq"])
    check('<command version="1.0.0.2">' in done["document"], "the new version in the document")
    # Each start moves the last log aside.
    text = b""
    for name in ("kv.bak", "kv.log"):
        with open(os.path.join(data, "Logs", name), "rb") as f:
            text += f.read()
    for line in (b"Hooray. We need update id=501, filename=QZSetup 2.exe",
                 b"update url " + url.encode() + b"/update/QZSetup%202.exe",
                 b"Start update with command line - \"C:\\ProgramData\\Korvane Inc\\Tallisto Client\\Update\\QZSetup 2.exe\" /SP- /VERYSILENT /SUPPRESSMSGBOXES",
                 b"Guard Version is 1.0.0.2",
                 b"Update Manager load from disk, found update id=501 filename=QZSetup 2.exe"):
        check(line in text, "kv.log lacks %r" % line)
    entry = wine.run("reg", "query", UNINSTALL_KEY)
    check("DisplayVersion    REG_SZ    1.0.0.2" in entry, "uninstall entry after the update: %s" % entry)
    # The server acknowledged the event: the update folder goes.
    guard.put_scenario({"settings": {"i_am_alive_period": 5000}})
    wait_for(lambda: not os.path.exists(os.path.join(data, "Update")), 60, "the update folder to go")
    check(service_state(wine) == "4", "the service is not running after the update")

    log("silent uninstallation")
    wine.run(os.path.join(folder, "uninstall.exe"), "/S", timeout=180)
    wait_for(lambda: not os.path.exists(os.path.join(folder, "QZService.exe")), 60, "the program to go")
    wait_for(lambda: service_state(wine) is None, 30, "the service to go")
    run.installed = False
    check("Tallisto" not in wine.run("reg", "query", UNINSTALL_KEY, check_rc=False).replace(UNINSTALL_KEY, ""),
          "the uninstall entry stays")
    check(os.path.exists(os.path.join(data, "guard.ini")), "the settings went with the program")
    check("Tallisto" not in wine.run("reg", "query", CP_KEY, "/reg:64", check_rc=False),
          "the Control Panel entry stays")


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
