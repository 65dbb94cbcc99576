#!/usr/bin/python3
"""A whole conversion with the Windows build: a Flash clip picked in the chooser, the order
page opened through the shell, the order placed there, "Check task", the order confirmed, the
destination typed, and a real Windows converter run in a console of its own."""

import json
import os
import re
import shutil
import subprocess
import sys
import unittest

import wine_desktop
from wine_desktop import (CONVERT_TIMEOUT, MENU_WITH_FILE, MENU_WITHOUT_FILE, SERVICE_BASE,
                          UI_TIMEOUT, WineTestCase, processes, wait_for, windows_path)

# After this folder, whose modules share names with those of tests/e2e.
sys.path.append(os.path.join(wine_desktop.SOURCE_ROOT, "tests", "e2e"))
from desktop import place_order  # noqa: E402  (the Linux end-to-end tests' browser user)

FFMPEG = shutil.which("ffmpeg", path=wine_desktop.harness.SYSTEM_PATH) or "ffmpeg"
FFPROBE = shutil.which("ffprobe", path=wine_desktop.harness.SYSTEM_PATH) or "ffprobe"
ORDER_PAGE = re.compile(r"^" + re.escape(SERVICE_BASE) + r"index\.php\?data=([0-9a-f]{32})&ver=1$")
STATUS_TEXT = ("Now, please wait while converting in progress.\n"
               "When the window will be closed, check result")


def make_flash_clip(path):
    subprocess.run([FFMPEG, "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=duration=2:size=160x120", "-f", "lavfi", "-i", "sine=duration=2",
                    "-f", "flv", "-y", path], check=True, timeout=CONVERT_TIMEOUT)


def probe(path):
    result = subprocess.run(
        [FFPROBE, "-v", "error", "-show_entries",
         "format=format_name,duration:stream=codec_type,codec_name,width,height",
         "-of", "json", path], capture_output=True, text=True, timeout=CONVERT_TIMEOUT)
    if result.returncode != 0:
        raise AssertionError("ffprobe cannot read %s: %s" % (path, result.stderr))
    return json.loads(result.stdout)


class Conversion(WineTestCase):

    def test_avi_order_converted_by_the_windows_converter(self):
        service, program = self.start_logged_in()
        d = self.desktop
        clips = os.path.join(self.dir, "clips")
        os.mkdir(clips)
        clip = os.path.join(clips, "clip.flv")
        make_flash_clip(clip)

        # Select the clip: the icon, Yes, the location typed into the open chooser.
        question = program.activate_icon("Confirm")
        self.assert_shows(question, "Do you want to select file to convert?")
        d.keys(question, "alt+y")
        chooser = program.window("Open File")
        d.keys(chooser, "ctrl+l")
        d.type_text(chooser, windows_path(clip))
        d.keys(chooser, "Return")
        d.wait_gone("Open File")

        # No order yet: the order page opens in the browser (through the shell) with the key.
        urls = wait_for(d.browser_urls, "the order page in the browser", UI_TIMEOUT,
                        program.describe)
        self.assertEqual(len(urls), 1, urls)
        found = ORDER_PAGE.match(urls[0])
        self.assertIsNotNone(found, "the browser was sent to %r" % urls[0])
        key = found.group(1)
        self.assertEqual(service.commands(), ["login", "poll"])
        self.assertEqual(service.requests()[0][2]["data"], key)
        place_order(urls[0], "AVI")

        program.choose(program.open_menu(MENU_WITH_FILE), "Check task")
        self.assert_shows(program.window("Confirmation"),
                          "You have one unfinished task.\nDo you want to process?")
        program.answer("Confirmation", "alt+y")

        # The save chooser proposes the order's file name; the user types a folder of their own.
        saver = program.window("Save File")
        d.keys(saver, "ctrl+a", "ctrl+c")
        self.assertEqual(wait_for(d.clipboard, "the proposed name", UI_TIMEOUT), "movie.avi")
        out = os.path.join(self.dir, "out")
        os.mkdir(out)
        destination = os.path.join(out, "movie.avi")
        d.keys(saver, "ctrl+a")
        d.type_text(saver, windows_path(destination))
        before = set(processes())
        d.watch_new_windows()
        d.keys(saver, "Return")

        # The converter runs in a console of its own: a console host starts with it and shows
        # a window named after the converter while it runs.
        seen = {"converter": None, "console": set()}

        def converter_done():
            windows = d.windows_seen()
            running = {pid: line for pid, line in processes().items() if pid not in before}
            for pid, line in running.items():
                if re.search(r"(^|\\)ffmpeg\.exe ", line) and seen["converter"] is None:
                    seen["converter"] = line
                if re.search(r"(^|\\)conhost\.exe", line):
                    seen["console"].add(pid)
            seen["windows"] = sorted(windows.values(), key=str)
            converting = any(re.search(r"(^|\\)ffmpeg\.exe ", line)
                             for line in running.values())
            return seen["converter"] is not None and not converting and \
                os.path.exists(destination)
        wait_for(converter_done, "the converter to run and end", CONVERT_TIMEOUT,
                 lambda: "%r\n%s" % (seen, program.describe()))
        converter_path = os.path.join(self.desktop.program_dir, "ffmpeg.exe")

        self.assertEqual(program.stdout(), "ffmpeg.exe -i '%s' -f avi -y '%s'\n" % (
            windows_path(clip), windows_path(destination)))
        self.assertRegex(seen["converter"], r"ffmpeg\.exe -i %s -f avi -y %s$" % (
            re.escape(windows_path(clip)), re.escape(windows_path(destination))))
        self.assertTrue(seen["console"], "no console host ran with the converter")
        self.assertTrue(any((pid, windows_path(converter_path)) in seen["windows"]
                            for pid in seen["console"]),
                        "the converter's console showed no window of its own: %r" % seen)
        self.assertEqual(service.commands(), ["login", "poll", "poll", "yes"])
        self.assertEqual(service.command("poll", key), "OK", "the order is still open")

        info = probe(destination)
        streams = {s["codec_type"]: s for s in info["streams"]}
        self.assertEqual(set(streams), {"video", "audio"}, info)
        self.assertIn("avi", info["format"]["format_name"].split(","), info)
        self.assertEqual((streams["video"]["width"], streams["video"]["height"]), (160, 120))
        self.assertAlmostEqual(float(info["format"]["duration"]), 2.0, delta=0.5)

        status = program.window("status")
        self.assertEqual(self.copy_text(status), STATUS_TEXT)
        program.answer("status", "alt+o")
        # The selection has ended: "Check task" is no longer offered.
        self.exit_program(program, program.open_menu(MENU_WITHOUT_FILE))


if __name__ == "__main__":
    unittest.main(verbosity=2)
