#!/usr/bin/python3
"""Takes the README's pictures from the real program: its tray menu with a file selected, the
order page that the program opens, the converter's window during a conversion, and its windows
drawn at twice the size (GDK_SCALE=2). With TOVIMO_DIALOG_SHOTS=FOLDER it also takes one picture
of each kind of dialog and of "Open File" into FOLDER, to look at on each release. Run by
scripts/screenshots; not a test."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import unittest.mock

import desktop
from desktop import setUpModule, tearDownModule  # noqa: F401  (the shared desktop)
from desktop import (ORDER_QUESTION, CONVERT_TIMEOUT, DesktopTestCase, answer, place_order,
                     wait_for)

OUT = os.environ.get("TOVIMO_SCREENSHOTS", os.path.join(os.path.dirname(__file__), "..", "..",
                                                        "docs"))


def grab(desk, x, y, w, h, path):
    """Writes the screen's rectangle to a PNG file."""
    subprocess.run([desktop.FFMPEG, "-v", "error", "-y", "-f", "x11grab", "-video_size",
                    "%dx%d" % (w, h), "-i", "%s+%d,%d" % (desk.display, x, y),
                    "-frames:v", "1", path], env=desk.env(), check=True, timeout=30)


class Screenshots(DesktopTestCase):

    def test_take(self):
        service, program = self.start_logged_in()
        clip = self.add_clip()
        self.select_file(program, clip)
        page = self.wait_browser(1, program)[0]

        entries = program.open_menu()
        assert "Check task" in entries, entries
        menu = wait_for(program.ui._menu, "the tray menu")
        boxes = [desktop._extents(acc) for _, acc in menu]
        left = min(b[0] for b in boxes) - 8
        top = 0
        right = max(b[0] + b[2] for b in boxes) + 8
        bottom = max(b[1] + b[3] for b in boxes) + 8
        width, _ = self.desktop.x.screen_size()
        left = max(0, min(left, width - 360))
        grab(self.desktop, left, top, max(right, left + 360) - left, bottom - top,
             os.path.join(OUT, "tray-menu.png"))
        program.ui.close_menu()

        with tempfile.TemporaryDirectory() as profile:
            subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                            "--disable-quic", "--no-first-run",
                            "--disable-background-networking", "--disable-component-update",
                            "--disable-sync", "--user-data-dir=" + profile,
                            "--hide-scrollbars", "--window-size=900,760",
                            "--screenshot=" + os.path.join(OUT, "order-page.png"), page],
                           check=True, timeout=60, capture_output=True)

    def test_converter_window(self):
        # A home at a plain place, since the window shows the paths.
        plain = "/tmp/tovimo"
        shutil.rmtree(plain, ignore_errors=True)
        os.makedirs(plain)
        self.addCleanup(shutil.rmtree, plain, True)
        with unittest.mock.patch("tempfile.mkdtemp", return_value=plain):
            self.home = desktop.Home(self.desktop.dir)
        # A clip large enough for the conversion to take a while on any machine.
        clip = os.path.join(self.home.desktop, "holiday.flv")
        subprocess.run(
            [desktop.FFMPEG, "-nostdin", "-v", "error", "-f", "lavfi", "-i",
             "testsrc=size=640x360:rate=25:duration=240", "-f", "lavfi", "-i",
             "sine=frequency=440:sample_rate=44100:duration=240", "-c:v", "flv1", "-q:v", "2",
             "-c:a", "libmp3lame", "-shortest", "-f", "flv", "-y", clip],
            check=True, timeout=300, stdin=subprocess.DEVNULL)
        service, program = self.start_logged_in()
        self.select_file(program, clip)
        place_order(self.wait_browser(1, program)[0], "MOV")
        program.choose("Check task")
        answer(program, "Confirmation", ORDER_QUESTION, "Yes")
        program.ui.wait_window("Save File").press("Save")
        answer(program, "status", None, "OK")
        program.ui.wait_gone("status")

        def window_half_done():
            window = program.ui.find("ffmpeg")
            bars = window.descendants(lambda a: a.getRoleName() == "progress bar") if window \
                else []
            value = bars[0].queryValue() if bars else None
            return value and 0.3 <= value.currentValue / value.maximumValue <= 0.7 and window
        window = wait_for(window_half_done, "the conversion half done", CONVERT_TIMEOUT * 4)
        window.activate()
        self.desktop.xdotool("mousemove", "0", "0")  # no pointer over the picture
        x, y, w, h = desktop._extents(window.acc)
        grab(self.desktop, x, y, w, h, os.path.join(OUT, "converter-window.png"))


    def shoot(self, program, title, path):
        window = program.ui.wait_window(title)
        window.activate()
        self.desktop.xdotool("mousemove", "0", "0")
        x, y, w, h = desktop._extents(window.acc)
        grab(self.desktop, x, y, w, h, path)
        return window

    def test_scaled_twice(self):
        """The file question and the tray's icon, with GDK_SCALE=2: from the question's left
        edge to the screen's right, where the icon sits."""
        env = self.home.env
        self.home.env = lambda *a, **k: dict(env(*a, **k), GDK_SCALE="2")
        self.start_service()
        program = self.start_program()
        program.ui.wait_window("Confirmation").activate()
        self.desktop.xdotool("key", "Escape")  # No to the tutorial
        program.click_icon(1)
        program.ui.wait_window("Confirm")
        # Read from the display: the accessibility bus gives unscaled places.
        found = wait_for(lambda: self.desktop.visible_windows("Confirm", program.pid),
                         "the question on screen")
        geometry = self.desktop.xdotool("getwindowgeometry", "--shell", found[-1])
        place = dict(line.split("=") for line in geometry.split())
        x, y, h = int(place["X"]), int(place["Y"]), int(place["HEIGHT"])
        width, _ = self.desktop.x.screen_size()
        self.desktop.xdotool("mousemove", "0", "0")
        grab(self.desktop, x - 8, 0, width - x + 8, y + h + 8, os.path.join(OUT, "hidpi.png"))

    @unittest.skipUnless(os.environ.get("TOVIMO_DIALOG_SHOTS"), "TOVIMO_DIALOG_SHOTS not set")
    def test_each_dialog(self):
        folder = os.environ["TOVIMO_DIALOG_SHOTS"]
        os.makedirs(folder, exist_ok=True)
        shot = lambda name: os.path.join(folder, name + ".png")  # noqa: E731
        program = self.start_program()  # no service yet: the error dialog
        self.shoot(program, "login error", shot("error")).press("OK")
        program.wait_exit()
        service = self.start_service()
        program = self.start_program()
        self.shoot(program, "Confirmation", shot("question")).press("No")
        program.wait_icon()
        program.choose("Get key")
        self.shoot(program, "Key information", shot("information")).press("OK")
        clip = self.add_clip()
        program.choose("Select file to convert")
        chooser = program.ui.wait_window("Open File")
        self.shoot(program, "Open File", shot("open-file"))
        desktop.choose_file(program, clip)
        place_order(self.wait_browser(1, program)[0], "AVI")
        program.choose("Check task")
        answer(program, "Confirmation", ORDER_QUESTION, "Yes")
        self.shoot(program, "Save File", shot("save-file")).press("Cancel")
        self.shoot(program, "Tovimo", shot("warning")).press("OK")
        program.choose("Exit")
        self.shoot(program, "confirm", shot("exit")).press("Yes")
        program.wait_exit()
        del chooser, service


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
