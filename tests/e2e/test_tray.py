#!/usr/bin/python3
"""The tray icon and its menu: the client key, exit, the pages it opens, which files it takes,
and a service error that ends the program."""

import base64
import os
import re
import shutil

import desktop
from desktop import setUpModule, tearDownModule  # noqa: F401  (the shared desktop)
from desktop import (ORDER_PAGE, SERVICE_BASE, TUTORIAL_QUESTION, TUTORIAL_URL,
                     DesktopTestCase, answer, choose_file, expected_client_key)

MENU_WITHOUT_FILE = ["Go to website", "-", "Select file to convert", "-", "Get key", "-",
                     "Tutorial", "-", "Exit"]


class KeyAndExit(DesktopTestCase):

    def test_get_key_shows_the_clients_key(self):
        service, program = self.start_logged_in()
        self.assertEqual(program.open_menu(), MENU_WITHOUT_FILE)
        program.ui.click_menu_item("Get key")
        notice = program.ui.wait_window("Key information")
        labels = notice.labels()
        self.assertEqual(len(labels), 1, labels)
        match = re.fullmatch(r"Your key is : ([0-9a-f]{32})", labels[0])
        self.assertIsNotNone(match, "the key notice reads %r" % labels[0])
        key = match.group(1)
        logins = [q["data"] for _, path, q in service.requests()
                  if path == "/tovimo/io.php" and q.get("cmd") == "login"]
        self.assertEqual(logins, [key], "the key shown is not the key that logged in")
        expected = expected_client_key()
        if expected is not None:
            self.assertEqual(key, expected, "the key is not the MD5 of the adapter address")
        notice.press("OK")
        program.ui.wait_gone("Key information")
        self.assertTrue(program.running())

    def test_exit_asks_and_only_yes_ends(self):
        _, program = self.start_logged_in()
        program.choose("Exit")
        answer(program, "confirm", "Are you sure?", "No")
        program.ui.wait_gone("confirm")
        # Still there: the icon answers with its menu.
        self.assertEqual(program.open_menu(), MENU_WITHOUT_FILE)
        program.ui.click_menu_item("Exit")
        answer(program, "confirm", "Are you sure?", "Yes")
        self.assertEqual(program.wait_exit(), 0)
        self.assertIsNone(program.icon())
        self.assertEqual(program.stdout(), "")


class MenuPages(DesktopTestCase):

    def test_website_and_tutorial_open_their_pages(self):
        _, program = self.start_logged_in()
        program.choose("Go to website")
        self.wait_browser(1, program)
        program.choose("Tutorial")
        self.assertEqual(self.wait_browser(2, program), [SERVICE_BASE + "index.php",
                                                         TUTORIAL_URL])


class FileSelection(DesktopTestCase):

    NOT_FLASH = "You have selected not valid flash movie (.flv)\nTry again?"

    def test_only_a_flash_file_is_taken(self):
        service, program = self.start_logged_in()
        clip = self.add_clip()
        upper = os.path.join(self.home.desktop, "CLIP.FLV")
        shutil.copy(clip, upper)

        # Picked from the menu there is no question first.
        program.choose("Select file to convert")
        choose_file(program, upper)
        answer(program, "Try again?", self.NOT_FLASH, "Yes")
        choose_file(program, upper)
        answer(program, "Try again?", self.NOT_FLASH, "No")
        program.ui.wait_gone("Try again?")
        self.assertNotIn("Check task", program.open_menu())
        program.ui.close_menu()
        self.assertEqual(service.commands(), ["login"])

        program.choose("Select file to convert")
        choose_file(program, clip)
        self.assertRegex(self.wait_browser(1, program)[0], ORDER_PAGE)
        self.assertEqual(service.commands(), ["login", "poll"])
        self.assertIn("Check task", program.open_menu())
        program.ui.close_menu()


class HandedFiles(DesktopTestCase):
    """Files named on the command line: the first start's own, and those of later starts, which
    hand them to the running program."""

    def test_a_later_start_hands_its_file_over_and_ends(self):
        service, program = self.start_logged_in()
        clip = self.add_clip()
        # Named relative to the later start's own working folder.
        self.assertEqual(self.start_again(os.path.relpath(clip, self.home.work)),
                         "Tovimo is already running\n")
        self.assertRegex(self.wait_browser(1, program)[0], ORDER_PAGE)
        self.assertEqual(service.commands(), ["login", "poll"])
        self.assertIn("Check task", program.open_menu())
        program.ui.close_menu()
        self.assertIsNotNone(program.icon())

    def test_the_first_file_of_the_command_line_is_taken_and_bad_ones_change_nothing(self):
        service = self.start_service()
        clip = self.add_clip()
        program = self.start_program(args=[clip, "more.flv", "most.flv"])
        answer(program, "Confirmation", TUTORIAL_QUESTION, "No")
        self.assertRegex(self.wait_browser(1, program)[0], ORDER_PAGE)
        self.assertEqual(service.commands(), ["login", "poll"])
        self.assertEqual([line for line in program.stderr().splitlines() if "left out" in line],
                         ["Tovimo takes one file at a time: %s is left out" % name
                          for name in ("more.flv", "most.flv")])

        missing = os.path.join(self.home.desktop, "gone.flv")
        for path, reason in ((missing, "No such file or directory"),
                             (self.home.desktop, "It is a folder, not a file.")):
            self.start_again(path)
            answer(program, "file error", "Cannot convert\n%s\n%s" % (path, reason), "OK")
            program.ui.wait_gone("file error")
            self.assertIn("Check task", program.open_menu(), "the selection was dropped")
            program.ui.close_menu()

        notes = os.path.join(self.home.desktop, "notes.txt")
        open(notes, "w").close()
        self.start_again(notes)
        answer(program, "Try again?", FileSelection.NOT_FLASH, "No")
        program.ui.wait_gone("Try again?")
        self.assertEqual(program.open_menu(), MENU_WITHOUT_FILE)
        program.ui.close_menu()
        self.assertEqual(self.home.browser_urls()[1:], [], "another page was opened")


class ServiceErrorReply(DesktopTestCase):

    def check_error_shown_whole(self, message):
        encoded = base64.b64encode(message.encode()).decode()
        service = self.start_stand_in(login=b"OK", poll=("ERROR " + encoded).encode())
        program = self.start_program()
        program.wait_icon()
        self.select_file(program, self.add_clip())
        answer(program, "error", message, "OK")
        self.assertEqual(program.wait_exit(), 0)
        self.assertIsNone(program.icon())
        self.assertEqual(service.commands(), ["login", "poll"])
        self.assertEqual(self.home.browser_urls(), [])
        return encoded

    def test_message_with_double_padding_is_shown_whole_then_program_ends(self):
        encoded = self.check_error_shown_whole("Disk full!")
        self.assertTrue(encoded.endswith("=="), encoded)

    def test_message_with_single_padding_is_shown_whole_then_program_ends(self):
        encoded = self.check_error_shown_whole("Quota spent")
        self.assertTrue(encoded.endswith("=") and not encoded.endswith("=="), encoded)


if __name__ == "__main__":
    desktop.main()
