#!/usr/bin/env python3
"""The installed agent under wine64 when things go wrong: its process killed
again and again while it saves pushed settings (guard.ini must always stay
whole), and a guard server that resets every other exchange for minutes (the
agent keeps heartbeating and never asks to be restarted)."""

import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from conversation import AGENT, SVC, check, crypto, is_state, log, prepare, run_e2e  # noqa: E402

KILLS = int(os.environ.get("QZ_RESILIENCE_KILLS", "8"))
RESET_SECONDS = int(os.environ.get("QZ_RESILIENCE_SECONDS", "120"))


def settings_doc(path):
    with open(path, "rb") as f:
        raw = f.read()
    text = crypto.decrypt(raw, b"tide_lamps").decode("utf-8")
    check(text.startswith("<?xml") and text.rstrip().endswith("</settings>"), "guard.ini not whole: %r" % text[-80:])
    return text


def running(wine):
    out = wine.run("sc", "query", SVC, check_rc=False)
    return "RUNNING" in out


def scenario(run):
    exe, wine, guard = run.exe, run.wine, run.guard
    rng = random.Random(1234)
    prepare(exe, wine, guard)
    run.installed = True
    data = wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client")
    ini = os.path.join(data, "guard.ini")
    kvlog = os.path.join(data, "Logs", "kv.log")

    log("killed again and again while it saves: guard.ini always decrypts whole")
    n = 0

    def push():
        nonlocal n
        n += 1
        guard.put_scenario({"settings": {"i_am_alive_period": 1000, "room_name": "room-%d" % n}})

    push()
    wine.run("net", "start", SVC)
    saves = 0
    for kill in range(KILLS):
        end = time.time() + rng.uniform(2.0, 4.0)
        while time.time() < end:
            push()  # a new setting for every heartbeat: a save each time
            time.sleep(0.25)
        wine.run("taskkill", "/f", "/im", "QZService.exe", check_rc=False)
        time.sleep(0.5)
        check(os.path.exists(ini), "no guard.ini after kill %d" % (kill + 1))
        text = settings_doc(ini)
        saves += 1
        check("<room_name>room-" in text, "room_name not saved: " + text)
        leftovers = [f for f in os.listdir(data) if f.startswith("sts") and f.endswith(".tmp")]
        log("kill %d: guard.ini whole (%s), %d temporary file(s) left by the kill" %
            (kill + 1, text[text.find("<room_name>"):text.find("</room_name>") + 12], len(leftovers)))
        wine.run("net", "start", SVC, check_rc=False)
        deadline = time.time() + 20
        while time.time() < deadline and not running(wine):
            time.sleep(0.5)
        check(running(wine), "the agent did not start again after kill %d" % (kill + 1))
    check(saves == KILLS, "checked %d of %d kills" % (saves, KILLS))

    log("a server that resets every other exchange for %d s" % RESET_SECONDS)
    with open(kvlog, "rb") as f:
        starts_before = f.read().count(b"Creating everything")
    mark = guard.records()[-1]["seq"]
    guard.put_scenario({"settings": {"i_am_alive_period": 1000, "room_name": "room-%d" % n},
                        "faults": [{"kind": "state", "reset": True, "every": 2}]})
    time.sleep(RESET_SECONDS)
    recs = [r for r in guard.records() if r["seq"] > mark]
    states = [r for r in recs if r["kind"] == "state"]
    resets = [r for r in states if (r.get("reply") or {}).get("reset")]
    good = [r for r in states if is_state(r) and not (r.get("reply") or {}).get("reset")]
    log("%d state exchanges, %d reset, %d answered" % (len(states), len(resets), len(good)))
    check(len(resets) >= RESET_SECONDS // 6, "too few resets seen: %d" % len(resets))
    check(len(good) >= RESET_SECONDS // 6, "the agent stopped heartbeating: %d good exchanges" % len(good))
    check(running(wine), "the agent is not running")
    with open(kvlog, "rb") as f:
        text = f.read()
    check(text.count(b"Creating everything") == starts_before, "the agent restarted")
    check(b"It is time to restart" not in text, "a restart was asked for")
    # The last minute too: still heartbeating at the end.
    tail = guard.wait(lambda r: is_state(r), 15, "a state document at the end", recs[-1]["seq"] if recs else mark)
    check(tail is not None, "no state at the end")

    guard.put_scenario({"settings": {"i_am_alive_period": 1000}})
    wine.run("net", "stop", SVC)
    wine.run(AGENT, "/uninstall", "/silent")
    run.installed = False


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
