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
from conversation import (AGENT, INSTALL_DIR, KEY, PE_AMD64, PE_I386, PROGRAM_FILES, SVC, check, is_state, log,  # noqa: E402
                          pe_machine, run_e2e)

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TallistoClient"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\TallistoClient"
EVENT_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tallisto Client"
PROGRAMS = ("QZService.exe", "QZMessenger.exe", "QZScreen.exe", "DOZudezoz.exe", "restart.exe", "QZManager.exe",
            "uninstall.exe")
CP_KEY = r"HKCR\CLSID\{987FEA4E-5C72-4f44-B168-B183B58ED115}"
ARP_VIEW = "/reg:32" if PROGRAM_FILES.endswith("(x86)") else "/reg:64"


def service_state(wine):
    return wine.service_state()


def check_installed_views(wine, programs):
    """Where Windows keeps what an installation of this build wrote: the
    programs of the build's bitness in its Program Files folder (a 32-bit build
    in Program Files (x86), nothing in the 64-bit one); the service and the
    event source, which live in the one system hive both views share, naming
    that folder; the Control Panel entry in the 64-bit view only, which is the
    one Explorer reads."""
    machine = PE_I386 if PROGRAM_FILES.endswith("(x86)") else PE_AMD64
    for name in programs:
        check(pe_machine(wine.install_dir(name)) == machine, "%s is not a %s program" % (
            name, "32-bit" if machine == PE_I386 else "64-bit"))
    if machine == PE_I386:
        check(not os.path.exists(wine.drive_c("Program Files", "Tallisto")), "a Tallisto folder in Program Files")
    for view in ("/reg:32", "/reg:64"):
        service = wine.run("reg", "query", SERVICE_KEY, "/v", "ImagePath", view, check_rc=False)
        check(AGENT.lower() in service.lower(), "the service's program in the %s view: %s" % (view, service))
        source = wine.run("reg", "query", EVENT_KEY, "/v", "EventMessageFile", view, check_rc=False)
        check(AGENT in source, "event source in the %s view: %s" % (view, source))
    check("Tallisto Client" in wine.run("reg", "query", CP_KEY, "/reg:64", check_rc=False),
          "the manager's Control Panel entry")
    if machine == PE_I386:
        check("Tallisto Client" not in wine.run("reg", "query", CP_KEY, "/reg:32", check_rc=False),
              "the Control Panel entry in the 32-bit view, where Explorer doesn't look")


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
    folder = wine.install_dir()
    data = wine.data_dir()

    log("silent installation")
    wine.run(setup, "/S", timeout=180)
    run.installed = True
    for name in PROGRAMS:
        check(os.path.exists(os.path.join(folder, name)), "%s not installed" % name)
    check(service_state(wine) == "4", "the service is not running after setup: %s" % service_state(wine))
    check_installed_views(wine, PROGRAMS)
    # A 32-bit setup program's entry is in the 32-bit view, where Windows lists it with the 64-bit ones.
    entry = wine.run("reg", "query", UNINSTALL_KEY, ARP_VIEW)
    check("DisplayVersion    REG_SZ    1.0.0.1" in entry and "Korvane Inc" in entry, "uninstall entry: %s" % entry)
    check(INSTALL_DIR in entry, "install location: %s" % entry)
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
    entry = wine.run("reg", "query", UNINSTALL_KEY, ARP_VIEW)
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
    check("Tallisto" not in wine.run("reg", "query", UNINSTALL_KEY, ARP_VIEW, check_rc=False).replace(UNINSTALL_KEY, ""),
          "the uninstall entry stays")
    check(os.path.exists(os.path.join(data, "guard.ini")), "the settings went with the program")
    check("Tallisto" not in wine.run("reg", "query", CP_KEY, "/reg:64", check_rc=False),
          "the Control Panel entry stays")


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
