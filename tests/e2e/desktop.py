"""A private desktop for driving the real tray program as a user does.

One Desktop per test process: an Xvfb display, a session bus with the accessibility bus, a
window manager (openbox) and a notification area (tint2's). On it, each test starts the real
program in a fresh home and working directory against an order service on the host the
program is built for, clicks its tray icon with xdotool, and reads and answers its windows
through the accessibility bus. The display, bus, tray and service come from the shared
harness in tests/desktop.

Every wait here is a bounded poll; a timeout fails with a description of what was on screen.

The test modules beside this file use it through DesktopTestCase. CTest runs them (label e2e);
by hand, from a built tree:

    /usr/bin/python3 tests/e2e/test_startup.py [-k NAME]

with TOVIMO_E2E_PROGRAM, TOVIMO_E2E_SERVICE and TOVIMO_E2E_DATA naming the program, the
service and the data folder when they are not build/tovimo, build/service/tovimo-service and
data/ of this source tree, and TOVIMO_SERVICE_HOST and TOVIMO_SERVICE_SCHEME the program's
service host and scheme when they are not the ones in the program's CMakeCache.txt (over https
the service gets a certificate of a throwaway CA that the program is told to trust). Needs Xvfb,
openbox, tint2, xdotool, dbus-daemon, the accessibility bus, python3-pyatspi and ffmpeg.
"""

import html.parser
import json
import http.server
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.parse
import urllib.request
import warnings

from gi.repository import GLib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "desktop"))
import harness  # noqa: E402
from harness import SYSTEM_PATH, Timeout, read_file, spawn, stop_process  # noqa: E402


def _quiet_accessibility_warnings():
    """The accessibility library warns about its own deprecated names on every call."""
    warnings.filterwarnings("ignore", category=DeprecationWarning, message="Atspi")
    warnings.filterwarnings("ignore", category=ImportWarning, message="DynamicImporter")


PROGRAM = os.environ.get("TOVIMO_E2E_PROGRAM", os.path.join(SOURCE_ROOT, "build", "tovimo"))
SERVICE = os.environ.get(
    "TOVIMO_E2E_SERVICE", os.path.join(SOURCE_ROOT, "build", "service", "tovimo-service"))
DATA_DIR = os.environ.get("TOVIMO_E2E_DATA", os.path.join(SOURCE_ROOT, "data"))

SERVICE_SCHEME = harness.service_scheme(os.path.dirname(PROGRAM))
SERVICE_HOST, SERVICE_PORT = harness.service_address(os.path.dirname(PROGRAM))
SERVICE_BASE = "%s://%s:%d/tovimo/" % (SERVICE_SCHEME, SERVICE_HOST, SERVICE_PORT)

# The converter under test is Debian's, whatever else the caller has on PATH.
FFMPEG = shutil.which("ffmpeg", path=SYSTEM_PATH) or "ffmpeg"
FFPROBE = shutil.which("ffprobe", path=SYSTEM_PATH) or "ffprobe"

# Bounds. Generous, since they only cost time when something is wrong.
START_TIMEOUT = 20.0
UI_TIMEOUT = 15.0
CONVERT_TIMEOUT = 60.0


def wait_for(condition, what, timeout=UI_TIMEOUT, describe=None):
    """Polls `condition` until it returns a true value, which is returned. An accessible
    object that vanishes while the condition looks at it (a window closing) counts as not
    yet."""
    return harness.wait_for(condition, what, timeout, describe, transient=(GLib.Error,))


# --- The desktop session ----------------------------------------------------------------------

class Desktop(harness.Session):
    """The shared harness's session with the accessibility bus, openbox and tint2, for one
    test process."""

    def __init__(self):
        super().__init__(prefix="tovimo-e2e-")

    def _start(self):
        self.start_display()
        self.start_bus()
        self.launch("atspi", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
        wait_for(lambda: self.x.property(self.x.root, "AT_SPI_BUS"),
                 "the accessibility bus", START_TIMEOUT, lambda: self.log("atspi"))
        self.launch("openbox", ["openbox", "--sm-disable"])
        wait_for(lambda: self.x.property(self.x.root, "_NET_SUPPORTING_WM_CHECK"),
                 "the window manager", START_TIMEOUT, lambda: self.log("openbox"))
        self.start_tray_host()
        self._start_client_side()

    def _start_client_side(self):
        """What this process needs once the desktop is up: the accessibility bus, the CA."""
        # A program built for https trusts the test's own CA, as does this process's urllib.
        self.tls = None
        if SERVICE_SCHEME == "https":
            ca, *self.tls = harness.make_certificates(os.path.join(self.dir, "tls"))
            os.environ["SSL_CERT_FILE"] = ca
        # The accessibility client library reads the session's address (which the harness
        # has put in this process's environment) when it is loaded.
        global pyatspi
        import pyatspi  # noqa: F401  (loaded here, once the session exists)

    def stop(self):
        self.close()


# --- A fresh home for one program run -------------------------------------------------------

class Home:
    """HOME, XDG folders with Desktop and Videos, a recording web browser, a working folder
    with the program's interface files."""

    def __init__(self, parent):
        self.root = tempfile.mkdtemp(prefix="run-", dir=parent)
        self.home = os.path.join(self.root, "home")
        self.desktop = os.path.join(self.home, "Desktop")
        self.videos = os.path.join(self.home, "Videos")
        self.config = os.path.join(self.home, ".config")
        self.data = os.path.join(self.home, ".local", "share")
        self.cache = os.path.join(self.home, ".cache")
        self.runtime = os.path.join(self.root, "runtime")
        self.work = os.path.join(self.root, "work")
        self.bin = os.path.join(self.root, "bin")
        self.browser_log = os.path.join(self.root, "browser.log")
        for folder in (self.desktop, self.videos, self.config, self.cache, self.work, self.bin,
                       os.path.join(self.data, "applications")):
            os.makedirs(folder, exist_ok=True)
        os.makedirs(self.runtime, mode=0o700)
        with open(os.path.join(self.config, "user-dirs.dirs"), "w") as f:
            f.write('XDG_DESKTOP_DIR="$HOME/Desktop"\nXDG_VIDEOS_DIR="$HOME/Videos"\n')
        browser = os.path.join(self.bin, "record-browser")
        with open(browser, "w") as f:
            f.write("#!/bin/sh\n# Test web browser: records each address it is asked to show.\n"
                    "printf '%%s\\n' \"$1\" >> '%s'\n" % self.browser_log)
        os.chmod(browser, 0o755)
        with open(os.path.join(self.data, "applications", "e2e-browser.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Recording browser\n"
                    "Exec=%s %%u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n"
                    "NoDisplay=true\n" % browser)
        with open(os.path.join(self.config, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=e2e-browser.desktop\n"
                    "x-scheme-handler/https=e2e-browser.desktop\n")
        for name in ("ui.glade", "exit.png"):
            shutil.copy(os.path.join(DATA_DIR, name), self.work)

    def env(self, desktop, path=None):
        env = desktop.env()
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.config, XDG_DATA_HOME=self.data,
                   XDG_CACHE_HOME=self.cache, XDG_RUNTIME_DIR=self.runtime,
                   GNOME_ACCESSIBILITY="1",
                   GIO_USE_VFS="local", PATH=path if path is not None else SYSTEM_PATH)
        env.pop("NO_AT_BRIDGE", None)
        return env

    def browser_urls(self):
        return [line for line in read_file(self.browser_log).splitlines() if line]


# --- The program ----------------------------------------------------------------------------

class Program:
    """One run of the tray program, as a process on the desktop."""

    def __init__(self, desktop, home, path=None, args=(), name="program"):
        self.desktop = desktop
        self.home = home
        self.stdout_path = os.path.join(home.root, name + ".out")
        self.stderr_path = os.path.join(home.root, name + ".err")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = spawn([PROGRAM] + list(args), cwd=home.work,
                              env=home.env(desktop, path), stdout=out, stderr=err)
        self.pid = self.proc.pid
        self.ui = Ui(self)

    def running(self):
        return self.proc.poll() is None

    def stdout(self):
        return read_file(self.stdout_path)

    def stderr(self):
        return read_file(self.stderr_path)

    def describe(self):
        state = "running" if self.running() else "exited with status %s" % self.proc.returncode
        return "program %s; on screen:\n%s\nstdout: %r\nstderr (end):\n%s" % (
            state, self.ui.describe(), self.stdout(), self.stderr()[-1500:])

    def wait_exit(self, timeout=UI_TIMEOUT):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Timeout("the program did not end within %.0f s\n%s" % (timeout,
                                                                         self.describe()))

    def stop(self):
        return stop_process(self.proc)

    # The tray icon.
    def icon(self):
        return self.desktop.tray_icon(self.pid)

    def wait_icon(self, timeout=UI_TIMEOUT):
        def present():
            if not self.running():
                raise AssertionError("the program ended before its tray icon appeared\n" +
                                     self.describe())
            return self.icon()
        return wait_for(present, "the tray icon in the notification area", timeout,
                        self.describe)

    def click_icon(self, button):
        x, y, w, h = self.wait_icon()
        self.desktop.click_at(x + w // 2, y + h // 2, button)

    def open_menu(self):
        """Right-clicks the icon; returns the popup menu's entries from the top, separators
        as "-"."""
        self.click_icon(3)
        return self.ui.wait_menu()

    def choose(self, item):
        """Opens the menu and clicks `item` in it."""
        entries = self.open_menu()
        if item not in entries:
            raise AssertionError("no %r in the tray menu %r" % (item, entries))
        self.ui.click_menu_item(item)


# --- What the program shows, through the accessibility bus ---------------------------------

_TOP_ROLES = ("dialog", "alert", "frame", "window", "file chooser")


class Ui:
    """The program's windows as the accessibility bus shows them."""

    def __init__(self, program):
        self.program = program

    def app(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            try:
                app = desktop.getChildAtIndex(i)
                if app is not None and app.get_process_id() == self.program.pid:
                    # Ask the program afresh: windows come and go. (A cache mask of none would
                    # make the library answer events with calls of its own while it waits,
                    # which deadlocks it.)
                    app.clear_cache()
                    return app
            except Exception:
                continue
        return None

    def windows(self):
        """The program's showing top-level windows as Window objects."""
        app = self.app()
        result = []
        if app is None:
            return result
        try:
            count = app.childCount
        except GLib.Error:
            return result  # the program has gone, and its windows with it
        for i in range(count):
            try:
                acc = app.getChildAtIndex(i)
                if acc is not None and acc.getRoleName() in _TOP_ROLES and _showing(acc):
                    result.append(Window(self, acc))
            except GLib.Error:
                continue  # closed while we looked
        return result

    def describe(self):
        try:
            windows = self.windows()
        except Exception as e:  # the description must never hide the real failure
            return "  (cannot read the screen: %s)" % e
        if not windows:
            return "  (no window of the program)"
        return "\n".join(w.describe() for w in windows)

    def find(self, title, role=None):
        for window in self.windows():
            if window.title == title and (role is None or window.role == role):
                return window
        return None

    def wait_window(self, title, role=None, timeout=UI_TIMEOUT):
        def found():
            window = self.find(title, role)
            if window is None and not self.program.running():
                raise AssertionError("the program ended while waiting for %r\n%s" % (
                    title, self.program.describe()))
            return window
        return wait_for(found, "a window titled %r" % title, timeout, self.program.describe)

    def wait_gone(self, title, timeout=UI_TIMEOUT):
        wait_for(lambda: self.find(title) is None or None,
                 "the window %r to close" % title, timeout, self.program.describe)

    def titles(self):
        return [w.title for w in self.windows()]

    # The popup menu.
    def _menu(self):
        for window in self.windows():
            for menu in window.descendants(lambda a: a.getRoleName() == "menu"):
                entries = []
                for i in range(menu.childCount):
                    child = menu.getChildAtIndex(i)
                    if child is None or not _showing(child):
                        continue
                    role = child.getRoleName()
                    if role == "separator":
                        entries.append(("-", child))
                    elif role in ("menu item", "check menu item"):
                        entries.append((child.name, child))
                if entries and all(_extents(acc)[2] > 1 for _, acc in entries):
                    return entries
        return None

    def wait_menu(self):
        entries = wait_for(self._menu, "the tray menu", UI_TIMEOUT, self.program.describe)
        return [name for name, _ in entries]

    def click_menu_item(self, name):
        entries = wait_for(self._menu, "the tray menu", UI_TIMEOUT, self.program.describe)
        for label, acc in entries:
            if label == name:
                x, y, w, h = _extents(acc)
                self.program.desktop.click_at(x + w // 2, y + h // 2)
                return
        raise AssertionError("no %r in the tray menu %r" % (name, [n for n, _ in entries]))

    def close_menu(self):
        self.program.desktop.xdotool("key", "Escape")
        wait_for(lambda: self._menu() is None, "the tray menu to close", UI_TIMEOUT,
                 self.program.describe)


def _showing(acc):
    try:
        return acc.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        return False


def _extents(acc):
    e = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return (e.x, e.y, e.width, e.height)


def _text_of(acc):
    try:
        return acc.queryText().getText(0, -1)
    except Exception:
        return acc.name


# Subtrees that only list files: never needed, and slow to walk.
_SKIPPED_ROLES = ("table", "tree table", "tree", "list")
# A button's role name: "push button" up to Debian 12's accessibility bus, "button" from 13 on.
_BUTTON_ROLES = ("push button", "button")


class Window:
    """One top-level window of the program: a dialog, a file chooser, the converter window."""

    def __init__(self, ui, acc):
        self.ui = ui
        self.acc = acc
        self.title = acc.name
        self.role = acc.getRoleName()

    def descendants(self, predicate, showing_only=True):
        found = []

        def walk(acc):
            for i in range(acc.childCount):
                child = acc.getChildAtIndex(i)
                if child is None or (showing_only and not _showing(child)):
                    continue
                if predicate(child):
                    found.append(child)
                if child.getRoleName() not in _SKIPPED_ROLES:
                    walk(child)

        walk(self.acc)
        return found

    def labels(self):
        return [_text_of(a) for a in self.descendants(lambda a: a.getRoleName() == "label")]

    def buttons(self):
        return [a.name for a in self.descendants(lambda a: a.getRoleName() in _BUTTON_ROLES)]

    def text_fields(self):
        return self.descendants(lambda a: a.getRoleName() == "text")

    def texts(self):
        return [_text_of(a) for a in self.text_fields()]

    def is_active(self):
        try:
            return self.acc.getState().contains(pyatspi.STATE_ACTIVE)
        except Exception:
            return False

    def describe(self):
        try:
            parts = ["  %s %r" % (self.role, self.title)]
            for label in self.labels():
                parts.append("    label: %r" % label)
            for text in self.texts():
                parts.append("    text: %r" % text[-800:])
            parts.append("    buttons: %r" % self.buttons())
            return "\n".join(parts)
        except Exception as e:
            return "  %s %r (gone: %s)" % (self.role, self.title, e)

    def press(self, name):
        """Clicks the button `name` with the mouse, as a user does. (The accessibility action
        would click through the toolkit's accessibility layer, which touches the button again
        after the click has destroyed its dialog.) Under Wayland, which gives no client a place
        on the screen to click at, the button's own accessible action clicks it."""
        program = self.ui.program

        def button():
            for acc in self.descendants(lambda a: a.getRoleName() in _BUTTON_ROLES):
                if acc.name == name and acc.getState().contains(pyatspi.STATE_SENSITIVE):
                    extents = _extents(acc)
                    if extents[2] > 1 and extents[3] > 1:
                        return acc
            return None
        what = "a button %r in %r" % (name, self.title)
        wait_for(button, what, UI_TIMEOUT, program.describe)
        self.activate()
        # Read again: the window manager may have placed the window meanwhile.
        acc = wait_for(button, what, UI_TIMEOUT, program.describe)
        if program.desktop.wayland:
            acc.queryAction().doAction(0)
            return
        x, y, w, h = _extents(acc)
        screen = program.desktop.x.screen_size()
        if not (0 <= x + w // 2 < screen[0] and 0 <= y + h // 2 < screen[1]):
            raise AssertionError("the button %r of %r lies off the %dx%d screen at %r\n%s" % (
                name, self.title, screen[0], screen[1], (x, y, w, h), program.describe()))
        program.desktop.click_at(x + w // 2, y + h // 2)

    def activate(self):
        """Waits until the window is on screen, then brings it to the front with the keyboard
        focus, as a click on it would."""
        program = self.ui.program
        program.desktop.focus_window(self.title, program.pid, UI_TIMEOUT, program.describe)
        wait_for(self.is_active, "the window %r to take the focus" % self.title, UI_TIMEOUT,
                 program.describe)

    def checked_toggles(self):
        return [a.name for a in self.descendants(
            lambda a: a.getRoleName() == "toggle button"
            and a.getState().contains(pyatspi.STATE_CHECKED))]


# --- Answering the program -------------------------------------------------------------------

def answer(program, title, text, button, timeout=UI_TIMEOUT):
    """Waits for the dialog `title`, checks that it shows `text`, presses `button`."""
    window = program.ui.wait_window(title, timeout=timeout)
    labels = window.labels()
    if text is not None and text not in labels:
        raise AssertionError("the dialog %r shows %r, not %r\n%s" % (
            title, labels, text, program.describe()))
    window.press(button)
    return window


def choose_file(program, path):
    """Answers the "Open File" chooser with `path`, typed into its location field."""
    chooser = program.ui.wait_window("Open File")
    chooser.activate()
    fields = chooser.text_fields()
    typed = path
    if program.desktop.wayland:
        # Key bindings such as Ctrl+L miss there (the toolkit matches them against the keymap
        # of a keyboard that each wtype replaces), but a "/" typed into the chooser opens its
        # location field with it, as a user's does.
        if fields:
            fields[0].queryEditableText().setTextContents("")
            fields[0].queryComponent().grabFocus()
        program.desktop.type_text("/")
        typed = path[1:]
    elif fields:
        # The chooser remembers that the location field was used last time and shows it
        # again (Ctrl+L would now hide it): click into it and replace what it holds.
        x, y, w, h = _extents(fields[0])
        program.desktop.click_at(x + w // 2, y + h // 2)
        program.desktop.xdotool("key", "--clearmodifiers", "ctrl+a")
    else:
        program.desktop.xdotool("key", "--clearmodifiers", "ctrl+l")

    def location_field():
        for acc in chooser.text_fields():
            if acc.getState().contains(pyatspi.STATE_FOCUSED) and (
                    typed == path or _text_of(acc) == "/"):
                return acc
        return None
    field = wait_for(location_field, "the chooser's location field to take the keyboard",
                     UI_TIMEOUT, program.describe)
    program.desktop.type_text(typed)
    wait_for(lambda: _text_of(field) == path, "the location field to read %r" % path,
             UI_TIMEOUT, lambda: "it reads %r\n%s" % (_text_of(field), program.describe()))
    chooser.press("Save")
    return chooser


# --- Order services -----------------------------------------------------------------------

def wait_port_free():
    """Waits until nothing listens on the program's host (another test run's service)."""
    harness.wait_port_free(SERVICE_HOST, SERVICE_PORT)


class StandInService:
    """A scripted service on the program's host: `replies` maps a command (or "hp") to the
    exact bytes to answer; requests are recorded."""

    def __init__(self, replies):
        self.replies = dict(replies)
        self.requests = []
        self.server = None
        self.thread = None

    def start(self):
        service = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                query = dict(urllib.parse.parse_qsl(url.query))
                service.requests.append((url.path, query))
                if url.path == "/tovimo/io.php":
                    body = service.replies.get(query.get("cmd"), b"")
                elif url.path == "/tovimo/hp.php":
                    body = service.replies.get("hp", b"SKIP")
                else:
                    body = b"Not found\n"
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        http.server.ThreadingHTTPServer.allow_reuse_address = True

        def bound():
            try:
                return http.server.ThreadingHTTPServer((SERVICE_HOST, SERVICE_PORT), Handler)
            except OSError:
                return None  # another process holds the port: waited out
        self.server = wait_for(bound, "port %d" % SERVICE_PORT, harness.PORT_TIMEOUT)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        if self.server is not None:
            self.server.shutdown()
            self.server.server_close()
            self.thread.join(UI_TIMEOUT)
            self.server = None

    def commands(self):
        return [q.get("cmd") for path, q in self.requests if path == "/tovimo/io.php"]


# --- The user's web browser on the order page ------------------------------------------------

class _FormReader(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.forms = []
        self.texts = []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.forms.append({"action": a.get("action", ""),
                               "method": a.get("method", "get").lower(), "inputs": []})
        elif tag in ("input", "select", "textarea") and self.forms:
            self.forms[-1]["inputs"].append(dict(a, tag=tag))

    def handle_data(self, data):
        self.texts.append(data)


def place_order(page_url, format_name, **values):
    """Does what a user does in the browser on the order page: opens it, picks the format,
    fills in the given option fields, leaves the others as they are, and submits the form.
    Returns the text of the page that the service answered with."""
    with urllib.request.urlopen(page_url, timeout=UI_TIMEOUT) as reply:
        page = reply.read().decode()
    reader = _FormReader()
    reader.feed(page)
    if len(reader.forms) != 1:
        raise AssertionError("the order page has %d forms:\n%s" % (len(reader.forms), page))
    form = reader.forms[0]
    fields = []
    names = set()
    formats = []
    for field in form["inputs"]:
        name, kind = field.get("name"), field.get("type", "text")
        if not name:
            continue
        names.add(name)
        if kind == "radio":
            formats.append(field.get("value"))
            if field.get("value") == format_name:
                fields.append((name, format_name))
        elif name in values:
            fields.append((name, values[name]))
        elif kind in ("hidden", "text"):
            fields.append((name, field.get("value", "")))
    if format_name not in formats:
        raise AssertionError("the order page offers %r, not %r" % (formats, format_name))
    unknown = set(values) - names
    if unknown:
        raise AssertionError("the order page has no fields %r (it has %r)" % (unknown, names))
    target = urllib.parse.urljoin(page_url, form["action"])
    body = urllib.parse.urlencode(fields).encode()
    request = urllib.request.Request(target, data=body, method=form["method"].upper())
    try:
        with urllib.request.urlopen(request, timeout=UI_TIMEOUT) as reply:
            answer_page = reply.read().decode()
    except urllib.error.HTTPError as e:
        raise AssertionError("the service refused the order (%d):\n%s" % (
            e.code, e.read().decode()))
    result = _FormReader()
    result.feed(answer_page)
    text = " ".join(" ".join(result.texts).split())
    if "Your order has been placed." not in text:
        raise AssertionError("the order was not placed:\n" + text)
    return text


# --- Things the tests need to know independently of the program ------------------------------

expected_client_key = harness.client_key


def make_flash_clip(path, seconds=1):
    """A small Flash video with a test picture and a tone, made by the real converter."""
    subprocess.run(
        [FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error",
         "-f", "lavfi", "-i", "testsrc=size=160x120:rate=15:duration=%d" % seconds,
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:duration=%d" % seconds,
         "-c:v", "flv1", "-c:a", "libmp3lame", "-ar", "22050", "-shortest", "-f", "flv", "-y",
         path], check=True, timeout=CONVERT_TIMEOUT, stdin=subprocess.DEVNULL)


def probe(path):
    """What ffprobe reads in a media file: container, brand and streams."""
    result = subprocess.run(
        [FFPROBE, "-v", "error", "-show_entries",
         "format=format_name:format_tags=major_brand:"
         "stream=codec_type,codec_name,width,height,sample_rate,channels",
         "-of", "json", path], capture_output=True, text=True, timeout=CONVERT_TIMEOUT)
    if result.returncode != 0:
        raise AssertionError("ffprobe cannot read %s: %s" % (path, result.stderr))
    return json.loads(result.stdout)


# --- Test cases on the shared desktop --------------------------------------------------------

_desktop = None


def setUpModule():
    """Starts the desktop that every test of the module shares."""
    global _desktop
    _quiet_accessibility_warnings()
    _desktop = Desktop().start()


def tearDownModule():
    global _desktop
    if _desktop is not None:
        _desktop.stop()
        _desktop = None


ORDER_QUESTION = "You have one unfinished task. \n Do you want to process?"
TUTORIAL_QUESTION = "Do you want to see the tutorial in your WebBrowser?"
SELECT_QUESTION = "Do you want to select file to convert?"
TUTORIAL_URL = SERVICE_BASE + "tutorial.php"
ORDER_PAGE = re.compile(r"^" + re.escape(SERVICE_BASE) + r"index\.php\?data=([0-9a-f]{32})&ver=1$")


class DesktopTestCase(unittest.TestCase):
    """A test on the module's desktop: a fresh home, and helpers for what a user does."""

    def setUp(self):
        _quiet_accessibility_warnings()
        if _desktop is None:
            self.skipTest("no desktop: call desktop.setUpModule from the test module")
        self.desktop = _desktop
        self.home = Home(self.desktop.dir)
        self.addCleanup(shutil.rmtree, self.home.root, True)

    # Services on the program's host; each is stopped when the test ends.
    def start_service(self, announce=None, db=None):
        service = harness.OrderService(SERVICE, db or os.path.join(self.home.root, "orders.db"),
                                       "%s:%d" % (SERVICE_HOST, SERVICE_PORT), announce,
                                       self.desktop.env(), self.desktop.tls)
        service.start()
        self.addCleanup(service.stop)
        return service

    def start_stand_in(self, **replies):
        service = StandInService(replies).start()
        self.addCleanup(service.stop)
        return service

    def start_program(self, path=None, args=(), name="program"):
        program = Program(self.desktop, self.home, path, args, name)
        self.addCleanup(program.stop)
        return program

    def start_again(self, *args):
        """Starts the program once more, with `args`, while the first runs: it hands over and
        ends with status 0, saying so. Returns what it wrote on standard error."""
        later = self.start_program(args=args, name="later")
        self.assertEqual(later.wait_exit(), 0, later.describe())
        self.assertEqual(self.desktop.tray_icon(later.pid), None)
        return later.stderr()

    def start_logged_in(self, announce=None):
        """The reference service with a fresh order book, and the program up in the tray
        (the tutorial offered to the new client declined)."""
        service = self.start_service(announce)
        program = self.start_program()
        answer(program, "Confirmation", TUTORIAL_QUESTION, "No")
        program.wait_icon()
        return service, program

    def add_clip(self, name="clip.flv"):
        path = os.path.join(self.home.desktop, name)
        shutil.copy(flash_clip(), path)
        return path

    def select_file(self, program, path):
        """Left-clicks the icon, agrees to select a file, and picks `path`."""
        program.click_icon(1)
        answer(program, "Confirm", SELECT_QUESTION, "Yes")
        chooser = program.ui.wait_window("Open File")
        self.assertIn("Desktop", chooser.checked_toggles(),
                      "the open chooser does not start in the Desktop folder")
        for button in ("Cancel", "Save"):
            self.assertIn(button, chooser.buttons())
        choose_file(program, path)
        program.ui.wait_gone("Open File")

    def wait_browser(self, count, program):
        """Waits until the browser has been asked for `count` pages; returns them all."""
        return wait_for(lambda: len(self.home.browser_urls()) >= count and
                        self.home.browser_urls(),
                        "%d page(s) in the browser (has %r)" % (count, self.home.browser_urls()),
                        UI_TIMEOUT, program.describe)


_clip = None


def flash_clip():
    """One small Flash clip per test process, copied into each home that needs it."""
    global _clip
    if _clip is None:
        path = os.path.join(_desktop.dir, "clip.flv")
        make_flash_clip(path)
        _clip = path
    return _clip


def _interrupt(signum, frame):
    raise KeyboardInterrupt("terminated")


def main():
    """Runs a test module; a termination request still tears the desktop down."""
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        unittest.main(module="__main__", verbosity=2)
    finally:
        tearDownModule()
