"""What the server remembers about each workstation."""

import os
import time


def norm_mac(mac):
    return mac.strip().upper().replace("-", ":")


class Station:
    def __init__(self, hostname=None, name=None):
        self.hostname = hostname          # as the agent reports it
        self.name = name                  # station name given at registration
        self.macs = []                    # every MAC address seen, upper case
        self.origin = None                # "self", "manager" or "scenario"
        self.room_id = self.image_id = self.model_id = None
        self.specific_software = self.specific_hardware = None
        self.password_hash = None         # the hash its last key exchange used
        self.connection_password = None   # bytes handed out at registration
        self.previous_connection_password = None
        self.rotate_password = False
        self.nochange_code = None
        self.last_document = None
        self.last_document_time = None
        self.echo = {}                    # stamps and state the agent reported last
        self.sent = {}                    # what this conversation has been given
        self.events = []                  # journal entries acknowledged
        self.last_ack = None
        self.guard_port = None
        self.address = None
        self.runtime = {}                 # overrides set through the control interface
        self.command_queue = []
        self.ws = None
        self.online = False
        self.counts = {}

    @property
    def label(self):
        return self.hostname or self.name or (self.macs[0] if self.macs else "?")

    def add_macs(self, macs):
        for m in macs:
            m = norm_mac(m)
            if m and m not in self.macs:
                self.macs.append(m)

    def new_conversation(self, nochange_code):
        """A registration starts afresh: new key, nothing sent yet."""
        self.previous_connection_password = self.connection_password
        self.connection_password = os.urandom(16)
        self.rotate_password = False
        self.nochange_code = nochange_code
        self.sent = {}
        self.online = True

    def rotate(self):
        self.previous_connection_password = self.connection_password
        self.connection_password = os.urandom(16)
        self.rotate_password = False

    def remember_document(self, text, facts):
        self.last_document = text
        self.last_document_time = time.time()
        for key in ("settings_update_time", "sl_settings_update_time",
                    "banner_update_time", "app_cache_update_time", "lock_status"):
            self.echo[key] = facts.get(key)
        if facts.get("listener_port") is not None:
            self.guard_port = facts["listener_port"]

    def acknowledge(self, entries, number):
        """Keep the acknowledged entries; an agent restart reuses numbers,
        so duplicates are recognised by their whole content."""
        known = {(e["id"], e["client_time"], e["xml"]) for e in self.events}
        for e in entries:
            if e["id"] is not None and e["id"] <= number:
                key = (e["id"], e["client_time"], e["xml"])
                if key not in known:
                    known.add(key)
                    self.events.append(dict(e, acknowledged_at=time.time()))
        self.last_ack = number

    def to_json(self, b64):
        return {
            "hostname": self.hostname,
            "name": self.name,
            "macs": list(self.macs),
            "origin": self.origin,
            "room_id": self.room_id,
            "image_id": self.image_id,
            "model_id": self.model_id,
            "password_hash": self.password_hash,
            "connection_password": b64(self.connection_password) if self.connection_password is not None else None,
            "nochange_code": self.nochange_code,
            "guard_port": self.guard_port,
            "address": self.address,
            "online": self.online,
            "websocket": self.ws is not None,
            "last_document": self.last_document,
            "last_document_time": self.last_document_time,
            "reported": dict(self.echo),
            "acknowledged_events": list(self.events),
            "last_ack": self.last_ack,
            "overrides": dict(self.runtime),
            "queued_commands": len(self.command_queue),
            "counts": dict(self.counts),
        }


class StationBook:
    def __init__(self):
        self.stations = []

    def find(self, hostname=None, macs=(), name=None):
        """By host name first. A station that a registration created has no
        host name yet (the registration document carries none), so it is
        found by a shared MAC address or by its station name, which the
        manager fills in with the computer's name."""
        if hostname:
            for st in self.stations:
                if st.hostname and st.hostname.lower() == hostname.lower():
                    return st
        pending = [st for st in self.stations if not st.hostname]
        wanted = {norm_mac(m) for m in macs if m}
        if wanted:
            for st in pending:
                if wanted & set(st.macs):
                    return st
        for candidate in (hostname, name):
            if candidate:
                for st in pending:
                    if st.name and st.name.strip().lower() == candidate.strip().lower():
                        return st
        return None

    def add(self, station):
        self.stations.append(station)
        return station

    def remove(self, station):
        if station in self.stations:
            self.stations.remove(station)
