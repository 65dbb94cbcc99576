#!/usr/bin/python3
"""Whole conversions: a Flash clip picked from the tray, the order placed on the order page,
"Check task", the order confirmed, the destination accepted, and the real converter's result."""

import collections
import os
import re
import time

import desktop
from desktop import setUpModule, tearDownModule  # noqa: F401  (the shared desktop)
from desktop import (CONVERT_TIMEOUT, ORDER_PAGE, ORDER_QUESTION, UI_TIMEOUT, DesktopTestCase,
                     answer, place_order, probe, wait_for)

MENU_WITH_FILE = ["Go to website", "-", "Select file to convert", "Check task", "-", "Get key",
                  "-", "Tutorial", "-", "Exit"]
MENU_WITHOUT_FILE = [e for e in MENU_WITH_FILE if e != "Check task"]
STATUS_TEXT = ("Now, please wait while converting in progress.\n"
               "When the window will be closed, check result")

# What ffprobe reads in a converted file. Video: codec, width, height. Audio: codec, sample
# rate, channels. The clip is 160x120 with a 22050 Hz mono tone.
Result = collections.namedtuple("Result", "container brand video audio")


def wait_window_closed(program):
    """Waits until the converter's window has closed by itself, as it does once the converter has
    succeeded; a failure it reports meanwhile fails at once."""
    def closed():
        window = program.ui.find("ffmpeg")
        if window is not None and converter_failure(window):
            raise AssertionError("the converter failed\n" + program.describe())
        return window is None
    wait_for(closed, "the converter's window to close", CONVERT_TIMEOUT, program.describe)


def converter_failure(window):
    """The converter window's report of a failed converter, as a match with its status."""
    for label in window.labels():
        found = re.fullmatch(r"The converter failed with exit status (\d+)\.", label)
        if found:
            return found
    return None


def progress_percent(program):
    """The converter window's progress bar as the accessibility bus reads it, or None."""
    window = program.ui.find("ffmpeg")
    if window is None:
        return None
    bars = window.descendants(lambda a: a.getRoleName() == "progress bar")
    if not bars:
        return None
    value = bars[0].queryValue()
    return round(100 * value.currentValue / value.maximumValue)


class Conversions(DesktopTestCase):

    def order_and_launch(self, format_name, extension, converter_options, full_bar=False,
                         **fields):
        """Walks one order from the tray to the converter's start (with `full_bar`, on to its
        progress bar at 100 %); returns the program, the service and the destination."""
        service, program = self.start_logged_in()
        clip = self.add_clip()
        self.select_file(program, clip)

        # No order yet: the order page opens in the browser, and the user orders there.
        page = self.wait_browser(1, program)[0]
        match = ORDER_PAGE.match(page)
        self.assertIsNotNone(match, "the browser was sent to %r" % page)
        key = match.group(1)
        self.assertEqual(service.commands(), ["login", "poll"])
        # The menu open first: while it is, the program does not check by itself.
        self.assertEqual(program.open_menu(), MENU_WITH_FILE)
        place_order(page, format_name, **fields)
        program.ui.click_menu_item("Check task")
        answer(program, "Confirmation", ORDER_QUESTION, "Yes")

        saver = program.ui.wait_window("Save File")
        proposed = "movie." + extension
        self.assertIn(proposed, saver.texts(), "the save chooser does not propose " + proposed)
        self.assertIn("Videos", saver.checked_toggles(),
                      "the save chooser does not start in the Videos folder")
        saver.press("Save")
        if full_bar:
            wait_for(lambda: progress_percent(program) == 100,
                     "the converter window's progress bar to reach 100 %", CONVERT_TIMEOUT,
                     lambda: "it reads %r\n%s" % (progress_percent(program),
                                                    program.describe()))

        status = program.ui.wait_window("status")
        self.assertEqual(status.labels(), [STATUS_TEXT])
        destination = os.path.join(self.home.videos, proposed)
        self.assertEqual(program.stdout(), "ffmpeg -i '%s' %s -y '%s'\n" % (
            clip, converter_options, destination))
        self.assertEqual(service.commands(), ["login", "poll", "poll", "yes"])
        self.assertEqual(service.command("poll", key), "OK", "the order is still open")
        self.assertEqual(self.home.browser_urls(), [page], "another page was opened")
        return program, service, destination

    def assert_converts(self, format_name, extension, converter_options, expected, **fields):
        program, _, destination = self.order_and_launch(format_name, extension,
                                                        converter_options, True, **fields)
        wait_window_closed(program)
        self.assertTrue(os.path.isfile(destination), "no file at " + destination)
        info = probe(destination)
        streams = {s["codec_type"]: s for s in info["streams"]}
        self.assertEqual(set(streams), {"video", "audio"}, info)
        self.assertIn(expected.container, info["format"]["format_name"].split(","), info)
        if expected.brand is not None:
            self.assertEqual(info["format"].get("tags", {}).get("major_brand"), expected.brand,
                             info)
        video, audio = streams["video"], streams["audio"]
        self.assertEqual((video["codec_name"], video["width"], video["height"]), expected.video)
        self.assertEqual((audio["codec_name"], int(audio["sample_rate"]), audio["channels"]),
                         expected.audio)
        self.finish(program)

    def assert_converter_fails(self, format_name, extension, converter_options, output,
                               **fields):
        program, _, destination = self.order_and_launch(format_name, extension,
                                                        converter_options, **fields)
        window = program.ui.wait_window("ffmpeg")
        status = wait_for(lambda: converter_failure(window),
                          "the converter window to report the failure", CONVERT_TIMEOUT,
                          program.describe)
        self.assertNotEqual(status.group(1), "0")
        # The window has read the converter's output to its end before it reports the status.
        self.assertTrue(any(output in text for text in window.texts()),
                        "the converter window does not show %r\n%s" % (output,
                                                                      program.describe()))
        self.assertIsNotNone(program.ui.find("ffmpeg"), "the failed converter's window closed")
        self.assertFalse(os.path.exists(destination), destination + " was written")
        self.finish(program)

    def finish(self, program):
        """After a launch the selection has ended and the program is idle."""
        self.assertEqual(program.open_menu(), MENU_WITHOUT_FILE)
        program.ui.close_menu()
        program.ui.find("status").press("OK")
        program.ui.wait_gone("status")
        self.assertTrue(program.running())

    # Each format with the service's defaults: every option field left empty ("0").
    def test_avi_with_defaults(self):
        self.assert_converts("AVI", "avi", "-f avi",
                             Result("avi", None, ("mpeg4", 160, 120), ("mp3", 22050, 1)))

    def test_wmv_with_defaults(self):
        self.assert_converts("WMV", "wmv", "-vcodec wmv1 -acodec wmav2",
                             Result("asf", None, ("wmv1", 160, 120), ("wmav2", 22050, 1)))

    def test_3gp_with_defaults_fails_for_want_of_libfaac(self):
        self.assert_converter_fails(
            "3GP", "3gp", "-f 3gp -s 176x144 -vcodec mpeg4 -acodec libfaac -ab 12.2k -ar 8000 "
            "-ac 1", "Unknown encoder 'libfaac'")

    def test_3gp_with_aac_audio(self):
        self.assert_converts(
            "3GP", "3gp", "-f 3gp -s 176x144 -vcodec mpeg4 -acodec aac -ab 12.2k -ar 8000 -ac 1",
            Result("3gp", "3gp4", ("mpeg4", 176, 144), ("aac", 8000, 1)), audio_codec="aac")

    def test_mov_with_defaults(self):
        self.assert_converts("MOV", "mov", "-f mov",
                             Result("mov", "qt  ", ("h264", 160, 120), ("aac", 22050, 1)))

    def test_psp_with_defaults(self):
        self.assert_converts("PSP", "psp", "-f psp",
                             Result("mp4", "MSNV", ("h264", 160, 120), ("aac", 22050, 1)))

    def test_mp4_with_defaults(self):
        self.assert_converts("MP4", "mp4", "-f mp4 -s 320x240",
                             Result("mp4", "isom", ("h264", 320, 240), ("aac", 22050, 1)))


class NoticedWithoutAsking(DesktopTestCase):
    """The program checks for the order by itself once the order page has opened."""

    def test_an_order_placed_on_the_page_is_asked_about_without_check_task(self):
        service, program = self.start_logged_in()
        self.select_file(program, self.add_clip())
        place_order(self.wait_browser(1, program)[0], "AVI")
        # The first check, 5 s after the page opened, finds it.
        answer(program, "Confirmation", ORDER_QUESTION, "No", timeout=5 + UI_TIMEOUT)
        program.ui.wait_gone("Confirmation")
        self.assertEqual(service.commands(), ["login", "poll", "poll", "cancel"])
        self.assertEqual(program.open_menu(), MENU_WITHOUT_FILE)
        program.ui.close_menu()

    def test_no_check_while_a_question_is_open_and_none_after_exit(self):
        service, program = self.start_logged_in()
        self.select_file(program, self.add_clip())
        self.wait_browser(1, program)
        wait_for(lambda: service.commands().count("poll") == 2, "a check in the background",
                 5 + UI_TIMEOUT, program.describe)
        program.choose("Exit")
        program.ui.wait_window("confirm")
        time.sleep(12)  # the next check is due 10 s after the first
        self.assertEqual(service.commands().count("poll"), 2,
                         "checked while the Exit question was open")
        answer(program, "confirm", "Are you sure?", "Yes")
        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual(service.commands(), ["login", "poll", "poll"])


class Cancelling(DesktopTestCase):

    def place_and_check(self):
        service, program = self.start_logged_in()
        self.select_file(program, self.add_clip())
        page = self.wait_browser(1, program)[0]
        key = ORDER_PAGE.match(page).group(1)
        self.assertIn("Check task", program.open_menu())
        place_order(page, "AVI")
        program.ui.click_menu_item("Check task")
        return service, program, key

    def test_declining_the_order_question_cancels_the_order(self):
        service, program, key = self.place_and_check()
        answer(program, "Confirmation", ORDER_QUESTION, "No")
        program.ui.wait_gone("Confirmation")
        # The menu opens once the workflow has returned to the main loop.
        self.assertEqual(program.open_menu(), MENU_WITHOUT_FILE)
        program.ui.close_menu()
        self.assertNotIn("Save File", program.ui.titles())
        self.assertEqual(service.commands(), ["login", "poll", "poll", "cancel"])
        self.assertEqual(service.command("poll", key), "OK", "the order is still open")
        self.assertEqual(program.stdout(), "")
        self.assertEqual(os.listdir(self.home.videos), [])

    def test_cancelled_save_chooser_starts_nothing_and_leaves_the_order_accepted(self):
        service, program, key = self.place_and_check()
        answer(program, "Confirmation", ORDER_QUESTION, "Yes")
        program.ui.wait_window("Save File").press("Cancel")
        answer(program, "Tovimo", "Canceled", "OK")
        program.ui.wait_gone("Tovimo")
        self.assertEqual(program.open_menu(), MENU_WITHOUT_FILE)
        program.ui.close_menu()
        self.assertEqual(program.stdout(), "", "a converter was started")
        self.assertIsNone(program.ui.find("ffmpeg"))
        self.assertEqual(os.listdir(self.home.videos), [])
        self.assertEqual(service.commands(), ["login", "poll", "poll", "yes"])
        self.assertEqual(service.command("poll", key), "OK", "the order is still open")


if __name__ == "__main__":
    desktop.main()
