"""The web console's server side: the token, what the list makes of a
station's last document, and commands refused before they reach an agent."""

import json
import unittest
import urllib.error
import urllib.request

from support import start_server

from guardlib.console import Console, summary

DOCUMENT = (
    '<?xml version="1.0"?><command version="1.0.0.7"><name>i_am_alive</name><active_state>'
    '<os_ver is64bit="True" ms="False" vdi="none">6.1.7601</os_ver><lock_status>halflocked</lock_status>'
    '<login_state state="logon" user_id="3"/><applications_state><application_state id="12" restrict="no" '
    'modifytime="12"/></applications_state></active_state><users><user id="3" name="LAB\\ann"/></users>'
    '<events><event id="8"/><event id="9"/></events><client_time>2026-12-11T08:00:00</client_time></command>')


class Summary(unittest.TestCase):
    def test_the_list_reads_the_last_document(self):
        s = summary({"hostname": "PC-7", "room_id": "4", "address": "10.0.0.7", "guard_port": 8087,
                     "last_document": DOCUMENT, "last_document_time": 1.0, "reported": {}},
                    {"4": "Lab B"}, {"12": "Painter"})
        self.assertEqual((s["name"], s["room"], s["version"], s["lock_status"]), ("PC-7", "Lab B", "1.0.0.7", "halflocked"))
        self.assertEqual(s["login"], {"state": "logon", "user": "LAB\\ann"})
        self.assertEqual(s["applications"], ["Painter"])
        self.assertEqual(s["pending_events"], 2)

    def test_a_document_that_isnt_xml_leaves_what_the_server_knows(self):
        s = summary({"hostname": "PC-8", "last_document": "<command", "reported": {"lock_status": "locked"}}, {}, {})
        self.assertEqual((s["lock_status"], s["version"], s["login"]), ("locked", None, None))


class Access(unittest.TestCase):
    def setUp(self):
        self.srv = start_server(self)
        self.console = Console(self.srv).start()
        self.addCleanup(self.console.stop)
        self.base = "http://127.0.0.1:%d" % self.console.port

    def call(self, path, body=None, headers=None):
        req = urllib.request.Request(self.base + path, data=None if body is None else json.dumps(body).encode(),
                                     headers=dict(headers or {}, **({"Content-Type": "application/json"} if body else {})))
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return r.status, r.read(), r.headers
        except urllib.error.HTTPError as e:
            return e.code, e.read(), e.headers

    def test_only_the_token_opens_the_console(self):
        token = {"X-Console-Token": self.console.token}
        self.assertEqual(self.call("/api/stations")[0], 403)
        self.assertEqual(self.call("/api/stations", headers={"X-Console-Token": "guess"})[0], 403)
        self.assertEqual(self.call("/")[0], 403)
        status, body, headers = self.call("/?token=" + self.console.token)
        self.assertEqual(status, 200)
        cookie = headers["Set-Cookie"]
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        # The cookie reads; a change needs the header, which another site's form can't send.
        jar = {"Cookie": cookie.split(";")[0]}
        self.assertEqual(self.call("/api/stations", headers=jar)[0], 200)
        self.assertEqual(self.call("/api/stations/PC/lock", {"lock_status": "locked"}, jar)[0], 403)
        self.assertEqual(self.call("/api/stations", headers=token)[1].strip(), b"[]")
        self.assertEqual(self.console.httpd.server_address[0], "127.0.0.1")

    def test_bad_orders_are_refused(self):
        token = {"X-Console-Token": self.console.token}
        self.assertEqual(self.call("/api/stations/PC/lock", {"lock_status": "melted"}, token)[0], 400)
        self.assertEqual(self.call("/api/stations/PC/lock", {"lock_status": "locked"}, token)[0], 404)
        self.assertEqual(self.call("/api/stations/PC/command", {"name": "get_mac"}, token)[0], 404)
        self.assertEqual(self.call("/api/download/nothing", headers=token)[0], 404)
        big = {"name": "x" * 70000}
        self.assertIn(self.call("/api/stations/PC/command", big, token)[0], (413,))


if __name__ == "__main__":
    unittest.main()
