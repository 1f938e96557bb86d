"""guard-server.py as a program: options, files it writes, clean stop."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import support
from support import FakeAgent

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(HERE, "guard-server.py")


class Program(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="guard-prog-")
        self.addCleanup(support._rmtree, self.folder)

    def path(self, name):
        return os.path.join(self.folder, name)

    def start(self, *extra):
        proc = subprocess.Popen(
            [sys.executable, SERVER, "--port", "0", "--port-file", self.path("port"),
             "--record", self.path("record.jsonl"), "--state-file", self.path("state.json")] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(self._reap, proc)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.path("port")):
            if proc.poll() is not None or time.monotonic() > deadline:
                self.fail("server did not start: %s" % proc.stderr.read())
            time.sleep(0.02)
        with open(self.path("port")) as f:
            return proc, int(f.read())

    @staticmethod
    def _reap(proc):
        if proc.poll() is None:
            proc.kill()
        proc.communicate()

    def test_serves_then_stops_cleanly_on_either_signal(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig):
                for name in ("port", "record.jsonl", "state.json"):
                    if os.path.exists(self.path(name)):
                        os.unlink(self.path(name))
                proc, port = self.start("--lock-status", "locked", "--setting", "i_am_alive_period=5000")
                agent = FakeAgent(port)
                kind, root = agent.register()
                self.assertEqual(root.findtext("control_state/settings/i_am_alive_period"), "5000")
                kind, root = agent.heartbeat(events=[1])
                self.assertEqual(root.findtext("control_state/lock_status"), "locked")
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=10)
                self.assertEqual(proc.returncode, 0, err)
                self.assertIn("listening on http://127.0.0.1:%d/server" % port, out)
                self.assertRegex(out, r"http state LAB-07 key=connection_password i_am_alive .*events=1")
                with open(self.path("record.jsonl")) as f:
                    kinds = [json.loads(line)["kind"] for line in f]
                self.assertEqual(kinds, ["register", "state"])
                with open(self.path("state.json")) as f:
                    station = json.load(f)["stations"][0]
                self.assertEqual((station["hostname"], station["last_ack"]), ("LAB-07", 1))
                self.assertEqual(station["wants"]["lock_status"], "locked")

    def test_scenario_file(self):
        with open(self.path("scenario.json"), "w") as f:
            json.dump({"protocol_version": "2.2", "faults": [{"kind": "register", "status": "banned"}]}, f)
        proc, port = self.start("--scenario", self.path("scenario.json"), "--quiet")
        self.assertEqual(FakeAgent(port).register(), ("status", 0xF3))
        proc.terminate()
        out, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0)
        self.assertNotIn("register", out)

    def test_bad_scenario_is_refused_at_start(self):
        for text, error in (('{"lockstatus": 1}', "unknown scenario keys: lockstatus"),
                            ("{oops", "scenario.json")):
            with self.subTest(text=text):
                with open(self.path("scenario.json"), "w") as f:
                    f.write(text)
                proc = subprocess.run([sys.executable, SERVER, "--port", "0", "--scenario",
                                       self.path("scenario.json")], capture_output=True, text=True, timeout=10)
                self.assertEqual(proc.returncode, 2)
                self.assertIn(error, proc.stderr)

    def test_port_in_use(self):
        proc, port = self.start()
        other = subprocess.run([sys.executable, SERVER, "--port", str(port)], capture_output=True, text=True,
                               timeout=10)
        self.assertEqual(other.returncode, 1)
        self.assertIn("cannot start", other.stderr)


if __name__ == "__main__":
    unittest.main()
