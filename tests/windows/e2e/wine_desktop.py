"""A private desktop for driving the Windows build under Wine as a user does.

One WineDesktop per test process, shared by the test modules beside this file: the shared
desktop harness (tests/desktop) gives an Xvfb display, a window manager (openbox) and a
notification area (trayer); on it runs one Wine prefix of its own, made once with `wineboot`.
Wine docks tray icons into trayer as windows of its explorer.exe, and its windows carry their
titles as X window names, so dialogs are found by title and answered with the keyboard through
xdotool. Wine's windows are not on the accessibility bus: what a dialog says is read from the
clipboard where its text can be selected and copied (the key), and otherwise from its picture
by OCR (tesseract). The menu's items are found in its picture, between its separator lines.

The packages under test are build-windows/tovimo-<version>-win64.zip and -setup.exe
(TOVIMO_WINDOWS_BUILD names another folder). The order service is the reference service of the
Linux build (TOVIMO_E2E_SERVICE, default build/service/tovimo-service) on the host the Windows
build was built for (its CMakeCache.txt, else TOVIMO_SERVICE_HOST); for a build for https it
serves a certificate of a throwaway CA, which SSL_CERT_FILE names to the program. The converter
is the ffmpeg.exe the packages ship beside the program.
"""

import atexit
import difflib
import glob
import hashlib
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

from Xlib import X
from Xlib.display import Display
from Xlib.error import XError

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "desktop"))
import harness  # noqa: E402
from harness import Timeout, read_file  # noqa: E402

BUILD_DIR = os.environ.get("TOVIMO_WINDOWS_BUILD", os.path.join(SOURCE_ROOT, "build-windows"))
SERVICE = os.environ.get(
    "TOVIMO_E2E_SERVICE", os.path.join(SOURCE_ROOT, "build", "service", "tovimo-service"))

# The host is a constant of the Windows build: its cache names it. The service of every test
# is started there (the shared harness reads TOVIMO_SERVICE_HOST).
_cached = re.search(r"^TOVIMO_SERVICE_HOST:\w+=(.*)$",
                    read_file(os.path.join(BUILD_DIR, "CMakeCache.txt")), re.M)
if _cached:
    os.environ["TOVIMO_SERVICE_HOST"] = _cached.group(1).strip()
SERVICE_SCHEME = harness.service_scheme(BUILD_DIR)
SERVICE_HOST, SERVICE_PORT = harness.service_address(BUILD_DIR)
SERVICE_BASE = "%s://%s:%d/tovimo/" % (SERVICE_SCHEME, SERVICE_HOST, SERVICE_PORT)

MENU_WITH_FILE = ["Go to website", "-", "Select file to convert", "Check task", "-", "Get key",
                  "-", "Tutorial", "-", "Exit"]
MENU_WITHOUT_FILE = [e for e in MENU_WITH_FILE if e != "Check task"]
TUTORIAL_QUESTION = "Do you want to see the tutorial in your WebBrowser?"

START_TIMEOUT = 60.0   # Wine's first start of a program in a prefix takes a while
UI_TIMEOUT = 20.0
CONVERT_TIMEOUT = 90.0


def wait_for(condition, what, timeout=UI_TIMEOUT, describe=None):
    return harness.wait_for(condition, what, timeout, describe)


def package(kind):
    """The build's zip ("win64.zip") or installer ("win64-setup.exe")."""
    found = sorted(glob.glob(os.path.join(BUILD_DIR, "tovimo-*-%s" % kind)))
    if not found:
        raise AssertionError("no tovimo-*-%s in %s: run scripts/build-windows" % (kind,
                                                                                BUILD_DIR))
    return found[-1]


def windows_path(path):
    """The path of a Unix file as Wine's programs name it: on drive Z:, the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineDesktop(harness.Session):
    """The shared harness's session with openbox, trayer and a Wine prefix of its own."""

    def __init__(self):
        super().__init__(prefix="tovimo-wine-e2e-")
        self.prefix = os.path.join(self.dir, "wine")
        self.browser_log = os.path.join(self.dir, "browser.log")
        self.program_dir = None
        self.tls = self.ca = None

    def _start(self):
        if SERVICE_SCHEME == "https":
            self.ca, *self.tls = harness.make_certificates(os.path.join(self.dir, "tls"))
        self.start_display()
        self.launch("openbox", ["openbox", "--sm-disable"])
        wait_for(lambda: self.x.property(self.x.root, "_NET_SUPPORTING_WM_CHECK"),
                 "the window manager", UI_TIMEOUT, lambda: self.log("openbox"))
        self.start_fixed_tray_host()
        # A persistent server keeps the prefix's desktop process between programs, which
        # spares each start several seconds.
        os.makedirs(self.prefix)
        self.run_wine(["wineserver", "-p"])
        self.run_wine(["wineboot", "--init"], timeout=300)
        # Windows' US keyboard layout DLL, which Wine lacks (see kbdus.c), where Windows has it.
        layout = os.path.join(self.prefix, "drive_c", "windows", "system32", "kbdus.dll")
        subprocess.run(["x86_64-w64-mingw32-gcc-posix", "-O2", "-shared", "-static-libgcc", "-o",
                        layout, os.path.join(HERE, "kbdus.c")], check=True, timeout=120)
        self.run_wine(["wine", "reg", "add",
                       r"HKLM\SYSTEM\CurrentControlSet\Control\Keyboard Layouts\00000409",
                       "/v", "Layout File", "/t", "REG_SZ", "/d", "kbdus.dll", "/f"])
        # Wine links the profile's folders to the Unix home's, and GLib cannot read a Unix
        # link through Wine: the profile gets folders of its own, as on Windows.
        users = os.path.join(self.prefix, "drive_c", "users")
        for user in os.listdir(users):
            for name in os.listdir(os.path.join(users, user)):
                path = os.path.join(users, user, name)
                if os.path.islink(path):
                    os.unlink(path)
                    os.mkdir(path)
        # Wine opens web pages through winebrowser, which runs the programs listed here with
        # the address: the test's recording browser.
        browser = os.path.join(self.dir, "record-browser")
        with open(browser, "w") as f:
            f.write("#!/bin/sh\n# Test web browser: records each address it is asked to show.\n"
                    "printf '%%s\\n' \"$1\" >> '%s'\n" % self.browser_log)
        os.chmod(browser, 0o755)
        self.run_wine(["wine", "reg", "add", r"HKCU\Software\Wine\WineBrowser", "/v", "Browsers",
                       "/t", "REG_SZ", "/d", browser, "/f"])
        # Folders open through winebrowser too, as pages do, and so reach the recorder.
        for kind in ("Directory", "Folder"):
            self.run_wine(["wine", "reg", "add", r"HKCR\%s\shell\open\command" % kind, "/ve",
                           "/t", "REG_SZ", "/d", 'winebrowser.exe "%1"', "/f"])
        # The program as a user unpacks it.
        unpacked = os.path.join(self.dir, "unpacked")
        with zipfile.ZipFile(package("win64.zip")) as z:
            z.extractall(unpacked)
        folders = os.listdir(unpacked)
        if len(folders) != 1:
            raise AssertionError("the zip holds %r, not one folder" % folders)
        self.program_dir = os.path.join(unpacked, folders[0])

    def start_fixed_tray_host(self):
        """trayer along the top left, of a fixed width. Wine places its docked icon once, in
        root coordinates, and is not told when the notification area moves; an area that
        grows with its icons would move the icon away from where Wine takes clicks."""
        self.trayer = self.launch("trayer", [
            "trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel",
            "--width", "160", "--height", "32", "--SetDockType", "true",
            "--transparent", "false"])
        wait_for(lambda: self.x.selection_owner("_NET_SYSTEM_TRAY_S0"),
                 "the notification area", UI_TIMEOUT, lambda: self.log("trayer"))

    def close(self):
        if self.display is not None and os.path.isdir(self.prefix):
            subprocess.run(["wineserver", "-k"], env=self.wine_env(), timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        super().close()

    def tls_file(self, name):
        """A file of the test run's certificates (tests/support/make-test-certs)."""
        return os.path.join(self.dir, "tls", name)

    def wine_env(self, **extra):
        if self.ca:
            extra.setdefault("SSL_CERT_FILE", windows_path(self.ca))
        return self.env(WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", **extra)

    def run_wine(self, argv, timeout=120):
        """Runs a Wine tool to its end; fails with its output when it fails. Output goes to a
        file: the processes it leaves running (the prefix's desktop, its services) would hold
        a pipe open."""
        log_path = os.path.join(self.dir, "wine-tools.log")
        with open(log_path, "ab") as log:
            start = log.tell()
            code = subprocess.run(argv, env=self.wine_env(), stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, timeout=timeout).returncode
        # The offset counts bytes: text read back has lost the line ends' carriage returns.
        output = read_file(log_path, "rb")[start:].decode(errors="replace").replace("\r\n", "\n")
        if code != 0:
            raise AssertionError("%s failed (%d): %s" % (" ".join(argv), code, output[-2000:]))
        return output

    def browser_urls(self):
        return [line for line in read_file(self.browser_log).splitlines() if line]

    # Windows, found by title as xdotool finds them.
    def find_window(self, title):
        found = self.visible_windows(title)
        return int(found[-1]) if found else None

    def wait_window(self, title, timeout=UI_TIMEOUT, program=None):
        def shown():
            if program is not None and not program.running():
                raise AssertionError("the program ended while waiting for %r\n%s" % (
                    title, program.describe()))
            return self.find_window(title)
        return wait_for(shown, "a window titled %r" % title, timeout,
                        program.describe if program else self.describe)

    def wait_gone(self, title, timeout=UI_TIMEOUT):
        wait_for(lambda: self.find_window(title) is None, "the window %r to close" % title,
                 timeout, self.describe)

    def focus(self, window):
        """Brings a window to the front with the keyboard focus, as a click on it would."""
        self.xdotool("windowactivate", "--sync", window, check=False)
        wait_for(lambda: self.xdotool("getactivewindow", check=False).strip() == str(window),
                 "window 0x%x to take the focus" % window, UI_TIMEOUT, self.describe)

    def keys(self, window, *keys):
        """Presses keys in a window after giving it the focus."""
        self.focus(window)
        self.xdotool("key", "--clearmodifiers", *keys)

    def press_until_gone(self, window, title, *keys):
        """Presses keys in the window `title` until it goes. Keys that another window shown
        meanwhile took, or pressed too early (GTK 3's chooser takes a typed location only once
        it has read its folder), are pressed again."""
        for attempt in range(4):
            self.keys(window, *keys)
            try:
                return wait_for(lambda: self.find_window(title) != window,
                                "the window %r to close" % title, UI_TIMEOUT / 4, self.describe)
            except Timeout:
                if attempt == 3:
                    raise

    def type_text(self, window, text):
        self.focus(window)
        self.xdotool("type", "--clearmodifiers", "--delay", "20", text)

    def click_at(self, x, y, button=1):
        """Moves the pointer and clicks. Wine takes a click only in a window that it has seen
        the pointer enter, so the click waits for the move to be handled."""
        self.xdotool("mousemove", int(x), int(y))
        time.sleep(0.5)
        self.xdotool("click", button)

    def picture(self, window, path):
        """Writes the window's picture to a PNG file; returns its rows of (r, g, b)."""
        x, y, width, height = self.x.on_screen(self.x.d.create_resource_object("window", window))
        data = self.x.root.get_image(x, y, width, height, X.ZPixmap, 0xffffffff).data
        subprocess.run([shutil.which("ffmpeg", path=harness.SYSTEM_PATH), "-v", "error", "-y",
                        "-f", "rawvideo", "-pix_fmt", "bgr0", "-s", "%dx%d" % (width, height),
                        "-i", "-", path], input=data, check=True, timeout=UI_TIMEOUT)
        return [[(data[i + 2], data[i + 1], data[i]) for i in range(r * width * 4,
                                                                    (r + 1) * width * 4, 4)]
                for r in range(height)]

    def coloured_spot(self, window, is_colour):
        """The middle, in root coordinates, of the pixels of `window` whose (r, g, b) passes
        `is_colour`; None when there are none."""
        x, y, width, height = self.x.on_screen(self.x.d.create_resource_object("window", window))
        image = self.x.root.get_image(x, y, width, height, X.ZPixmap, 0xffffffff).data
        found = []
        for i in range(width * height):
            b, g, r = image[i * 4:i * 4 + 3]
            if is_colour((r, g, b)):
                found.append((i % width, i // width))
        if not found:
            return None
        xs, ys = [p[0] for p in found], [p[1] for p in found]
        return x + (min(xs) + max(xs)) // 2, y + (min(ys) + max(ys)) // 2

    def balloon(self):
        """A balloon shown from the notification area (a tooltip window of Wine's tray, laid
        over the desktop), as (window id, geometry); None while there is none."""
        for window in self.x.children(self.x.root):
            try:
                attributes = window.get_attributes()
            except XError:
                continue
            pid = self.x.pid_of(window)
            geometry = self.x.on_screen(window)
            if attributes.override_redirect and attributes.map_state == X.IsViewable and \
                    pid not in (None, self.trayer.pid) and geometry and geometry[2] > 100:
                return window.id, geometry
        return None

    def read_text(self, window, faint=False):
        """The text that a window shows, read from its picture by OCR (tesseract): for the
        texts that cannot be selected and copied. `faint` darkens light grey text (GTK 3's
        progress bar writes its text so) to black first."""
        x, y, width, height = wait_for(
            lambda: self.x.on_screen(self.x.d.create_resource_object("window", window)),
            "window 0x%x on screen" % window, UI_TIMEOUT, self.describe)
        image = self.x.root.get_image(x, y, width, height, X.ZPixmap, 0xffffffff).data
        # Grey, without colour (the dialogs' coloured pictures touch the text), three times
        # as large: OCR reads small screen text better so.
        scale = 3
        rows = []
        for row in range(height):
            line = bytearray()
            for col in range(width):
                b, g, r = image[(row * width + col) * 4:(row * width + col) * 4 + 3]
                coloured = max(r, g, b) - min(r, g, b) >= 48
                grey = (r * 30 + g * 59 + b * 11) // 100
                if faint:
                    grey = min(255, max(0, grey - 200) * 255 // 40)
                line += bytes([255 if coloured else grey]) * scale
            rows.extend([bytes(line)] * scale)
        picture = os.path.join(self.dir, "ocr-%x.pgm" % window)
        with open(picture, "wb") as f:
            f.write(b"P5 %d %d 255\n" % (width * scale, height * scale) + b"".join(rows))
        result = subprocess.run(["tesseract", picture, "stdout", "--psm", "6"],
                                capture_output=True, text=True, timeout=UI_TIMEOUT,
                                env=self.env(OMP_THREAD_LIMIT="1"))
        os.unlink(picture)
        if result.returncode != 0:
            raise AssertionError("tesseract failed: " + result.stderr)
        return result.stdout

    def clipboard(self):
        """The text that the clipboard holds, as another program pastes it."""
        return clipboard_text(self.display)

    def converter_folder(self):
        """The unpacked program's folder, which holds the converter the zip ships."""
        if not os.path.isfile(os.path.join(self.program_dir, "ffmpeg.exe")):
            raise AssertionError("the zip holds no ffmpeg.exe beside tovimo.exe")
        return self.program_dir

    # Windows that come and go.
    def watch_new_windows(self):
        """From now on, windows that appear are noted with their process and name."""
        self.x.listen()
        self.x.drain()
        self.new_windows = {}

    def windows_seen(self):
        """{window id: (pid, name)} of the windows that appeared since watch_new_windows,
        read as they appeared (a window may be gone by now)."""
        for _, event in self.x.events(0):
            if event.type in (X.CreateNotify, X.MapNotify, X.ReparentNotify):
                window = event.window
                try:
                    name = window.get_wm_name()
                except XError:
                    continue
                if name:
                    self.new_windows[window.id] = (self.x.pid_of(window), name)
        return self.new_windows

    # The notification area.
    def tray_icons(self, newest_last=False):
        """The icons embedded in trayer, as (x, y, width, height): windows of another process
        inside trayer's. With `newest_last`, in the order they were made (X window ids grow)."""
        icons = []

        def walk(window, inside):
            for child in self.x.children(window):
                pid = self.x.pid_of(child)
                geometry = self.x.on_screen(child)
                if inside and pid not in (None, self.trayer.pid) and geometry and \
                        geometry[2] > 1 and geometry[3] > 1:
                    icons.append((child.id, geometry))
                else:
                    walk(child, inside or pid == self.trayer.pid)
        walk(self.x.root, False)
        if newest_last:
            icons.sort()
        return [geometry for _, geometry in icons]

    def describe(self):
        """The windows that have a process or a name (Wine and the window manager make many
        without either)."""
        lines = [line for line in self.x.describe().splitlines()
                 if not line.strip().endswith("pid=None None")]
        return "windows on %s:\n%s" % (self.display, "\n".join(lines))


class Program:
    """One run of tovimo.exe (the unpacked zip's, or `exe`) under Wine, started in a working
    folder."""

    def __init__(self, desktop, work_dir, name="program", exe=None, args=(), **env):
        self.desktop = desktop
        self.work_dir = work_dir
        self.stdout_path = os.path.join(desktop.dir, name + ".out")
        self.stderr_path = os.path.join(desktop.dir, name + ".err")
        exe = exe or os.path.join(desktop.program_dir, "tovimo.exe")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = harness.spawn(["wine", exe] + list(args), cwd=work_dir,
                                      env=desktop.wine_env(**env),
                                      stdout=out, stderr=err)
        self.pid = self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def stdout(self):
        """What the program printed, its line ends as text (Windows' C runtime may end a
        line with CR LF)."""
        return read_file(self.stdout_path).replace("\r\n", "\n")

    def describe(self):
        state = "running" if self.running() else "exited with status %s" % self.proc.returncode
        return "program %s; stdout %r; stderr (end):\n%s\n%s" % (
            state, self.stdout(), read_file(self.stderr_path)[-1500:], self.desktop.describe())

    def wait_exit(self, timeout=UI_TIMEOUT):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Timeout("the program did not end within %.0f s\n%s" % (timeout,
                                                                         self.describe()))

    def stop(self):
        return harness.stop_process(self.proc)

    def window(self, title, timeout=UI_TIMEOUT):
        return self.desktop.wait_window(title, timeout, self)

    def answer(self, title, *keys, timeout=UI_TIMEOUT):
        """Waits for the dialog `title` and answers it with keys; waits until it is gone."""
        window = self.window(title, timeout)
        self.desktop.press_until_gone(window, title, *keys)
        return window

    # The tray icon.
    def wait_icon(self, timeout=UI_TIMEOUT):
        def present():
            if not self.running():
                raise AssertionError("the program ended before its tray icon appeared\n" +
                                     self.describe())
            icons = self.desktop.tray_icons()
            return icons[0] if len(icons) == 1 else None
        return wait_for(present, "the tray icon in the notification area", timeout,
                        self.describe)

    def press_icon(self, button, shown, what):
        """Presses `button` on the icon until `shown()` gives something, which is returned.
        A press that Wine takes before its icon window has settled in the tray is lost, so
        a press that brought nothing is tried again."""
        d = self.desktop
        for attempt in range(4):
            x, y, w, h = self.wait_icon()
            d.xdotool("mousemove", 0, 400)
            time.sleep(0.2)
            d.xdotool("mousemove", x + w // 2, y + h // 2)
            time.sleep(0.5)
            d.xdotool("mousedown", button)
            try:
                return wait_for(shown, what, 4.0, self.describe)
            except Timeout:
                if attempt == 3:
                    raise
            finally:
                d.xdotool("mouseup", button)

    def open_menu(self, entries):
        """Right-clicks the icon and checks that the popup menu shows `entries` (labels from
        the top, "-" for a separator); returns {label: (x, y) of its middle}."""
        groups = [[]]
        for entry in entries:
            if entry == "-":
                groups.append([])
            else:
                groups[-1].append(entry)
        # The menu opens on the press and stays open after the release.
        menu = self.press_icon(3, self.popup, "the tray menu")
        # Read once it is drawn: the same picture twice in a row.
        seen = []

        def settled():
            try:
                places = menu_groups(self.desktop.x, menu, [len(g) for g in groups])
            except AssertionError as e:
                places = e
            seen.append(repr(places))
            return len(seen) > 1 and seen[-1] == seen[-2] and places
        places = wait_for(settled, "the tray menu to be drawn", UI_TIMEOUT,
                          lambda: "it reads %s\n%s" % (seen[-1:], self.describe()))
        if isinstance(places, AssertionError):
            raise places
        labels = [label for label in entries if label != "-"]
        lines = [line for line in self.desktop.read_text(menu.id).splitlines() if line.strip()]
        if len(lines) != len(labels) or any(shows(line, label) < 0.9
                                            for line, label in zip(lines, labels)):
            raise AssertionError("the tray menu reads %r, not %r" % (lines, labels))
        return dict(zip(labels, [place for group in places for place in group]))

    def activate_icon(self, title):
        """Left-clicks the icon; returns the window titled `title` that it opens."""
        return self.press_icon(1, lambda: self.desktop.find_window(title),
                               "a window titled %r" % title)

    def popup(self):
        """The program's popup window on screen (a window of its own, without a frame)."""
        for window in self.desktop.x.children(self.desktop.x.root):
            try:
                attributes = window.get_attributes()
            except XError:
                continue
            if attributes.override_redirect and self.desktop.x.pid_of(window) == self.pid and \
                    self.desktop.x.on_screen(window):
                return window
        return None

    def choose(self, menu, label):
        """Clicks the item `label` of the menu that open_menu opened."""
        self.desktop.click_at(*menu[label])
        wait_for(lambda: self.popup() is None, "the tray menu to close", UI_TIMEOUT,
                 self.describe)


def menu_groups(x, window, group_sizes=None):
    """The items of a popup menu as its picture shows them: the rows between the separator
    lines, each group split into `group_sizes` equal items (one each by default). Returns a
    list of groups, each a list of (x, y) middles of its items in root coordinates."""
    left, top, width, height = x.on_screen(window)
    image = window.get_image(0, 0, width, height, X.ZPixmap, 0xffffffff).data
    pixel = lambda col, row: image[(row * width + col) * 4:(row * width + col) * 4 + 3]
    inner = range(width // 10, width - width // 10)
    background = max(set(pixel(width // 2, r) for r in range(height)),
                     key=lambda p: sum(pixel(width // 2, r) == p for r in range(height)))
    lines = []
    for row in range(height):
        first = pixel(inner[0], row)
        if first != background and all(pixel(c, row) == first for c in inner):
            lines.append(row)
    # Runs of rows without a full line between the menu's border rows are the groups.
    bounds = [-1] + lines + [height]
    bands = [(a + 1, b) for a, b in zip(bounds, bounds[1:]) if b - a > 4]
    sizes = group_sizes or [1] * len(bands)
    if len(sizes) != len(bands):
        raise AssertionError("the menu shows %d groups of items, not %d" % (len(bands),
                                                                             len(sizes)))
    # Items are of one height: a group's height tells how many items it holds.
    item = min((b - a) / n for (a, b), n in zip(bands, sizes))
    shown = [round((b - a) / item) for a, b in bands]
    if shown != list(sizes):
        raise AssertionError("the menu's groups hold %r items, not %r" % (shown, list(sizes)))
    groups = []
    for (a, b), count in zip(bands, sizes):
        pitch = (b - a) / count
        groups.append([(left + width // 2, top + int(a + pitch * (k + 0.5)))
                       for k in range(count)])
    return groups


def sidebar_icons(rows):
    """The places of a file chooser's picture (rows of (r, g, b)): for each row of its sidebar,
    the shape of its icon (the pixels left of its label; none if empty)."""
    background = rows[len(rows) * 3 // 4][2]  # the empty sidebar below the places
    edge = next((x for x in range(20, len(rows[0])) if rows[len(rows) * 3 // 4][x] != background),
                0)  # 0 while the chooser is not drawn yet
    ink = [{x for x in range(2, edge - 2) if sum(abs(a - b) for a, b in zip(row[x], row[1])) > 90}
           for row in rows]
    places, top = [], None
    for y, inked in enumerate(ink + [set()]):
        if inked and top is None:
            top = y
        elif not inked and top is not None:
            if y - top >= 6:  # not a section's separator line; labels begin 38 pixels in
                places.append(frozenset((x, z - top) for z in range(top, y) for x in ink[z]
                                        if x < 34))
            top = None
    return places


_desktop = None


def desktop():
    """The desktop that every test of this process shares; started on first use."""
    global _desktop
    if _desktop is None:
        signal.signal(signal.SIGTERM, _interrupt)
        _desktop = WineDesktop().start()
        atexit.register(_close)
    return _desktop


def _close():
    global _desktop
    if _desktop is not None:
        _desktop.close()
        _desktop = None


def _interrupt(signum, frame):
    raise KeyboardInterrupt("terminated")


def clipboard_text(display_name, timeout=UI_TIMEOUT):
    """The text that the CLIPBOARD selection holds, asked for as another program pastes it;
    None when nobody owns it."""
    d = Display(display_name)
    try:
        window = d.screen().root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
        clipboard, utf8, target = (d.intern_atom(n) for n in (
            "CLIPBOARD", "UTF8_STRING", "TOVIMO_E2E_PASTE"))
        if d.get_selection_owner(clipboard) == X.NONE:
            return None
        window.convert_selection(clipboard, utf8, target, X.CurrentTime)
        d.flush()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if d.pending_events() or select.select([d.fileno()], [], [], 0.2)[0]:
                event = d.next_event()
                if event.type == X.SelectionNotify:
                    if event.property == X.NONE:
                        return None
                    value = window.get_full_property(target, X.AnyPropertyType)
                    data = value.value if value is not None else b""
                    return data.decode("utf-8", "replace") if isinstance(data, bytes) else \
                        str(data)
        raise Timeout("the clipboard's owner did not answer within %.0f s" % timeout)
    finally:
        d.close()


# --- What the tests need to know independently of the program ------------------------------

def shows(ocr_text, expected):
    """How closely the best matching stretch of text read by OCR matches `expected`, from 0 to
    1, white space, letter case and the kind of quote aside (OCR confuses them at this size)."""
    def norm(text):
        return " ".join(text.replace("\u2019", "'").replace("\u2018", "'").lower().split())
    haystack, needle = norm(ocr_text), norm(expected)
    best = 0.0
    for start in range(max(1, len(haystack) - len(needle) + 1)):
        best = max(best, difflib.SequenceMatcher(
            None, needle, haystack[start:start + len(needle)]).ratio())
    return best


def machine_keys():
    """The client keys this machine's adapters give: the MD5 of each address that is not
    loopback and not zero, written as 00-1A-2B-3C-4D-5E."""
    keys = set()
    for name in os.listdir("/sys/class/net"):
        parts = read_file("/sys/class/net/%s/address" % name).strip().split(":")
        if len(parts) == 6 and set(parts) != {"00"}:
            keys.add(hashlib.md5("-".join(p.upper() for p in parts).encode()).hexdigest())
    return keys


def processes():
    """The running processes' command lines by pid, as ps shows them."""
    found = {}
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            text = read_file("/proc/%s/cmdline" % pid).replace("\0", " ").strip()
            if text:
                found[int(pid)] = text
    return found


# --- Test cases on the shared desktop --------------------------------------------------------

class WineTestCase(unittest.TestCase):
    """A test on the process's Wine desktop, with helpers for what a user does."""

    def setUp(self):
        self.desktop = desktop()
        self.dir = tempfile.mkdtemp(prefix="test-", dir=self.desktop.dir)
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.programs = 0

    def start_service(self, announce=None):
        """The reference service, with a fresh order book, on the program's host."""
        service = harness.OrderService(SERVICE, os.path.join(self.dir, "orders.sqlite"),
                                       "%s:%d" % (SERVICE_HOST, SERVICE_PORT), announce,
                                       self.desktop.env(), self.desktop.tls)
        service.start()
        self.addCleanup(service.stop)
        return service

    def start_program(self, work_dir=None, exe=None, args=(), **env):
        """tovimo.exe from the unpacked zip (or `exe`), in `work_dir` (default: the zip's
        folder, with the converter beside it), with `env` added to its environment."""
        self.programs += 1
        program = Program(self.desktop, work_dir or self.desktop.converter_folder(),
                          "%s-%d" % (os.path.basename(self.dir), self.programs), exe, args,
                          **env)
        self.addCleanup(program.stop)
        return program

    def start_logged_in(self, work_dir=None, exe=None):
        """The service and the program up in the tray, the tutorial offered to the new client
        declined."""
        service = self.start_service()
        program = self.start_program(work_dir, exe)
        self.assert_shows(program.window("Confirmation", START_TIMEOUT), TUTORIAL_QUESTION)
        program.answer("Confirmation", "alt+n")
        program.wait_icon()
        return service, program

    def select_clip(self, program, clip, look=False):
        """Selects `clip` as a user does (the icon, Yes, its location typed into the open
        chooser); the poll follows. Returns the client's key from the order page that then
        opens in the browser, through the shell. With `look`, the chooser's places are looked
        at first (its picture is left beside the packages, open-file.png)."""
        d = self.desktop
        opened = len(d.browser_urls())  # by earlier tests of the desktop
        question = program.activate_icon("Confirm")
        self.assert_shows(question, "Do you want to select file to convert?")
        d.keys(question, "alt+y")
        chooser = program.window("Open File")
        if look:
            # Each place with an icon of its own (but the drives, which share one): without the
            # packages' icons GTK draws its few built-in ones, one folder for all the folders.
            path, places = os.path.join(BUILD_DIR, "open-file.png"), []
            wait_for(lambda: places.append(sidebar_icons(d.picture(chooser, path))) or (
                len(places[-1]) >= 8 and all(places[-1]) and
                len(set(places[-1])) >= len(places[-1]) - 2),
                "the chooser's places, each with its icon", UI_TIMEOUT,
                lambda: "its places' icons: %r (%s)" % ([len(i) for i in places[-1]], path))
        d.keys(chooser, "ctrl+l")
        d.type_text(chooser, windows_path(clip))
        d.press_until_gone(chooser, "Open File", "Return")
        urls = wait_for(lambda: d.browser_urls()[opened:], "the order page in the browser",
                        UI_TIMEOUT, program.describe)
        found = re.fullmatch(re.escape(SERVICE_BASE) + r"index\.php\?data=([0-9a-f]{32})&ver=1",
                             urls[0])
        self.assertEqual(len(urls), 1, urls)
        self.assertIsNotNone(found, "the browser was sent to %r" % urls[0])
        return found.group(1)

    def assert_shows(self, window, text):
        """The window shows `text`, as OCR reads its picture (a character or two may be
        misread)."""
        def read():
            seen.append(self.desktop.read_text(window))
            return shows(seen[-1], text) >= 0.93
        seen = []
        wait_for(read, "the window to show %r" % text, UI_TIMEOUT,
                 lambda: "it reads %r" % seen[-1:])

    def copy_text(self, window):
        """What a user copies from the dialog's text: its selectable label takes the focus
        (which selects all of it) and Ctrl+C copies it."""
        self.desktop.keys(window, "shift+Tab")
        self.desktop.keys(window, "ctrl+c")
        return wait_for(self.desktop.clipboard, "the dialog's text on the clipboard",
                        UI_TIMEOUT, self.desktop.describe)

    def exit_program(self, program, menu):
        """Exit from the menu, confirmed; the program ends with status 0."""
        program.choose(menu, "Exit")
        self.assert_shows(program.window("confirm"), "Are you sure?")
        program.answer("confirm", "alt+y")
        self.assertEqual(program.wait_exit(), 0)
        wait_for(lambda: not self.desktop.tray_icons(), "the tray icon to go", UI_TIMEOUT,
                 self.desktop.describe)
