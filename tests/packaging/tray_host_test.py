#!/usr/bin/env python3
"""The real program finds its place in the desktop's tray: embedded in a notification area
where one is, offered as a StatusNotifierItem where the session bus has a StatusNotifierWatcher
and nothing embeds the icon.

Usage: tray_host_test.py PROGRAM SERVICE DATA_DIR [unittest options]
Each test has its own display, session bus, home and order service (127.0.0.1:8765).
"""

import os
import subprocess
import sys
import unittest

from session import Session, client_key, describe_tree, embedded_in_tray, wait_for

PROGRAM = SERVICE = DATA_DIR = None

MENU = ["Go to website", "---", "Select file to convert", "---", "Get key", "---", "Tutorial",
        "---", "Exit"]
KEPT_ICON = "tray: the notification area holds the icon"


def visible_windows(display, title):
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                         env=dict(os.environ, DISPLAY=display), capture_output=True, text=True,
                         timeout=10).stdout
    return out.split()


class TrayHostTest(unittest.TestCase):
    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)
        self.session.start_display()
        self.session.start_bus()

    def start_program(self):
        s = self.session
        s.start_service(SERVICE)
        s.log_in(client_key())  # not a new client: no tutorial question before the tray
        return s.start("tovimo", [PROGRAM], cwd=DATA_DIR, env=s.env(G_MESSAGES_DEBUG="tovimo"))

    def registrations(self, watcher):
        return [line.split()[1] for line in watcher.output().splitlines()
                if line.startswith("registered ")]

    def test_offers_an_item_with_the_same_menu_where_nothing_embeds_the_icon(self):
        s = self.session
        watcher = s.start_watcher()
        program = self.start_program()
        items = wait_for(lambda: self.registrations(watcher), "the item's registration",
                         describe=lambda: watcher.output() + program.output())
        self.assertEqual(len(items), 1)
        self.assertEqual(s.item_names(), items)
        self.assertEqual(s.menu_labels(items[0]), MENU)

        # Activating the item asks what a left click on the icon asks.
        from gi.repository import GLib
        s.call(items[0], "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
               GLib.Variant("(ii)", (0, 0)))
        wait_for(lambda: visible_windows(s.display, "Confirm"), "the question \"Confirm\"",
                 describe=lambda: describe_tree(s.display) + program.output())
        self.assertTrue(program.running(), program.output())

    def test_keeps_the_icon_where_a_notification_area_embeds_it(self):
        s = self.session
        watcher = s.start_watcher()
        s.start_tray_host()
        program = self.start_program()
        wait_for(lambda: embedded_in_tray(s.display, "tovimo"), "the icon in the tray",
                 describe=lambda: describe_tree(s.display) + program.output())
        wait_for(lambda: KEPT_ICON in program.output(), "the program's choice",
                 describe=program.output)
        self.assertEqual(self.registrations(watcher), [])
        self.assertEqual(s.item_names(), [])
        self.assertTrue(embedded_in_tray(s.display, "tovimo"))
        self.assertTrue(program.running(), program.output())

    def test_keeps_the_icon_without_a_watcher(self):
        s = self.session
        s.start_tray_host()
        program = self.start_program()
        wait_for(lambda: embedded_in_tray(s.display, "tovimo"), "the icon in the tray",
                 describe=lambda: describe_tree(s.display) + program.output())
        wait_for(lambda: KEPT_ICON in program.output(), "the program's choice",
                 describe=program.output)
        self.assertEqual(s.item_names(), [])
        self.assertTrue(program.running(), program.output())


if __name__ == "__main__":
    PROGRAM, SERVICE, DATA_DIR = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
