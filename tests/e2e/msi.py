#!/usr/bin/env python3
"""The MSI package under wine64 as a deployment tool uses it: a quiet
installation with the public properties that registers the station with the
development guard server and heartbeats to it, nothing secret in the
installer's log or the uninstall data, an upgrade in place by the next
version's package that keeps the settings, and a removal that leaves only
the data folder."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from conversation import check, is_state, log, run_e2e  # noqa: E402
from installer import ARP_VIEW, check_installed_views, service_state, wait_for  # noqa: E402

APPLET_KEY = r"HKCR\CLSID\{987FEA4E-5C72-4f44-B168-B183B58ED115}"
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
DIRECTORY = {
    "rooms": [{"id": "11", "name": "Lab A"}],
    "images": [{"id": "21", "name": "Standard image"}],
    "models": [{"id": "31", "name": "Desk PC"}],
}
SECRET, UNLOCK = "Blue harbour 7", "Unlock 4 me"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def read_log(path):
    raw = open(path, "rb").read()
    # msiexec writes its log in UTF-16 with a byte-order mark, or in the ANSI code page.
    if raw[:2] == b"\xff\xfe":
        return raw[2:].decode("utf-16-le", "replace")
    return raw.decode("latin-1")


def scenario(run):
    exe, wine, guard, work = run.exe, run.wine, run.guard, run.work
    build = os.path.dirname(os.path.abspath(exe))
    msi, next_msi = os.path.join(build, "QZSetup.msi"), os.path.join(build, "next", "QZSetup.msi")
    check(os.path.exists(msi) and os.path.exists(next_msi), "the MSI packages are not built")
    guard.put_scenario({"auto_register": False, "password": SECRET, "directory": DIRECTORY,
                        "settings": {"i_am_alive_period": 5000}})
    guard.start()
    log("guard server on port %d" % guard.port)
    wine.fresh()
    folder = wine.install_dir()
    data = wine.data_dir()

    log("msiexec /i /qn with the public properties")
    install_log = os.path.join(work, "install.log")
    wine.run("msiexec", "/i", windows_path(msi), "/qn", "/l*v", windows_path(install_log),
             "SERVER=127.0.0.1/server", "PORT=%d" % guard.port, "PASSWORD=" + SECRET, "UNLOCKPASSWORD=" + UNLOCK,
             "ROOM=Lab A", "MODEL=Desk PC", "IMAGE=Standard image", timeout=300)
    run.installed = True
    programs = ("QZService.exe", "QZManager.exe", "QZMessenger.exe", "QZScreen.exe", "DOZudezoz.exe", "restart.exe")
    for name in programs:
        check(os.path.exists(os.path.join(folder, name)), "%s not installed" % name)
    added = guard.wait(lambda r: r["kind"] == "add_ws", 60, "the station's registration")
    doc = added.get("document") or ""
    for part in ('<room id="11"', '<model id="31"', '<image id="21"'):
        check(part in doc, "registration lacks %s: %s" % (part, doc))
    first = guard.wait(is_state, 60, "a heartbeat after the installation", added["seq"])
    check('<command version="1.0.0.1">' in first["document"], "the version in the document")
    check(service_state(wine) == "4", "the service is not running: %s" % service_state(wine))
    check(not os.path.exists(os.path.join(data, "config.ini")), "config.ini stays")
    autoreg = open(os.path.join(data, "Logs", "Autoreg.log"), "rb").read().decode("utf-8", "replace")
    check("Workstation has been added successfully" in autoreg, "Autoreg.log: %s" % autoreg)
    check_installed_views(wine, programs)
    installed = wine.run("reg", "query", UNINSTALL, "/s", ARP_VIEW, check_rc=False)
    check("Tallisto Client" in installed, "no uninstall entry")
    texts = [wine.run("reg", "query", UNINSTALL, "/s", "/reg:64", check_rc=False),
             wine.run("reg", "query", UNINSTALL, "/s", "/reg:32", check_rc=False)]
    if os.path.exists(install_log):
        texts.append(read_log(install_log))
    texts.append(open(os.path.join(data, "Logs", "QZManager.log"), "rb").read().decode("utf-8", "replace"))
    for text in texts:
        for secret in (SECRET, UNLOCK):
            check(secret not in text, "a password was left where it can be read: ...%s..." %
                  text[max(0, text.find(secret) - 200):text.find(secret) + 50])

    log("a newer package upgrades in place and keeps the settings")
    wine.run("msiexec", "/i", windows_path(next_msi), "/qn", timeout=300)
    wait_for(lambda: any(is_state(r) and '<command version="1.0.0.2">' in r["document"]
                         for r in guard.records()[first["seq"]:]), 120, "a heartbeat of the new version")
    entries = wine.run("reg", "query", UNINSTALL, "/s", ARP_VIEW, check_rc=False)
    # The package version carries the build in its third field (1.0.0.2 -> 1.0.2).
    check(entries.count("DisplayName    REG_SZ    Tallisto Client") == 1 and "1.0.2" in entries,
          "uninstall entries: %s" % entries)
    check("Tallisto Client" in wine.run("reg", "query", APPLET_KEY, "/reg:64", check_rc=False),
          "the upgrade lost the Control Panel entry")
    check(not any(r["kind"] == "add_ws" for r in guard.records()[added["seq"]:]), "registered again")

    log("msiexec /x removes the service and the programs")
    wine.run("msiexec", "/x", windows_path(next_msi), "/qn", timeout=300)
    wait_for(lambda: service_state(wine) is None, 60, "the service to go")
    run.installed = False
    check(not os.path.exists(os.path.join(folder, "QZService.exe")), "the programs stay")
    check("Tallisto Client" not in wine.run("reg", "query", APPLET_KEY, "/reg:64", check_rc=False),
          "the Control Panel entry stays")
    check(os.path.exists(os.path.join(data, "guard.ini")), "the settings went with the program")


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
