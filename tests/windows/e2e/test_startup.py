#!/usr/bin/python3
"""Start-up of the Windows build: a runtime file missing from the working folder, and no
converter at all. (Every other test starts the program with only ffmpeg.exe beside it.)"""

import os
import shutil
import unittest

from wine_desktop import START_TIMEOUT, WineTestCase


class MissingRuntimeFile(WineTestCase):

    def test_missing_zlib_or_converter_is_reported_and_the_program_ends(self):
        # The DLLs stay beside tovimo.exe, so Windows loads the program; the working folder
        # it is started in lacks zlib1.dll, or no converter is there or on PATH.
        for title, text, files in (
                ("libcurl error", "Sorry, but you haven't yet curl", ("libcurl.dll",)),
                ("ffmpeg error", "Sorry, but you haven't yet ffmpeg",
                 ("libcurl.dll", "zlib1.dll"))):
            with self.subTest(title):
                service = self.start_service()
                work = os.path.join(self.dir, title.split()[0])
                os.mkdir(work)
                for name in ("ui.glade", "exit.png") + files:
                    shutil.copy(os.path.join(self.desktop.program_dir, name), work)
                program = self.start_program(work)

                self.assert_shows(program.window(title, START_TIMEOUT), text)
                self.assertTrue(program.running(), "the program did not wait for the dialog")
                self.assertEqual(program.stdout(), "", "the failure line came before the answer")
                program.answer(title, "Return")

                self.assertEqual(program.wait_exit(), 0)
                self.assertEqual(program.stdout(), "error: initialization error\n")
                self.assertEqual(self.desktop.tray_icons(), [])
                self.assertEqual(service.requests(), [], "the program went on to log in")
                service.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
