#!/usr/bin/python3
"""Start-up of the Windows build: a runtime file missing from the working folder, and no
converter at all. (Every other test starts the program with only ffmpeg.exe beside it.)"""

import os
import shutil
import unittest

from wine_desktop import START_TIMEOUT, WineTestCase


class MissingRuntimeFile(WineTestCase):

    def test_missing_zlib_is_reported_and_the_program_ends(self):
        # The DLLs stay beside tovimo.exe, so Windows loads the program; the working folder
        # it is started in lacks zlib1.dll.
        service = self.start_service()
        work = os.path.join(self.dir, "work")
        os.mkdir(work)
        for name in ("ui.glade", "exit.png", "libcurl.dll"):
            shutil.copy(os.path.join(self.desktop.program_dir, name), work)
        program = self.start_program(work)

        self.assert_shows(program.window("libcurl error", START_TIMEOUT),
                          "Sorry, but you haven't yet curl")
        self.assertTrue(program.running(), "the program did not wait for the dialog")
        self.assertEqual(program.stdout(), "", "the failure line came before the answer")
        program.answer("libcurl error", "Return")

        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual(program.stdout(), "error: initialization error\n")
        self.assertEqual(self.desktop.tray_icons(), [])
        self.assertEqual(service.requests(), [], "the program went on to log in")


class NoConverter(WineTestCase):

    def test_no_converter_anywhere_is_reported_and_the_program_ends(self):
        # The working folder has all but the converter, which is not on PATH either.
        service = self.start_service()
        work = os.path.join(self.dir, "work")
        os.mkdir(work)
        for name in ("ui.glade", "exit.png", "libcurl.dll", "zlib1.dll"):
            shutil.copy(os.path.join(self.desktop.program_dir, name), work)
        program = self.start_program(work)

        self.assert_shows(program.window("ffmpeg error", START_TIMEOUT),
                          "Sorry, but you haven't yet ffmpeg")
        program.answer("ffmpeg error", "Return")
        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual(program.stdout(), "error: initialization error\n")
        self.assertEqual(service.requests(), [], "the program went on to log in")


if __name__ == "__main__":
    unittest.main(verbosity=2)
