#!/usr/bin/python3
"""Takes the README's pictures from the real program: its tray menu with a file selected, and
the order page that the program opens. Run by scripts/screenshots; not a test."""

import os
import subprocess
import sys
import tempfile
import unittest

import desktop
from desktop import setUpModule, tearDownModule  # noqa: F401  (the shared desktop)
from desktop import DesktopTestCase, wait_for

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


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
