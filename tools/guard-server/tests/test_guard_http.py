"""The guard requests over real HTTP, against a server started in-process."""

import http.client
import json
import os
import re
import socket
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

import support
from support import FakeAgent, http_request, last_record, read_records
from guardlib import crypto

NOT_RECOGNIZED, DECRYPT_FAILED, NO_CHANGE, BANNED = 0xF0, 0xF1, 0xF2, 0xF3


def control(srv, method, what, obj=None):
    body = json.dumps(obj).encode() if obj is not None else None
    status, data = http_request(srv.port, method, "/control/" + what, body)
    return status, json.loads(data)


class Registration(unittest.TestCase):
    def test_reply_is_under_the_one_time_key_and_hands_out_a_password(self):
        srv = support.start_server(self)
        agent = FakeAgent(srv.port)
        kind, root = agent.register()
        self.assertEqual(kind, "ok")
        self.assertEqual(root.tag, "response")
        self.assertEqual(root.get("version"), "2.5")
        cs = root.find("control_state")
        self.assertEqual(len(crypto.b64decode(cs.findtext("settings/communicate_password"))), 16)
        self.assertTrue(cs.findtext("nochange").isdigit())
        rec = last_record(srv)
        self.assertEqual((rec["kind"], rec["method"], rec["key"]), ("register", "GET", "password_hash"))
        self.assertTrue(rec["path"].startswith("/server/guard?register_me="))
        self.assertEqual(rec["query"]["guard_port"], ["8087"])
        self.assertEqual(rec["warnings"], [])
        station = srv.guard.snapshot()["stations"][0]
        self.assertEqual(station["hostname"], "LAB-07")
        self.assertEqual(station["guard_port"], 8087)
        self.assertEqual(station["macs"], ["AA:BB:CC:DD:EE:01"])
        self.assertEqual(station["password_hash"], agent.password_hash)
        self.assertEqual(crypto.b64decode(station["connection_password"]), agent.key)

    def test_each_registration_starts_a_new_conversation(self):
        srv = support.start_server(self)
        agent = FakeAgent(srv.port)
        agent.register()
        first = agent.key
        agent.register()
        self.assertNotEqual(agent.key, first)

    def test_refusals(self):
        cases = (
            ("wrong password", {}, {"password": "other"}, DECRYPT_FAILED),
            ("station password override", {"stations": {"LAB-07": {"password": "other"}}}, {}, DECRYPT_FAILED),
            ("self-registration off", {"auto_register": False}, {}, NOT_RECOGNIZED),
            ("banned", {"stations": {"lab-07": {"banned": True}}}, {}, BANNED),
        )
        for name, sc, agent_args, status in cases:
            with self.subTest(name):
                srv = support.start_server(self, sc)
                agent = FakeAgent(srv.port, **agent_args)
                self.assertEqual(agent.register(), ("status", status))
                self.assertTrue(last_record(srv)["error"])

    def test_names_given_by_the_scenario(self):
        srv = support.start_server(self, {"stations": {"LAB-07": {"room_name": "Lab B",
                                                                  "workstation_name": "Seat 3"}}})
        agent = FakeAgent(srv.port)
        settings = agent.register()[1].find("control_state/settings")
        self.assertEqual((settings.findtext("room_name"), settings.findtext("workstation_name")), ("Lab B", "Seat 3"))
        settings = ET.fromstring(agent.test_connection()[1]).find("control_state/settings")
        self.assertEqual((settings.findtext("room_name"), settings.findtext("workstation_name")), ("Lab B", "Seat 3"))

    def test_listed_station_registers_with_self_registration_off(self):
        srv = support.start_server(self, {"auto_register": False, "stations": {"LAB-07": {}}})
        self.assertEqual(FakeAgent(srv.port).register()[0], "ok")
        self.assertEqual(FakeAgent(srv.port, hostname="OTHER").register(), ("status", NOT_RECOGNIZED))

    def test_pushed_password_hash_is_accepted_next_time(self):
        srv = support.start_server(self, {"settings": {"password_hash": crypto.password_hash("newpass")}})
        FakeAgent(srv.port).register()
        self.assertEqual(FakeAgent(srv.port, password="newpass").register()[0], "ok")
        self.assertEqual(last_record(srv)["key"], "pushed_password_hash")


class StateExchange(unittest.TestCase):
    def setUp(self):
        self.srv = support.start_server(self)
        self.agent = FakeAgent(self.srv.port)
        self.agent.register()

    def test_heartbeat_is_read_under_the_connection_password(self):
        doc = self.agent.state_document(listener_port=True)
        kind, root = self.agent.heartbeat(doc)
        self.assertEqual(kind, "ok")
        rec = last_record(self.srv)
        self.assertEqual((rec["kind"], rec["method"], rec["key"]), ("state", "POST", "connection_password"))
        self.assertEqual(rec["document"], doc)
        self.assertEqual(rec["facts"]["name"], "i_am_alive")
        self.assertIsNone(rec["error"])
        self.assertEqual(self.srv.guard.snapshot()["stations"][0]["last_document"], doc)

    def test_known_station_under_the_empty_key_is_refused_but_recorded(self):
        # What an agent sends after a registration answered "no change".
        self.agent.key = b""
        doc = self.agent.state_document(lock_status="locked")
        self.assertEqual(self.agent.heartbeat(doc), ("status", DECRYPT_FAILED))
        rec = last_record(self.srv)
        self.assertEqual((rec["key"], rec["document"]), ("empty_password", doc))
        self.assertIn("does not decrypt", rec["error"])

    def test_no_change_code(self):
        self.agent.heartbeat()
        self.assertEqual(self.agent.heartbeat(use_nochange=True), ("status", NO_CHANGE))
        # News wins over the code: a journal entry must be acknowledged.
        kind, root = self.agent.heartbeat(use_nochange=True, events=[1])
        self.assertEqual(root.findtext("control_state/event_handshake/last"), "1")
        # A code the server never handed out gets a full answer and a note.
        self.agent.nochange = "999"
        self.assertEqual(self.agent.heartbeat(use_nochange=True)[0], "ok")
        self.assertIn("was not handed out", " ".join(last_record(self.srv)["warnings"]))

    def test_journal_acknowledgement(self):
        kind, root = self.agent.heartbeat(events=[1, 2, 3])
        self.assertEqual(root.findtext("control_state/event_handshake/last"), "3")
        station = self.srv.guard.snapshot()["stations"][0]
        self.assertEqual([e["id"] for e in station["acknowledged_events"]], [1, 2, 3])
        self.assertEqual(station["last_ack"], 3)
        # Seen again (an agent that missed the answer): kept once.
        self.agent.heartbeat(events=[3])
        station = self.srv.guard.snapshot()["stations"][0]
        self.assertEqual([e["id"] for e in station["acknowledged_events"]], [1, 2, 3])

    def test_acknowledgement_controls(self):
        for ack, expected in ((False, None), (2, "2"), (True, "5")):
            with self.subTest(ack=ack):
                control(self.srv, "POST", "station", {"station": "LAB-07", "ack_events": ack})
                kind, root = self.agent.heartbeat(events=[4, 5])
                self.assertEqual(root.findtext("control_state/event_handshake/last"), expected)

    def test_settings_are_pushed_once_with_the_password(self):
        status, _ = control(self.srv, "POST", "station",
                            {"station": "LAB-07", "settings": {"i_am_alive_period": 5000, "adv_use_ws": True}})
        self.assertEqual(status, 200)
        kind, root = self.agent.heartbeat()
        settings = root.find("control_state/settings")
        names = [el.tag for el in settings]
        self.assertEqual(names, ["i_am_alive_period", "adv_use_ws", "communicate_password"])
        self.assertEqual(settings.findtext("adv_use_ws"), "true")
        self.assertTrue(root.findtext("control_state/settings_update_time"))
        kind, root = self.agent.heartbeat()
        self.assertIsNone(root.find("control_state/settings"))

    def test_lock_state_is_news_until_reported(self):
        control(self.srv, "POST", "station", {"station": "LAB-07", "lock_status": "locked"})
        kind, root = self.agent.heartbeat(lock_status="unlocked")
        self.assertEqual(root.findtext("control_state/lock_status"), "locked")
        self.assertEqual(self.agent.heartbeat(use_nochange=True, lock_status="unlocked")[0], "ok")
        self.assertEqual(self.agent.heartbeat(use_nochange=True, lock_status="locked"), ("status", NO_CHANGE))

    def test_application_lists(self):
        apps = {"applications": [
            {"id": 7, "path": "c:\\windows\\notepad.exe", "company": "*", "version": "*", "name": "*"},
            {"id": 8, "app": [{"path": "*\\a.exe"}, {"path": "*\\b.exe"}]},
        ]}
        control(self.srv, "POST", "station", {"station": "LAB-07", "apps": apps})
        kind, root = self.agent.heartbeat()
        cache = root.find("control_state/apps/app_cache")
        self.assertTrue(cache.get("modifytime"))
        first, second = cache.findall("application")
        self.assertEqual(first.get("id"), "7")
        self.assertEqual([el.tag for el in first], ["path", "company", "version", "name"])
        self.assertEqual(first.findtext("path"), "c:\\windows\\notepad.exe")
        self.assertEqual([a.findtext("path") for a in second.findall("app")], ["*\\a.exe", "*\\b.exe"])
        kind, root = self.agent.heartbeat()
        self.assertIsNone(root.find("control_state/apps"))
        # The older form carries no stamp: sent once per conversation.
        control(self.srv, "POST", "station", {"station": "LAB-07", "apps": dict(apps, form="applications")})
        kind, root = self.agent.heartbeat()
        self.assertEqual(len(root.findall("control_state/applications/application")), 2)
        kind, root = self.agent.heartbeat()
        self.assertIsNone(root.find("control_state/applications"))

    def test_banners_and_their_download(self):
        path = os.path.join(self.srv.folder, "pic.png")
        with open(path, "wb") as f:
            f.write(b"\x89PNG file")
        control(self.srv, "POST", "station", {"station": "LAB-07", "banners": {
            "update_time": "77", "items": [{"id": "Abc", "path": path}, {"id": "gen"},
                                           {"id": "gone", "path": path + ".missing"}]}})
        kind, root = self.agent.heartbeat()
        banners = root.find("control_state/banners")
        self.assertEqual(banners.get("banner_update_time"), "77")
        self.assertEqual([b.get("id") for b in banners], ["Abc", "gen", "gone"])
        self.assertIsNone(self.agent.heartbeat()[1].find("control_state/banners"))
        self.assertEqual(http_request(self.srv.port, "GET", "/server/get_banner?id=abc"), (200, b"\x89PNG file"))
        status, body = http_request(self.srv.port, "GET", "/server/get_banner?id=gen")
        self.assertEqual((status, body[:8]), (200, b"\x89PNG\r\n\x1a\n"))
        self.assertEqual(http_request(self.srv.port, "GET", "/server/get_banner?id=nope")[0], 404)
        self.assertEqual(last_record(self.srv, "banner")["error"], "no banner with id 'nope'")
        self.assertEqual(http_request(self.srv.port, "GET", "/server/get_banner?id=gone")[0], 404)
        self.assertIn("cannot read", last_record(self.srv, "banner")["error"])

    def test_content_outside_the_scenario_folder_is_refused(self):
        outside = tempfile.NamedTemporaryFile(delete=False)
        outside.write(b"secret")
        outside.close()
        self.addCleanup(os.unlink, outside.name)
        inside = os.path.join(self.srv.folder, "ok.png")
        with open(inside, "wb") as f:
            f.write(b"fine")
        control(self.srv, "POST", "station", {"station": "LAB-07", "banners": {"items": [
            {"id": "abs", "path": outside.name}, {"id": "up", "path": "../" + os.path.basename(outside.name)},
            {"id": "rel", "path": "ok.png"}]}})
        self.agent.heartbeat()
        for bid in ("abs", "up"):
            with self.subTest(bid=bid):
                self.assertEqual(http_request(self.srv.port, "GET", "/server/get_banner?id=" + bid)[0], 404)
                self.assertIn("outside the scenario's folder", last_record(self.srv, "banner")["error"])
        self.assertEqual(http_request(self.srv.port, "GET", "/server/get_banner?id=rel"), (200, b"fine"))

    def test_update_offer_and_download(self):
        path = os.path.join(self.srv.folder, "installer.bin")
        with open(path, "wb") as f:
            f.write(b"MZ installer")
        control(self.srv, "POST", "station", {"station": "LAB-07",
                                              "update": {"id": "42", "file": "setup one.exe", "path": path}})
        kind, root = self.agent.heartbeat()
        upd = root.find("control_state/update")
        self.assertEqual((upd.get("id"), upd.get("file")), ("42", "setup one.exe"))
        self.assertEqual(http_request(self.srv.port, "GET", "/server/update/setup%20one.exe"),
                         (200, b"MZ installer"))
        self.assertEqual(http_request(self.srv.port, "GET", "/server/update/other.exe")[0], 404)

    def test_stop_signal(self):
        self.assertEqual(self.agent.stop(), ("status", NO_CHANGE))
        rec = last_record(self.srv)
        self.assertEqual((rec["kind"], rec["facts"]["name"]), ("stop", "i_am_turning_off"))
        self.assertFalse(self.srv.guard.snapshot()["stations"][0]["online"])

    def test_password_rotation_keeps_the_old_key_for_a_while(self):
        control(self.srv, "POST", "station", {"station": "LAB-07", "rotate_password": True})
        old = self.agent.key
        self.agent.heartbeat()
        self.assertNotEqual(self.agent.key, old)
        self.assertEqual(self.agent.heartbeat()[0], "ok")
        self.assertEqual(last_record(self.srv)["key"], "connection_password")
        self.agent.key = old
        self.assertEqual(self.agent.heartbeat()[0], "ok")
        self.assertEqual(last_record(self.srv)["key"], "previous_connection_password")


class BadInput(unittest.TestCase):
    def test_each_gets_its_status_byte_and_a_clear_record(self):
        srv = support.start_server(self)
        agent = FakeAgent(srv.port)
        agent.register()
        q = "/server/guard?hostname=LAB-07&mac=AA:BB:CC:DD:EE:01"
        cases = (
            ("garbage body", q, os.urandom(48), DECRYPT_FAILED, "does not decrypt"),
            ("short body", q, b"12345", DECRYPT_FAILED, "Invalid file format"),
            ("empty body", q, b"", DECRYPT_FAILED, "Invalid file format"),
            ("wrong key", q, crypto.encrypt(b"<command/>", b"not the key"), DECRYPT_FAILED, "does not decrypt"),
            ("malformed XML", q, crypto.encrypt(b"<command><name>i_am", agent.key), DECRYPT_FAILED,
             "not well-formed"),
            ("not UTF-8", q, crypto.encrypt(b"<command>\xff</command>", agent.key), DECRYPT_FAILED, "not UTF-8"),
            ("unknown workstation", "/server/guard?hostname=NOBODY&", crypto.encrypt(b"<command/>", agent.key),
             NOT_RECOGNIZED, "unknown workstation"),
        )
        for name, target, body, status, error in cases:
            with self.subTest(name):
                self.assertEqual(http_request(srv.port, "POST", target, body), (200, bytes([status])))
                self.assertIn(error, last_record(srv)["error"])
                line = srv.log.getvalue().splitlines()[-1]
                self.assertRegex(line, r"-> 0x%02X ERROR: .*%s" % (status, error))
        # The server is still there and still knows the station.
        self.assertEqual(agent.heartbeat()[0], "ok")

    def test_bad_key_exchange_values(self):
        srv = support.start_server(self)
        for value in ("not*base64", "QUJD", crypto.b64encode(crypto.encrypt(b"abc", crypto.md5("harbour")))):
            with self.subTest(value=value):
                target = "/server/guard?register_me=%s&f=13&platform=Win32NT&guard_port=1&hostname=X&" % value
                self.assertEqual(http_request(srv.port, "GET", target), (200, bytes([DECRYPT_FAILED])))
                self.assertIn("register_me", last_record(srv)["error"])

    def test_requests_outside_the_protocol(self):
        srv = support.start_server(self)
        for method, target, status in (("GET", "/server/guard", 400), ("GET", "/server/guard?foo=1", 400),
                                       ("GET", "/server/guard?hostname=LAB-07", 405),
                                       ("POST", "/server/guard?test=x", 405),
                                       ("GET", "/elsewhere/guard?hostname=a", 404), ("GET", "/", 404)):
            with self.subTest(target=target, method=method):
                self.assertEqual(http_request(srv.port, method, target)[0], status)
                self.assertTrue(last_record(srv)["error"])

    def test_a_truncated_body_does_not_hang_the_server(self):
        srv = support.start_server(self)
        import socket
        with socket.create_connection(("127.0.0.1", srv.port)) as s:
            s.sendall(b"POST /server/guard?hostname=A HTTP/1.1\r\nContent-Length: 100\r\n\r\nshort")
            s.shutdown(socket.SHUT_WR)
            self.assertIn(b" 400 ", s.recv(4096))
        self.assertEqual(FakeAgent(srv.port).register()[0], "ok")


class Targets(unittest.TestCase):
    def test_request_targets(self):
        from guardlib.server import split_target
        for target, expected in (("/server/guard?a=1", ("/server/guard", "a=1")),
                                 ("//server/guard7?hostname=X&", ("/server/guard7", "hostname=X&")),
                                 ("http://127.0.0.1:8080//server/guard7?q", ("/server/guard7", "q")),
                                 ("http://host", ("/", "")), ("/server/guard?x=a?b", ("/server/guard", "x=a?b"))):
            with self.subTest(target=target):
                self.assertEqual(split_target(target), expected)

    def test_http10_request_in_absolute_form(self):
        import socket
        srv = support.start_server(self)
        with socket.create_connection(("127.0.0.1", srv.port)) as s:
            s.sendall(b"GET http://127.0.0.1:%d/server/guard?test=x&hostname=A HTTP/1.0\r\n\r\n" % srv.port)
            data = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        self.assertTrue(data.endswith(b"\r\n\r\n\xf1"), data)


class ManagerRequests(unittest.TestCase):
    DIRECTORY = {"rooms": [{"id": "10", "name": "Room 1", "d_id": 5}, {"id": "11", "name": "Room 2"}],
                 "images": [{"id": "20", "name": "Image"}], "models": [{"id": "30", "name": "Model", "d_id": 5}]}

    def registration(self, room="10", image="20", model="30", name="LAB-07"):
        return ('<?xml version="1.0"?><command version="1.0"><name>add_workstation</name><station>'
                "<name>%s</name><specific_software>a\r\nb\r\n</specific_software><specific_hardware/>"
                "<mac_address>AA:BB:CC:DD:EE:01</mac_address><mac_address_list>AA:BB:CC:DD:EE:01\r\n"
                '</mac_address_list><room id="%s"/><image id="%s"/><model id="%s"/></station></command>'
                % (name, room, image, model))

    def test_directory(self):
        srv = support.start_server(self, {"directory": self.DIRECTORY})
        kind, text = FakeAgent(srv.port).directory()
        root = ET.fromstring(text)
        self.assertEqual(root.findtext("result"), "success")
        rooms = root.findall("station_directory/rooms/*")
        self.assertEqual([(r.get("id"), r.get("d_id"), r.findtext("name")) for r in rooms],
                         [("10", "5", "Room 1"), ("11", None, "Room 2")])
        self.assertEqual(FakeAgent(srv.port, password="x").directory(), ("status", DECRYPT_FAILED))

    def test_registration_then_connection_test(self):
        srv = support.start_server(self, {"directory": self.DIRECTORY})
        agent = FakeAgent(srv.port)
        self.assertEqual(agent.test_connection(), ("status", NOT_RECOGNIZED))
        kind, text = agent.add_ws(self.registration())
        self.assertEqual(ET.fromstring(text).findtext("result"), "success")
        self.assertEqual(last_record(srv)["key"], "one_time_key")
        kind, text = agent.test_connection()
        settings = ET.fromstring(text).find("control_state/settings")
        self.assertEqual(settings.findtext("room_name"), "Room 1")
        self.assertEqual(settings.findtext("workstation_name"), "LAB-07")
        self.assertEqual(settings.findtext("client_ip_for_server"), "127.0.0.1")
        # The agent's own registration then finds the same record.
        kind, root = agent.register()
        self.assertEqual(len(srv.guard.snapshot()["stations"]), 1)
        self.assertEqual(root.findtext("control_state/settings/room_name"), "Room 1")

    def test_registration_refusals(self):
        srv = support.start_server(self, {"directory": self.DIRECTORY})
        agent = FakeAgent(srv.port)
        for name, doc, error in (("unknown room", self.registration(room="99"), "unknown room id '99'"),
                                 ("blank name", self.registration(name="  "), "station name is blank"),
                                 ("malformed", "<command><name>add_", "not well-formed")):
            with self.subTest(name):
                kind, text = agent.add_ws(doc)
                root = ET.fromstring(text)
                self.assertEqual(root.findtext("result"), "failure")
                self.assertIn(error, root.findtext("error") or last_record(srv)["error"])
        self.assertEqual(FakeAgent(srv.port, password="x").test_connection(), ("status", DECRYPT_FAILED))


class Faults(unittest.TestCase):
    def start(self, faults):
        srv = support.start_server(self, {"faults": faults})
        agent = FakeAgent(srv.port)
        agent.register()
        return srv, agent

    def test_status_rule_with_skip_and_times(self):
        srv, agent = self.start([{"kind": "state", "status": "decrypt_failed", "skip": 1, "times": 1}])
        results = []
        for _ in range(3):
            results.append(agent.heartbeat()[0:2] if agent.key else agent.register()[0:2])
        self.assertEqual([r[0] for r in results], ["ok", "status", "ok"])
        self.assertEqual(results[1][1], DECRYPT_FAILED)
        self.assertEqual([r.get("fault") for r in read_records(srv) if r["kind"] in ("state", "register")],
                         [None, None, 0, None])

    def test_rule_for_one_station(self):
        srv, agent = self.start([{"kind": "any", "station": "other", "status": "banned"}])
        self.assertEqual(agent.heartbeat()[0], "ok")
        self.assertEqual(FakeAgent(srv.port, hostname="OTHER").register(), ("status", BANNED))

    def test_answers_in_place_of_the_reply(self):
        for rule, expected in (({"http_status": 503}, (503, b"")),
                               ({"body_hex": "41"}, (200, b"A")),
                               ({"status": "0xF3"}, (200, b"\xf3"))):
            with self.subTest(rule=rule):
                srv, agent = self.start([dict(rule, kind="state")])
                body = crypto.encrypt(agent.state_document().encode(), agent.key)
                self.assertEqual(http_request(srv.port, "POST", "/server/guard?hostname=LAB-07&", body), expected)

    def test_delay_keeps_the_normal_answer(self):
        srv, agent = self.start([{"kind": "state", "delay_ms": 300}])
        t0 = time.monotonic()
        self.assertEqual(agent.heartbeat()[0], "ok")
        self.assertGreaterEqual(time.monotonic() - t0, 0.3)

    def test_drop_closes_without_an_answer(self):
        srv, agent = self.start([{"kind": "state", "drop": True}])
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            agent.heartbeat()
        self.assertEqual(last_record(srv)["reply"], {"dropped": True})

    def test_reset_ends_the_connection_with_a_reset(self):
        srv, agent = self.start([{"kind": "state", "reset": True}])
        with self.assertRaises(ConnectionResetError):
            agent.heartbeat()
        self.assertEqual(last_record(srv)["reply"], {"reset": True})

    def test_a_spent_rule_stays_spent_through_a_scenario_change(self):
        once = {"kind": "state", "status": "0xF1", "times": 1}
        srv, agent = self.start([once])
        self.assertEqual(agent.heartbeat()[0:2], ("status", DECRYPT_FAILED))
        agent.register()
        outcomes = []
        for faults in ([once], [{"kind": "register", "status": "0xF3", "times": 1}, once], [], [once]):
            control(srv, "PUT", "scenario", {"faults": faults, "lock_status": "locked"})
            outcomes.append(agent.heartbeat()[0])
            if not agent.key or outcomes[-1] != "ok":
                agent.register()
        # Taken out and put back, it is a new rule.
        self.assertEqual(outcomes, ["ok", "ok", "ok", "status"])

    def test_drip_sends_the_whole_answer_slowly(self):
        srv, agent = self.start([{"kind": "state", "drip_ms": 30, "drip_bytes": 64}])
        t0 = time.monotonic()
        self.assertEqual(agent.heartbeat()[0], "ok")
        took = time.monotonic() - t0
        rec = last_record(srv, "state")
        pieces = -(-(rec["reply"]["bytes"] + 100) // 64)  # the head is at least 100 bytes
        self.assertGreaterEqual(took, 0.03 * (pieces - 1))
        self.assertEqual(rec["shape"], {"drip_ms": 30, "drip_bytes": 64})

    def test_stall_sends_half_then_holds_then_closes(self):
        # A download is where a stall hurts: the head and half the body, then nothing.
        for rule in ({"kind": "banner", "stall_ms": 400}, {"kind": "banner", "stall_ms": 400, "status": "0xF1"}):
            with self.subTest(rule=rule):
                srv = support.start_server(self, {"faults": [rule], "banners": {"items": [{"id": "b1"}]}})
                sock = socket.create_connection(("127.0.0.1", srv.port), timeout=5)
                self.addCleanup(sock.close)
                sock.sendall(b"GET /server/get_banner?id=b1 HTTP/1.0\r\n\r\n")
                t0, got = time.monotonic(), b""
                while True:
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    got += chunk
                took = time.monotonic() - t0
                head, _, body = got.partition(b"\r\n\r\n")
                length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
                self.assertGreaterEqual(took, 0.4)
                self.assertEqual(len(body), length // 2)
                self.assertEqual(last_record(srv, "banner")["shape"], {"stall_ms": 400})

    def test_shapes_are_checked(self):
        for rule in ({"drip_ms": -1}, {"drip_bytes": 0}, {"stall_ms": "long"}):
            with self.subTest(rule=rule):
                status, answer = control(support.start_server(self), "PUT", "scenario",
                                         {"faults": [dict(rule, kind="state")]})
                self.assertEqual(status, 400, answer)


class ScenarioFile(unittest.TestCase):
    def test_changes_are_picked_up_and_bad_ones_refused(self):
        folder = support.tempfile.mkdtemp()
        self.addCleanup(support._rmtree, folder)
        path = os.path.join(folder, "scenario.json")

        def write(text, tick):
            with open(path, "w") as f:
                f.write(text)
            os.utime(path, ns=(tick, tick))

        write('{"lock_status": "halflocked"}', 10 ** 18)
        srv = support.start_server(self, scenario_path=path)
        agent = FakeAgent(srv.port)
        agent.register()
        self.assertEqual(agent.heartbeat()[1].findtext("control_state/lock_status"), "halflocked")
        write('{"lock_status": "locked"}', 2 * 10 ** 18)
        self.assertEqual(agent.heartbeat()[1].findtext("control_state/lock_status"), "locked")
        write('{"lock_status": "unlocked", "no_such_key": 1}', 3 * 10 ** 18)
        self.assertEqual(agent.heartbeat()[1].findtext("control_state/lock_status"), "locked")

    def test_control_interface_replaces_the_scenario(self):
        srv = support.start_server(self)
        self.assertEqual(control(srv, "PUT", "scenario", {"bogus": 1})[0], 400)
        self.assertEqual(control(srv, "PUT", "scenario", {"protocol_version": "2.2"})[0], 200)
        agent = FakeAgent(srv.port)
        self.assertEqual(agent.register()[1].get("version"), "2.2")
        self.assertEqual(control(srv, "POST", "station", {"station": "NOBODY", "lock_status": "locked"})[0], 404)
        status, recs = control(srv, "GET", "records?kind=register")
        self.assertEqual((status, [r["kind"] for r in recs]), (200, ["register"]))


if __name__ == "__main__":
    unittest.main()
