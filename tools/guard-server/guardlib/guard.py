"""The guard endpoint's logic, apart from the HTTP plumbing.

Each request becomes an Outcome (what to send back) plus one record. The
station book and the scenario are guarded by one lock; replies are built
under it, delays and sending happen outside.
"""

import copy
import os
import random
import re
import threading

from . import crypto, replies, scenario, xmlutil
from .query import parse_query, query_dict
from .stations import Station, StationBook

NOT_RECOGNIZED, DECRYPT_FAILED, NO_CHANGE, BANNED = 0xF0, 0xF1, 0xF2, 0xF3

_KEY_TEXT = re.compile(rb"[0-9]{2,10}")


class ContentError(Exception):
    """A file the scenario names for a download cannot be read."""


class Outcome:
    def __init__(self, body=b"", http_status=200, drop=False, delay_ms=0, reset=False,
                 content_type="application/octet-stream"):
        self.body = body
        # How the answer goes out: in pieces of drip_bytes with drip_ms
        # between them, or half of it, then nothing for stall_ms, then a close.
        self.drip_ms = self.stall_ms = 0
        self.drip_bytes = 1
        self.http_status = http_status
        self.drop = drop
        self.reset = reset  # with drop: end with a reset instead of a close
        self.delay_ms = delay_ms
        self.content_type = content_type


class WsAnswer:
    def __init__(self, messages, delay_ms=0, drop=False):
        self.messages = messages
        self.delay_ms = delay_ms
        self.drop = drop


class Exchange:
    """One request on its way through: its record and its warnings."""

    def __init__(self, kind, channel="http", **fields):
        self.rec = dict(channel=channel, kind=kind, station=None, key=None,
                        document=None, error=None, warnings=[], **fields)
        self.warnings = self.rec["warnings"]
        self.delay_ms = 0
        self.drop = False
        self.shape = {}

    def finish(self, out):
        # A rule that only delays or shapes leaves the normal answer in place.
        if self.delay_ms and not out.delay_ms:
            out.delay_ms = self.delay_ms
        for key, value in self.shape.items():
            setattr(out, key, value)
        return out

    def fail(self, message):
        if self.rec["error"]:
            self.rec["error"] += "; " + message
        else:
            self.rec["error"] = message

    def status(self, byte, error=None):
        if error:
            self.fail(error)
        self.rec["reply"] = {"status": "0x%02X" % byte}
        return Outcome(bytes([byte]))

    def http(self, code, error=None, body=b""):
        if error:
            self.fail(error)
        self.rec["reply"] = {"http_status": code}
        return Outcome(body, http_status=code, content_type="text/plain; charset=utf-8")

    def data(self, body, **info):
        self.rec["reply"] = dict(bytes=len(body), **info)
        return Outcome(body)


def _peer(peer):
    return "%s:%s" % peer[:2] if peer else None


def _first(q, name, default=None):
    v = q.get(name)
    return v[0] if v else default


def _layer_paths(layer):
    """The content files a command-line layer names, resolved."""
    items = list((layer.get("banners") or {}).get("items") or [])
    if layer.get("update"):
        items.append(layer["update"])
    return {os.path.realpath(i["path"]) for i in items if isinstance(i, dict) and i.get("path")}


class Guard:
    def __init__(self, raw_scenario=None, scenario_path=None, cli_layer=None, recorder=None, stop_event=None,
                 content_dir=None):
        self.lock = threading.RLock()
        self.book = StationBook()
        self.recorder = recorder
        self.scenario_path = scenario_path
        # Content files named by a scenario are read from this folder only.
        self.scenario_dir = content_dir or (os.path.dirname(os.path.abspath(scenario_path)) if scenario_path
                                            else os.getcwd())
        self.cli_layer = cli_layer or {}
        self.operator_paths = _layer_paths(self.cli_layer)
        self.stop_event = stop_event or threading.Event()
        self.mtime = None
        self.waiters = {}          # pushed command id -> [event, reply text]
        self.command_sender = None  # set by the HTTP layer
        self.after_record = None
        if raw_scenario is None and scenario_path:
            raw_scenario = scenario.load_file(scenario_path)
            self.mtime = self._stat()
        self.set_scenario(raw_scenario or {})

    # -- scenario -------------------------------------------------------------

    def _stat(self):
        try:
            return os.stat(self.scenario_path).st_mtime_ns
        except OSError:
            return None

    def _layered(self, raw):
        out = copy.deepcopy(raw)
        for key, value in self.cli_layer.items():
            if key == "settings":
                out["settings"] = dict(out.get("settings") or {}, **value)
            elif key == "faults":
                out["faults"] = list(value) + list(out.get("faults") or [])
            else:
                out[key] = value
        return out

    def set_scenario(self, raw):
        """Validate and take a scenario; raises ScenarioError and keeps the
        old one when it is bad."""
        sc, warnings = scenario.validate(self._layered(raw))
        with self.lock:
            self.raw = copy.deepcopy(raw)
            self.sc = sc
            self.faults = scenario.FaultBook(sc["faults"], getattr(self, "faults", None))
        for w in warnings:
            self.say("scenario warning: " + w)
        return warnings

    def reload(self):
        raw = scenario.load_file(self.scenario_path)
        self.mtime = self._stat()
        self.set_scenario(raw)
        self.say("scenario reloaded from " + self.scenario_path)

    def reload_if_changed(self):
        if not self.scenario_path:
            return
        m = self._stat()
        if m is not None and m != self.mtime:
            self.mtime = m
            try:
                self.reload()
            except (OSError, scenario.ScenarioError) as e:
                self.say("scenario NOT reloaded, keeping the previous one: %s" % e)

    def say(self, text):
        if self.recorder:
            self.recorder.say(text)

    def cfg(self, station=None, host=None):
        name = host or (station.hostname or station.name if station else None)
        return scenario.effective(self.sc, name, station.runtime if station else None)

    def record(self, ex):
        if self.recorder:
            self.recorder.add(ex.rec)
        if self.after_record:
            self.after_record()
        return ex.rec

    # -- keys -----------------------------------------------------------------

    def _hash_candidates(self, cfg):
        out = []
        h = cfg.get("password_hash") or crypto.password_hash(cfg.get("password") or "")
        out.append(("password_hash", h))
        pushed = (cfg.get("settings") or {}).get("password_hash")
        if pushed and pushed != h:
            out.append(("pushed_password_hash", str(pushed)))
        return out

    def _one_time_key(self, ex, q, param, cfg):
        """Recover the one-time key text from its encrypted query value."""
        value = _first(q, param)
        if value is None:
            ex.fail("no %s parameter" % param)
            return None
        try:
            blob = crypto.b64decode(value, strict=True)
        except ValueError as e:
            ex.fail("%s value is not Base64: %s" % (param, e))
            return None
        for name, hash_b64 in self._hash_candidates(cfg):
            try:
                key = crypto.b64decode(hash_b64, strict=True)
                plain = crypto.decrypt(blob, key)
            except ValueError:
                continue
            if _KEY_TEXT.fullmatch(plain):
                ex.rec["key"] = ex.rec["query_key"] = name
                ex.rec["one_time_key"] = plain.decode("ascii")
                ex.password_hash = hash_b64
                return plain
        ex.fail("%s does not decrypt to a key text under the connection password hash" % param)
        return None

    def _connection_keys(self, station):
        keys = []
        if station.connection_password is not None:
            keys.append(("connection_password", station.connection_password))
        if station.previous_connection_password is not None:
            keys.append(("previous_connection_password", station.previous_connection_password))
        if station.connection_password is None:
            # An agent whose registration was answered "no change" has no
            # password yet and encrypts with empty key material.
            keys.append(("empty_password", b""))
        return keys

    def _decrypt_document(self, ex, blob, keys):
        """(key bytes, root element) or None; the failure goes on the record."""
        reasons = []
        for name, key in keys:
            try:
                plain = crypto.decrypt(blob, key)
            except crypto.CipherError as e:
                reasons.append("%s: %s" % (name, e))
                continue
            ex.rec["key"] = name
            try:
                text = plain.decode("utf-8")
            except UnicodeDecodeError:
                text = plain.decode("utf-8", "replace")
            ex.rec["document"] = text
            try:
                root = xmlutil.parse(plain, ex.warnings)
            except xmlutil.DocumentError as e:
                ex.fail("body decrypted under %s but %s" % (name, e))
                return None
            return key, root
        ex.fail("body does not decrypt (%s)" % "; ".join(reasons) if reasons else "no key to decrypt the body")
        return None

    # -- helpers --------------------------------------------------------------

    def _apply_fault(self, ex, kind, host):
        """The answer a matching fault rule gives, or None to answer normally."""
        rule = self.faults.pick(kind, host)
        return self._fault(ex, rule) if rule else None

    def _fault(self, ex, rule):
        ex.rec["fault"] = rule["index"]
        delay = rule.get("delay_ms", 0)
        ex.delay_ms = delay
        ex.shape = {k: rule[k] for k in ("drip_ms", "drip_bytes", "stall_ms") if rule.get(k)}
        if delay or ex.shape:
            # What the answer's timing will be, for whoever reads the record.
            ex.rec["shape"] = dict(ex.shape, delay_ms=delay) if delay else dict(ex.shape)
        if rule.get("drop") or rule.get("reset"):
            ex.rec["reply"] = {"reset" if rule.get("reset") else "dropped": True}
            return Outcome(drop=True, delay_ms=delay, reset=bool(rule.get("reset")))
        if "status" in rule:
            out = ex.status(rule["status"])
        elif "http_status" in rule:
            out = ex.http(rule["http_status"], body=b"")
        elif "body_hex" in rule:
            out = ex.data(bytes.fromhex(rule["body_hex"]), raw=True)
        elif rule.get("garbage"):
            out = ex.data(os.urandom(48), garbage=True)
        else:
            return None  # a delay or shape only: the normal answer follows
        out.delay_ms = delay
        return ex.finish(out)

    def _known(self, cfg, host):
        if scenario.station_listed(self.sc, host):
            return scenario.station_override(self.sc, host).get("known", True)
        return cfg.get("auto_register", True)

    def _nochange_code(self, cfg):
        if not cfg.get("nochange"):
            return None
        if cfg.get("nochange_code") is not None:
            return cfg["nochange_code"]
        # The websocket form carries only three bytes of the code.
        return random.randint(1, (1 << 24) - 1)

    def _room_name(self, station):
        for room in self.sc["directory"].get("rooms", []):
            if station.room_id is not None and str(room["id"]) == str(station.room_id):
                return room["name"]
        return None

    def _settings_room(self, station, cfg):
        return cfg.get("room_name") or self._room_name(station)

    def _seen(self, station, kind, peer):
        station.counts[kind] = station.counts.get(kind, 0) + 1
        if peer:
            station.address = peer[0]

    # -- the guard endpoint ---------------------------------------------------

    def guard(self, method, path, raw_query, body, peer=None):
        """Serve one request to the guard endpoint."""
        self.reload_if_changed()
        warnings = []
        pairs = parse_query(raw_query, warnings)
        q = query_dict(pairs)
        if "register_me" in q:
            kind, want = "register", "GET"
        elif "test" in q:
            kind, want = "test", "GET"
        elif "give_station_register" in q:
            kind, want = "directory", "GET"
        elif "add_ws" in q:
            kind, want = "add_ws", "POST"
        elif "hostname" in q:
            kind, want = "state", "POST"
        else:
            kind, want = "unknown", None
        ex = Exchange(kind, method=method, path=path, raw_query=raw_query, query=q,
                      peer=_peer(peer))
        ex.warnings.extend(warnings)
        try:
            if want is None:
                out = ex.http(400, "no request of the guard protocol in the query")
            elif method != want:
                out = ex.http(405, "%s request sent with %s" % (kind, method))
            else:
                with self.lock:
                    out = getattr(self, "_" + kind)(ex, q, body, peer)
        except Exception as e:  # never let a request take the server down
            ex.fail("internal error %s: %s" % (type(e).__name__, e))
            out = ex.http(500)
        self.record(ex)
        return ex.finish(out)

    def _register(self, ex, q, body, peer):
        host = _first(q, "hostname")
        macs = q.get("mac", [])
        ex.rec["station"] = host
        if _first(q, "f") != "13":
            ex.warnings.append("f=%r, expected 13" % _first(q, "f"))
        if _first(q, "platform") != "Win32NT":
            ex.warnings.append("platform=%r, expected Win32NT" % _first(q, "platform"))
        port = _first(q, "guard_port")
        if port is None or not port.isdigit():
            ex.warnings.append("guard_port=%r is not a port number" % port)
            port = None
        if not host:
            ex.warnings.append("registration without a host name")
        station = self.book.find(host, macs)
        cfg = self.cfg(station, host)
        key = self._one_time_key(ex, q, "register_me", cfg)
        out = self._apply_fault(ex, "register", host)
        if out:
            return out
        if key is None:
            return ex.status(DECRYPT_FAILED)
        if station is None and not self._known(cfg, host):
            return ex.status(NOT_RECOGNIZED, "unknown workstation and self-registration is off")
        if cfg.get("banned"):
            return ex.status(BANNED, "workstation is banned")
        if station is None:
            station = self.book.add(Station(hostname=host))
            station.origin = "scenario" if scenario.station_listed(self.sc, host) else "self"
            cfg = self.cfg(station, host)
        if host and not station.hostname:
            station.hostname = host
        station.add_macs(macs)
        station.password_hash = ex.password_hash
        if port:
            station.guard_port = int(port)
        self._seen(station, "register", peer)
        station.new_conversation(self._nochange_code(cfg))
        rep = replies.build(cfg, station, register=True, room_name=self._settings_room(station, cfg))
        text = rep.text()
        return ex.data(crypto.encrypt(text.encode("utf-8"), key), document_out=text, news=rep.news)

    def _test(self, ex, q, body, peer):
        host = _first(q, "hostname")
        macs = q.get("mac", [])
        ex.rec["station"] = host
        station = self.book.find(host, macs)
        cfg = self.cfg(station, host)
        key = self._one_time_key(ex, q, "test", cfg)
        out = self._apply_fault(ex, "test", host)
        if out:
            return out
        if key is None:
            return ex.status(DECRYPT_FAILED)
        if station is None:
            return ex.status(NOT_RECOGNIZED, "workstation is not listed")
        if cfg.get("banned"):
            return ex.status(BANNED, "workstation is banned")
        if host and not station.hostname:
            station.hostname = host
        station.add_macs(macs)
        self._seen(station, "test", peer)
        text = replies.test_reply(station, self._settings_room(station, cfg),
                                  peer[0] if peer else "", cfg.get("protocol_version"),
                                  cfg.get("workstation_name"))
        return ex.data(crypto.encrypt(text.encode("utf-8"), key), document_out=text)

    def _directory(self, ex, q, body, peer):
        cfg = self.cfg()
        key = self._one_time_key(ex, q, "give_station_register", cfg)
        out = self._apply_fault(ex, "directory", None)
        if out:
            return out
        if key is None:
            return ex.status(DECRYPT_FAILED)
        text = replies.directory_reply(self.sc["directory"])
        return ex.data(crypto.encrypt(text.encode("utf-8"), key), document_out=text)

    def _add_ws(self, ex, q, body, peer):
        cfg = self.cfg()
        key = self._one_time_key(ex, q, "add_ws", cfg)
        found = None
        if key is not None:
            ex.rec["key"] = None
            found = self._decrypt_document(ex, body, [("one_time_key", key)])
        out = self._apply_fault(ex, "add_ws", None)
        if out:
            return out
        if key is None or ex.rec["key"] is None:
            return ex.status(DECRYPT_FAILED)

        def answer(ok, error=None):
            text = replies.result_reply(ok, error)
            if error:
                ex.fail(error)
            return ex.data(crypto.encrypt(text.encode("utf-8"), key), document_out=text)

        if found is None:
            return answer(False, "the registration document is not well-formed")
        root = found[1]
        if xmlutil.text_of(root, "name") != "add_workstation":
            return answer(False, "not an add_workstation document")
        st_el = root.find("station")
        if st_el is None:
            return answer(False, "no station element")
        name = xmlutil.text_of(st_el, "name", default="")
        if not name.strip():
            return answer(False, "station name is blank")
        ids = {}
        for part, tag in (("rooms", "room"), ("images", "image"), ("models", "model")):
            el = st_el.find(tag)
            wanted = el.get("id") if el is not None else None
            if not any(str(e["id"]) == str(wanted) for e in self.sc["directory"].get(part, [])):
                return answer(False, "unknown %s id %r" % (tag, wanted))
            ids[tag] = wanted
        macs = []
        primary = xmlutil.text_of(st_el, "mac_address")
        if primary:
            macs.append(primary)
        listed = xmlutil.text_of(st_el, "mac_address_list") or ""
        macs += [m for m in re.split(r"[\r\n]+", listed) if m.strip()]
        ex.rec["station"] = name
        station = self.book.find(name, macs, name)
        if station is not None and cfg.get("banned"):
            return answer(False, "workstation is banned")
        if station is None:
            station = self.book.add(Station(name=name))
            station.origin = "manager"
        station.name = name
        station.add_macs(macs)
        station.room_id, station.image_id, station.model_id = ids["room"], ids["image"], ids["model"]
        station.specific_software = xmlutil.text_of(st_el, "specific_software")
        station.specific_hardware = xmlutil.text_of(st_el, "specific_hardware")
        station.multisession = xmlutil.text_of(st_el, "multisession") == "True"
        self._seen(station, "add_ws", peer)
        return answer(True)

    def _state(self, ex, q, body, peer):
        host = _first(q, "hostname")
        macs = q.get("mac", [])
        code = _first(q, "nochange")
        ex.rec["station"] = host
        station = self.book.find(host, macs)
        found = facts = None
        if station is not None:
            found = self._decrypt_document(ex, body, self._connection_keys(station))
            if found is None and station.connection_password is not None:
                # Still refused, but keep what an agent without a password sent.
                probe = Exchange("probe")
                got = self._decrypt_document(probe, body, [("empty_password", b"")])
                if got is not None:
                    ex.rec["key"], ex.rec["document"] = probe.rec["key"], probe.rec["document"]
        else:
            # Only for the record: an agent whose registration was answered
            # "no change" sends under empty key material.
            probe = Exchange("probe")
            got = self._decrypt_document(probe, body, [("empty_password", b"")])
            if got is not None:
                ex.rec["key"], ex.rec["document"] = probe.rec["key"], probe.rec["document"]
                found = None
                facts = replies.document_facts(got[1], ex.warnings)
                ex.rec["facts"] = facts
                if facts.get("name") == "i_am_turning_off":
                    ex.rec["kind"] = "stop"
        if found is not None:
            facts = replies.document_facts(found[1], ex.warnings)
            ex.rec["facts"] = facts
            if facts.get("name") == "i_am_turning_off":
                ex.rec["kind"] = "stop"
        out = self._apply_fault(ex, ex.rec["kind"], host)
        if out:
            return out
        if station is None:
            return ex.status(NOT_RECOGNIZED, "unknown workstation")
        cfg = self.cfg(station)
        if cfg.get("banned"):
            return ex.status(BANNED, "workstation is banned")
        if found is None:
            return ex.status(DECRYPT_FAILED)
        key, root = found
        self._seen(station, ex.rec["kind"], peer)
        if facts["name"] == "i_am_turning_off":
            station.online = False
            return ex.status(NO_CHANGE)
        if facts["name"] != "i_am_alive":
            ex.warnings.append("document name %r, expected i_am_alive" % facts["name"])
        if facts.get("id"):
            ex.warnings.append("HTTP heartbeat carries a packet id")
        station.online = True
        station.remember_document(ex.rec["document"], facts)
        rep = replies.build(cfg, station, facts, room_name=self._settings_room(station, cfg))
        if rep.ack is not None:
            station.acknowledge(facts["events"], rep.ack)
        self._after_state(station)
        if code is not None:
            if station.nochange_code is None or code != str(station.nochange_code):
                ex.warnings.append("no-change code %r was not handed out (current %r)" % (code, station.nochange_code))
            elif not rep.news:
                return ex.status(NO_CHANGE)
        text = rep.text()
        return ex.data(crypto.encrypt(text.encode("utf-8"), key), document_out=text, news=rep.news,
                       acknowledged=rep.ack)

    def _after_state(self, station):
        if station.command_queue and self.command_sender:
            queued, station.command_queue = station.command_queue, []
            threading.Thread(target=self._deliver_queue, args=(station, queued), daemon=True).start()

    def _deliver_queue(self, station, queued):
        for order in queued:
            if self.stop_event.is_set():
                return
            self.command_sender(station, order)

    # -- banner and update downloads -------------------------------------------

    def _all_layers(self, key):
        with self.lock:
            layers = [self.sc.get(key)]
            layers += [over.get(key) for over in self.sc["stations"].values()]
            layers += [st.runtime.get(key) for st in self.book.stations]
        return [l for l in layers if l]

    def _readable_path(self, path):
        """A content file named by the scenario, which may come from the control
        interface: only inside the scenario's folder. Paths given on the command
        line are the operator's own and may lie anywhere."""
        full = os.path.realpath(path if os.path.isabs(path) else os.path.join(self.scenario_dir, path))
        if full in self.operator_paths:
            return full
        home = os.path.realpath(self.scenario_dir)
        if os.path.commonpath([full, home]) != home:
            raise ContentError("%s lies outside the scenario's folder; refused" % path)
        return full

    def _content(self, item):
        if item.get("base64") is not None:
            return crypto.b64decode(item["base64"], strict=False)
        if item.get("text") is not None:
            return str(item["text"]).encode("utf-8")
        if item.get("file") or item.get("path"):
            path = self._readable_path(item.get("path") or item["file"])
            try:
                with open(path, "rb") as f:
                    return f.read()
            except OSError as e:
                raise ContentError("cannot read %s: %s" % (path, e.strerror or e)) from None
        return None

    def banner(self, method, path, raw_query, peer=None):
        self.reload_if_changed()
        warnings = []
        q = query_dict(parse_query(raw_query, warnings))
        ex = Exchange("banner", method=method, path=path, raw_query=raw_query, query=q, peer=_peer(peer))
        ex.warnings.extend(warnings)
        try:
            bid = _first(q, "id")
            with self.lock:
                rule = self.faults.pick("banner", None)
            out = self._fault(ex, rule) if rule else None
            if out is None:
                if method != "GET":
                    out = ex.http(405, "banner download with %s" % method)
                elif not bid:
                    out = ex.http(404, "banner download without an id")
                else:
                    item = None
                    for banners in self._all_layers("banners"):
                        for b in banners.get("items", []):
                            if str(b["id"]).lower() == bid.lower():
                                item = b
                    if item is None:
                        out = ex.http(404, "no banner with id %r" % bid)
                    else:
                        content = self._content(item)
                        if content is None:
                            from .png import solid_png
                            content = solid_png(bid.lower())
                        out = ex.data(content, banner=bid)
                        out.content_type = "image/png"
        except ContentError as e:
            out = ex.http(404, str(e))
        except Exception as e:
            ex.fail("internal error %s: %s" % (type(e).__name__, e))
            out = ex.http(500)
        self.record(ex)
        return ex.finish(out)

    def update(self, method, path, name, peer=None):
        self.reload_if_changed()
        ex = Exchange("update", method=method, path=path, file=name, peer=_peer(peer))
        try:
            with self.lock:
                rule = self.faults.pick("update", None)
            out = self._fault(ex, rule) if rule else None
            if out is None:
                if method != "GET":
                    out = ex.http(405, "update download with %s" % method)
                else:
                    item = None
                    for upd in self._all_layers("update"):
                        if str(upd["file"]) == name:
                            item = upd
                    if item is None:
                        out = ex.http(404, "no update offered with file %r" % name)
                    else:
                        # The file name of the offer is also its URL name; a
                        # path given for the content is the server's own.
                        content = self._content(dict(item, file=None))
                        if content is None:
                            out = ex.http(404, "update %r has no content configured" % name)
                        else:
                            out = ex.data(content, update_id=str(item["id"]))
        except ContentError as e:
            out = ex.http(404, str(e))
        except Exception as e:
            ex.fail("internal error %s: %s" % (type(e).__name__, e))
            out = ex.http(500)
        self.record(ex)
        return ex.finish(out)

    # -- websocket ---------------------------------------------------------------

    def ws_open(self, method, path, raw_query, peer=None, problem=None):
        """Check an upgrade request: (station, None) or (None, Outcome).

        problem is what the HTTP layer found wrong with the handshake
        itself, as (HTTP status, reason)."""
        self.reload_if_changed()
        warnings = []
        pairs = parse_query(raw_query, warnings)
        q = query_dict(pairs)
        ex = Exchange("ws_open", channel="ws", method=method, path=path, raw_query=raw_query, query=q,
                      peer=_peer(peer))
        if problem:
            ex.rec["station"] = _first(q, "hostname")
            out = ex.http(problem[0], "websocket handshake refused: " + problem[1])
            self.record(ex)
            return None, out
        ex.warnings.extend(warnings)
        try:
            with self.lock:
                out, station = self._ws_open(ex, q, peer)
        except Exception as e:
            ex.fail("internal error %s: %s" % (type(e).__name__, e))
            out, station = ex.http(500), None
        if out is None:
            ex.rec["reply"] = {"http_status": 101}
        self.record(ex)
        return station, out

    def _ws_open(self, ex, q, peer):
        host = _first(q, "hostname")
        macs = q.get("mac", [])
        ex.rec["station"] = host
        station = self.book.find(host, macs)
        out = self._apply_fault(ex, "ws_upgrade", host)
        if out:
            return out, None
        if station is None:
            return ex.http(403, "websocket from an unknown workstation"), None
        cfg = self.cfg(station)
        if cfg.get("banned"):
            return ex.http(403, "workstation is banned"), None
        problems = []
        keys = [k for k in self._connection_keys(station)]
        check_name = self._check_value(_first(q, "check"), host or "", keys)
        if check_name is None:
            problems.append("check value does not match the host name under the connection password")
        else:
            ex.rec["key"] = check_name
        sms = q.get("sm", [])
        if len(sms) != len(macs):
            problems.append("%d sm values for %d MAC addresses" % (len(sms), len(macs)))
        else:
            for mac, sm in zip(macs, sms):
                if self._check_value(sm, mac, keys) is None:
                    problems.append("sm value for %s does not match" % mac)
        if problems:
            if cfg.get("ws_require_check", True):
                return ex.http(403, "; ".join(problems)), None
            ex.warnings.extend(problems)
        self._seen(station, "ws_open", peer)
        return None, station

    @staticmethod
    def _check_value(value, expected, keys):
        if value is None:
            return None
        try:
            blob = crypto.b64decode(value, strict=True)
        except ValueError:
            return None
        for name, key in keys:
            try:
                if crypto.decrypt(blob, key) == expected.encode("utf-8"):
                    return name
            except crypto.CipherError:
                continue
        return None

    def ws_message(self, station, opcode, data, peer=None):
        """Serve one message from the agent; returns the messages to send."""
        ex = Exchange("ws_message", channel="ws", bytes=len(data), peer=_peer(peer))
        ex.rec["station"] = station.label
        try:
            with self.lock:
                out = self._ws_message(ex, station, opcode, data)
        except Exception as e:
            ex.fail("internal error %s: %s" % (type(e).__name__, e))
            out = []
        self.record(ex)
        return WsAnswer(out, ex.delay_ms, ex.drop)

    def _short(self, ex, packet_id, byte):
        ex.rec["reply"] = {"status": "0x%02X" % byte}
        return [bytes(packet_id) + bytes([byte])]

    def _ws_message(self, ex, station, opcode, data):
        from .websocket import BINARY
        if opcode != BINARY:
            ex.fail("text message on a binary-only channel")
            return []
        cfg = self.cfg(station)
        if len(data) == 19:
            ex.rec["kind"] = "ws_short"
            pid = data[:16]
            code = int.from_bytes(data[16:19], "big")
            ex.rec["packet_id"] = pid.hex().upper()
            ex.rec["nochange"] = code
            out = self._apply_fault(ex, "ws_short", station.hostname)
            if out:
                return self._ws_fault(ex, out, pid)
            self._seen(station, "ws_short", None)
            rep = replies.build(cfg, station, None, room_name=self._settings_room(station, cfg),
                                packet_id=pid.hex().upper())
            self._after_state(station)
            if station.nochange_code is not None and code == station.nochange_code & 0xFFFFFF and not rep.news:
                return self._short(ex, pid, NO_CHANGE)
            if station.nochange_code is None or code != station.nochange_code & 0xFFFFFF:
                ex.warnings.append("no-change code %d was not handed out (current %r)" % (code, station.nochange_code))
            return self._ws_reply(ex, rep, station.connection_password or b"")
        if len(data) < 16 or len(data) % 16:
            ex.fail("message of %d bytes is neither a short frame nor a ciphertext" % len(data))
            return []
        found = self._decrypt_document(ex, data, self._connection_keys(station))
        if found is None:
            out = self._apply_fault(ex, "ws_state", station.hostname)
            if out:
                return self._ws_fault(ex, out, bytes(16))
            # The packet id is inside what could not be read; the agent
            # ignores an answer with another id and times out.
            return self._short(ex, bytes(16), DECRYPT_FAILED)
        key, root = found
        if root.tag == "response":
            ex.rec["kind"] = "command_reply"
            rid = root.get("id")
            ex.rec["command_id"] = rid
            waiter = self.waiters.get(rid)
            if waiter is None:
                ex.warnings.append("reply for no outstanding command (id %r)" % rid)
            else:
                waiter[1] = ex.rec["document"]
                waiter[0].set()
            return []
        ex.rec["kind"] = "ws_state"
        facts = replies.document_facts(root, ex.warnings)
        ex.rec["facts"] = facts
        pid_text = facts.get("id") or ""
        try:
            pid = bytes.fromhex(pid_text) if len(pid_text) == 32 else None
        except ValueError:
            pid = None
        if pid is None:
            ex.warnings.append("heartbeat packet id %r is not 32 hex digits" % pid_text)
            pid = bytes(16)
        out = self._apply_fault(ex, "ws_state", station.hostname)
        if out:
            return self._ws_fault(ex, out, pid)
        self._seen(station, "ws_state", None)
        if facts.get("name") != "i_am_alive":
            ex.warnings.append("document name %r, expected i_am_alive" % facts.get("name"))
        station.online = True
        station.remember_document(ex.rec["document"], facts)
        rep = replies.build(cfg, station, facts, room_name=self._settings_room(station, cfg),
                            packet_id=pid_text or None)
        if rep.ack is not None:
            station.acknowledge(facts["events"], rep.ack)
        self._after_state(station)
        return self._ws_reply(ex, rep, key, acknowledged=rep.ack)

    def _ws_reply(self, ex, rep, key, **info):
        text = rep.text()
        body = crypto.encrypt(text.encode("utf-8"), key)
        ex.rec["reply"] = dict(bytes=len(body), document_out=text, news=rep.news, **info)
        return [body]

    def _ws_fault(self, ex, out, pid):
        """A fault rule on the websocket: status bytes become short answers."""
        ex.delay_ms = out.delay_ms
        if out.drop:
            ex.drop = True
            return []
        if "status" in ex.rec.get("reply", {}):
            return [bytes(pid) + out.body]
        return [out.body] if out.body else []

    # -- control ---------------------------------------------------------------

    def snapshot(self):
        with self.lock:
            return {
                "scenario": copy.deepcopy(self.raw),
                "effective": copy.deepcopy(self.sc),
                "stations": [self._station_json(st) for st in self.book.stations],
            }

    def _station_json(self, st):
        out = st.to_json(crypto.b64encode)
        cfg = self.cfg(st)
        # What the server will make of the station on its next exchange.
        out["wants"] = {k: copy.deepcopy(cfg.get(k)) for k in (
            "lock_status", "settings", "sl_settings", "apps", "banners", "update", "banned", "ack_events")}
        return out

    def station_by_name(self, name):
        with self.lock:
            return self.book.find(name, [name] if ":" in (name or "") else [], name)

    def change_station(self, changes):
        name = changes.get("station")
        if not name:
            raise scenario.ScenarioError("station is required")
        with self.lock:
            st = self.station_by_name(name)
            if st is None:
                if not changes.get("create"):
                    raise KeyError(name)
                st = self.book.add(Station(hostname=name))
                st.origin = "control"
            if changes.get("forget"):
                if st.ws:
                    st.ws.abort()
                self.book.remove(st)
                return None
            over = {k: v for k, v in changes.items() if k in scenario.STATION_KEYS}
            if over:
                scenario.validate({"stations": {"probe": {k: v for k, v in over.items() if v is not None}}})
                st.runtime = scenario.merge(st.runtime, over)
            if changes.get("rotate_password"):
                st.rotate_password = True
            if changes.get("clear_events"):
                st.events = []
            return self._station_json(st)


    # -- records the HTTP layer asks for ----------------------------------------

    def unrouted(self, method, path, raw_query, peer=None):
        ex = Exchange("unknown_path", method=method, path=path, raw_query=raw_query,
                      query=query_dict(parse_query(raw_query)), peer=_peer(peer))
        out = ex.http(404, "no guard servlet at %s" % path)
        self.record(ex)
        return out

    def ws_closed(self, station, how, code=None, error=None, peer=None):
        ex = Exchange("ws_close", channel="ws", peer=_peer(peer), how=how, close_code=code)
        with self.lock:
            ex.rec["station"] = station.label
        if error:
            ex.fail(error)
        self.record(ex)

    # -- commands pushed to the agent --------------------------------------------

    def queue_command(self, name, order):
        """Keep a command for the station's next heartbeat; False when the
        station is unknown."""
        with self.lock:
            st = self.station_by_name(name)
            if st is None:
                return False
            st.command_queue.append(order)
            return True

    def command_target(self, station):
        """What a command needs of the station, read under the lock."""
        with self.lock:
            return {
                "label": station.label,
                "key": station.connection_password,
                "ws": station.ws,
                "address": station.address or "127.0.0.1",
                "port": station.guard_port,
            }

    def expect_reply(self, command_id):
        ev = threading.Event()
        with self.lock:
            self.waiters[command_id] = [ev, None]
        return ev

    def take_reply(self, command_id):
        with self.lock:
            waiter = self.waiters.pop(command_id, None)
        return waiter[1] if waiter else None

    def record_command(self, rec):
        ex = Exchange("command", channel=rec.pop("channel", "http"))
        ex.rec.update(rec)
        self.record(ex)
        return ex.rec
