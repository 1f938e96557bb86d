"""Reading heartbeat documents and writing the server's answers."""

import xml.etree.ElementTree as ET

from . import crypto, xmlutil
from .scenario import setting_text, stamp

# The agent's own order of settings; other names follow in scenario order.
SETTINGS_ORDER = (
    "server_url", "listener_port", "i_am_alive_period", "network_outage_timeout",
    "lock_on_network_outage", "password_hash", "room_name", "workstation_name",
    "inactivity_time", "logoff_warning_time", "idle_timeout_action",
    "banner_timeout", "adv_use_ws", "ws_timeout", "login_s_m",
    "enable_session_limit", "sl_only_4_nonadmins", "bypass_accounts",
)


def document_facts(root, warnings):
    """What the server needs from a heartbeat or stop document."""
    facts = {"root": root.tag, "id": root.get("id"), "version": root.get("version")}
    if root.tag == "request" and root.find("command") is not None:
        facts["name"] = xmlutil.text_of(root, "command", "name")
        return facts
    facts["name"] = xmlutil.text_of(root, "name")
    if root.tag != "command":
        warnings.append("document root is <%s>, expected <command>" % root.tag)
    state = root.find("active_state")
    if facts["name"] == "i_am_alive" and state is None:
        warnings.append("heartbeat document without <active_state>")
    if state is not None:
        for key in ("settings_update_time", "sl_settings_update_time",
                    "banner_update_time", "app_cache_update_time", "lock_status"):
            el = state.find(key)
            facts[key] = (el.text or "") if el is not None else None
        port = xmlutil.text_of(state, "listener_port")
        if port is not None:
            try:
                facts["listener_port"] = int(port)
            except ValueError:
                warnings.append("listener_port %r is not a number" % port)
    events = []
    ev_root = root.find("events")
    if ev_root is not None:
        for ev in ev_root.findall("event"):
            raw_id = ev.get("id")
            try:
                number = int(raw_id)
            except (TypeError, ValueError):
                warnings.append("journal entry with id %r" % raw_id)
                number = None
            events.append({
                "id": number,
                "client_time": ev.get("client_time"),
                "kind": ev[0].tag if len(ev) else None,
                "xml": ET.tostring(ev, encoding="unicode"),
            })
    facts["events"] = events
    return facts


def ack_number(cfg, events):
    ack = cfg.get("ack_events", True)
    numbers = [e["id"] for e in events if e["id"] is not None]
    if ack is False or not numbers:
        return None
    top = max(numbers)
    if ack is not True:
        top = min(top, int(ack))
    return top if top >= 1 else None


def settings_stamp(cfg, station_facts):
    if cfg.get("settings_update_time"):
        return str(cfg["settings_update_time"])
    return stamp({"settings": cfg.get("settings"), "chtl": cfg.get("chtl"), "station": station_facts})


def sl_settings_stamp(cfg):
    if cfg.get("sl_settings_update_time"):
        return str(cfg["sl_settings_update_time"])
    return stamp(cfg.get("sl_settings"))


def banners_stamp(banners):
    if banners.get("update_time") is not None:
        return str(banners["update_time"])
    return stamp([b["id"] for b in banners.get("items", [])])


def apps_stamp(apps):
    if apps.get("modifytime") is not None:
        return str(apps["modifytime"])
    return stamp(apps.get("applications"))


def template_element(item, tag="application"):
    if "xml" in item:
        return xmlutil.fragment(item["xml"])
    el = ET.Element(tag, {"id": str(item["id"])})
    alternatives = item.get("app")
    for alt in (alternatives if alternatives else [item]):
        holder = xmlutil.sub(el, "app") if alternatives else el
        for key in ("path", "company", "version", "name"):
            xmlutil.sub(holder, key, alt.get(key, "*"))
    return el


def station_settings(station):
    """Settings that come from what the server knows of the station."""
    out = {}
    if station.name:
        out["workstation_name"] = station.name
    return out


class Reply:
    """A control_state under construction, and whether it carries news."""

    def __init__(self, version, packet_id=None):
        attrs = {"version": version} if version else {}
        if packet_id:
            attrs["id"] = packet_id
        self.root = ET.Element("response", attrs)
        self.cs = xmlutil.sub(self.root, "control_state")
        self.news = []
        self.ack = None

    def text(self):
        return xmlutil.to_text(self.root)


def build(cfg, station, facts=None, register=False, room_name=None, packet_id=None):
    """The answer to a registration (facts None) or a heartbeat.

    Elements are chosen by comparing what the agent reports holding
    (the update stamps in its active state) with what the server has, so
    nothing is sent twice once the agent has taken it.
    """
    facts = facts or {}
    echo = facts if facts else station.echo
    rep = Reply(cfg.get("protocol_version"), packet_id)
    cs = rep.cs

    wanted = cfg.get("lock_status") or "unlocked"
    xmlutil.sub(cs, "lock_status", wanted)
    if not register and echo.get("lock_status") not in (None, wanted):
        rep.news.append("lock_status")

    if cfg.get("nochange") and station.nochange_code is not None:
        xmlutil.sub(cs, "nochange", station.nochange_code)

    banners = cfg.get("banners")
    if banners and not register:
        st = banners_stamp(banners)
        if echo.get("banner_update_time") != st:
            el = xmlutil.sub(cs, "banners", banner_update_time=st)
            for item in banners.get("items", []):
                xmlutil.sub(el, "banner", id=item["id"])
            rep.news.append("banners")

    extra = station_settings(station)
    if cfg.get("workstation_name"):
        extra["workstation_name"] = cfg["workstation_name"]
    if room_name:
        extra["room_name"] = room_name
    merged = dict(extra)
    merged.update(cfg.get("settings") or {})
    s_stamp = settings_stamp(dict(cfg, settings=merged), None)
    send_settings = register or station.rotate_password or echo.get("settings_update_time") != s_stamp
    sl = cfg.get("sl_settings") or {}
    sl_stamp = sl_settings_stamp(cfg) if sl else None
    send_sl = bool(sl) and not register and echo.get("sl_settings_update_time") != sl_stamp
    if send_settings:
        if station.rotate_password:
            station.rotate()
        el = xmlutil.sub(cs, "settings")
        names = [n for n in SETTINGS_ORDER if n in merged] + [n for n in merged if n not in SETTINGS_ORDER]
        for name in names:
            if name != "communicate_password":
                xmlutil.sub(el, name, setting_text(merged[name]))
        if cfg.get("chtl"):
            xmlutil.sub(el, "chtl", **{k: setting_text(v) for k, v in cfg["chtl"].items()})
        xmlutil.sub(el, "communicate_password", crypto.b64encode(station.connection_password or b""))
        if not register:
            rep.news.append("settings")
    if send_sl:
        el = xmlutil.sub(cs, "sl_settings")
        for name, value in sl.items():
            xmlutil.sub(el, name, setting_text(value))
        rep.news.append("sl_settings")
    if send_settings:
        xmlutil.sub(cs, "settings_update_time", s_stamp)
    if send_sl:
        xmlutil.sub(cs, "sl_settings_update_time", sl_stamp)

    if not register:
        rep.ack = ack_number(cfg, facts.get("events", []))
        if rep.ack is not None:
            hs = xmlutil.sub(cs, "event_handshake")
            xmlutil.sub(hs, "last", rep.ack)
            rep.news.append("event_handshake")

        update = cfg.get("update")
        if update:
            xmlutil.sub(cs, "update", id=update["id"], file=update["file"])
            if station.sent.get("update") != str(update["id"]):
                station.sent["update"] = str(update["id"])
                rep.news.append("update")

        apps = cfg.get("apps")
        if apps:
            st = apps_stamp(apps)
            if apps.get("form", "apps") == "apps":
                due = echo.get("app_cache_update_time") != st
            else:
                due = station.sent.get("applications") != st
            if due:
                if apps.get("form", "apps") == "apps":
                    holder = xmlutil.sub(xmlutil.sub(cs, "apps"), "app_cache", modifytime=st)
                else:
                    holder = xmlutil.sub(cs, "applications")
                    station.sent["applications"] = st
                for item in apps.get("applications", []):
                    holder.append(template_element(item))
                rep.news.append("apps")

        for key, child_tag in (("app_ctrl_states", "app_ctrl_state"), ("lock_states", "lock_state")):
            entries = cfg.get(key) or []
            if not entries:
                continue
            st = stamp(entries)
            if station.sent.get(key) == st:
                continue
            station.sent[key] = st
            el = xmlutil.sub(cs, key)
            for entry in entries:
                if key == "lock_states":
                    xmlutil.sub(el, child_tag, entry.get("state", "unlocked"), hostname=entry.get("hostname", ""))
                else:
                    attrs = {"hostname": entry.get("hostname", "")}
                    if entry.get("session_id") is not None:
                        attrs["session_id"] = entry["session_id"]
                    xmlutil.sub(el, child_tag, **attrs)
            rep.news.append(key)
    return rep


def test_reply(station, room_name, client_ip, version, workstation_name=None):
    root = ET.Element("response", {"version": version} if version else {})
    settings = xmlutil.sub(xmlutil.sub(root, "control_state"), "settings")
    xmlutil.sub(settings, "room_name", room_name or "")
    xmlutil.sub(settings, "workstation_name", workstation_name or station.name or station.hostname or "")
    xmlutil.sub(settings, "client_ip_for_server", client_ip)
    return xmlutil.to_text(root)


def directory_reply(directory):
    root = ET.Element("response")
    xmlutil.sub(root, "result", "success")
    sd = xmlutil.sub(root, "station_directory")
    for part, tag in (("rooms", "room"), ("images", "image"), ("models", "model")):
        holder = xmlutil.sub(sd, part)
        for entry in directory.get(part, []):
            attrs = {"id": entry["id"]}
            if entry.get("d_id") is not None:
                attrs["d_id"] = entry["d_id"]
            el = xmlutil.sub(holder, tag, **attrs)
            xmlutil.sub(el, "name", entry["name"])
    return xmlutil.to_text(root)


def result_reply(ok, error=None):
    root = ET.Element("response")
    xmlutil.sub(root, "result", "success" if ok else "failure")
    if error:
        xmlutil.sub(root, "error", error)
    return xmlutil.to_text(root)
