"""Command lines of guard-server.py and guard-client.py."""

import argparse
import json
import os
import signal
import sys
import threading
import urllib.parse
import urllib.request
import xml.dom.minidom

from . import agentport, crypto, scenario
from .guard import Guard
from .recorder import Recorder
from .server import GuardServer


# -- the server --------------------------------------------------------------

def _pair(text, what):
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError("%s must be NAME=VALUE, got %r" % (what, text))
    return name, value


def _kind(name):
    if name not in scenario.KINDS + ("any",):
        raise argparse.ArgumentTypeError("request kind %r is not one of %s, any" % (name, ", ".join(scenario.KINDS)))
    return name


def server_parser():
    p = argparse.ArgumentParser(
        prog="guard-server.py",
        description="Development guard server for the workstation agent.",
        epilog="Request kinds for --status/--delay/--drop/--fault: %s, any." % ", ".join(scenario.KINDS))
    g = p.add_argument_group("listening and records")
    g.add_argument("--port", type=int, default=8080, help="TCP port; 0 picks a free one (default 8080)")
    g.add_argument("--bind", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    g.add_argument("--base", default="/server", help="server path the agent's URL ends in (default /server)")
    g.add_argument("--port-file", help="write the port number here once listening")
    g.add_argument("--record", metavar="FILE", help="append one JSON line per request to FILE")
    g.add_argument("--state-file", metavar="FILE", help="keep the per-workstation records in FILE (JSON)")
    g.add_argument("--quiet", action="store_true", help="no summary line per request on stdout")
    g.add_argument("--console-port", type=int, metavar="PORT",
                   help="serve the web console on 127.0.0.1:PORT (0 picks a free one); its address with "
                        "the access token is printed at start")
    g.add_argument("--console-file", metavar="FILE", help="write the console's address with its token here")
    s = p.add_argument_group("scenario (on top of --scenario FILE)")
    s.add_argument("--scenario", metavar="FILE", help="JSON scenario; re-read when it changes")
    s.add_argument("--password", help="connection password (default %r)" % scenario.DEFAULTS["password"])
    s.add_argument("--password-hash", metavar="B64", help="connection password hash, Base64 of its MD5")
    s.add_argument("--protocol-version", metavar="V", help="version attribute of replies (default 2.5)")
    s.add_argument("--no-auto-register", action="store_true",
                   help="answer 0xF0 to registrations of workstations not in the scenario")
    s.add_argument("--banned", action="store_true", help="answer 0xF3 to every workstation")
    s.add_argument("--lock-status", metavar="WORD", help="lock state to send: locked, halflocked, unlocked")
    s.add_argument("--setting", action="append", default=[], metavar="NAME=VALUE",
                   type=lambda t: _pair(t, "--setting"), help="push a setting (repeatable)")
    s.add_argument("--sl-setting", action="append", default=[], metavar="NAME=VALUE",
                   type=lambda t: _pair(t, "--sl-setting"), help="push a session-limit setting (repeatable)")
    s.add_argument("--app", action="append", default=[], metavar="ID=PATH",
                   type=lambda t: _pair(t, "--app"),
                   help="meter application ID by image path pattern, other patterns * (repeatable)")
    s.add_argument("--apps-form", choices=("apps", "applications"), help="form of the application list")
    s.add_argument("--banner", action="append", default=[], metavar="ID[=FILE]",
                   help="publish a banner; without FILE a generated picture is served (repeatable)")
    s.add_argument("--update", nargs=2, metavar=("ID", "FILE"), help="offer an update with this id and file name")
    s.add_argument("--update-content", metavar="PATH", help="file served for the offered update")
    s.add_argument("--no-ack", action="store_true", help="never acknowledge journal entries")
    s.add_argument("--ack-up-to", type=int, metavar="N", help="acknowledge journal entries up to N at most")
    s.add_argument("--no-nochange", action="store_true", help="hand out no no-change code")
    s.add_argument("--nochange-code", type=int, metavar="N", help="fixed no-change code (default random)")
    s.add_argument("--no-ws-check", action="store_true", help="accept websockets whose check values are wrong")
    f = p.add_argument_group("faults (the first matching rule applies)")
    f.add_argument("--status", action="append", default=[], metavar="KIND=BYTE",
                   type=lambda t: _pair(t, "--status"), help="answer KIND with a status byte, e.g. state=0xF1")
    f.add_argument("--delay", action="append", default=[], metavar="KIND=MS",
                   type=lambda t: _pair(t, "--delay"), help="delay answers to KIND")
    f.add_argument("--drop", action="append", default=[], metavar="KIND", type=_kind,
                   help="close the connection instead of answering KIND")
    f.add_argument("--fault", action="append", default=[], metavar="JSON", help="a fault rule as JSON")
    return p


def build_layer(args):
    """The scenario keys given on the command line."""
    try:
        return _build_layer(args)
    except argparse.ArgumentTypeError as e:
        raise scenario.ScenarioError(str(e)) from None


def _build_layer(args):
    layer = {}
    for attr, key in (("password", "password"), ("password_hash", "password_hash"),
                      ("protocol_version", "protocol_version"), ("lock_status", "lock_status"),
                      ("nochange_code", "nochange_code")):
        if getattr(args, attr) is not None:
            layer[key] = getattr(args, attr)
    if args.no_auto_register:
        layer["auto_register"] = False
    if args.banned:
        layer["banned"] = True
    if args.no_nochange:
        layer["nochange"] = False
    if args.no_ws_check:
        layer["ws_require_check"] = False
    if args.no_ack:
        layer["ack_events"] = False
    elif args.ack_up_to is not None:
        layer["ack_events"] = args.ack_up_to
    if args.setting:
        layer["settings"] = dict(args.setting)
    if args.sl_setting:
        layer["sl_settings"] = dict(args.sl_setting)
    if args.app:
        apps = []
        for app_id, path in args.app:
            if not app_id.lstrip("-").isdigit():
                raise scenario.ScenarioError("--app id %r is not a number" % app_id)
            apps.append({"id": int(app_id), "path": path})
        layer["apps"] = {"applications": apps, "form": args.apps_form or "apps"}
    if args.banner:
        items = []
        for text in args.banner:
            bid, sep, path = text.partition("=")
            items.append({"id": bid, "path": os.path.abspath(path)} if sep else {"id": bid})
        layer["banners"] = {"items": items}
    if args.update:
        upd = {"id": args.update[0], "file": args.update[1]}
        if args.update_content:
            upd["path"] = os.path.abspath(args.update_content)
        layer["update"] = upd
    faults = []
    for kind, value in args.status:
        faults.append({"kind": _kind(kind), "status": value})
    for kind, value in args.delay:
        if not value.isdigit():
            raise scenario.ScenarioError("--delay %s=%s: milliseconds expected" % (kind, value))
        faults.append({"kind": _kind(kind), "delay_ms": int(value)})
    for kind in args.drop:
        faults.append({"kind": kind, "drop": True})
    for text in args.fault:
        try:
            faults.append(json.loads(text))
        except ValueError as e:
            raise scenario.ScenarioError("--fault %r is not JSON: %s" % (text, e)) from None
    if faults:
        layer["faults"] = faults
    return layer


def _write_port(path, port):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, path)


def server_main(argv=None):
    args = server_parser().parse_args(argv)
    try:
        layer = build_layer(args)
        recorder = Recorder(args.record, echo=not args.quiet)
        guard = Guard(scenario_path=args.scenario, cli_layer=layer, recorder=recorder)
        srv = GuardServer(guard, args.bind, args.port, args.base, args.state_file)
    except scenario.ScenarioError as e:
        print("guard-server: %s" % e, file=sys.stderr)
        return 2
    except OSError as e:
        print("guard-server: cannot start: %s" % e, file=sys.stderr)
        return 1
    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    srv.start()
    if args.port_file:
        _write_port(args.port_file, srv.port)
    recorder.say("guard server listening on %s (websocket %s/guard7)" % (srv.url, srv.url))
    console = None
    if args.console_port is not None:
        from .console import Console
        console = Console(srv, args.console_port).start()
        recorder.say("console %s" % console.url)
        if args.console_file:
            tmp = args.console_file + ".tmp"
            with open(tmp, "w") as f:
                f.write(console.url + "\n")
            os.replace(tmp, args.console_file)
    # Short waits keep the main thread ready for signals.
    while not stop.wait(0.25) and not srv.stop_event.is_set():
        pass
    recorder.say("guard server stopping")
    if console:
        console.stop()
    srv.stop()
    return 0


# -- the client of the agent's command port --------------------------------------

def client_parser():
    p = argparse.ArgumentParser(
        prog="guard-client.py",
        description="Talk to the agent's local command port as the guard server does.")
    p.add_argument("--host", default="127.0.0.1", help="agent address (default 127.0.0.1)")
    p.add_argument("--port", type=int, help="agent listener port (default 8087, or what --from-guard knows)")
    p.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for the agent (default 30)")
    sub = p.add_subparsers(dest="action", required=True)
    c = sub.add_parser("command", help="POST an encrypted command document and print the reply")
    c.add_argument("name", help="command name, e.g. get_mac, show_message, set_state")
    c.add_argument("param", nargs="*", metavar="NAME=VALUE", type=lambda t: _pair(t, "parameter"),
                   help="a child element <NAME>VALUE</NAME> of the command")
    c.add_argument("--xml", action="append", default=[], metavar="FRAGMENT",
                   help="a child element given as XML, e.g. '<process><process_id>42</process_id></process>'")
    c.add_argument("--id", help="request id (default a fresh one)")
    c.add_argument("--no-id", action="store_true", help="send the command without an id")
    c.add_argument("--target-host", metavar="NAME", help="<hostname> of the target session")
    c.add_argument("--session-id", type=int, help="<session_id> of the target session")
    k = c.add_argument_group("connection password (one of)")
    k.add_argument("--key-b64", metavar="B64", help="as the server handed it out (communicate_password)")
    k.add_argument("--key-hex", metavar="HEX", help="as hexadecimal bytes")
    k.add_argument("--key-text", metavar="TEXT", help="as text (its UTF-8 bytes)")
    k.add_argument("--from-guard", metavar="URL", help="ask a running development guard server")
    c.add_argument("--station", help="with --from-guard: the workstation's host name")
    c.add_argument("--raw", action="store_true", help="print the reply as received, not indented")
    c.add_argument("--save", metavar="FILE", help="write the decoded screen_shot or raw_data to FILE")
    m = sub.add_parser("message", help="fetch a message as the message-display program does")
    m.add_argument("id", help="message number, sent as the whole query")
    m.add_argument("--user", default="messenger")
    m.add_argument("--password", default="messenger")
    sub.add_parser("stub", help="GET without authorization (the agent answers its stub page)")
    return p


def _guard_lookup(url, station):
    parts = urllib.parse.urlsplit(url if "://" in url else "http://" + url)
    with urllib.request.urlopen("%s://%s/control/state" % (parts.scheme, parts.netloc), timeout=10) as resp:
        snap = json.load(resp)
    stations = snap.get("stations", [])
    if station:
        stations = [s for s in stations
                    if station.lower() in ((s.get("hostname") or "").lower(), (s.get("name") or "").lower())]
    stations = [s for s in stations if s.get("connection_password")]
    if len(stations) != 1:
        raise LookupError("the guard server knows %d matching workstations with a connection password%s"
                          % (len(stations), "" if station else "; name one with --station"))
    return crypto.b64decode(stations[0]["connection_password"], strict=False), stations[0].get("guard_port")


def _pretty(text):
    try:
        return xml.dom.minidom.parseString(text.encode("utf-8")).toprettyxml(indent="  ")
    except Exception:
        return text


def client_main(argv=None, out=None, err=None):
    out = out or sys.stdout
    err = err or sys.stderr
    args = client_parser().parse_args(argv)
    port = args.port
    if args.action == "stub":
        got = agentport.fetch_stub(args.host, port or 8087, args.timeout)
        if got.error:
            print("error: " + got.error, file=err)
            return 1
        print("HTTP %d, %d bytes" % (got.http_status, len(got.body)), file=err)
        out.write(got.text)
        return 0
    if args.action == "message":
        got = agentport.fetch_message(args.host, port or 8087, args.id, args.user, args.password, args.timeout)
        if got.error:
            print("error: " + got.error, file=err)
            return 1
        out.write((got.text or "(empty: no such message)") + "\n")
        return 0
    keys = [k for k in (args.key_b64, args.key_hex, args.key_text, args.from_guard) if k is not None]
    if len(keys) != 1:
        print("error: give exactly one of --key-b64, --key-hex, --key-text, --from-guard", file=err)
        return 2
    try:
        if args.key_b64 is not None:
            key = crypto.b64decode(args.key_b64)
        elif args.key_hex is not None:
            key = bytes.fromhex(args.key_hex)
        elif args.key_text is not None:
            key = args.key_text.encode("utf-8")
        else:
            key, known_port = _guard_lookup(args.from_guard, args.station)
            port = port or known_port
    except (ValueError, LookupError, OSError) as e:
        print("error: connection password: %s" % e, file=err)
        return 2
    try:
        document = agentport.build_command(
            args.name, args.param, args.xml,
            command_id=None if args.no_id else (args.id or agentport.new_command_id()),
            hostname=args.target_host, session_id=args.session_id)
    except ValueError as e:
        print("error: %s" % e, file=err)
        return 2
    got = agentport.post_command(args.host, port or 8087, key, document, args.timeout)
    if got.error:
        print("error: " + got.error, file=err)
        return 1
    out.write((got.text if args.raw else _pretty(got.text)).rstrip("\n") + "\n")
    if args.save:
        return _save(got.text, args.name, args.save, err)
    return 0


def _save(text, command, path, err):
    import xml.etree.ElementTree as ET
    try:
        root = ET.fromstring(text.encode("utf-8"))
    except ET.ParseError as e:
        print("error: reply is not XML: %s" % e, file=err)
        return 1
    el = root.find("screen_shot")
    if el is None:
        el = root.find("raw_data")
    if el is None:
        print("error: the reply has no screen_shot or raw_data", file=err)
        return 1
    data = (el.text or "").encode("utf-8") if command == "get_mac" else crypto.b64decode(el.text or "", strict=False)
    with open(path, "wb") as f:
        f.write(data)
    print("wrote %d bytes to %s" % (len(data), path), file=err)
    return 0
