"""Scenario checking, layering, fault rules and the command-line options."""

import unittest

import support  # noqa: F401
from guardlib import cli
from guardlib.scenario import FaultBook, ScenarioError, effective, parse_status, validate


class Checking(unittest.TestCase):
    def test_status_bytes(self):
        for given, byte in ((240, 0xF0), ("0xF1", 0xF1), ("f2", 0xF2), ("banned", 0xF3),
                            ("NOT_RECOGNIZED", 0xF0), ("65", 65)):
            with self.subTest(given=given):
                self.assertEqual(parse_status(given), byte)
        for bad in (True, 256, -1, "0xZZ", "loud", None):
            with self.subTest(bad=bad):
                with self.assertRaises(ScenarioError):
                    parse_status(bad)

    def test_refused_scenarios(self):
        for sc in (
            [],
            {"lock": "locked"},
            {"stations": {"A": {"faults": []}}},
            {"faults": [{"kind": "heartbeat"}]},
            {"faults": [{"kind": "state", "delay_ms": -5}]},
            {"faults": [{"kind": "state", "body_hex": "zz"}]},
            {"faults": [{"kind": "state", "status": "0x1FF"}]},
            {"update": {"id": "1"}},
            {"update": {"id": "1", "file": "../x.exe"}},
            {"apps": {"applications": [{"path": "x"}]}},
            {"apps": {"form": "list"}},
            {"banners": {"items": [{"file": "x.png"}]}},
            {"settings": {"listener_port": [1]}},
            {"nochange_code": 1 << 24},
            {"directory": {"rooms": [{"id": 1}]}},
        ):
            with self.subTest(sc=sc):
                with self.assertRaises(ScenarioError):
                    validate(sc)

    def test_values_the_agent_would_reject_are_allowed_with_a_warning(self):
        sc, warnings = validate({"settings": {"listener_port": "eighty", "adv_use_ws": "yes", "colour": "red"},
                                 "lock_status": "LOCKED"})
        self.assertEqual(sc["settings"]["listener_port"], "eighty")
        text = " ".join(warnings)
        for part in ("listener_port", "adv_use_ws", "colour", "LOCKED"):
            self.assertIn(part, text)

    def test_layers(self):
        sc, _ = validate({"lock_status": "locked", "settings": {"i_am_alive_period": 30000, "ws_timeout": 1},
                          "stations": {"Lab-07": {"settings": {"ws_timeout": 2}, "protocol_version": "2.2"}}})
        cfg = effective(sc, "LAB-07", {"settings": {"i_am_alive_period": None}, "lock_status": "halflocked"})
        self.assertEqual(cfg["settings"], {"ws_timeout": 2})
        self.assertEqual((cfg["lock_status"], cfg["protocol_version"]), ("halflocked", "2.2"))
        self.assertEqual(effective(sc, "OTHER")["settings"], {"i_am_alive_period": 30000, "ws_timeout": 1})


class Faults(unittest.TestCase):
    def test_first_matching_rule_with_skip_and_times(self):
        book = FaultBook(validate({"faults": [
            {"kind": "state", "station": "a", "status": 0xF1},
            {"kind": "state", "skip": 1, "times": 2, "drop": True},
            {"kind": "any", "delay_ms": 5},
        ]})[0]["faults"])
        picked = [(r or {}).get("index") for r in (book.pick("state", "B") for _ in range(4))]
        self.assertEqual(picked, [2, 1, 1, 2])
        self.assertEqual(book.pick("state", "A")["index"], 0)
        self.assertEqual(book.pick("banner", None)["index"], 2)

    def test_every_applies_to_one_in_n_after_skip(self):
        book = FaultBook(validate({"faults": [{"kind": "state", "skip": 1, "every": 2, "reset": True}]})[0]["faults"])
        picked = [book.pick("state", "B") is not None for _ in range(6)]
        self.assertEqual(picked, [False, True, False, True, False, True])
        with self.assertRaises(ScenarioError):
            validate({"faults": [{"kind": "state", "every": 0}]})


class CommandLine(unittest.TestCase):
    def layer(self, *argv):
        return cli.build_layer(cli.server_parser().parse_args(list(argv)))

    def test_options_become_scenario_keys(self):
        layer = self.layer("--password", "pw", "--lock-status", "locked", "--setting", "i_am_alive_period=5000",
                           "--setting", "adv_use_ws=true", "--app", "7=*\\notepad.exe", "--banner", "b1",
                           "--update", "42", "setup.exe", "--ack-up-to", "3", "--nochange-code", "77",
                           "--status", "state=0xF1", "--delay", "register=200", "--drop", "banner",
                           "--fault", '{"kind": "test", "http_status": 500}', "--no-auto-register",
                           "--banned")
        self.assertEqual(layer["settings"], {"i_am_alive_period": "5000", "adv_use_ws": "true"})
        self.assertEqual(layer["apps"], {"applications": [{"id": 7, "path": "*\\notepad.exe"}], "form": "apps"})
        self.assertEqual(layer["banners"], {"items": [{"id": "b1"}]})
        self.assertEqual(layer["update"], {"id": "42", "file": "setup.exe"})
        self.assertEqual((layer["ack_events"], layer["nochange_code"], layer["auto_register"], layer["banned"]),
                         (3, 77, False, True))
        self.assertEqual(layer["faults"], [{"kind": "state", "status": "0xF1"}, {"kind": "register", "delay_ms": 200},
                                           {"kind": "banner", "drop": True}, {"kind": "test", "http_status": 500}])
        sc, _ = validate(layer)
        self.assertEqual(sc["faults"][0]["status"], 0xF1)

    def test_command_line_wins_over_the_file(self):
        from guardlib.guard import Guard
        g = Guard(raw_scenario={"lock_status": "unlocked", "settings": {"ws_timeout": 1, "room_name": "R"},
                                "faults": [{"kind": "state", "delay_ms": 1}]},
                  cli_layer=self.layer("--lock-status", "locked", "--setting", "ws_timeout=9",
                                       "--status", "state=banned"))
        self.assertEqual(g.sc["lock_status"], "locked")
        self.assertEqual(g.sc["settings"], {"ws_timeout": "9", "room_name": "R"})
        self.assertEqual(g.faults.pick("state", None)["status"], 0xF3)

    def test_bad_options(self):
        for argv in (("--app", "x=*.exe"), ("--delay", "state=soon"), ("--fault", "{nope"),
                     ("--status", "heartbeat=0xF1")):
            with self.subTest(argv=argv):
                with self.assertRaises((ScenarioError, SystemExit)):
                    with support.quiet_stderr():
                        self.layer(*argv)


if __name__ == "__main__":
    unittest.main()
