#!/usr/bin/env python3
"""What the idle agent costs a workstation under wine64: CPU over a period of
heartbeats and metering, resident and private (anonymous) memory, beside a
trivial Windows program (Wine's ping.exe) measured in the same prefix.

    bench/idle_agent.py build/win64/QZService.exe [seconds] [work folder]

With QZ_IDLE_SMAPS=1 it also lists the agent's mappings holding the most
anonymous (private) memory."""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
from conversation import AGENT, KEY, SVC, Failure, Guard, Wine, clean_up, log, prepare  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024


def in_prefix(pid, prefix):
    """Whether the process runs in our prefix: other runs on the machine may
    have an agent of their own."""
    try:
        with open("/proc/%s/environ" % pid, "rb") as f:
            return ("WINEPREFIX=" + prefix).encode() in f.read().split(b"\0")
    except OSError:
        return False


def find_pid(image, prefix, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            except OSError:
                continue
            # The Windows process itself, not the loader that started it.
            # Not a child the agent started for one job (it has the same image).
            if (("\\" + image.lower()) in cmd.lower() and "python" not in cmd and "wine64 " not in cmd
                    and "/qz-child" not in cmd and in_prefix(pid, prefix)):
                return int(pid)
        time.sleep(0.5)
    raise Failure("no process for " + image)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def thread_cpu(pid):
    """CPU ticks of each thread: which of them the idle cost comes from."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out[int(tid)] = int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return out


def memory_kb(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon", "RssFile", "Threads"):
                out[key] = int(value.split()[0])
    return out


def largest_private(pid, n=40):
    regions, current = [], None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            parts = line.split()
            if "-" in parts[0] and len(parts) >= 5 and not parts[0].endswith(":"):
                current = [parts[0], parts[5] if len(parts) > 5 else "[anon]", 0]
                regions.append(current)
            elif parts[0] == "Anonymous:" and current:
                current[2] += int(parts[1])
    regions.sort(key=lambda r: -r[2])
    return regions[:n]


def main():
    exe = sys.argv[1]
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    work = os.path.abspath(sys.argv[3] if len(sys.argv) > 3 else os.path.join(os.path.dirname(exe), "idle-agent"))
    os.makedirs(work, exist_ok=True)
    wine = Wine(os.path.join(work, "prefix"))
    guard = Guard(work)
    installed = False
    try:
        prepare(exe, wine, guard)
        # Everyday logging, not the tests' finest level.
        wine.run("reg", "add", KEY, "/v", "loglevel", "/t", "REG_DWORD", "/d", "3", "/f", "/reg:32")
        installed = True
        wine.run("net", "start", SVC)
        agent = find_pid("QZService.exe", wine.prefix)
        time.sleep(20)  # registration and the first heartbeats settle
        ping = wine.start("ping", "-n", str(seconds + 60), "127.0.0.1")
        ping_pid = find_pid("ping.exe", wine.prefix)
        time.sleep(5)
        a0, p0, t0 = cpu_seconds(agent), cpu_seconds(ping_pid), time.time()
        th0 = thread_cpu(agent)
        log("measuring %d s" % seconds)
        time.sleep(seconds)
        a1, p1, t1 = cpu_seconds(agent), cpu_seconds(ping_pid), time.time()
        th1 = thread_cpu(agent)
        am, pm = memory_kb(agent), memory_kb(ping_pid)
        wall = t1 - t0
        print("idle agent over %.0f s: CPU %.3f %% of one core (ping.exe %.3f %%)"
              % (wall, 100 * (a1 - a0) / wall, 100 * (p1 - p0) / wall))
        print("agent:    resident %6.2f MB, private %6.2f MB, %d threads"
              % (am["VmRSS"] / 1024, am["RssAnon"] / 1024, am["Threads"]))
        print("ping.exe: resident %6.1f MB, private %6.1f MB, %d threads (ratio private %.2f)"
              % (pm["VmRSS"] / 1024, pm["RssAnon"] / 1024, pm["Threads"], am["RssAnon"] / max(1, pm["RssAnon"])))
        # Threads by their start order (ids rise), CPU over the period; "new" started during it.
        print("threads' CPU (ms): " + ", ".join(
            "%d%s %d" % (i, "" if tid in th0 else " new", 1000 * (th1[tid] - th0.get(tid, 0)) // TICKS)
            for i, tid in enumerate(sorted(th1))))
        if os.environ.get("QZ_IDLE_SMAPS"):
            for region, name, kb in largest_private(agent):
                print("  %8d kB  %s %s" % (kb, region, name))
        ping.kill()
        return 0
    except Failure as e:
        log("FAIL: %s" % e)
        return 1
    finally:
        clean_up(wine, guard, installed)


if __name__ == "__main__":
    sys.exit(main())
