#!/usr/bin/python3
"""The Windows installer, silently: it installs the program with its shortcuts and on the Open
With list of .flv files, and its uninstaller takes away everything the installer added."""

import os
import re
import struct
import tarfile
import unittest
import zipfile

from wine_desktop import UI_TIMEOUT, WineTestCase, package, processes, wait_for

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tovimo"
# Where Open With finds the program for .flv files, and where a default would be set.
FLV_KEY = r"HKLM\Software\Classes\.flv"
PROGID_KEY = r"HKLM\Software\Classes\Tovimo.flv"
APPLICATION_KEY = r"HKLM\Software\Classes\Applications\tovimo.exe"
USER_FLV_KEY = r"HKCU\Software\Classes\.flv"
OPEN_COMMAND = r'"C:\Program Files\Tovimo\tovimo.exe" "%1"'


def pe_machine(path):
    """The machine a Windows program is built for, from its PE header."""
    with open(path, "rb") as f:
        header = f.read(4096)
    offset = struct.unpack_from("<I", header, 0x3C)[0]
    if header[offset:offset + 4] != b"PE\0\0":
        return "not a Windows program"
    machine = struct.unpack_from("<H", header, offset + 4)[0]
    return {0x14C: "i386", 0x8664: "x86-64", 0xAA64: "arm64"}.get(machine, hex(machine))


class Installer(WineTestCase):

    def snapshot(self):
        """What a user finds in Program Files and the Start Menu, the uninstall entry and the
        entries for .flv files."""
        drive = os.path.join(self.desktop.prefix, "drive_c")
        found = set()
        for top in ("Program Files", "Program Files (x86)",
                    "ProgramData/Microsoft/Windows/Start Menu", "users"):
            for folder, dirs, files in os.walk(os.path.join(drive, top)):
                relative = os.path.relpath(folder, drive)
                if "Start Menu" not in relative and relative.startswith("users"):
                    continue
                for name in dirs + files:
                    found.add(os.path.join(relative, name))
        entry = self.registry_entry()
        if entry:
            found.add("registry: " + entry)
        for key in (FLV_KEY, PROGID_KEY, APPLICATION_KEY, USER_FLV_KEY):
            found.update("registry: %s%s %s = %s" % (key, sub, name, data)
                         for (sub, name), data in self.registry(key).items())
        return found

    def registry(self, key):
        """The values of `key` and its subkeys: {(subkey below `key`, value name): data}."""
        try:
            output = self.desktop.run_wine(["wine", "reg", "query", key, "/s"])
        except AssertionError:
            return {}
        values, top, sub = {}, None, None
        for line in output.splitlines():
            if line.startswith("HKEY_"):
                top = top or line.strip()
                sub = line.strip()[len(top):]
            elif line.startswith("    ") and top:
                name, _, data = (line.strip().split("    ", 2) + [""])[:3]
                values[(sub, name)] = data
        return values

    def registry_entry(self):
        try:
            return self.desktop.run_wine(["wine", "reg", "query", UNINSTALL_KEY]).strip()
        except AssertionError:
            return ""

    def test_install_then_uninstall_leaves_nothing(self):
        setup = package("win64-setup.exe")
        self.assertEqual(pe_machine(setup), "x86-64",
                         "the installer is not a 64-bit program, which a 64-bit-only Wine (and "
                         "a Windows without 32-bit support) cannot run; NSIS makes one with "
                         "\"Target amd64-unicode\"")
        # Another program is the default for .flv and on its Open With list: both stay.
        self.addCleanup(self.desktop.run_wine, ["wine", "reg", "delete", FLV_KEY, "/f"])
        self.desktop.run_wine(["wine", "reg", "add", FLV_KEY, "/ve", "/d", "Other.flv", "/f"])
        self.desktop.run_wine(["wine", "reg", "add", FLV_KEY + r"\OpenWithProgids", "/v",
                               "Other.flv", "/t", "REG_NONE", "/f"])
        before = self.snapshot()
        self.desktop.run_wine(["wine", setup, "/S"], timeout=180)

        flv = self.registry(FLV_KEY)
        self.assertIn((r"\OpenWithProgids", "Tovimo.flv"), flv, "not on .flv's Open With list")
        self.assertEqual(flv.get(("", "(Default)")), "Other.flv", "made the default for .flv")
        self.assertEqual(self.registry(USER_FLV_KEY), {}, "made the user's default for .flv")
        progid = self.registry(PROGID_KEY)
        self.assertTrue(progid.get(("", "(Default)")), "the Open With entry has no name")
        self.assertEqual(progid.get((r"\shell\open\command", "(Default)")), OPEN_COMMAND)
        self.assertEqual(self.registry(APPLICATION_KEY).get(
            (r"\shell\open\command", "(Default)")), OPEN_COMMAND)

        folder = os.path.join(self.desktop.prefix, "drive_c", "Program Files", "Tovimo")
        installed = {os.path.relpath(os.path.join(d, f), folder)
                     for d, _, files in os.walk(folder) for f in files}
        with zipfile.ZipFile(package("win64.zip")) as z:
            zipped = {name.split("/", 1)[1] for name in z.namelist()
                      if not name.endswith("/") and "/" in name}
        self.assertIn("tovimo.exe", installed)
        self.assertIn("uninstall.exe", installed)
        self.assertEqual(installed - {"uninstall.exe"}, zipped,
                         "the installer installs other files than the zip holds")
        # Each DLL and the converter has its source in the archive beside the packages: the
        # files its licence folder's source.txt names, among them an upstream tarball, and all
        # the upstream tarballs of the Debian source package (.dsc) it names.
        with zipfile.ZipFile(package("win64.zip")) as z, \
                tarfile.open(package("win64-sources.tar")) as sources:
            archive = {name.split("/", 1)[-1]: name for name in sources.getnames()}
            named = {}
            for text in [name for name in z.namelist() if name.endswith("/source.txt")]:
                fields = dict(re.findall(r"^([\w ]+): (.*)$", z.read(text).decode(), re.M))
                named.update(dict.fromkeys(fields["Shipped files"].split(), fields))
            for binary in sorted(f for f in zipped if re.fullmatch(r"[^/]+\.(dll|exe)", f)):
                if binary == "tovimo.exe":
                    continue
                fields = named.get(binary)
                self.assertIsNotNone(fields, "no source.txt names " + binary)
                self.assertEqual(fields["Source archive"],
                                 os.path.basename(package("win64-sources.tar")))
                files = fields["Source files"].split()
                for dsc in [f for f in files if f.endswith(".dsc")]:
                    files += [os.path.dirname(dsc) + "/" + f for f in re.findall(
                        r"^ [0-9a-f]{32} \d+ (\S+\.tar\.\w+)$",
                        sources.extractfile(archive[dsc]).read().decode(), re.M)
                        if ".debian." not in f]
                self.assertTrue(any(".tar." in f for f in files), "no tarball for " + binary)
                self.assertEqual([f for f in files if f not in archive], [],
                                 "sources of %s missing from the source archive" % binary)
        menu = os.path.join(self.desktop.prefix, "drive_c", "ProgramData", "Microsoft",
                            "Windows", "Start Menu", "Programs")
        self.assertTrue(os.path.isfile(os.path.join(menu, "Tovimo.lnk")), "no menu entry")
        startup = [os.path.join(menu, name, "Tovimo.lnk") for name in os.listdir(menu)
                   if name.lower() == "startup"]  # Wine names it "StartUp"
        self.assertTrue(startup and os.path.isfile(startup[0]), "no start at log-in")
        self.assertIn("UninstallString", self.registry_entry())

        # The uninstaller copies itself to the temporary folder and runs from there, so what
        # tells that it has done is its effect. (The copying instance's exit status is
        # reported when that effect fails to come.)
        try:
            self.desktop.run_wine(["wine", os.path.join(folder, "uninstall.exe"), "/S"])
            started = "started"
        except AssertionError as e:
            started = str(e)
        wait_for(lambda: not os.path.exists(folder) and not any(
            "Un_" in line and ".exe" in line for line in processes().values()),
            "the uninstaller to finish (%s)" % started, UI_TIMEOUT * 3, self.desktop.describe)
        after = self.snapshot()
        self.assertEqual(sorted(after - before), [], "left behind after uninstalling")
        self.assertEqual(sorted(before - after), [], "removed by installing and uninstalling")


if __name__ == "__main__":
    unittest.main(verbosity=2)
