#!/usr/bin/python3
"""Whole conversions with the Windows build: a Flash clip picked in the chooser, the order
page opened through the shell, the order placed there, "Check task", the order confirmed, the
destination typed, and a real Windows converter followed in the program's own window (no
console window), announced by a balloon when done, and stopped from the window."""

import json
import os
import re
import shutil
import subprocess
import sys
import unittest

import wine_desktop
from wine_desktop import (CONVERT_TIMEOUT, MENU_WITH_FILE, MENU_WITHOUT_FILE, SERVICE_BASE,
                          UI_TIMEOUT, WineTestCase, package, processes, wait_for,
                          windows_path)

# After this folder, whose modules share names with those of tests/e2e.
sys.path.append(os.path.join(wine_desktop.SOURCE_ROOT, "tests", "e2e"))
from desktop import place_order  # noqa: E402  (the Linux end-to-end tests' browser user)

FFMPEG = shutil.which("ffmpeg", path=wine_desktop.harness.SYSTEM_PATH) or "ffmpeg"
FFPROBE = shutil.which("ffprobe", path=wine_desktop.harness.SYSTEM_PATH) or "ffprobe"
STATUS_TEXT = ("Now, please wait while converting in progress.\n"
               "When the window will be closed, check result")


def make_flash_clip(path, seconds=2):
    subprocess.run([FFMPEG, "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=duration=%d:size=160x120" % seconds, "-f", "lavfi", "-i",
                    "sine=duration=%d" % seconds, "-f", "flv", "-y", path], check=True,
                   timeout=CONVERT_TIMEOUT)


def probe(path):
    result = subprocess.run(
        [FFPROBE, "-v", "error", "-show_entries",
         "format=format_name,duration:format_tags=major_brand:"
         "stream=codec_type,codec_name,width,height,sample_rate,channels",
         "-of", "json", path], capture_output=True, text=True, timeout=CONVERT_TIMEOUT)
    if result.returncode != 0:
        raise AssertionError("ffprobe cannot read %s: %s" % (path, result.stderr))
    return json.loads(result.stdout)


def converters():
    """The Windows converters running now, by process id."""
    return {pid: line for pid, line in processes().items()
            if re.search(r"(^|\\)ffmpeg\.exe ", line)}


# Each order with the service's defaults (the 3GP one with the audio codec the README advises),
# as the shipped converter makes it of a 160x120 clip with a 44100 Hz mono tone: the fields set
# on the order page, the converter's options, the container (and its brand), the video codec and
# frame size, the audio codec, sample rate and channels. The converter has no H.264 encoder:
# MOV, PSP and MP4 get MPEG-4 part 2 video.
SHIPPED_CONVERTER_RESULTS = (
    ("AVI", {}, "-f avi", ("avi", None), ("mpeg4", 160, 120), ("ac3", 44100, 1)),
    ("WMV", {}, "-vcodec wmv1 -acodec wmav2", ("asf", None), ("wmv1", 160, 120),
     ("wmav2", 44100, 1)),
    ("3GP", {"audio_codec": "aac"},
     "-f 3gp -s 176x144 -vcodec mpeg4 -acodec aac -ab 12.2k -ar 8000 -ac 1", ("3gp", "3gp4"),
     ("mpeg4", 176, 144), ("aac", 8000, 1)),
    ("MOV", {}, "-f mov", ("mov", "qt  "), ("mpeg4", 160, 120), ("aac", 44100, 1)),
    ("PSP", {}, "-f psp", ("mp4", "MSNV"), ("mpeg4", 160, 120), ("aac", 44100, 1)),
    ("MP4", {}, "-f mp4 -s 320x240", ("mp4", "isom"), ("mpeg4", 320, 240), ("aac", 44100, 1)),
)


class Conversion(WineTestCase):

    def order(self, format_name, look=False, **fields):
        """The program logged in, a clip selected (its order page opened through the shell) and
        the order placed there, "Check task" and the order confirmed: the save chooser is up.
        Returns the service, the program, the clip and the client's key."""
        service, program = self.start_logged_in()
        clips = os.path.join(self.dir, "clips")
        os.mkdir(clips)
        clip = os.path.join(clips, "clip.flv")
        make_flash_clip(clip, fields.pop("seconds", 2))

        key = self.select_clip(program, clip, look)  # no order yet: the order page opens
        self.assertEqual(service.commands(), ["login", "poll"])
        self.assertEqual(service.requests()[0][2]["data"], key)
        # The menu open first: while it is, the program does not check by itself.
        menu = program.open_menu(MENU_WITH_FILE)
        place_order(SERVICE_BASE + "index.php?data=%s&ver=1" % key, format_name, **fields)
        program.choose(menu, "Check task")
        self.assert_shows(program.window("Confirmation"),
                          "You have one unfinished task.\nDo you want to process?")
        program.answer("Confirmation", "alt+y")
        return service, program, clip, key

    def save_as(self, program, name, proposed):
        """Types a destination of the test's own into the save chooser, which proposed
        `proposed`; returns its path."""
        d = self.desktop
        saver = program.window("Save File")
        d.keys(saver, "ctrl+a", "ctrl+c")
        self.assertEqual(wait_for(d.clipboard, "the proposed name", UI_TIMEOUT), proposed)
        out = os.path.join(self.dir, "out")
        os.mkdir(out)
        destination = os.path.join(out, name)
        d.keys(saver, "ctrl+a")
        d.type_text(saver, windows_path(destination))
        d.watch_new_windows()
        d.press_until_gone(saver, "Save File", "Return")
        return destination

    def test_avi_order_converted_followed_and_announced(self):
        service, program, clip, key = self.order("AVI", look=True)
        d = self.desktop
        destination = self.save_as(program, "movie.avi", "movie.avi")

        # The converter runs without a console window; the program's own window follows it.
        seen = {"converter": None}

        def converter_done():
            for line in converters().values():
                seen["converter"] = seen["converter"] or line
            return seen["converter"] is not None and not converters() and \
                os.path.exists(destination)
        wait_for(converter_done, "the converter to run and end", CONVERT_TIMEOUT,
                 lambda: "%r\n%s" % (seen, program.describe()))
        self.assertEqual(program.stdout(), "ffmpeg.exe -i '%s' -f avi -y '%s'\n" % (
            windows_path(clip), windows_path(destination)))
        self.assertRegex(seen["converter"], r"ffmpeg\.exe -i %s -f avi -y %s$" % (
            re.escape(windows_path(clip)), re.escape(windows_path(destination))))
        windows = set(d.windows_seen().values())
        self.assertIn((program.pid, "ffmpeg.exe"), windows, "no window of the program's own")
        self.assertFalse([w for w in windows if w[0] != program.pid],
                         "another process showed a window: %r" % windows)
        self.assertEqual(service.commands(), ["login", "poll", "poll", "yes"])
        self.assertEqual(service.command("poll", key), "OK", "the order is still open")

        info = probe(destination)
        streams = {s["codec_type"]: s for s in info["streams"]}
        self.assertEqual(set(streams), {"video", "audio"}, info)
        self.assertIn("avi", info["format"]["format_name"].split(","), info)
        self.assertEqual((streams["video"]["width"], streams["video"]["height"]), (160, 120))
        self.assertAlmostEqual(float(info["format"]["duration"]), 2.0, delta=0.5)

        # Done: the window closes by itself, and a balloon from an icon of the notification
        # area says so. Wine reports no click on a balloon itself; a click on the icon it
        # points at opens the folder as one on the balloon does, through the shell.
        d.wait_gone("ffmpeg.exe", CONVERT_TIMEOUT)
        balloon = wait_for(d.balloon, "the balloon", UI_TIMEOUT, d.describe)
        self.assert_shows(balloon[0], "Conversion done")
        notice_icon = d.tray_icons(newest_last=True)[-1]
        d.click_at(notice_icon[0] + notice_icon[2] // 2, notice_icon[1] + notice_icon[3] // 2)
        folder = "file://" + os.path.dirname(destination)
        wait_for(lambda: folder in d.browser_urls(), "the folder in the browser", UI_TIMEOUT,
                 lambda: "it opened %r" % d.browser_urls())

        status = program.window("status")
        self.assertEqual(self.copy_text(status), STATUS_TEXT)
        program.answer("status", "alt+o")
        # The selection has ended: "Check task" is no longer offered.
        self.exit_program(program, program.open_menu(MENU_WITHOUT_FILE))

    def test_installed_program_converts_every_order_with_the_shipped_converter(self):
        # The installer alone: the program started in its install folder (as its shortcut
        # does) finds the converter installed beside it, the only one in the prefix (start-up
        # elsewhere fails for want of one), and converts a short clip for each order.
        d = self.desktop
        d.run_wine(["wine", package("win64-setup.exe"), "/S"], timeout=180)
        folder = os.path.join(d.prefix, "drive_c", "Program Files", "Tovimo")
        self.addCleanup(self.uninstall, folder)
        licence = os.path.join(folder, "licences", "ffmpeg")
        self.assertEqual(sorted(os.listdir(licence)),
                         ["COPYING.LGPLv2.1", "configure.txt", "source.txt"])
        with open(os.path.join(licence, "source.txt")) as f:
            self.assertRegex(f.read(), r"Debian's source package ffmpeg, version \S+")

        service, program = self.start_logged_in(folder, os.path.join(folder, "tovimo.exe"))
        clips = os.path.join(self.dir, "clips")
        os.mkdir(clips)
        clip = os.path.join(clips, "clip.flv")
        make_flash_clip(clip, 1)
        out = os.path.join(self.dir, "out")
        os.mkdir(out)
        lines = []
        for format_name, fields, options, container, video, audio in SHIPPED_CONVERTER_RESULTS:
            with self.subTest(format_name, **fields):
                key = self.select_clip(program, clip)
                menu = program.open_menu(MENU_WITH_FILE)
                place_order(SERVICE_BASE + "index.php?data=%s&ver=1" % key, format_name,
                            **fields)
                program.choose(menu, "Check task")
                program.answer("Confirmation", "alt+y")
                saver = program.window("Save File")
                destination = os.path.join(out, "movie-%d.%s" % (len(lines),
                                                                  format_name.lower()))
                d.keys(saver, "ctrl+a")
                d.type_text(saver, windows_path(destination))
                d.press_until_gone(saver, "Save File", "Return")
                lines.append("ffmpeg.exe -i '%s' %s -y '%s'" % (
                    windows_path(clip), options, windows_path(destination)))
                wait_for(lambda: program.stdout().splitlines() == lines and not converters()
                         and d.find_window("ffmpeg.exe") is None,
                         "the converter to run and its window to close", CONVERT_TIMEOUT,
                         program.describe)
                program.answer("status", "alt+o")
                # A click on the balloon's icon opens the folder and takes the icon away,
                # leaving the program's own.
                wait_for(d.balloon, "the balloon", UI_TIMEOUT, d.describe)
                icons = wait_for(lambda: len(d.tray_icons()) == 2 and d.tray_icons(True),
                                 "the balloon's icon", UI_TIMEOUT, d.describe)
                d.click_at(icons[-1][0] + icons[-1][2] // 2, icons[-1][1] + icons[-1][3] // 2)
                wait_for(lambda: len(d.tray_icons()) == 1 and
                         d.browser_urls().count("file://" + out) == len(lines),
                         "the folder opened and the balloon's icon gone", UI_TIMEOUT,
                         d.describe)

                info = probe(destination)
                self.assertIn(container[0], info["format"]["format_name"].split(","), info)
                self.assertEqual(info["format"].get("tags", {}).get("major_brand"),
                                 container[1], info)
                streams = {s["codec_type"]: s for s in info["streams"]}
                self.assertEqual(set(streams), {"video", "audio"}, info)
                self.assertEqual((streams["video"]["codec_name"], streams["video"]["width"],
                                  streams["video"]["height"]), video, info)
                self.assertEqual((streams["audio"]["codec_name"],
                                  int(streams["audio"]["sample_rate"]),
                                  streams["audio"]["channels"]), audio, info)
        self.assertEqual(service.commands(), ["login"] + ["poll", "poll", "yes"] * 6)

        # The 3GP order's defaults name an encoder the converter lacks, as on Linux.
        options = ["-f", "3gp", "-s", "176x144", "-vcodec", "mpeg4", "-acodec", "libfaac",
                   "-ab", "12.2k", "-ar", "8000", "-ac", "1"]
        with self.assertRaisesRegex(AssertionError, "Unknown encoder 'libfaac'"):
            d.run_wine(["wine", os.path.join(folder, "ffmpeg.exe"), "-i", windows_path(clip)] +
                       options + ["-y", windows_path(os.path.join(out, "defaults.3gp"))])
        self.exit_program(program, program.open_menu(MENU_WITHOUT_FILE))

    def uninstall(self, folder):
        self.desktop.run_wine(["wine", os.path.join(folder, "uninstall.exe"), "/S"])
        wait_for(lambda: not os.path.exists(folder), "the uninstaller to finish",
                 UI_TIMEOUT * 3, self.desktop.describe)

    def test_stop_ends_a_long_conversion_and_removes_its_file(self):
        # A large frame size from a long clip keeps the converter busy for a while (the
        # shipped converter makes MPEG-4 at 1920x1080 about five times as fast as it plays).
        service, program, clip, key = self.order("MP4", frame_size="1920x1080", seconds=600)
        destination = self.save_as(program, "movie.mp4", "movie.mp4")
        program.answer("status", "alt+o")
        window = program.window("ffmpeg.exe")
        # The bar reads the part done, as the converter reports it, and the time left.
        shown = []
        wait_for(lambda: shown.append(self.desktop.read_text(window, faint=True)) or
                 re.search(r"\d+ ?% . about \d+:\d\d left", shown[-1]),
                 "the bar to show the part done", CONVERT_TIMEOUT,
                 lambda: "the window reads %r" % shown[-1:])
        self.assert_shows(window, "Converting...")
        self.assertTrue(converters(), "no converter runs")
        self.desktop.keys(window, "alt+s")
        self.assert_shows(window, "The conversion was stopped. The unfinished file")
        # Long enough that OCR losing a character (the full stop) still reads as the same text.
        self.assert_shows(window, "movie.mp4 was removed.")
        self.assertEqual(converters(), {}, "a converter still runs")
        self.assertFalse(os.path.exists(destination), "the unfinished file is still there")
        self.desktop.keys(window, "alt+c")
        self.desktop.wait_gone("ffmpeg.exe")


if __name__ == "__main__":
    unittest.main(verbosity=2)
