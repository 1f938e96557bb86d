#!/usr/bin/env python3
"""Holds the source tree to its layering rules; exits 1 and names each breach.

- Layers, bottom up: platform/, common/, the subsystems, service/ on top. A file
  includes only its own layer and the layers below; the subsystems may include
  one another. The manager and the companions stand beside the agent and take
  only what lies below the subsystems (the manager also the station-type test).
- The platform's backends see only the platform API.
- Nothing outside service/ (and its tests) includes service/.
- Windows headers, _WIN32/_WIN64 and calls of W functions appear only in
  */win32/ folders and in the companion programs.
"""
import os
import re
import sys

SOURCE_EXT = (".h", ".hpp", ".cpp", ".cc", ".c", ".inc")
SUBSYSTEMS = {"protocol", "sessions", "monitor", "messaging", "commands", "websocket"}
LAYER = {"platform": 0, "common": 1, "service": 3}
LAYER.update({s: 2 for s in SUBSYSTEMS})
# What the programs beside the agent may include, besides platform/ and common/.
SIDE_PROGRAMS = {"manager": {"sessions/TSUtils.h"}, "companions": set()}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
WIN_HEADER = re.compile(
    r"^(windows|winsock2?|ws2tcpip|ws2def|iphlpapi|iptypes|shlobj|shellapi|shlwapi|wtsapi32|lm|lmcons|nb30|"
    r"winsvc|winreg|winbase|winuser|wincrypt|winternl|tlhelp32|psapi|objbase|oleauto|comdef|wbemidl|wbemcli|"
    r"netfw|sddl|aclapi|accctrl|userenv|winevt|commctrl|versionhelpers)\.h$",
    re.IGNORECASE,
)
WIN_MACRO = re.compile(r"\b_WIN(32|64)\b")
W_CALL = re.compile(r"(?<![\w.>:])(::)?([A-Z][A-Za-z0-9]*[a-z0-9]W)\s*\(")


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    text = re.sub(r'"(\\.|[^"\\\n])*"', '""', text)
    return re.sub(r"//[^\n]*", "", text)


def is_win32_place(parts):
    return "win32" in parts[:-1] or parts[0] == "companions"


def check_file(rel, text):
    parts = rel.split("/")
    top = parts[0]
    in_tests = top == "tests"
    problems = []
    # Tests are held to the rules of the folder they test (tests/common -> common).
    owner = parts[1] if in_tests and len(parts) > 2 else top
    win_ok = is_win32_place(parts)
    for no, line in enumerate(text.splitlines(), 1):
        m = INCLUDE.match(line)
        if not m:
            continue
        kind, target = m.groups()
        if kind == "<":
            if WIN_HEADER.match(os.path.basename(target)) and not win_ok:
                problems.append(f"{rel}:{no}: includes <{target}> outside a win32 folder")
            continue
        tparts = target.split("/")
        ttop = tparts[0]
        if ttop == "service" and owner != "service" and not (in_tests and owner in ("service", "e2e")):
            problems.append(f"{rel}:{no}: includes {target}; only service/ may")
            continue
        if in_tests:
            continue
        if top == "platform" and len(parts) > 2 and parts[1] in ("win32", "fake"):
            if ttop != "platform":
                problems.append(f"{rel}:{no}: the platform backend includes {target}; it sees only the platform API")
            continue
        if top in LAYER and ttop in LAYER and LAYER[ttop] > LAYER[top]:
            problems.append(f"{rel}:{no}: {top}/ includes {target} from a higher layer")
        if top in SIDE_PROGRAMS and ttop not in ("platform", "common", top) and target not in SIDE_PROGRAMS[top]:
            problems.append(f"{rel}:{no}: {top}/ includes {target}; it takes only platform/ and common/")
    if not win_ok:
        code = strip_comments(text)
        for no, line in enumerate(code.splitlines(), 1):
            if WIN_MACRO.search(line):
                problems.append(f"{rel}:{no}: tests _WIN32/_WIN64 outside a win32 folder")
            for m in W_CALL.finditer(line):
                problems.append(f"{rel}:{no}: calls {m.group(2)} outside a win32 folder")
    return problems


def tracked_files(root):
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if not d.startswith(".") and d not in ("build", "node_modules", "tools")]
        for name in filenames:
            if name.endswith(SOURCE_EXT):
                full = os.path.join(dirpath, name)
                yield os.path.relpath(full, root).replace(os.sep, "/"), full


def check_tree(root):
    problems = []
    for rel, full in sorted(tracked_files(root)):
        with open(full, encoding="utf-8", errors="replace") as f:
            problems.extend(check_file(rel, f.read()))
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    problems = check_tree(root)
    for p in problems:
        print(p)
    print(f"layer rules: {len(problems)} breach(es)" if problems else "layer rules: held")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
