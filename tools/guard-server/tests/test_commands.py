"""The client of the agent's command port, and commands pushed by the server."""

import http.server
import io
import json
import os
import threading
import unittest
import xml.etree.ElementTree as ET

import support
from support import FakeAgent, http_request, read_records
from guardlib import cli, crypto

KEY = bytes(range(16))
STUB = b"<html><head><title>Bad request</title></head><body>HTTP Error 400 - Request is badly formed.</body></html>"


class CommandPort:
    """Stands in for the agent's local command server."""

    def __init__(self, test, key=KEY):
        self.key = key
        self.requests = []
        self.messages = {"7": "<response><title>Tallisto Client</title><message>Hi</message></response>"}
        port = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *a):
                pass

            def answer(self, body):
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                port.requests.append(("POST", self.path, dict(self.headers), body))
                port.received.set()
                if self.headers.get("Content-Type") != "application/x-www-form-urlencoded":
                    return self.answer(b"")
                try:
                    doc = ET.fromstring(crypto.decrypt_lenient(body, port.key))
                    name = doc.find("name").text
                except Exception:
                    return self.answer(b"")
                reply = ET.Element("response", {"id": doc.get("id")} if doc.get("id") else {})
                ET.SubElement(reply, "client_time").text = "2025-03-24T09:05:07"
                if name == "broken":
                    return self.answer(b"")
                ET.SubElement(reply, "result").text = "success"
                if name == "get_screen_shot":
                    ET.SubElement(reply, "screen_shot").text = crypto.b64encode(b"\x89PNG picture")
                self.answer(crypto.encrypt(ET.tostring(reply), port.key))

            def do_GET(self):
                port.requests.append(("GET", self.path, dict(self.headers), b""))
                auth = self.headers.get("Authorization") or ""
                if not auth.startswith("Basic "):
                    return self.answer(STUB)
                query = self.path.partition("?")[2]
                if not query or "&" in query:
                    return self.answer(b"")
                text = port.messages.pop(query, "")
                self.answer(crypto.encrypt(text.encode(), crypto.MESSENGER_KEY))

        self.received = threading.Event()
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        test.addCleanup(self.httpd.server_close)
        test.addCleanup(self.httpd.shutdown)

    def last_document(self):
        method, path, headers, body = self.requests[-1]
        return ET.fromstring(crypto.decrypt(body, self.key))


def run_client(*argv):
    out, err = io.StringIO(), io.StringIO()
    with support.quiet_stderr():
        code = cli.client_main([str(a) for a in argv], out, err)
    return code, out.getvalue(), err.getvalue()


class Client(unittest.TestCase):
    def setUp(self):
        self.agent = CommandPort(self)

    def test_command_is_posted_as_the_server_posts_it(self):
        code, out, err = run_client("--port", self.agent.port, "command", "get_mac", "cm=2",
                                    "--key-b64", crypto.b64encode(KEY))
        self.assertEqual(code, 0, err)
        self.assertIn("<result>success</result>", out)
        method, path, headers, body = self.agent.requests[-1]
        self.assertEqual((method, path), ("POST", "/"))
        self.assertEqual(headers["Content-Type"], "application/x-www-form-urlencoded")
        doc = self.agent.last_document()
        self.assertEqual((doc.tag, doc.findtext("name"), doc.findtext("cm")), ("command", "get_mac", "2"))
        self.assertRegex(doc.get("id"), "^[0-9A-F]{32}$")

    def test_parameters_as_xml_and_targets(self):
        code, out, err = run_client("--port", self.agent.port, "command", "shutdown_process", "--no-id",
                                    "--xml", "<process><process_id>42</process_id></process>",
                                    "--target-host", "TERM-1", "--session-id", "3", "--key-hex", KEY.hex())
        self.assertEqual(code, 0, err)
        doc = self.agent.last_document()
        self.assertIsNone(doc.get("id"))
        self.assertEqual([el.tag for el in doc], ["name", "hostname", "session_id", "process"])
        self.assertEqual(doc.findtext("process/process_id"), "42")

    def test_messenger_fetch(self):
        code, out, err = run_client("--port", self.agent.port, "message", "7")
        self.assertEqual(code, 0, err)
        self.assertIn("<message>Hi</message>", out)
        method, path, headers, body = self.agent.requests[-1]
        self.assertEqual(path, "/?7")
        self.assertTrue(headers["Authorization"].startswith("Basic "))
        code, out, err = run_client("--port", self.agent.port, "message", "7")
        self.assertEqual((code, out.strip()), (0, "(empty: no such message)"))

    def test_stub_page(self):
        code, out, err = run_client("--port", self.agent.port, "stub")
        self.assertEqual(code, 0)
        self.assertIn("Bad request", out)

    def test_save_decodes_the_picture(self):
        path = os.path.join(support.tempfile.mkdtemp(), "shot.png")
        self.addCleanup(support._rmtree, os.path.dirname(path))
        code, out, err = run_client("--port", self.agent.port, "command", "get_screen_shot", "width=10",
                                    "height=10", "--key-text", KEY.decode("latin-1"), "--save", path)
        self.assertEqual(code, 0, err)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"\x89PNG picture")

    def test_failures(self):
        free = CommandPort(self).httpd
        free_port = free.server_address[1]
        free.shutdown()
        free.server_close()
        b64 = crypto.b64encode(KEY)
        for name, argv, code, error in (
            ("unreachable", ("--port", free_port, "command", "get_mac", "--key-b64", b64), 1, "cannot reach"),
            ("no reply", ("--port", self.agent.port, "command", "broken", "--key-b64", b64), 1, "empty reply"),
            ("wrong key", ("--port", self.agent.port, "command", "get_mac", "--key-b64",
                           crypto.b64encode(b"x" * 16)), 1, "empty reply"),
            ("no key", ("--port", self.agent.port, "command", "get_mac"), 2, "exactly one"),
            ("two keys", ("--port", self.agent.port, "command", "get_mac", "--key-b64", b64, "--key-hex", "00"),
             2, "exactly one"),
            ("bad xml", ("--port", self.agent.port, "command", "x", "--xml", "<a>", "--key-b64", b64), 2,
             "not a well-formed"),
        ):
            with self.subTest(name):
                got, out, err = run_client(*argv)
                self.assertEqual(got, code)
                self.assertIn(error, err)

    def test_password_and_port_from_the_guard_server(self):
        srv = support.start_server(self)
        agent = FakeAgent(srv.port, listener_port=self.agent.port)
        agent.register()
        self.agent.key = agent.key
        code, out, err = run_client("command", "get_mac", "--from-guard", srv.url, "--station", "lab-07")
        self.assertEqual(code, 0, err)
        self.assertEqual(self.agent.last_document().findtext("name"), "get_mac")
        code, out, err = run_client("command", "get_mac", "--from-guard", srv.url, "--station", "nobody")
        self.assertEqual(code, 2)


class PushedCommands(unittest.TestCase):
    def setUp(self):
        self.port = CommandPort(self)
        self.srv = support.start_server(self)
        self.agent = FakeAgent(self.srv.port, listener_port=self.port.port)
        self.agent.register()
        self.port.key = self.agent.key

    def push(self, obj):
        status, body = http_request(self.srv.port, "POST", "/control/command", json.dumps(obj).encode())
        return status, json.loads(body)

    def test_command_to_the_listener_port(self):
        status, rec = self.push({"station": "LAB-07", "name": "show_message", "params": {"message": "Hello"}})
        self.assertEqual(status, 200)
        self.assertTrue(rec["ok"], rec)
        self.assertEqual((rec["channel"], rec["to"]), ("http", "127.0.0.1:%d" % self.port.port))
        self.assertEqual(self.port.last_document().findtext("message"), "Hello")
        self.assertIn("<result>success</result>", rec["reply_document"])
        self.assertEqual(read_records(self.srv)[-1]["kind"], "command")

    def test_queued_command_follows_the_next_heartbeat(self):
        status, rec = self.push({"station": "LAB-07", "name": "get_mac", "queue": True})
        self.assertEqual((status, rec), (200, {"queued": True}))
        self.assertEqual(self.port.requests, [])
        self.agent.heartbeat()
        self.assertTrue(self.port.received.wait(5))
        self.assertEqual(self.port.last_document().findtext("name"), "get_mac")

    def test_refusals(self):
        self.assertEqual(self.push({"station": "NOBODY", "name": "get_mac"})[0], 404)
        self.assertEqual(self.push({"name": "get_mac"})[0], 400)
        status, rec = self.push({"station": "LAB-07", "name": "broken"})
        self.assertEqual((status, rec["ok"]), (200, False))
        self.assertIn("empty reply", rec["error"])
        status, rec = self.push({"station": "LAB-07", "name": "get_mac", "via": "ws"})
        self.assertEqual(rec["error"], "the station has no websocket open")


if __name__ == "__main__":
    unittest.main()
