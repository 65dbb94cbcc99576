#!/usr/bin/python3
"""Start-up of the real program: login, announcement, tutorial offer, and the ways it fails."""

import os
import xml.etree.ElementTree as ElementTree

import desktop
from desktop import setUpModule, tearDownModule  # noqa: F401  (the shared desktop)
from desktop import DATA_DIR, TUTORIAL_QUESTION, TUTORIAL_URL, DesktopTestCase, answer

REFUSAL_TITLE = "login error"
CANNOT_LOGIN = "Cannot login to the system"


def announcement_title():
    """The title that the interface description gives the announcement dialog."""
    tree = ElementTree.parse(os.path.join(DATA_DIR, "ui.glade"))
    for widget in tree.iter("object"):
        if widget.get("id") == "dialog_up":
            for prop in widget.findall("property"):
                if prop.get("name") == "title":
                    return prop.text or ""
    raise AssertionError("ui.glade has no dialog_up with a title")


class FirstAndLaterStarts(DesktopTestCase):

    def test_new_client_sees_announcement_then_tutorial_offer_then_tray(self):
        service = self.start_service(announce="<b>New:</b> six formats, <i>one</i> click")
        program = self.start_program()

        announcement = program.ui.wait_window(announcement_title())
        self.assertEqual(announcement.labels(), ["New: six formats, one click"],
                         "the announcement is not shown as rendered markup")
        self.assertEqual(program.ui.titles(), [announcement_title()],
                         "the tutorial offer came before the announcement was answered")
        self.assertIsNone(program.icon(), "the tray icon came before the announcement")
        announcement.press("OK")

        answer(program, "Confirmation", TUTORIAL_QUESTION, "Yes")
        program.wait_icon()
        self.assertEqual(self.home.browser_urls(), [TUTORIAL_URL])
        self.assertEqual(service.commands(), ["login"])
        self.assertEqual([path for _, path, _ in service.requests()],
                         ["/tovimo/io.php", "/tovimo/hp.php"])

        # Later starts of the same client: no tutorial offer; without an announcement the
        # icon comes straight away.
        program.choose("Exit")
        answer(program, "confirm", "Are you sure?", "Yes")
        self.assertEqual(program.wait_exit(), 0)
        service.stop()
        service = self.start_service(db=service.db)
        again = self.start_program()
        again.wait_icon()
        self.assertEqual(again.ui.titles(), [], "a window came with the second start")
        self.assertEqual(self.home.browser_urls(), [TUTORIAL_URL],
                         "the second start opened a page")

    def test_declined_tutorial_still_starts_tray(self):
        self.start_service()
        program = self.start_program()
        answer(program, "Confirmation", TUTORIAL_QUESTION, "No")
        program.wait_icon()
        self.assertEqual(self.home.browser_urls(), [])
        self.assertEqual(program.ui.titles(), [])


class StartUpFailures(DesktopTestCase):
    """Every failed start ends with exit status 0."""

    def assert_ends_after(self, program, title, text):
        answer(program, title, text, "OK")
        self.assertEqual(program.wait_exit(), 0)
        self.assertIsNone(program.icon())

    def test_missing_converter_is_reported_before_login(self):
        service = self.start_service()
        # Only the test's own tools on PATH: no converter.
        program = self.start_program(path=self.home.bin)
        self.assert_ends_after(program, "ffmpeg error", "Sorry, but you haven't yet ffmpeg")
        self.assertEqual(program.stdout(), "error: initialization error\n")
        self.assertEqual(service.commands(), [], "the program logged in without a converter")

    def test_no_service_listening(self):
        desktop.wait_port_free()
        program = self.start_program()
        self.assert_ends_after(program, REFUSAL_TITLE, CANNOT_LOGIN)
        self.assertEqual(program.stdout(), "")

    def test_two_byte_refusal_reads_cannot_login(self):
        service = self.start_stand_in(login=b"ok")
        program = self.start_program()
        self.assert_ends_after(program, REFUSAL_TITLE, CANNOT_LOGIN)
        self.assertEqual(program.stdout(), "")
        self.assertEqual(service.commands(), ["login"])

    def test_refusal_text_is_shown_verbatim(self):
        refusals = {
            "three bytes": "No!",
            "with line ends": "Your key is blocked.\nWrite to the support desk.",
            # Ten lines of 50 bytes: one line that long would push the dialog's button off
            # the screen.
            "500 bytes": "".join("Refusal line %02d: %s\n" % (i, "x" * 32) for i in range(10)),
        }
        for case, text in refusals.items():
            with self.subTest(case):
                service = self.start_stand_in(login=text.encode())
                program = self.start_program()
                self.assert_ends_after(program, REFUSAL_TITLE, text)
                self.assertEqual(program.stdout(), "")
                service.stop()

    def test_reply_of_wrong_length_ends_without_dialog(self):
        replies = {"one byte": b"K", "501 bytes": b"OK" + b" " * 499}
        for case, body in replies.items():
            with self.subTest(case):
                service = self.start_stand_in(login=body)
                program = self.start_program()
                # A dialog would hold the program until answered, so it would not end.
                self.assertEqual(program.wait_exit(), 0)
                self.assertEqual(program.stdout(), "")
                self.assertEqual(service.commands(), ["login"])
                service.stop()


if __name__ == "__main__":
    desktop.main()
