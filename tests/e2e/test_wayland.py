#!/usr/bin/python3
"""A whole conversion on a Wayland desktop with no X server: sway on wlroots' headless backend
without XWayland, waybar's tray as the StatusNotifierItem host, the program on GDK's Wayland
backend. The item is driven as its host drives it (Activate, and dbusmenu's "clicked" events);
the windows are read and answered through the accessibility bus, typed into with wtype.

sway refuses to run as root, so a root run first copies the program, the service and their
files into a folder of its own and becomes the user nobody. TOVIMO_WAYLAND_OUTPUT names the
folder for the screenshots of the desktop (grim)."""

import json
import os
import shutil
import subprocess
import tempfile

from gi.repository import GLib

import desktop
import harness
from desktop import (ORDER_PAGE, ORDER_QUESTION, SELECT_QUESTION, TUTORIAL_QUESTION,
                     CONVERT_TIMEOUT, DesktopTestCase, answer, choose_file, place_order, probe,
                     wait_for)
from test_conversion import MENU_WITH_FILE, STATUS_TEXT, progress_percent, wait_window_closed

NOTIFIER = os.path.join(desktop.SOURCE_ROOT, "tests", "support", "fake-notifications")
OUTPUT = os.environ.get("TOVIMO_WAYLAND_OUTPUT", os.path.join(desktop.SOURCE_ROOT, "build"))
WATCHER = ("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher")
output_dir = None  # the output folder, opened before this process gave up root


class WaylandDesktop(desktop.Desktop):
    """sway, the accessibility bus, waybar and a notification service on a bus of their own."""

    def _start(self):
        self.start_bus()
        self.start_wayland()
        self.launch("atspi", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
        wait_for(lambda: self.name_owner("org.a11y.Bus"), "the accessibility bus",
                 describe=lambda: self.log("atspi"))
        self.start_waybar()
        self.notices = os.path.join(self.dir, "notifications.jsonl")
        self.launch("notifications", [NOTIFIER, self.notices])
        wait_for(lambda: os.path.exists(self.notices), "the notification service")
        self._start_client_side()


def setUpModule():
    desktop._quiet_accessibility_warnings()
    desktop._desktop = WaylandDesktop().start()


tearDownModule = desktop.tearDownModule


def peers(pid):
    """The addresses of the sockets that process `pid` is connected to, as ss lists them."""
    rows = [line.split() for line in subprocess.run(
        ["ss", "-xpn"], capture_output=True, text=True, check=True).stdout.splitlines()[1:]]
    address = {r[5]: r[4] for r in rows if len(r) > 7}
    return {address.get(r[7]) for r in rows if len(r) > 8 and "pid=%d," % pid in r[8]}


class WaylandFlow(DesktopTestCase):

    def shown(self, program, title):
        """Waits until sway shows the program's window `title`; every window of the program
        that sway lists must be a Wayland client's (xdg_shell), none XWayland's."""
        windows = wait_for(lambda: (lambda ws: any(w["name"] == title for w in ws) and ws)(
            [w for w in self.desktop.sway_windows() if harness.in_session(w["pid"], program.pid)]),
            "sway to show %r" % title, describe=program.describe)
        self.assertEqual({w.get("shell") for w in windows}, {"xdg_shell"}, windows)

    def screenshot(self, name):
        shot = self.desktop.screenshot(os.path.join(self.desktop.dir, name))
        with open(shot, "rb") as f, open(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
                                                 0o644, dir_fd=output_dir), "wb") as out:
            out.write(f.read())
        print("screenshot: " + os.path.join(OUTPUT, name), flush=True)

    def test_converts_through_the_item_with_no_x_server(self):
        s = self.desktop
        service = self.start_service()
        program = self.start_program()
        self.shown(program, "Confirmation")
        answer(program, "Confirmation", TUTORIAL_QUESTION, "No")

        # The item goes straight to waybar's watcher; its owner is the program.
        def registered():
            return s.call(WATCHER[0], WATCHER[1], "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", (WATCHER[0], "RegisteredStatusNotifierItems")),
                          "(v)")[0]
        items = wait_for(registered, "the item in waybar's tray", describe=program.describe)
        self.assertEqual(len(items), 1, items)
        item = items[0].partition("/")[0]
        self.assertEqual(s.call("org.freedesktop.DBus", "/", "org.freedesktop.DBus",
                                "GetConnectionUnixProcessID", GLib.Variant("(s)", (item,)),
                                "(u)")[0], program.pid)

        s.call(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
               GLib.Variant("(ii)", (0, 0)))
        self.shown(program, "Confirm")
        answer(program, "Confirm", SELECT_QUESTION, "Yes")
        clip = self.add_clip()
        self.shown(program, "Open File")
        choose_file(program, clip)
        page = self.wait_browser(1, program)[0]
        key = ORDER_PAGE.match(page).group(1)
        # The item says what the program waits for.
        tooltip = s.call(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "ToolTip")),
                         "(v)")[0]
        self.assertEqual(tooltip[2], "Tovimo: waiting for the order for clip.flv")
        place_order(page, "AVI")

        self.assertEqual(["-" if label == "---" else label for _, label in s.item_menu(item)[1]],
                         MENU_WITH_FILE)
        s.click_item_entry(item, "Check task")
        self.shown(program, "Confirmation")
        self.screenshot("wayland-order-question.png")
        answer(program, "Confirmation", ORDER_QUESTION, "Yes")
        self.shown(program, "Save File")
        program.ui.wait_window("Save File").press("Save")
        wait_for(lambda: progress_percent(program) == 100,
                 "the converter window's progress bar to reach 100 %", CONVERT_TIMEOUT,
                 lambda: "it reads %r\n%s" % (progress_percent(program), program.describe()))
        wait_window_closed(program)
        self.shown(program, "status")
        self.assertEqual(program.ui.wait_window("status").labels(), [STATUS_TEXT])
        destination = os.path.join(self.home.videos, "movie.avi")
        self.assertEqual(program.stdout(), "ffmpeg -i '%s' -f avi -y '%s'\n" % (clip, destination))
        info = probe(destination)
        self.assertEqual(sorted((st["codec_type"], st["codec_name"]) for st in info["streams"]),
                         [("audio", "mp3"), ("video", "mpeg4")], info)
        self.assertEqual(service.commands(), ["login", "poll", "poll", "yes"])
        self.assertEqual(service.command("poll", key), "OK", "the order is still open")
        notices = wait_for(lambda: harness.read_file(s.notices), "the notification")
        self.assertEqual([json.loads(n)["summary"] for n in notices.splitlines()],
                         ["Conversion done"])
        self.screenshot("wayland-done.png")

        # No X server for the program: none named to it, none it is connected to; the
        # compositor is.
        with open("/proc/%d/environ" % program.pid, "rb") as f:
            names = [v.partition(b"=")[0] for v in f.read().split(b"\0")]
        self.assertNotIn(b"DISPLAY", names)
        connected = peers(program.pid)
        self.assertIn(s.wayland, connected)
        self.assertEqual([c for c in connected if c and ".X11-unix" in c], [], connected)
        program.ui.find("status").press("OK")
        program.ui.wait_gone("status")
        self.assertTrue(program.running(), program.describe())


def give_up_root():
    """Run as root: the program, the service, their data and the notification stand-in are
    copied into a folder of the unprivileged user's, the output folder is made theirs and kept
    open (the build tree's parents need not admit them), and this process becomes that user."""
    global output_dir, NOTIFIER
    os.makedirs(OUTPUT, exist_ok=True)
    stage = None
    if os.getuid() == 0:
        stage = tempfile.mkdtemp(prefix="tovimo-wayland-")
        for name in ("PROGRAM", "SERVICE", "DATA_DIR"):
            source = getattr(desktop, name)
            copy = shutil.copytree if os.path.isdir(source) else shutil.copy
            setattr(desktop, name, copy(source, os.path.join(stage, os.path.basename(source))))
        NOTIFIER = shutil.copy(NOTIFIER, stage)
        for folder in (stage, OUTPUT):
            for where, subs, files in os.walk(folder):
                for path in [where] + [os.path.join(where, f) for f in files]:
                    os.chown(path, 65534, 65534)
    output_dir = os.open(OUTPUT, os.O_RDONLY | os.O_DIRECTORY)
    harness.become_unprivileged(65534)
    return stage


if __name__ == "__main__":
    stage = give_up_root()
    try:
        desktop.main()
    finally:
        if stage:
            shutil.rmtree(stage, ignore_errors=True)
