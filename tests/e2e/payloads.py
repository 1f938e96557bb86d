#!/usr/bin/env python3
"""What the installed agent under wine64 sends back for the guard server's
payload commands: a screenshot of the display (PNG, checked against the X
server's own dump and decoded by Pillow), its log archive (unpacked by
Python's zipfile), the inventory report with what Wine serves, and the
banners it keeps in step with the server's list."""

import base64
import io
import os
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from commands import command, field, xwd_to_png  # noqa: E402
from conversation import INSTALL_DIR, SVC, check, is_state, log, prepare, run_e2e  # noqa: E402

from PIL import Image  # noqa: E402


def payload(guard, name, element, params=()):
    got = command(guard, name, params)
    check(got.text and field(got.text, "result") == "success", "%s: %s" % (name, got.error or got.text))
    return base64.b64decode(field(got.text, element) or "")


def scenario(run):
    exe, work, wine, guard = run.exe, run.work, run.wine, run.guard
    prepare(exe, wine, guard)
    fast = {"i_am_alive_period": 5000}
    guard.put_scenario({"settings": fast,
                        "banners": {"items": [{"id": "Spring"}, {"id": "exam"}, {"id": "../../Logs/kv"}]}})
    run.installed = True
    wine.run("net", "start", SVC)
    data = wine.drive_c("ProgramData", "Korvane Inc", "Tallisto Client")
    reg = guard.wait(lambda r: r["kind"] == "register", 30, "registration")
    first = guard.wait(is_state, 15, "first state document", reg["seq"])

    log("the firewall rule: Wine's rule collection can't remove rules; logged, and the agent runs")
    with open(os.path.join(data, "Logs", "kv.log"), "rb") as f:
        text = f.read()
    check(b"RemoveFirewallException error " in text, "no firewall line in kv.log")
    check(text.index(b"RemoveFirewallException error ") < text.index(b"Creating everything"),
          "the firewall step comes before the main service")

    log("banners: the server's list is fetched, a hostile id refused")
    banners = os.path.join(data, "Banners")
    deadline = time.time() + 30
    while time.time() < deadline and sorted(os.listdir(banners) if os.path.isdir(banners) else []) != [
            "exam.png", "spring.png"]:
        time.sleep(0.5)
    check(sorted(os.listdir(banners)) == ["exam.png", "spring.png"], "Banners: %s" % os.listdir(banners))
    with open(os.path.join(banners, "spring.png"), "rb") as f:
        Image.open(f).load()
    with open(os.path.join(data, "Logs", "kv.log"), "rb") as f:
        check(b'Banner id refused: "../../logs/kv"' in f.read(), "no refusal in kv.log")
    log("banners: an obsolete banner goes, the stamp follows the server's")
    guard.put_scenario({"settings": fast, "banners": {"update_time": "77", "items": [{"id": "exam"}]}})
    guard.wait(lambda r: is_state(r) and "<banner_update_time>77</banner_update_time>" in r["document"], 45,
               "the new banner stamp in a heartbeat", first["seq"])
    check(sorted(os.listdir(banners)) == ["exam.png"], "Banners after the change: %s" % os.listdir(banners))

    log("get_screen_shot: the display as the X server shows it")
    check(os.environ.get("DISPLAY"), "a display is needed (Xvfb)")
    countdown = wine.start(INSTALL_DIR + r"\DOZudezoz.exe", "40")
    time.sleep(4)
    png = payload(guard, "get_screen_shot", "screen_shot", [("width", "4000"), ("height", "4000")])
    dump = subprocess.run(["xwd", "-root", "-silent"], capture_output=True).stdout
    width, height, rows = xwd_to_png(dump, os.path.join(work, "display.png"))
    shot = Image.open(io.BytesIO(png))
    shot.load()
    shot.save(os.path.join(work, "agent-screenshot.png"))
    check(shot.format == "PNG" and shot.size == (width, height), "full size: %s %s, display %dx%d" % (
        shot.format, shot.size, width, height))
    theirs = b"".join(r[1:] for r in rows)
    ours = shot.convert("RGB").tobytes()
    same = sum(1 for i in range(0, len(ours), 3) if ours[i:i + 3] == theirs[i:i + 3]) / (width * height)
    check(same > 0.97, "the picture matches the display in %.1f %% of its pixels" % (100 * same))
    check(len(set(ours[i:i + 3] for i in range(0, len(ours), 3 * 97))) > 2, "the picture shows nothing")
    log("  %.2f %% of the pixels as the display shows them" % (100 * same))
    png = payload(guard, "get_screen_shot", "screen_shot", [("width", "400"), ("height", "300")])
    small = Image.open(io.BytesIO(png))
    expect = (round(width * min(400 / width, 300 / height)), round(height * min(400 / width, 300 / height)))
    check(small.size == expect, "scaled: %s, expected %s" % (small.size, expect))
    countdown.kill()

    log("get_client_log: the agent's log in a ZIP archive")
    archive = zipfile.ZipFile(io.BytesIO(payload(guard, "get_client_log", "raw_data")))
    check(archive.testzip() is None, "archive CRC")
    check("kv.log" in archive.namelist(), "archive entries: %s" % archive.namelist())
    text = archive.read("kv.log")
    check(b"All launching has finished" in text and b"Request to send a log has been received" in text,
          "kv.log in the archive lacks the agent's lines")

    log("get_computer_info: the report with what Wine serves")
    info = payload(guard, "get_computer_info", "raw_data").decode("utf-8")
    with open(os.path.join(work, "computer-info.txt"), "w") as f:
        f.write(info.replace("\r\n", "\n").replace("\r", "\n"))
    for want in ("Tallisto Client Version: ", "Processor: ", "Frequency: ~", "RAM: ~", "Logical Drives:\r\n",
                 "c:     Fixed      ", "Mac Address(es):\r", "Manufacturer: ", "\rModel: ", "\rSerial: ",
                 "\n\nPhysical Harddisks:\n", "\nVideocards:\n"):
        check(want in info, "report lacks %r:\n%s" % (want, info))
    manufacturer = info.split("Manufacturer: ")[1].split("\r")[0]
    with open(os.path.join(data, "Logs", "kv.log"), "rb") as f:
        check(b"from WMI - " not in f.read(), "a management query failed")
    check(manufacturer, "no manufacturer:\n%s" % info)
    check("Videocards:\n" in info and " (Driver Version - " in info, "no video card:\n%s" % info)
    log("  manufacturer %r, %d bytes" % (manufacturer, len(info)))


if __name__ == "__main__":
    sys.exit(run_e2e(scenario))
