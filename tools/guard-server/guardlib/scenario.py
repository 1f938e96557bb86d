"""The scenario: what the server answers, as data.

A scenario is a JSON object. Every key is optional; the defaults make a
plain, well-behaved server. Per-station overrides live under "stations"
(keyed by host name, compared without letter case), and a running test can
layer more overrides on top through the control interface.
"""

import copy
import json
import zlib

STATUS_NAMES = {
    "not_recognized": 0xF0,
    "decrypt_failed": 0xF1,
    "no_change": 0xF2,
    "banned": 0xF3,
}

# Request kinds a fault rule can name.
KINDS = (
    "register", "test", "directory", "add_ws", "state", "stop",
    "banner", "update", "ws_upgrade", "ws_state", "ws_short",
)

LOCK_WORDS = ("locked", "halflocked", "unlocked")

DEFAULT_DIRECTORY = {
    "rooms": [{"id": "1", "name": "Lab A"}],
    "images": [{"id": "1", "name": "Standard image"}],
    "models": [{"id": "1", "name": "Standard model"}],
}

DEFAULTS = {
    "protocol_version": "2.5",
    "password": "harbour",
    "password_hash": None,
    "auto_register": True,
    "banned": False,
    "room_name": None,
    "workstation_name": None,
    "nochange": True,
    "nochange_code": None,
    "lock_status": "unlocked",
    "settings": {},
    "chtl": None,
    "sl_settings": {},
    "settings_update_time": None,
    "sl_settings_update_time": None,
    "apps": None,
    "banners": None,
    "update": None,
    "ack_events": True,
    "lock_states": [],
    "app_ctrl_states": [],
    "directory": DEFAULT_DIRECTORY,
    "stations": {},
    "faults": [],
    "ws_require_check": True,
}

STATION_KEYS = {
    "password", "password_hash", "banned", "known", "lock_status", "settings",
    "sl_settings", "chtl", "apps", "banners", "update", "room_name",
    "workstation_name", "lock_states", "app_ctrl_states", "ack_events",
    "nochange", "nochange_code", "protocol_version", "settings_update_time",
    "sl_settings_update_time",
}

# Settings the agent understands, with the kind of value it converts them to.
# A value of the wrong kind makes the agent abort the whole update, so it is
# worth a warning, but it stays allowed: tests use it on purpose.
SETTING_KINDS = {
    "server_url": "text", "listener_port": "int", "i_am_alive_period": "int",
    "network_outage_timeout": "int", "lock_on_network_outage": "bool",
    "password_hash": "text", "room_name": "text", "workstation_name": "text",
    "inactivity_time": "text", "logoff_warning_time": "text",
    "idle_timeout_action": "int", "banner_timeout": "int", "adv_use_ws": "bool",
    "ws_timeout": "int", "login_s_m": "text", "enable_session_limit": "bool",
    "sl_only_4_nonadmins": "bool", "bypass_accounts": "text",
    "communicate_password": "text",
}

FAULT_KEYS = {"kind", "station", "status", "http_status", "delay_ms", "drop", "reset",
              "body_hex", "garbage", "times", "skip", "every", "drip_ms", "drip_bytes", "stall_ms"}


class ScenarioError(ValueError):
    pass


def parse_status(value):
    """A status byte given as 240, "0xF0", "F0" or a name like "banned"."""
    if isinstance(value, bool):
        raise ScenarioError("status must be a byte, not %r" % value)
    if isinstance(value, int):
        n = value
    elif isinstance(value, str):
        v = value.strip().lower()
        if v in STATUS_NAMES:
            return STATUS_NAMES[v]
        try:
            n = int(v, 16) if v.startswith("0x") or any(c in "abcdef" for c in v) else int(v)
        except ValueError:
            raise ScenarioError("bad status byte %r" % value) from None
    else:
        raise ScenarioError("bad status byte %r" % (value,))
    if not 0 <= n <= 255:
        raise ScenarioError("status byte %r out of range" % value)
    return n


def setting_text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def stamp(obj):
    """A version stamp that changes whenever the content does."""
    blob = json.dumps(obj, sort_keys=True, default=str).encode("utf-8")
    # Kept clear of "0" and "1", the stamps an agent reports before it has
    # received anything.
    return str(1000 + zlib.crc32(blob) % 1000000000)


def _check_settings(where, settings, warnings):
    if not isinstance(settings, dict):
        raise ScenarioError("%s must be an object of element -> value" % where)
    for name, value in settings.items():
        if value is None:
            continue
        if not isinstance(value, (str, int, bool)):
            raise ScenarioError("%s.%s must be text, a number or a boolean" % (where, name))
        kind = SETTING_KINDS.get(name)
        text = setting_text(value)
        if kind is None:
            warnings.append("%s.%s is not a setting the agent knows" % (where, name))
        elif kind == "int" and not text.lstrip("-").isdigit():
            warnings.append("%s.%s=%r is not an integer; the agent will reject the update" % (where, name, text))
        elif kind == "bool" and text not in ("true", "false"):
            warnings.append("%s.%s=%r is not true/false; the agent will reject the update" % (where, name, text))
        if name == "communicate_password":
            warnings.append("%s.communicate_password is chosen by the server; the scenario value is ignored" % where)


def _check_apps(where, apps):
    if apps is None:
        return
    if not isinstance(apps, dict):
        raise ScenarioError("%s must be an object" % where)
    form = apps.get("form", "apps")
    if form not in ("apps", "applications"):
        raise ScenarioError("%s.form must be \"apps\" or \"applications\"" % where)
    items = apps.get("applications", [])
    if not isinstance(items, list):
        raise ScenarioError("%s.applications must be a list" % where)
    for i, item in enumerate(items):
        if not isinstance(item, dict) or ("xml" not in item and "id" not in item):
            raise ScenarioError("%s.applications[%d] needs an \"id\" (or raw \"xml\")" % (where, i))


def _check_banners(where, banners):
    if banners is None:
        return
    if not isinstance(banners, dict) or not isinstance(banners.get("items", []), list):
        raise ScenarioError("%s must be an object with a list \"items\"" % where)
    for i, item in enumerate(banners.get("items", [])):
        if not isinstance(item, dict) or not item.get("id"):
            raise ScenarioError("%s.items[%d] needs an \"id\"" % (where, i))


def _check_update(where, update):
    if update is None:
        return
    if not isinstance(update, dict) or not update.get("id") or not update.get("file"):
        raise ScenarioError("%s needs \"id\" and \"file\"" % where)
    name = str(update["file"])
    if "/" in name or "\\" in name or name in (".", ".."):
        raise ScenarioError("%s.file must be a plain file name" % where)


def _check_lock(where, word):
    if word is not None and not isinstance(word, str):
        raise ScenarioError("%s must be text" % where)


def _check_common(where, d, warnings):
    if "settings" in d:
        _check_settings(where + ".settings", d["settings"], warnings)
    if "sl_settings" in d:
        _check_settings(where + ".sl_settings", d["sl_settings"], warnings)
    if d.get("chtl") is not None and not isinstance(d["chtl"], dict):
        raise ScenarioError("%s.chtl must be an object of attribute -> value" % where)
    _check_apps(where + ".apps", d.get("apps"))
    _check_banners(where + ".banners", d.get("banners"))
    _check_update(where + ".update", d.get("update"))
    _check_lock(where + ".lock_status", d.get("lock_status"))
    if d.get("lock_status") not in (None,) + LOCK_WORDS:
        warnings.append("%s.lock_status=%r: the agent reads anything else as unlocked" % (where, d.get("lock_status")))
    for key in ("lock_states", "app_ctrl_states"):
        if key in d and not isinstance(d[key], list):
            raise ScenarioError("%s.%s must be a list" % (where, key))
    if "ack_events" in d and not isinstance(d["ack_events"], (bool, int)):
        raise ScenarioError("%s.ack_events must be true, false or a number" % where)
    if d.get("nochange_code") is not None:
        code = d["nochange_code"]
        if not isinstance(code, int) or isinstance(code, bool) or not 0 <= code < 1 << 24:
            raise ScenarioError("%s.nochange_code must be an integer from 0 to 16777215" % where)


def validate(raw):
    """Check a scenario object; returns (scenario with defaults, warnings)."""
    if not isinstance(raw, dict):
        raise ScenarioError("a scenario is a JSON object")
    warnings = []
    unknown = set(raw) - set(DEFAULTS)
    if unknown:
        raise ScenarioError("unknown scenario keys: %s" % ", ".join(sorted(unknown)))
    sc = copy.deepcopy(DEFAULTS)
    sc.update(copy.deepcopy(raw))
    if sc["password_hash"] is None and not isinstance(sc["password"], str):
        raise ScenarioError("password must be text")
    _check_common("scenario", sc, warnings)
    if not isinstance(sc["stations"], dict):
        raise ScenarioError("stations must be an object keyed by host name")
    for host, over in sc["stations"].items():
        if not isinstance(over, dict):
            raise ScenarioError("stations.%s must be an object" % host)
        bad = set(over) - STATION_KEYS
        if bad:
            raise ScenarioError("stations.%s: unknown keys %s" % (host, ", ".join(sorted(bad))))
        _check_common("stations." + host, over, warnings)
    directory = sc["directory"]
    if not isinstance(directory, dict):
        raise ScenarioError("directory must be an object")
    for part in ("rooms", "images", "models"):
        entries = directory.get(part, [])
        if not isinstance(entries, list) or not all(isinstance(e, dict) and "id" in e and "name" in e for e in entries):
            raise ScenarioError("directory.%s must be a list of {id, name[, d_id]}" % part)
    if not isinstance(sc["faults"], list):
        raise ScenarioError("faults must be a list")
    for i, rule in enumerate(sc["faults"]):
        if not isinstance(rule, dict):
            raise ScenarioError("faults[%d] must be an object" % i)
        bad = set(rule) - FAULT_KEYS
        if bad:
            raise ScenarioError("faults[%d]: unknown keys %s" % (i, ", ".join(sorted(bad))))
        if rule.get("kind") not in KINDS + ("any",):
            raise ScenarioError("faults[%d].kind must be one of %s or any" % (i, ", ".join(KINDS)))
        if "status" in rule:
            rule["status"] = parse_status(rule["status"])
        if "body_hex" in rule:
            try:
                bytes.fromhex(rule["body_hex"])
            except (TypeError, ValueError):
                raise ScenarioError("faults[%d].body_hex is not hex" % i) from None
        for key in ("http_status", "delay_ms", "times", "skip", "drip_ms", "stall_ms"):
            if key in rule and (not isinstance(rule[key], int) or isinstance(rule[key], bool) or rule[key] < 0):
                raise ScenarioError("faults[%d].%s must be a non-negative integer" % (i, key))
        if "drip_bytes" in rule and (not isinstance(rule["drip_bytes"], int) or isinstance(rule["drip_bytes"], bool)
                                     or rule["drip_bytes"] < 1):
            raise ScenarioError("faults[%d].drip_bytes must be a positive integer" % i)
        if "every" in rule and (not isinstance(rule["every"], int) or isinstance(rule["every"], bool)
                                or rule["every"] < 1):
            raise ScenarioError("faults[%d].every must be a positive integer" % i)
    return sc, warnings


def load_file(path):
    with open(path, "r", encoding="utf-8") as f:
        try:
            raw = json.load(f)
        except json.JSONDecodeError as e:
            raise ScenarioError("%s: %s" % (path, e)) from None
    return raw


def merge(base, changes):
    """Shallow merge where a None value removes the key (back to default)."""
    out = copy.deepcopy(base)
    for key, value in changes.items():
        if value is None:
            out.pop(key, None)
        else:
            out[key] = copy.deepcopy(value)
    return out


def _merge_dicts(base, over):
    out = dict(base or {})
    for k, v in (over or {}).items():
        if v is None:
            out.pop(k, None)
        else:
            out[k] = v
    return out


def station_listed(sc, host):
    return bool(host) and any(name.lower() == host.lower() for name in sc["stations"])


def station_override(sc, host):
    if not host:
        return {}
    for name, over in sc["stations"].items():
        if name.lower() == host.lower():
            return over
    return {}


def effective(sc, host, runtime=None):
    """The configuration that applies to one station."""
    cfg = {k: v for k, v in sc.items() if k not in ("stations", "faults", "directory")}
    for layer in (station_override(sc, host), runtime or {}):
        for key, value in layer.items():
            if key in ("settings", "sl_settings"):
                cfg[key] = _merge_dicts(cfg.get(key), value)
            else:
                cfg[key] = value
    return cfg


class FaultBook:
    """The fault rules of a scenario with their use counters."""

    def __init__(self, rules, previous=None):
        self.rules = rules
        self.seen = [0] * len(rules)
        # A rule kept through a scenario change keeps its use count, so a
        # one-time fault stays spent while other parts of the scenario change.
        if previous is not None:
            spent = {}
            for rule, n in zip(previous.rules, previous.seen):
                spent.setdefault(json.dumps(rule, sort_keys=True), []).append(n)
            for i, rule in enumerate(rules):
                counts = spent.get(json.dumps(rule, sort_keys=True))
                if counts:
                    self.seen[i] = counts.pop(0)

    def pick(self, kind, host):
        """The first rule that applies to this request, counting it as used."""
        for i, rule in enumerate(self.rules):
            if rule["kind"] not in (kind, "any"):
                continue
            if rule.get("station") and (not host or rule["station"].lower() != host.lower()):
                continue
            self.seen[i] += 1
            n = self.seen[i]
            skip = rule.get("skip", 0)
            if n <= skip:
                continue
            times = rule.get("times")
            if times is not None and n > skip + times:
                continue
            every = rule.get("every", 1)
            if (n - skip - 1) % every:
                continue
            return dict(rule, index=i)
        return None
