#!/usr/bin/env python3
"""The real program finds its place in the desktop's tray: embedded in a notification area
where one is, offered as a StatusNotifierItem where the session bus has a StatusNotifierWatcher
and nothing embeds the icon.

Usage: tray_host_test.py PROGRAM SERVICE DATA_DIR [unittest options]
Each test has its own display, session bus, home and order service on the program's host.
"""

import os
import sys
import unittest

from gi.repository import GLib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "desktop"))
from harness import Session, client_key, service_address, wait_for  # noqa: E402

PROGRAM = SERVICE = DATA_DIR = None

MENU = ["Go to website", "---", "Select file to convert", "---", "Get key", "---", "Tutorial",
        "---", "Exit"]
KEPT_ICON = "tray: the notification area holds the icon"
ITEM_PREFIX = "org.kde.StatusNotifierItem-"


class TrayHostTest(unittest.TestCase):
    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)
        self.session.start_display()
        self.session.start_bus()

    def start_watcher(self):
        """A StatusNotifierWatcher standing in for a desktop's, on the session's bus."""
        watcher = self.session.launch("watcher", [sys.executable,
                                                 os.path.join(HERE, "sni_watcher.py")])
        wait_for(lambda: "ready" in watcher.output().split(), "the StatusNotifierWatcher",
                 describe=watcher.output)
        return watcher

    def start_program(self):
        s = self.session
        key = client_key()
        self.assertIsNotNone(key, "this machine has no network adapter for a client key")
        # Not a new client: no tutorial question before the tray.
        s.start_service(SERVICE).command("login", key)
        return s.launch("tovimo", [PROGRAM], cwd=DATA_DIR, env=s.env(G_MESSAGES_DEBUG="tovimo"))

    def item_names(self):
        names = self.session.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "ListNames", None, "(as)")[0]
        return sorted(n for n in names if n.startswith(ITEM_PREFIX))

    def menu_labels(self, item):
        """The item's menu as a host shows it: labels from the top, "---" for a separator."""
        return [label for _, label in self.session.item_menu(item)[1]]

    def registrations(self, watcher):
        return [line.split()[1] for line in watcher.output().splitlines()
                if line.startswith("registered ")]

    def test_offers_an_item_with_the_same_menu_where_nothing_embeds_the_icon(self):
        s = self.session
        watcher = self.start_watcher()
        program = self.start_program()
        items = wait_for(lambda: self.registrations(watcher), "the item's registration",
                         describe=lambda: watcher.output() + program.output())
        self.assertEqual(len(items), 1)
        self.assertEqual(self.item_names(), items)
        self.assertEqual(self.menu_labels(items[0]), MENU)

        # Activating the item asks what a left click on the icon asks.
        s.call(items[0], "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
               GLib.Variant("(ii)", (0, 0)))
        wait_for(lambda: s.visible_windows("Confirm"), "the question \"Confirm\"",
                 describe=lambda: s.describe() + program.output())
        self.assertTrue(program.running(), program.output())

    def test_keeps_the_icon_where_a_notification_area_embeds_it(self):
        s = self.session
        watcher = self.start_watcher()
        s.start_tray_host()
        program = self.start_program()
        wait_for(lambda: s.tray_icon(program.pid), "the icon in the tray",
                 describe=lambda: s.describe() + program.output())
        wait_for(lambda: KEPT_ICON in program.output(), "the program's choice",
                 describe=program.output)
        self.assertEqual(self.registrations(watcher), [])
        self.assertEqual(self.item_names(), [])
        self.assertTrue(s.tray_icon(program.pid))
        self.assertTrue(program.running(), program.output())

    def test_keeps_the_icon_without_a_watcher(self):
        s = self.session
        s.start_tray_host()
        program = self.start_program()
        wait_for(lambda: s.tray_icon(program.pid), "the icon in the tray",
                 describe=lambda: s.describe() + program.output())
        wait_for(lambda: KEPT_ICON in program.output(), "the program's choice",
                 describe=program.output)
        self.assertEqual(self.item_names(), [])
        self.assertTrue(program.running(), program.output())


if __name__ == "__main__":
    PROGRAM, SERVICE, DATA_DIR = sys.argv[1:4]
    os.environ["TOVIMO_SERVICE_HOST"] = "%s:%d" % service_address(os.path.dirname(PROGRAM))
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
