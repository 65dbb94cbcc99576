#!/usr/bin/python3
"""Login of the Windows build: the announcement, the tutorial offer, the icon in the
notification area, and "Get key" against what the program sent at login."""

import os
import re
import unittest

from wine_desktop import (MENU_WITHOUT_FILE, SERVICE_SCHEME, START_TIMEOUT, TUTORIAL_QUESTION,
                          UI_TIMEOUT, WineTestCase, machine_keys, read_file, wait_for,
                          windows_path)


# A web page with letters beyond ASCII in its address.
LINK = "http://example.org/vid\u00e9os/\u65e5\u672c?q=caf\u00e9"


class LoginAndKey(WineTestCase):

    def test_announcement_then_tray_then_key_as_sent_at_login(self):
        service = self.start_service(
            announce='<b>News:</b> six formats, one click. <a href="%s">Read more</a>' % LINK)
        program = self.start_program()

        # The announcement (the interface description's dialog, titled "Tovimo"), its markup
        # rendered, comes before the tutorial offer and the icon.
        announcement = program.window("Tovimo", START_TIMEOUT)
        self.assert_shows(announcement, "News: six formats, one click.")
        self.assertEqual(self.desktop.tray_icons(), [], "the icon came before the announcement")
        self.assertIsNone(self.desktop.find_window("Confirmation"))
        # Its link, drawn in the link colour (GTK 3's is #1b6acb), opens in the browser through
        # the shell as written.
        link = self.desktop.coloured_spot(announcement, lambda p: p[2] > 150 and p[0] < 100 and p[1] < 150)
        self.assertIsNotNone(link, "the announcement shows no link")
        self.desktop.click_at(*link)
        wait_for(lambda: LINK in self.desktop.browser_urls(), "the link in the browser",
                 UI_TIMEOUT, lambda: "it opened %r" % self.desktop.browser_urls())
        program.answer("Tovimo", "alt+o")  # the label has the focus now: Return is its link's
        self.assert_shows(program.window("Confirmation"), TUTORIAL_QUESTION)
        program.answer("Confirmation", "alt+n")
        program.wait_icon()

        program.choose(program.open_menu(MENU_WITHOUT_FILE), "Get key")
        shown = self.copy_text(program.window("Key information"))
        found = re.fullmatch(r"Your key is : ([0-9a-f]{32})", shown)
        self.assertIsNotNone(found, "the key dialog reads %r" % shown)
        key = found.group(1)

        requests = service.requests()
        self.assertEqual([(path, q.get("cmd")) for _, path, q in requests],
                         [("/tovimo/io.php", "login"), ("/tovimo/hp.php", None)])
        self.assertEqual(requests[0][2], {"cmd": "login", "data": key, "ver": "1"})
        self.assertEqual(requests[1][2], {"hash": key, "ver": "1"})
        # Wine's UuidCreateSequential takes its node from the machine's first adapter, so the
        # key is the MD5 of one of this machine's adapter addresses.
        adapters = machine_keys()
        if adapters:
            self.assertIn(key, adapters, "the key is not the MD5 of an adapter's address")

        program.answer("Key information", "alt+o")
        self.exit_program(program, program.open_menu(MENU_WITHOUT_FILE))


class HandedFiles(WineTestCase):

    def test_open_with_starts_in_the_files_folder_and_a_later_start_hands_over(self):
        service = self.start_service()
        clips = os.path.join(self.dir, "clips")
        os.mkdir(clips)
        first, second = os.path.join(clips, "first.flv"), os.path.join(clips, "second.flv")
        for clip in (first, second):
            with open(clip, "wb") as f:
                f.write(b"FLV")
        opened = len(self.desktop.browser_urls())
        # As Explorer's Open With starts it: in the file's folder, away from its own files.
        program = self.start_program(clips, args=[windows_path(first)])
        self.assert_shows(program.window("Confirmation", START_TIMEOUT), TUTORIAL_QUESTION)
        program.answer("Confirmation", "alt+n")
        program.wait_icon()
        wait_for(lambda: self.desktop.browser_urls()[opened:], "the order page in the browser",
                 UI_TIMEOUT, program.describe)

        later = self.start_program(clips, args=[windows_path(second)])
        self.assertEqual(later.wait_exit(START_TIMEOUT), 0, later.describe())
        self.assertIn("Tovimo is already running", read_file(later.stderr_path))
        wait_for(lambda: len(self.desktop.browser_urls()[opened:]) == 2,
                 "the order page again, for the file handed over", UI_TIMEOUT, program.describe)
        self.assertEqual(service.commands(), ["login", "poll", "poll"])
        self.assertEqual(len(self.desktop.tray_icons()), 1)


@unittest.skipUnless(SERVICE_SCHEME == "https",
                     "the build is for http (scripts/build-windows --service-scheme https)")
class OverHttps(WineTestCase):

    def test_login_and_poll_verified_by_schannel_and_another_ca_refused(self):
        # The login, over TLS that Schannel checks against the CA file SSL_CERT_FILE names.
        service, program = self.start_logged_in()
        clip = os.path.join(self.dir, "clip.flv")
        with open(clip, "wb") as f:
            f.write(b"FLV")
        self.select_clip(program, clip)  # the poll, and the order page opened: no order yet
        self.assertEqual(service.commands(), ["login", "poll"])
        program.stop()

        # Trusting another CA only, the program hears no reply: the login fails, with the
        # reason logged, and nothing is tried without TLS.
        program = self.start_program(SSL_CERT_FILE=windows_path(self.desktop.tls_file("nobody.pem")),
                                     G_MESSAGES_DEBUG="tovimo")
        self.assert_shows(program.window("login error", START_TIMEOUT), "Cannot login to the system")
        program.answer("login error", "Return")
        self.assertEqual(program.wait_exit(), 0)
        self.assertRegex(program.stdout(), r"no reply from https://.*cmd=login.*SSL")
        self.assertEqual(service.commands(), ["login", "poll"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
