#!/usr/bin/env python3
"""The MSI package's tables, read back with msiinfo (msitools): the codes and
version, the programs, the service and how it is started and removed, the
public properties' path into the custom actions, and what stays out of the
log. Usage: msi_tables.py <QZSetup.msi> <next/QZSetup.msi> <version> <next version>"""

import subprocess
import sys
import unittest

MSI, NEXT, VERSION, NEXT_VERSION = sys.argv[1:5]
UPGRADE_CODE = "{6E1C2B7A-3F45-4D8E-9A0B-5C7D2E9F1A34}"


def export(msi, name):
    return subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True, text=True).stdout


def table(msi, name):
    out = export(msi, name)
    lines = out.split("\r\n") if "\r\n" in out else out.split("\n")
    header = lines[0].split("\t")
    rows = []
    for line in lines[3:]:
        if line:
            rows.append(dict(zip(header, line.split("\t"))))
    return rows


def properties(msi):
    return {r["Property"]: r["Value"] for r in table(msi, "Property")}


class Tables(unittest.TestCase):
    def test_codes_and_versions(self):
        first, second = properties(MSI), properties(NEXT)
        self.assertEqual(first["ProductVersion"], VERSION)
        # Windows Installer compares three fields: the builds must differ there.
        self.assertNotEqual(VERSION.split(".")[:3], NEXT_VERSION.split(".")[:3])
        self.assertEqual(second["ProductVersion"], NEXT_VERSION)
        self.assertEqual(first["UpgradeCode"], UPGRADE_CODE)
        self.assertEqual(second["UpgradeCode"], UPGRADE_CODE)
        self.assertRegex(first["ProductCode"], r"^\{[0-9A-F-]{36}\}$")
        self.assertNotEqual(first["ProductCode"], second["ProductCode"], "a major upgrade needs a new product code")
        self.assertEqual(first["ALLUSERS"], "1")
        # The older version is found and removed by the newer.
        upgrade = table(NEXT, "Upgrade")
        self.assertTrue(any(r["ActionProperty"] == "WIX_UPGRADE_DETECTED" and r["VersionMax"] == NEXT_VERSION
                            for r in upgrade), upgrade)
        sequence = {r["Action"]: r for r in table(NEXT, "InstallExecuteSequence")}
        self.assertIn("RemoveExistingProducts", sequence)
        # Components keep their ids between versions, so the late removal of the old one keeps the files.
        self.assertEqual({r["Component"]: r["ComponentId"] for r in table(MSI, "Component")},
                         {r["Component"]: r["ComponentId"] for r in table(NEXT, "Component")})

    def test_programs_service_and_event_source(self):
        files = {r["FileName"].split("|")[-1] for r in table(MSI, "File")}
        self.assertEqual(files, {"QZService.exe", "QZManager.exe", "restart.exe", "QZMessenger.exe",
                                 "QZScreen.exe", "DOZudezoz.exe"})
        [service] = table(MSI, "ServiceInstall")
        self.assertEqual(service["Name"], "TallistoClient")
        self.assertEqual(service["StartType"], "2", "automatic start")
        self.assertEqual(service["ServiceType"], "16", "own process")
        self.assertEqual(service["StartName"], "", "LocalSystem")
        self.assertEqual(service["Description"], "Enables Tallisto server to control the workstation")
        [control] = table(MSI, "ServiceControl")
        # Start at install, stop at install and removal, delete at removal.
        self.assertEqual(int(control["Event"]), 1 | 2 | 32 | 128)
        self.assertEqual(control["Wait"], "1")
        registry = {r["Name"]: r["Value"] for r in table(MSI, "Registry")}
        self.assertEqual(registry["EventMessageFile"], "#%[#QZService.exe]")
        self.assertEqual(registry["TypesSupported"], "#7")

    def test_properties_reach_the_manager_and_stay_out_of_the_log(self):
        actions = {r["Action"]: r for r in table(MSI, "CustomAction") if "Type" in r}
        # The action data: one "NAME=[NAME]" line a property (lines the row table can't split).
        raw = export(MSI, "CustomAction")
        data = raw[raw.index("SetWriteUnattendedConfig"):raw.index("IMAGE=[IMAGE]") + len("IMAGE=[IMAGE]")]
        for name in ("SERVER", "PORT", "PASSWORD", "UNLOCKPASSWORD", "ROOM", "MODEL", "IMAGE"):
            self.assertIn("%s=[%s]" % (name, name), data)
        write = actions["WriteUnattendedConfig"]
        self.assertEqual(write["Target"], "WriteUnattendedConfig")
        self.assertEqual(int(write["Type"]) & 0x3F, 1, "a DLL from the Binary table")
        self.assertTrue(int(write["Type"]) & 1024 and int(write["Type"]) & 2048, "deferred, not impersonated")
        self.assertEqual(actions["RegisterManager"]["Target"], "/register_cp")
        self.assertEqual(actions["UnregisterManager"]["Target"], "/unregister_cp")
        sequence = {r["Action"]: r for r in table(MSI, "InstallExecuteSequence")}
        order = [int(sequence[a]["Sequence"]) for a in
                 ("StartServices", "WriteUnattendedConfig", "ForgetPassword", "RegisterManager", "InstallFinalize")]
        self.assertEqual(order, sorted(order), "the deferred actions run inside the script, in this order")
        self.assertLess(int(sequence["UnregisterManager"]["Sequence"]), int(sequence["RemoveFiles"]["Sequence"]))
        self.assertLess(int(sequence["RemoveExistingProducts"]["Sequence"]), int(sequence["InstallFinalize"]["Sequence"]))
        self.assertIn("NOT UPGRADINGPRODUCTCODE", sequence["UnregisterManager"]["Condition"])
        hidden = properties(MSI)["MsiHiddenProperties"].split(";")
        self.assertTrue({"PASSWORD", "UNLOCKPASSWORD", "WriteUnattendedConfig"} <= set(hidden))
        self.assertNotIn("PASSWORD", properties(MSI), "no default password in the package")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
