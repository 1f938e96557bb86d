#!/usr/bin/env python3
"""The development guard server's web console in headless Chromium against
the agent installed as a service under wine64: the station listed with its
user and lock state, a screenshot of the asked size, a message, a lock that
comes back with the next heartbeat, a process stopped from the list, the
inventory and the log archive, and no answer without the token. The pages'
screenshots are left in the work folder."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from conversation import KEY, SVC, check, is_state, log, prepare, run_e2e  # noqa: E402


def scenario(run):
    exe, wine, guard, work = run.exe, run.wine, run.guard, run.work
    check(os.environ.get("DISPLAY"), "the screenshot needs an X display (Xvfb)")
    test = os.path.join(ROOT, "tests", "console", "console_test.mjs")
    check(os.path.isdir(os.path.join(ROOT, "tests", "console", "node_modules", "playwright-core")),
          "playwright-core is not installed (scripts/setup.sh)")
    console_file = os.path.join(work, "console")
    guard.extra = ["--console-port", "0", "--console-file", console_file]
    guard.put_scenario({"settings": {"i_am_alive_period": 5000}})
    prepare(exe, wine, guard)
    wine.run("reg", "add", KEY, "/v", "ServerPassword", "/t", "REG_SZ", "/d", "CGCbzzh9ExYqUp+8Dt/1CA==",
             "/f", "/reg:32")
    run.installed = True
    wine.run("net", "start", SVC)
    # A program on the screen, for the screenshot and for the page to stop.
    pinger = wine.start("notepad")
    try:
        with open(console_file) as f:
            address = f.read().strip()
        log("console at %s" % address.split("?")[0])
        mark = len(guard.records())
        browser = subprocess.run(["node", test, address, work, "notepad"], capture_output=True, text=True, timeout=480)
        sys.stdout.write(browser.stdout + browser.stderr[-4000:])
        check(browser.returncode == 0, "the browser test failed")
        records = guard.records()[mark:]
        check(any(is_state(r) and "<lock_status>locked</lock_status>" in r["document"] for r in records),
              "no heartbeat reported the lock")
        kvlog = wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client", "Logs", "kv.log")
        with open(kvlog, "rb") as f:
            check(b"The lab closes at eight (from the console)." in f.read(), "the message did not reach the agent")
    finally:
        pinger.kill()


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
