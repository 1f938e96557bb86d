#!/usr/bin/env python3
"""The installed agent under wine64 with websockets switched on, against the
development guard server: the socket opens after the first good heartbeat,
state documents and no-change frames travel over it with the server's
answers, a command the server pushes over it is carried out and answered
over it, and after the server vanishes the agent falls back and opens the
socket again once a heartbeat succeeds."""

import json
import os
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from conversation import SVC, check, log, prepare, run_e2e  # noqa: E402

SETTINGS = {"i_am_alive_period": 3000, "adv_use_ws": True, "ws_timeout": 5000}


def push(guard, station, name, via="ws"):
    body = json.dumps({"station": station, "name": name, "via": via, "timeout": 20}).encode()
    req = urllib.request.Request("http://127.0.0.1:%d/control/command" % guard.port, data=body, method="POST")
    return json.loads(urllib.request.urlopen(req, timeout=30).read())


def opened(r):
    return r["kind"] == "ws_open" and (r.get("reply") or {}).get("http_status") == 101


def scenario(run):
    exe, wine, guard = run.exe, run.wine, run.guard
    guard.put_scenario({"settings": SETTINGS})
    prepare(exe, wine, guard)
    run.installed = True
    wine.run("net", "start", SVC)

    log("the socket opens after the first good heartbeat")
    reg = guard.wait(lambda r: r["kind"] == "register", 30, "registration")
    ws = guard.wait(opened, 30, "the websocket upgrade", reg["seq"])
    check(ws["query"].get("check") and "hostname" in ws["query"], "resource name: %s" % ws.get("raw_query"))

    log("state documents and no-change frames over the socket, answered over it")
    doc = guard.wait(lambda r: r["kind"] == "ws_state" and r["channel"] == "ws", 30, "a state document on the socket",
                     ws["seq"])
    short = guard.wait(lambda r: r["kind"] == "ws_short", 30, "a no-change frame", ws["seq"])
    check((short.get("reply") or {}).get("status") == "0xF2", "short answer: %s" % short.get("reply"))
    mark = guard.records()[-1]["seq"]
    time.sleep(7)
    http_states = [r for r in guard.records() if r["seq"] > mark and r["kind"] == "state" and r["channel"] == "http"]
    check(not http_states, "heartbeats still go over HTTP: %d" % len(http_states))

    log("a command pushed over the socket is answered over it")
    got = push(guard, ws["station"], "get_mac")
    check(got.get("ok") and "<result>success</result>" in (got.get("reply_document") or ""), "get_mac: %s" % got)
    got = push(guard, ws["station"], "set_state_ts")  # not a multi-session host: "failure", still a reply
    check(got.get("ok"), "set_state_ts: %s" % got)

    log("the server vanishes: the agent falls back, and opens the socket again after a good heartbeat")
    port = guard.port
    guard.stop()
    time.sleep(12)
    guard.port = port
    # The new server numbers its records from 1 again.
    os.replace(guard.record, guard.record + ".before")
    guard.start()
    back = guard.wait(opened, 90, "the websocket opened again")
    guard.wait(lambda r: r["kind"] in ("ws_state", "ws_short"), 30, "heartbeats on the new socket", back["seq"])
    with open(wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client", "Logs", "kv.log"), "rb") as f:
        text = f.read()
    for line in (b"Websocket opened", b"Received websocket short answer with id ", b"Websocket read binary data"):
        check(line in text, "kv.log lacks %r" % line)


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
