#!/usr/bin/env python3
"""The installed agent under wine64 against the development guard server:
registration, heartbeats, pushed settings and lock state, the no-change
code, a rejected password, a long outage and the stop signal.

Every run installs the build named on its command line the way an
administrator does, with the build's setup program. The win32 build is the
deliverable: its 32-bit programs land in Program Files (x86) of the 64-bit
prefix and run there as under WoW64."""

import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "guard-server"))
from guardlib import crypto  # noqa: E402

WINE = os.environ.get("QZ_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("QZ_WINESERVER", "/usr/lib/wine/wineserver")
SVC = "TallistoClient"
KEY = r"HKLM\SOFTWARE\Ostrune\KorvaneGuard"


def log(msg):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), msg), flush=True)


class Failure(Exception):
    pass


def check(cond, msg):
    if not cond:
        raise Failure(msg)


PE_I386, PE_AMD64 = 0x14C, 0x8664


def pe_machine(path):
    """The machine field of a Windows program's header (PE_I386, PE_AMD64)."""
    with open(path, "rb") as f:
        head = f.read(4096)
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    check(head[offset:offset + 4] == b"PE\0\0", "%s is not a Windows program" % path)
    return struct.unpack_from("<H", head, offset + 4)[0]


# Where the build under test (the first argument of every run) installs: a
# 32-bit program goes to Program Files (x86) on 64-bit Windows.
_UNDER_TEST = sys.argv[1] if len(sys.argv) > 1 and os.path.isfile(sys.argv[1]) else None
PROGRAM_FILES = "Program Files" if _UNDER_TEST and pe_machine(_UNDER_TEST) == PE_AMD64 else "Program Files (x86)"
INSTALL_DIR = "C:\\" + PROGRAM_FILES + "\\Tallisto"
AGENT = INSTALL_DIR + "\\QZService.exe"
DATA_DIR = ("ProgramData", "Korvane Inc", "Tallisto Client")


class Wine:
    def __init__(self, prefix):
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.prefix = prefix

    def run(self, *args, check_rc=True, timeout=120):
        # A file, not a pipe: wine's own daemons inherit the handles and keep a pipe open.
        with tempfile.TemporaryFile() as out_file:
            p = subprocess.run([WINE] + list(args), env=self.env, stdout=out_file, stderr=subprocess.STDOUT,
                               timeout=timeout)
            out_file.seek(0)
            out = out_file.read().decode("utf-8", "replace")
        if check_rc and p.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(args), p.returncode, out))
        return out

    def start(self, *args):
        """A Windows program left running; the caller ends it."""
        return subprocess.Popen([WINE] + list(args), env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def fresh(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        self.run("wineboot", "-i")
        subprocess.run([WINESERVER, "-w"], env=self.env)
        # A service manager that is already up starts the agent only on `net start`.
        subprocess.run([WINESERVER, "-p"], env=self.env)
        self.run("cmd", "/c", "exit", check_rc=False)

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def install_dir(self, *parts):
        return self.drive_c(PROGRAM_FILES, "Tallisto", *parts)

    def data_dir(self, *parts):
        return self.drive_c(*(DATA_DIR + parts))

    def service_state(self):
        """The state number `sc query` reports (1 stopped, 4 running...), or None."""
        for line in self.run("sc", "query", SVC, check_rc=False).splitlines():
            if "STATE" in line:
                return line.split(":")[1].split()[0].strip()
        return None


class Guard:
    def __init__(self, work, port=0):
        self.work = work
        self.record = os.path.join(work, "guard.jsonl")
        self.scenario = os.path.join(work, "scenario.json")
        self.port_file = os.path.join(work, "port")
        self.proc = None
        self.port = port
        self.extra = []  # more switches for the server

    def start(self):
        if os.path.exists(self.port_file):
            os.remove(self.port_file)
        if not os.path.exists(self.scenario):
            self.put_scenario({})
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(ROOT, "tools", "guard-server", "guard-server.py"),
             "--port", str(self.port), "--port-file", self.port_file, "--record", self.record,
             "--state-file", os.path.join(self.work, "stations.json"), "--scenario", self.scenario, "--quiet"]
            + self.extra)
        deadline = time.time() + 15
        while not os.path.exists(self.port_file) and time.time() < deadline:
            time.sleep(0.1)
        check(os.path.exists(self.port_file), "guard server did not start")
        with open(self.port_file) as f:
            self.port = int(f.read().strip())

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(20)
        self.proc = None

    def put_scenario(self, scenario):
        # The server re-reads the file when it changes; write it whole in one move.
        tmp = self.scenario + ".tmp"
        with open(tmp, "w") as f:
            json.dump(scenario, f)
        os.replace(tmp, self.scenario)
        if self.proc:
            req = urllib.request.Request("http://127.0.0.1:%d/control/scenario" % self.port,
                                         data=json.dumps(scenario).encode(), method="PUT")
            urllib.request.urlopen(req, timeout=10).read()

    def records(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record) as f:
            return [json.loads(line) for line in f if line.strip()]

    def wait(self, pred, timeout, what, since=0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            for r in self.records():
                if r["seq"] > since and pred(r):
                    return r
            time.sleep(0.3)
        raise Failure("timed out waiting for " + what)


def is_state(r):
    return r["kind"] == "state" and r.get("document") and "<name>i_am_alive</name>" in r["document"]


def stamp(r):
    return time.mktime(time.strptime(r["time"][:19], "%Y-%m-%dT%H:%M:%S")) + float("0" + r["time"][19:23])


def install(wine, exe):
    """The build's setup program, silent, in the fresh prefix: the programs,
    the service, the event source and the Control Panel entry. The setup
    program starts the service, here against no server; it is stopped again and
    what that start left (data folder, registry values) removed, so each run
    meets a station whose agent starts for the first time."""
    setup = os.path.join(os.path.dirname(os.path.abspath(exe)), "QZSetup.exe")
    check(os.path.exists(setup), "the setup program is not built: " + setup)
    wine.run(setup, "/S", timeout=180)
    check(os.path.exists(wine.install_dir("QZService.exe")), "the setup program installed no agent")
    wine.run("net", "stop", SVC, check_rc=False, timeout=60)
    deadline = time.time() + 60
    while wine.service_state() != "1" and time.time() < deadline:
        time.sleep(0.5)
    check(wine.service_state() == "1", "the service did not stop after setup: %s" % wine.service_state())
    shutil.rmtree(wine.data_dir())
    wine.run("reg", "delete", KEY, "/f", "/reg:32", check_rc=False)


# A 64-bit program that exists only in the 64-bit system folder (System32);
# a 32-bit process that leaves the file-system redirection on looks in SysWOW64.
PROBE64 = r"C:\Windows\System32\qzprobe64.exe"
PROBE64_STRINGS = {"product_name": "Sixty-four bit probe", "company": "Tallisto Test Bench", "version": "6.4.0.7"}


def start_probe64(wine, exe, seconds):
    probe = os.path.join(os.path.dirname(os.path.abspath(exe)), "qzprobe64.exe")
    check(os.path.exists(probe), "the 64-bit probe is not built: " + probe)
    check(pe_machine(probe) == PE_AMD64, "the probe is not a 64-bit program")
    shutil.copy(probe, wine.drive_c("windows", "system32", "qzprobe64.exe"))
    check(not os.path.exists(wine.drive_c("windows", "syswow64", "qzprobe64.exe")), "a 32-bit twin exists")
    return wine.start(PROBE64, str(seconds))


def prepare(exe, wine, guard):
    """The guard server started, a fresh prefix with the agent installed by its
    setup program (stopped), its registry backup pointed at the server and its
    file log at level 6. Returns the server address."""
    guard.start()
    log("guard server on port %d" % guard.port)
    wine.fresh()
    install(wine, exe)
    url = "http://127.0.0.1:%d/server" % guard.port
    wine.run("reg", "add", KEY, "/v", "ServerURL", "/t", "REG_SZ", "/d", url, "/f", "/reg:32")
    wine.run("reg", "add", KEY, "/v", "loglevel", "/t", "REG_DWORD", "/d", "6", "/f", "/reg:32")
    return url


def report_failure(wine, e):
    """The failure and the end of the agent's log, for the test's output."""
    log("FAIL: %s" % e)
    try:
        with open(wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client", "Logs", "kv.log"), "rb") as f:
            sys.stdout.write(f.read().decode("utf-8", "replace")[-6000:])
    except OSError:
        pass


def clean_up(wine, guard, installed):
    """Leaves nothing running: the service removed, the prefix and the server stopped."""
    if installed:
        wine.run("net", "stop", SVC, check_rc=False)
        wine.run(AGENT, "/uninstall", "/silent", check_rc=False)
    wine.stop()
    guard.stop()


class Run:
    """One end-to-end run: its work folder, wine prefix and guard server."""

    def __init__(self, exe, work):
        self.exe, self.work = exe, work
        self.wine = Wine(os.path.join(work, "prefix"))
        self.guard = Guard(work)
        self.installed = False


def run_e2e(scenario):
    """Runs scenario(run) in a fresh work folder named on the command line,
    after the agent's executable: PASS or the failure with the end of the
    agent's log, and nothing left running either way. A prefix with 32-bit
    Wine in it takes over a gigabyte: a run that passed removes its own, a
    failed run keeps it for a look."""
    exe, work = sys.argv[1], os.path.abspath(sys.argv[2])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    run = Run(exe, work)
    passed = False
    try:
        scenario(run)
        log("PASS")
        passed = True
        return 0
    except Failure as e:
        report_failure(run.wine, e)
        return 1
    finally:
        clean_up(run.wine, run.guard, run.installed)
        if passed:
            shutil.rmtree(run.wine.prefix, ignore_errors=True)


def scenario(run):
    exe, wine, guard = run.exe, run.wine, run.guard
    url = prepare(exe, wine, guard)
    run.installed = True
    wine.run("reg", "add", KEY, "/v", "ServerPassword", "/t", "REG_SZ", "/d", "CGCbzzh9ExYqUp+8Dt/1CA==",
             "/f", "/reg:32")
    wine.run("net", "start", SVC)
    kvlog = wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client", "Logs", "kv.log")
    ini = wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client", "guard.ini")

    log("registration, then heartbeats at the default period")
    reg = guard.wait(lambda r: r["kind"] == "register", 20, "registration")
    check(reg["query"].get("f") == ["13"] and reg["query"].get("platform") == ["Win32NT"], "register query")
    first = guard.wait(is_state, 10, "first state document", reg["seq"])
    check(first["key"] == "connection_password", "first document key: %s" % first["key"])
    check("<listener_port>8087</listener_port>" in first["document"], "listener port after registration")
    second = guard.wait(is_state, 45, "second state document", first["seq"])
    gap = stamp(second) - stamp(first)
    check(24 <= gap <= 37, "heartbeat gap %.1f s" % gap)
    check("listener_port" not in second["document"], "listener port only once")

    log("pushed settings shorten the period and reach guard.ini")
    # The same server under a slightly different address, to see the registry backup follow.
    guard.put_scenario({"settings": {"i_am_alive_period": 3000, "network_outage_timeout": 6000,
                                     "lock_on_network_outage": True, "server_url": url + "/"}})
    pushed = guard.wait(lambda r: is_state(r) and "settings" in (r.get("reply") or {}).get("news", []), 45,
                        "settings pushed", second["seq"])
    # The period in force when the settings came still runs out first.
    a = guard.wait(is_state, 40, "state after settings", pushed["seq"])
    b = guard.wait(is_state, 10, "next state", a["seq"])
    gap = stamp(b) - stamp(a)
    check(2.0 <= gap <= 4.0, "short heartbeat gap %.1f s" % gap)
    with open(ini, "rb") as f:
        text = crypto.decrypt(f.read(), b"tide_lamps").decode("utf-8")
    check("<i_am_alive_period>3000</i_am_alive_period>" in text, "guard.ini content: " + text)
    check("<server_url>%s/</server_url>" % url in text, "server_url in guard.ini")
    check(text.find("<server_url>") < text.find("<listener_port>") < text.find("<i_am_alive_period>"),
          "element order: " + text)
    backup = wine.run("reg", "query", KEY, "/v", "ServerURL", "/reg:32")
    check(url + "/" in backup, "registry backup: " + backup)
    # Both programs keep their key in the 32-bit view (Wow6432Node on 64-bit Windows), none in the 64-bit one.
    other = wine.run("reg", "query", KEY, "/reg:64", check_rc=False)
    check("ServerURL" not in other and "ServerPassword" not in other, "the agent's values in the 64-bit view: " + other)

    log("unchanged documents carry the no-change code")
    guard.wait(lambda r: r["kind"] == "state" and "nochange=" in r["raw_query"], 20, "nochange request", a["seq"])

    log("a pushed lock state comes back")
    guard.put_scenario({"settings": {"i_am_alive_period": 3000, "network_outage_timeout": 6000,
                                     "lock_on_network_outage": True}, "lock_status": "locked"})
    locked = guard.wait(lambda r: is_state(r) and "<lock_status>locked</lock_status>" in r["document"], 20,
                        "locked echo", b["seq"])

    log("a rejected password makes it register again")
    scen = {"settings": {"i_am_alive_period": 3000, "network_outage_timeout": 6000,
                         "lock_on_network_outage": True},
            "faults": [{"kind": "state", "status": "0xF1", "times": 1}]}
    guard.put_scenario(scen)
    rejected = guard.wait(lambda r: r["kind"] == "state" and (r.get("reply") or {}).get("status") in ("0xF1", 241,
                                                                                                  "F1"),
                          20, "0xF1 answer", locked["seq"])
    again = guard.wait(lambda r: r["kind"] == "register", 15, "registration after 0xF1", rejected["seq"])
    guard.wait(is_state, 10, "state after re-registration", again["seq"])

    log("a long outage locks the console")
    scen["faults"] = [{"kind": "register", "drop": True}, {"kind": "state", "drop": True}]
    guard.put_scenario(scen)
    deadline = time.time() + 60
    lost = False
    while time.time() < deadline and not lost:
        time.sleep(1)
        with open(kvlog, "rb") as f:
            lost = b"Connection has been lost completely" in f.read()
    check(lost, "no 'Connection has been lost completely' in kv.log")
    # A registration answered "no change" leaves no password: the next
    # document shows what the agent did on its own.
    mark = guard.records()[-1]["seq"]
    scen["faults"] = [{"kind": "register", "status": "0xF2", "times": 1}]
    guard.put_scenario(scen)
    after = guard.wait(lambda r: is_state(r), 30, "document after the outage", mark)
    check("<lock_status>locked</lock_status>" in after["document"], "not locked after outage: " + after["document"])
    scen["faults"] = []
    guard.put_scenario(scen)
    back = guard.wait(lambda r: r["kind"] == "register", 30, "registration after outage", after["seq"])
    guard.wait(is_state, 15, "state after outage", back["seq"])

    log("a 64-bit program fitting a pushed template by its full path is metered: app_start, app_stop, acknowledged")
    scen["apps"] = {"form": "apps", "applications": [{"id": 7, "path": PROBE64},
                                                     {"id": 8, "path": "*\\no-such-program.exe"}]}
    guard.put_scenario(scen)
    mark = guard.records()[-1]["seq"]
    pushed = guard.wait(lambda r: is_state(r) and "apps" in (r.get("reply") or {}).get("news", []), 30,
                        "application list pushed", mark)
    probe = start_probe64(wine, exe, 600)
    try:
        started = guard.wait(lambda r: is_state(r) and '<app_start id="7"' in r["document"], 30,
                             "app_start for the started program", pushed["seq"])
        check('<app_start id="8"' not in started["document"], "a template that fits nothing started")
        event = started["document"][started["document"].find('<app_start id="7"'):]
        event = event[:event.find("/>")]
        check('user_id="' in event, "app_start without a user: " + event)
        if 'user_id="-1"' in event:  # nobody logged on: the station's own account
            check('user_name="SYSTEM"' in event, "app_start user: " + event)
    finally:
        wine.run("taskkill", "/f", "/im", "qzprobe64.exe", check_rc=False)
        probe.wait(30)
    stopped = guard.wait(lambda r: is_state(r) and '<app_stop id="7"' in r["document"], 30,
                         "app_stop after the program ended", started["seq"])
    # The server acknowledged both: a later document carries neither.
    guard.wait(lambda r: is_state(r) and "<app_st" not in r["document"], 30, "events acknowledged",
               stopped["seq"])
    with open(kvlog, "rb") as f:
        text = f.read()
    for line in (b"License Manager has been launched", b"Started Apps 7", b"Finished Apps 7"):
        check(line in text, "kv.log lacks %r" % line)

    log("net stop sends the stop signal")
    mark = guard.records()[-1]["seq"]
    wine.run("net", "stop", SVC)
    stop = guard.wait(lambda r: r["kind"] == "stop", 20, "stop signal", mark)
    check("i_am_turning_off" in (stop.get("document") or ""), "stop document")
    with open(kvlog, "rb") as f:
        check(f.read().count(b"I am dying") == 1, "Stop ran once")

    wine.run(AGENT, "/uninstall", "/silent")
    run.installed = False


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
