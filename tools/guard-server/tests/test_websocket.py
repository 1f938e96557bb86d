"""The websocket channel: handshake, short answers, documents, framing."""

import json
import struct
import threading
import unittest
import xml.etree.ElementTree as ET

import support
from support import FakeAgent, WsClient, http_request, last_record, read_records, ws_target
from guardlib import crypto
from guardlib.websocket import BINARY, CLOSE, CONTINUATION, PING, PONG, TEXT, accept_key

PACKET_ID = "0123456789ABCDEF0123456789ABCDEF"


class Channel(unittest.TestCase):
    def setUp(self):
        self.srv = support.start_server(self, {"nochange_code": 0x123456})
        self.agent = FakeAgent(self.srv.port)
        self.agent.register()
        self.agent.heartbeat()

    def open(self, **kw):
        ws = WsClient(self.srv.port, ws_target(self.agent, **kw))
        self.addCleanup(ws.close)
        return ws

    def test_accept_value_of_rfc6455(self):
        self.assertEqual(accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")

    def test_handshake_on_the_agents_double_slash_path(self):
        ws = self.open()
        self.assertEqual(ws.status, 101)
        self.assertEqual(ws.headers["connection"].lower(), "upgrade")
        self.assertEqual(ws.headers["upgrade"].lower(), "websocket")
        self.assertEqual(ws.headers["sec-websocket-accept"], accept_key(ws.key))
        rec = last_record(self.srv, "ws_open")
        self.assertTrue(rec["path"].startswith("//server/guard7?hostname=LAB-07&check="))
        self.assertEqual(rec["key"], "connection_password")
        self.assertTrue(support.server_wait(lambda: self.srv.guard.snapshot()["stations"][0]["websocket"]))

    def test_refused_upgrades(self):
        for name, target, extra, status in (
            ("wrong check value", ws_target(self.agent, check_key=b"wrong"), (), 403),
            ("unknown workstation", "/server/guard7?hostname=NOBODY&check=x&", (), 403),
            ("old version", ws_target(self.agent), ("Sec-WebSocket-Version: 8",), 426),
        ):
            with self.subTest(name):
                ws = WsClient(self.srv.port, target, extra)
                self.addCleanup(ws.close)
                self.assertEqual(ws.status, status)
                self.assertTrue(last_record(self.srv, "ws_open")["error"])

    def test_check_values_can_be_waived(self):
        http_request(self.srv.port, "PUT", "/control/scenario",
                     json.dumps({"nochange_code": 0x123456, "ws_require_check": False}).encode())
        ws = self.open(check_key=b"wrong")
        self.assertEqual(ws.status, 101)
        self.assertTrue(last_record(self.srv, "ws_open")["warnings"])

    def test_short_frame_gets_a_short_answer(self):
        ws = self.open()
        ws.send(BINARY, bytes.fromhex(PACKET_ID) + b"\x12\x34\x56")
        fin, op, data = ws.recv()
        self.assertEqual((fin, op, data), (True, BINARY, bytes.fromhex(PACKET_ID) + b"\xf2"))
        rec = last_record(self.srv, "ws_short")
        self.assertEqual((rec["packet_id"], rec["nochange"]), (PACKET_ID, 0x123456))

    def test_short_frame_with_a_stale_code_gets_the_whole_reply(self):
        ws = self.open()
        ws.send(BINARY, bytes.fromhex(PACKET_ID) + b"\x00\x00\x01")
        fin, op, data = ws.recv()
        root = ET.fromstring(crypto.decrypt(data, self.agent.key))
        self.assertEqual((root.tag, root.get("id")), ("response", PACKET_ID))
        self.assertIsNotNone(root.find("control_state/lock_status"))

    def test_document_reply_carries_the_packet_id(self):
        ws = self.open()
        doc = self.agent.state_document(events=[1, 2], packet_id=PACKET_ID)
        ws.send(BINARY, crypto.encrypt(doc.encode(), self.agent.key))
        fin, op, data = ws.recv()
        root = ET.fromstring(crypto.decrypt(data, self.agent.key))
        self.assertEqual(root.get("id"), PACKET_ID)
        self.assertEqual(root.findtext("control_state/event_handshake/last"), "2")
        rec = last_record(self.srv, "ws_state")
        self.assertEqual((rec["channel"], rec["key"], rec["document"]), ("ws", "connection_password", doc))

    def test_fragmented_message_with_a_ping_between(self):
        ws = self.open()
        blob = crypto.encrypt(self.agent.state_document(packet_id=PACKET_ID).encode(), self.agent.key)
        ws.send(BINARY, blob[:10], fin=False)
        ws.send(PING, b"hi")
        ws.send(CONTINUATION, blob[10:20], fin=False)
        ws.send(CONTINUATION, blob[20:], fin=True)
        self.assertEqual(ws.recv(), (True, PONG, b"hi"))
        fin, op, data = ws.recv()
        self.assertEqual(ET.fromstring(crypto.decrypt(data, self.agent.key)).get("id"), PACKET_ID)

    def test_long_frames_use_the_extended_lengths(self):
        ws = self.open()
        # 126 and 70000 bytes of ciphertext-sized garbage: answered with a
        # zero-id short answer, proving the whole frame was read.
        for n in (128, 70000):
            with self.subTest(n=n):
                ws.send(BINARY, b"\0" * n)
                self.assertEqual(ws.recv(), (True, BINARY, bytes(16) + b"\xf1"))
                self.assertIn("does not decrypt", last_record(self.srv, "ws_message")["error"])

    def test_bad_messages_get_no_crash(self):
        ws = self.open()
        for payload, error in ((b"\x01" * 18, "neither a short frame nor a ciphertext"),
                               (crypto.encrypt(b"<command", self.agent.key), "not well-formed")):
            with self.subTest(error=error):
                ws.send(BINARY, payload)
                if len(payload) % 16 == 0:
                    self.assertEqual(ws.recv()[2], bytes(16) + b"\xf1")
                else:
                    self.assertTrue(support.server_wait(lambda: last_record(self.srv, "ws_message")))
                self.assertTrue(support.server_wait(
                    lambda: error in (last_record(self.srv, "ws_message") or {}).get("error") or ""))
        ws.send(TEXT, b"hello")
        self.assertTrue(support.server_wait(
            lambda: "text message" in (last_record(self.srv, "ws_message") or {}).get("error") or ""))
        # Still serving.
        ws.send(BINARY, bytes.fromhex(PACKET_ID) + b"\x12\x34\x56")
        self.assertEqual(ws.recv()[2][-1], 0xF2)

    def test_unmasked_frame_is_a_protocol_error(self):
        ws = self.open()
        ws.send(BINARY, b"x", masked=False)
        fin, op, data = ws.recv()
        self.assertEqual((op, struct.unpack(">H", data[:2])[0]), (CLOSE, 1002))
        self.assertTrue(support.server_wait(lambda: last_record(self.srv, "ws_close")))
        self.assertEqual(last_record(self.srv, "ws_close")["how"], "protocol error")

    def test_server_going_away(self):
        ws = self.open()
        self.assertTrue(support.server_wait(lambda: self.srv.guard.station_by_name("LAB-07").ws is not None))
        body = json.dumps({"station": "LAB-07", "code": 1001}).encode()
        status, answer = http_request(self.srv.port, "POST", "/control/ws_close", body)
        self.assertEqual((status, json.loads(answer)["closed"]), (200, ["LAB-07"]))
        fin, op, data = ws.recv()
        self.assertEqual((op, struct.unpack(">H", data[:2])[0]), (CLOSE, 1001))
        # A peer that never answers the close is cut off all the same.
        self.assertTrue(support.server_wait(lambda: last_record(self.srv, "ws_close"), 5))
        self.assertEqual(json.loads(http_request(self.srv.port, "POST", "/control/ws_close", b"{}")[1])["closed"], [])

    def test_close_is_answered(self):
        ws = self.open()
        ws.send(CLOSE, struct.pack(">H", 1001))
        fin, op, data = ws.recv()
        self.assertEqual((op, data), (CLOSE, struct.pack(">H", 1001)))
        self.assertTrue(support.server_wait(lambda: last_record(self.srv, "ws_close")))
        rec = last_record(self.srv, "ws_close")
        self.assertEqual((rec["how"], rec["close_code"]), ("closed by the agent", 1001))
        self.assertFalse(self.srv.guard.snapshot()["stations"][0]["websocket"])

    def test_status_fault_becomes_a_short_answer(self):
        http_request(self.srv.port, "POST", "/control/scenario",
                     json.dumps({"faults": [{"kind": "ws_state", "status": "0xF1", "times": 1}]}).encode())
        ws = self.open()
        blob = crypto.encrypt(self.agent.state_document(packet_id=PACKET_ID).encode(), self.agent.key)
        ws.send(BINARY, blob)
        self.assertEqual(ws.recv()[2], bytes.fromhex(PACKET_ID) + b"\xf1")
        ws.send(BINARY, blob)
        self.assertEqual(ET.fromstring(crypto.decrypt(ws.recv()[2], self.agent.key)).get("id"), PACKET_ID)

    def test_command_pushed_over_the_channel(self):
        ws = self.open()
        self.assertTrue(support.server_wait(lambda: self.srv.guard.snapshot()["stations"][0]["websocket"]))
        result = {}

        def push():
            result["answer"] = json.loads(http_request(self.srv.port, "POST", "/control/command", json.dumps(
                {"station": "LAB-07", "name": "get_mac", "params": {"cm": 2}, "timeout": 5}).encode())[1])

        t = threading.Thread(target=push)
        t.start()
        fin, op, data = ws.recv()
        command = ET.fromstring(crypto.decrypt(data, self.agent.key))
        self.assertEqual((command.tag, command.findtext("name"), command.findtext("cm")), ("command", "get_mac", "2"))
        reply = '<response id="%s"><result>success</result><raw_data>AA:BB</raw_data></response>' % command.get("id")
        ws.send(BINARY, crypto.encrypt(reply.encode(), self.agent.key))
        t.join(10)
        self.assertEqual(result["answer"]["reply_document"], reply)
        self.assertEqual((result["answer"]["channel"], result["answer"]["ok"]), ("ws", True))
        kinds = [r["kind"] for r in read_records(self.srv)]
        self.assertIn("command_reply", kinds)
        self.assertEqual(kinds[-1], "command")

    def test_server_stop_closes_the_channel(self):
        ws = self.open()
        self.assertTrue(support.server_wait(lambda: self.srv.guard.snapshot()["stations"][0]["websocket"]))
        self.srv.stop()
        fin, op, data = ws.recv()
        self.assertEqual((op, struct.unpack(">H", data[:2])[0]), (CLOSE, 1001))


if __name__ == "__main__":
    unittest.main()
