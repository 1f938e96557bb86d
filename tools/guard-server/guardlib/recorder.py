"""Every exchange as one JSON line, and one readable line on stdout."""

import json
import sys
import threading
import time


def _now_iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % int((t % 1) * 1000)


class Recorder:
    def __init__(self, path=None, echo=True, stream=None, keep=20000):
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.path = path
        self.file = open(path, "a", encoding="utf-8") if path else None
        self.echo = echo
        self.stream = stream or sys.stdout
        self.records = []
        self.keep = keep
        self.seq = 0

    def add(self, rec):
        t = time.time()
        with self.lock:
            self.seq += 1
            rec = dict(seq=self.seq, time=_now_iso(t), **rec)
            line = json.dumps(rec, ensure_ascii=False, default=str)
            if self.file:
                self.file.write(line + "\n")
                self.file.flush()
            self.records.append(rec)
            if len(self.records) > self.keep:
                del self.records[: len(self.records) - self.keep]
            self.cond.notify_all()
        if self.echo:
            try:
                line = summary(rec)
            except Exception as e:  # a record must never fail its request
                line = "#%d %s (no summary: %s)" % (rec["seq"], rec.get("kind"), e)
            self.say(line)
        return rec

    def say(self, text):
        try:
            self.stream.write(text + "\n")
            self.stream.flush()
        except (OSError, ValueError):
            pass

    def select(self, since=0, kind=None, station=None):
        out = []
        for r in self.records:
            if r["seq"] <= since:
                continue
            if kind and r.get("kind") not in kind.split(","):
                continue
            if station and (r.get("station") or "").lower() != station.lower():
                continue
            out.append(r)
        return out

    def wait(self, since=0, kind=None, station=None, count=1, timeout=10.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                found = self.select(since, kind, station)
                left = deadline - time.monotonic()
                if len(found) >= count or left <= 0:
                    return found
                self.cond.wait(min(left, 1.0))

    def close(self):
        with self.lock:
            if self.file:
                self.file.close()
                self.file = None


def summary(rec):
    parts = [rec["time"][11:23], "#%d" % rec["seq"], rec.get("channel", "http"), rec.get("kind", "?")]
    if rec.get("station"):
        parts.append(rec["station"])
    if rec.get("key"):
        parts.append("key=" + rec["key"])
    doc = rec.get("facts") or {}
    if doc.get("name"):
        parts.append(doc["name"])
    if doc.get("lock_status"):
        parts.append("lock=" + doc["lock_status"])
    if doc.get("events"):
        parts.append("events=%s" % ",".join(str(e["id"]) for e in doc["events"]))
    reply = rec.get("reply") or {}
    if rec.get("kind") == "command":
        parts.append(rec.get("command") or "?")
        parts.append("-> ok" if rec.get("ok") else "-> failed")
    elif "status" in reply:
        parts.append("-> " + reply["status"])
    elif reply.get("dropped"):
        parts.append("-> dropped")
    elif "http_status" in reply and reply["http_status"] != 200:
        parts.append("-> HTTP %d" % reply["http_status"])
    elif reply.get("news") is not None:
        parts.append("-> reply [%s]" % " ".join(reply["news"]) if reply["news"] else "-> reply")
    elif reply:
        parts.append("-> %d bytes" % reply.get("bytes", 0))
    if rec.get("fault") is not None:
        parts.append("(fault %d)" % rec["fault"])
    if rec.get("error"):
        parts.append("ERROR: " + rec["error"])
    for w in rec.get("warnings") or ():
        parts.append("warning: " + w)
    return " ".join(parts)
