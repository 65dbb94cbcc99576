"""A private desktop for running the real tray program as a desktop runs it. Shared by the
end-to-end tests (tests/e2e), the desktop and package tests (tests/packaging) and the benchmark
(bench/desktop_bench.py).

A Session owns a temporary folder and every process it starts: an Xvfb display, a session bus
of its own, a notification area (tint2's), order services, the program. Nothing joins the
caller's desktop: the session's processes get its display, bus, home and runtime folder, and
this process is pointed at them as well, so that a library loaded here finds the session's
display and bus or none. Windows are read through python3-xlib; input goes through xdotool.
Every wait is a bounded poll that fails with what was seen.

A session can be a Wayland desktop instead of an X display: sway on wlroots' headless backend
without XWayland (start_wayland), with waybar's tray as its StatusNotifierItem host
(start_waybar). Its windows are read from sway's tree, input goes through wtype (the virtual
keyboard protocol), and no X server exists for its processes. sway does not run as root: such
a test first becomes an unprivileged user (become_unprivileged).

The order service runs on the host the program was built for: TOVIMO_SERVICE_HOST in the
environment (CTest sets it), else the value in the build's CMakeCache.txt; likewise its scheme
(TOVIMO_SERVICE_SCHEME). Over https it serves a certificate of a throwaway CA that
make_certificates makes and SSL_CERT_FILE names.
"""

import ctypes
import hashlib
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

from Xlib import X
from Xlib.display import Display
from Xlib.error import XError

# The session's programs are Debian's, whatever else the caller has on PATH.
SYSTEM_PATH = "/usr/bin:/bin"
START_TIMEOUT = 20.0
PORT_TIMEOUT = 60.0
POLL = 0.05


class Timeout(AssertionError):
    pass


def wait_for(condition, what, timeout=START_TIMEOUT, describe=None, transient=()):
    """Polls `condition` until it returns a true value, which is returned. An exception of a
    `transient` class counts as not yet."""
    deadline = time.monotonic() + timeout
    error = None
    while True:
        try:
            value = condition()
        except transient as e:
            value, error = None, e
        if value:
            return value
        if time.monotonic() > deadline:
            message = "timed out after %.0f s waiting for %s" % (timeout, what)
            if error is not None:
                message += " (last error: %s)" % getattr(error, "message", error)
            if describe is not None:
                message += "\n" + describe()
            raise Timeout(message)
        time.sleep(POLL)


def read_file(path, mode="r"):
    try:
        with open(path, mode, **({} if "b" in mode else {"errors": "replace"})) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


def _build_setting(name, build_dir):
    """A setting of the build: from the environment, else from `build_dir`'s CMakeCache.txt."""
    text = os.environ.get(name)
    if not text and build_dir:
        cache = read_file(os.path.join(build_dir, "CMakeCache.txt"))
        found = re.search(r"^%s:\w+=(.*)$" % name, cache, re.M)
        text = found and found.group(1).strip()
    return text


def service_scheme(build_dir=None):
    """"http" or "https": the scheme of the order service the program was built for."""
    return _build_setting("TOVIMO_SERVICE_SCHEME", build_dir) or "http"


def service_address(build_dir=None):
    """(host, port) of the order service that the program of `build_dir` was built for."""
    text = _build_setting("TOVIMO_SERVICE_HOST", build_dir)
    if not text:
        raise RuntimeError("TOVIMO_SERVICE_HOST is not set, and no CMakeCache.txt names it")
    host, _, port = text.partition(":")
    return host, int(port or (443 if service_scheme(build_dir) == "https" else 80))


def make_certificates(folder):
    """A throwaway CA and server certificates in `folder` (tests/support/make-test-certs);
    returns (the CA's file, the good certificate chain, its key)."""
    script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "support", "make-test-certs")
    subprocess.run([script, folder], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return tuple(os.path.join(folder, name) for name in ("ca.pem", "good.pem", "server.key"))


def wait_port_free(host, port, timeout=PORT_TIMEOUT):
    """Waits until nothing listens on host:port (another test run's service is waited out)."""
    def refused():
        with socket.socket() as probe:
            probe.settimeout(1.0)
            return probe.connect_ex((host, port)) != 0
    wait_for(refused, "port %d to be free" % port, timeout,
             lambda: "another process listens on %s:%d" % (host, port))


# --- Processes -------------------------------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)


def _end_with_parent():
    """In a child before exec: end when the test process ends, however it ends, so that none
    keeps a display, a bus or a port after it (PR_SET_PDEATHSIG)."""
    _libc.prctl(1, signal.SIGTERM, 0, 0, 0)


def spawn(argv, **kwargs):
    """Starts a process leading a process group of its own, which ends with this process."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(argv, start_new_session=True, preexec_fn=_end_with_parent,
                            **kwargs)


def stop_process(proc, grace=5.0):
    """Ends a process that spawn started, and whatever it left in its process group."""
    if proc is None:
        return None
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait(timeout=grace)
    else:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    if proc.stdout:
        proc.stdout.close()
    return proc.returncode


def in_session(pid, leader):
    """Whether `pid` is `leader` or runs in its session (started by it, as under a wrapper)."""
    if not pid:
        return False
    try:
        return pid == leader or os.getsid(pid) == leader
    except OSError:
        return False


def read_line(stream, what, timeout=START_TIMEOUT):
    """The first line a process writes to a pipe (a file descriptor or its reading end)."""
    fd = stream if isinstance(stream, int) else stream.fileno()
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise Timeout("no %s within %.0f s" % (what, timeout))
        chunk = os.read(fd, 1)
        if not chunk:
            break
        data += chunk
    return data.decode(errors="replace").strip()


class Process:
    """A process of a session; its output (unless piped) and its errors go to NAME.log."""

    def __init__(self, name, argv, log_dir, **kwargs):
        self.name = name
        self.log_path = os.path.join(log_dir, name + ".log")
        with open(self.log_path, "ab") as log:
            kwargs.setdefault("stdout", log)
            self.proc = spawn(argv, stderr=log, **kwargs)
        self.pid = self.proc.pid

    def output(self):
        return read_file(self.log_path)

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        return stop_process(self.proc)


# --- X ---------------------------------------------------------------------------------------

class XScreen:
    """A client of the display that looks at windows and hears their events."""

    def __init__(self, name):
        self.d = Display(name)
        self.d.set_error_handler(lambda *args: None)  # a window gone while we look: skipped
        self.root = self.d.screen().root
        self.fd = self.d.fileno()

    def close(self):
        self.d.close()

    def selection_owner(self, name):
        return getattr(self.d.get_selection_owner(self.d.get_atom(name)), "id", 0)

    def property(self, window, name):
        try:
            return window.get_full_property(self.d.get_atom(name), X.AnyPropertyType)
        except XError:
            return None

    def client_of(self, window_id):
        """The X client that made a window: the base of its connection's resource ids."""
        return window_id & ~self.d.display.info.resource_id_mask

    def pid_of(self, window):
        value = self.property(window, "_NET_WM_PID")
        return value.value[0] if value is not None and len(value.value) else None

    def children(self, window):
        try:
            return window.query_tree().children
        except XError:
            return []

    def screen_size(self):
        screen = self.d.screen()
        return screen.width_in_pixels, screen.height_in_pixels

    def on_screen(self, window):
        """(x, y, width, height) in root coordinates, or None unless viewable."""
        try:
            if window.get_attributes().map_state != X.IsViewable:
                return None
            geometry = window.get_geometry()
            place = self.root.translate_coords(window, 0, 0)
        except XError:
            return None
        return (place.x, place.y, geometry.width, geometry.height)

    def mapped(self, window):
        try:
            return window.get_attributes().map_state != X.IsUnmapped
        except XError:
            return False

    def windows_of(self, pid, inside_client=None):
        """Windows of process `pid` (or of its session); with `inside_client`, only those
        inside a window that X client made (an icon embedded in a notification area)."""
        found = []

        def walk(window, inside):
            for child in self.children(window):
                if in_session(self.pid_of(child), pid) and (inside_client is None or inside):
                    found.append(child)
                walk(child, inside or (inside_client is not None and
                                       self.client_of(child.id) == inside_client))

        walk(self.root, False)
        return found

    def describe(self):
        """The window tree: id, pid, name and whether each is viewable."""
        lines = []

        def walk(window, depth):
            for child in self.children(window):
                try:
                    name = child.get_wm_name()
                    viewable = child.get_attributes().map_state == X.IsViewable
                except XError:
                    continue
                lines.append("%s0x%x pid=%s %r%s" % ("  " * depth, child.id, self.pid_of(child),
                                                      name, " viewable" if viewable else ""))
                walk(child, depth + 1)

        walk(self.root, 0)
        return "\n".join(lines)

    # Events: the root window's substructure (windows created, mapped, reparented away from
    # it) and a watched window's own structure.
    def listen(self):
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.d.sync()

    def watch(self, window):
        window.change_attributes(event_mask=X.StructureNotifyMask)
        self.d.sync()

    def events(self, timeout):
        """Waits up to `timeout` seconds for events; yields (time received, event)."""
        if not self.d.pending_events():
            if not select.select([self.fd], [], [], max(0.0, timeout))[0]:
                return
        while self.d.pending_events():
            yield time.monotonic(), self.d.next_event()

    def drain(self):
        for _ in self.events(0):
            pass


# --- The session -----------------------------------------------------------------------------

def _callers(name):
    """Whether an environment variable belongs to the caller's desktop session."""
    return (name.startswith(("DBUS_", "XDG_", "AT_SPI", "GTK_", "GDK_", "GIO_", "WAYLAND",
                             "LC_"))
            or name in ("DISPLAY", "XAUTHORITY", "NO_AT_BRIDGE", "SESSION_MANAGER", "LANGUAGE",
                        "DESKTOP_SESSION", "SWAYSOCK", "I3SOCK"))


class Session:
    """A display, a session bus and a notification area of their own, with a fresh home."""

    def __init__(self, prefix="tovimo-session-"):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self.home = os.path.join(self.dir, "home")
        self.runtime = os.path.join(self.dir, "runtime")
        for sub in ("", "/.config", "/.local/share", "/.cache"):
            os.makedirs(self.home + sub, exist_ok=True)
        os.makedirs(self.runtime, mode=0o700)
        self.processes = []
        self.display = self.bus = self.x = self.tray_host = self.tray_client = None
        self.wayland = self.connection = None
        for name in [n for n in os.environ if _callers(n)]:
            del os.environ[name]
        os.environ["XDG_RUNTIME_DIR"] = self.runtime

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        """Starts what the subclass's _start sets up; nothing is left running when that fails."""
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def _start(self):
        raise NotImplementedError

    def close(self):
        if self.connection is not None:
            try:
                self.connection.close_sync(None)
            except Exception:  # the bus has gone already
                pass
            self.connection = None
        if self.x is not None:
            self.x.close()  # before the server goes
            self.x = None
        for p in reversed(self.processes):
            p.stop()
        self.processes = []
        shutil.rmtree(self.dir, ignore_errors=True)

    def env(self, **extra):
        """The environment of a process of this session: its display and bus, its home."""
        env = {k: v for k, v in os.environ.items() if not _callers(k)}
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.home + "/.config",
                   XDG_DATA_HOME=self.home + "/.local/share", XDG_CACHE_HOME=self.home + "/.cache",
                   XDG_RUNTIME_DIR=self.runtime, PATH=SYSTEM_PATH, LANG="C.UTF-8",
                   LC_ALL="C.UTF-8", NO_AT_BRIDGE="1")
        if self.display:
            env["DISPLAY"] = self.display
        if self.bus:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.bus
        if self.wayland:
            env.update(WAYLAND_DISPLAY=self.wayland, GDK_BACKEND="wayland",
                       SWAYSOCK=self.sway_socket)
        env.update(extra)
        return env

    def launch(self, name, argv, **kwargs):
        kwargs.setdefault("env", self.env())
        p = Process(name, argv, self.dir, **kwargs)
        self.processes.append(p)
        return p

    def log(self, name):
        return read_file(os.path.join(self.dir, name + ".log"))

    def _start_announcing(self, name, argv):
        """Starts a process that writes one line to the file descriptor put in place of "FD"
        in `argv` once it is ready; returns the line."""
        read_end, write_end = os.pipe()
        try:
            self.launch(name, [a.replace("FD", str(write_end)) for a in argv],
                       pass_fds=(write_end,))
            os.close(write_end)
            write_end = None
            return read_line(read_end, "start of " + name)
        except Timeout:
            raise RuntimeError("%s did not start:\n%s" % (name, self.log(name)))
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)

    def start_display(self):
        """Xvfb on a display number it picks itself."""
        number = self._start_announcing("xvfb", [
            "Xvfb", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset",
            "-displayfd", "FD"])
        if not number:
            raise RuntimeError("Xvfb did not start:\n" + self.log("xvfb"))
        self.display = ":" + number
        os.environ["DISPLAY"] = self.display
        self.x = XScreen(self.display)

    def start_bus(self):
        """A session bus of the session's own."""
        address = self._start_announcing("dbus", [
            "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=FD"])
        if not address:
            raise RuntimeError("no session bus:\n" + self.log("dbus"))
        self.bus = address
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = address

    # tint2 as a notification area alone: a panel of its own on top, at the top right of the
    # screen, as wide as its icons, with neither taskbar nor clock. Its icons are the programs'
    # own windows, embedded (no composited drawing), so that they take clicks themselves.
    TRAY_HOST_CONFIG = """\
panel_items = S
panel_position = top right horizontal
panel_size = 0 32
panel_shrink = 1
panel_margin = 0 0
panel_padding = 0 0 0
panel_layer = top
panel_dock = 0
strut_policy = follow_size
autohide = 0
wm_menu = 0
disable_transparency = 1
mouse_effects = 0
systray_padding = 0 0 0
systray_icon_size = 0
systray_sort = left2right
"""

    def start_tray_host(self):
        """tint2: a notification area along the top of the screen. Its windows are told by
        the X client that owns the tray selection (tint2 names no process on them without a
        window manager)."""
        config = os.path.join(self.dir, "tint2rc")
        with open(config, "w") as f:
            f.write(self.TRAY_HOST_CONFIG)
        self.tray_host = self.launch("tint2", ["tint2", "-c", config])
        owner = wait_for(lambda: self.x.selection_owner("_NET_SYSTEM_TRAY_S0"),
                         "the notification area", describe=lambda: self.log("tint2"))
        self.tray_client = self.x.client_of(owner)
        return self.tray_host

    def in_tray_host(self, window):
        """Whether `window` is one of the notification area's own."""
        return self.tray_client is not None and self.x.client_of(window.id) == self.tray_client

    def start_service(self, executable, **kwargs):
        """The order service with a fresh database in the session's folder."""
        service = OrderService(executable, os.path.join(self.dir, "orders.sqlite"),
                               env=self.env(), **kwargs)
        self.processes.append(service)
        return service.start()

    def tray_icon(self, pid):
        """The icon of process `pid` as embedded in the notification area: (x, y, width,
        height), or None."""
        if self.tray_client is None:
            return None
        for window in self.x.windows_of(pid, inside_client=self.tray_client):
            geometry = self.x.on_screen(window)
            if geometry and geometry[2] > 1 and geometry[3] > 1:
                return geometry
        return None

    def describe(self):
        return "windows on %s:\n%s" % (self.display, self.x.describe())

    # Input, as a user gives it.
    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env(),
                                capture_output=True, text=True, timeout=START_TIMEOUT)
        if check and result.returncode != 0:
            raise AssertionError("xdotool %s failed: %s" % (" ".join(map(str, args)),
                                                            result.stderr.strip()))
        return result.stdout

    def click_at(self, x, y, button=1):
        self.xdotool("mousemove", int(x), int(y), "click", button)

    def visible_windows(self, title, pid=None):
        """Ids of the mapped windows titled `title` exactly (of process `pid`)."""
        pattern = "^" + re.sub(r"([\\.^$|?*+()\[\]{}])", r"\\\1", title) + "$"
        argv = ["search", "--all", "--onlyvisible", "--name", pattern]
        if pid is not None:
            argv[3:3] = ["--pid", pid]
        return self.xdotool(*argv, check=False).split()

    # A Wayland desktop.
    def start_wayland(self):
        """sway on wlroots' headless backend, XWayland disabled: a Wayland display and no X
        server. Needs a user other than root."""
        config = os.path.join(self.dir, "sway.conf")
        with open(config, "w") as f:
            f.write("xwayland disable\noutput HEADLESS-1 resolution 1280x800\n")
        self.sway_socket = os.path.join(self.runtime, "sway-ipc.sock")
        self.launch("sway", ["sway", "--config", config], env=self.env(
            WLR_BACKENDS="headless", WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1",
            SWAYSOCK=self.sway_socket))
        names = wait_for(lambda: os.path.exists(self.sway_socket) and [
            n for n in os.listdir(self.runtime) if re.fullmatch(r"wayland-\d+", n)],
            "the compositor", describe=lambda: self.log("sway"))
        # A full path: the session's programs may have runtime folders of their own.
        self.wayland = os.path.join(self.runtime, names[0])
        os.environ.update(WAYLAND_DISPLAY=self.wayland, SWAYSOCK=self.sway_socket)
        # The headless seat has no keyboard, and without one no window has the keyboard focus
        # and the keys of a virtual keyboard that comes and goes are lost: one that stays.
        self.launch("keyboard", ["wtype", "-s", "86400000"])

    def start_waybar(self):
        """waybar along the top with its tray: the StatusNotifierItem host, which owns
        org.kde.StatusNotifierWatcher."""
        config = os.path.join(self.dir, "waybar.json")
        with open(config, "w") as f:
            json.dump({"height": 30, "modules-right": ["tray"], "tray": {"spacing": 8}}, f)
        self.launch("waybar", ["waybar", "--config", config])
        wait_for(lambda: self.name_owner("org.kde.StatusNotifierWatcher"), "waybar's tray",
                 describe=lambda: self.log("waybar"))

    def sway_windows(self):
        """The windows sway shows, as its tree lists them (each with its pid, name, shell)."""
        tree = json.loads(self._run(["swaymsg", "--raw", "--type", "get_tree"]))
        found, nodes = [], [tree]
        while nodes:
            node = nodes.pop()
            if node.get("pid"):
                found.append(node)
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        return found

    def focus_window(self, title, pid, timeout=START_TIMEOUT, describe=None):
        """Waits until the window titled `title` of process `pid` is on screen, then gives it
        the keyboard focus as a click on it would."""
        what = "the window %r on screen" % title
        if not self.wayland:
            found = wait_for(lambda: self.visible_windows(title, pid), what, timeout, describe)
            return self.xdotool("windowactivate", found[-1], check=False)
        def windows():
            return [w for w in self.sway_windows()
                    if w.get("name") == title and in_session(w["pid"], pid)]
        found = wait_for(windows, what, timeout, describe)[-1]["id"]
        self._run(["swaymsg", "[con_id=%d] focus" % found])
        wait_for(lambda: any(w["id"] == found and w["focused"] for w in windows()),
                 "sway to focus %r" % title, timeout, describe)

    def screenshot(self, path):
        """The whole Wayland desktop as a PNG file (grim)."""
        self._run(["grim", path])
        return path

    def _run(self, argv):
        result = subprocess.run(argv, env=self.env(), capture_output=True, text=True,
                                timeout=START_TIMEOUT)
        if result.returncode != 0:
            raise AssertionError("%s failed: %s" % (" ".join(argv), result.stderr.strip()))
        return result.stdout

    def type_text(self, text):
        """Types `text` on the session's keyboard: xdotool under X, wtype under Wayland."""
        if not self.wayland:
            return self.xdotool("type", "--clearmodifiers", "--delay", "5", text)
        self._run(["wtype", "-d", "5", "--", text])

    # The session bus, as another client of it (a tray host) uses it.
    def call(self, name, path, interface, method, args=None, reply_type=None):
        """A method call on the session's bus; its reply unpacked."""
        from gi.repository import Gio, GLib
        if self.connection is None:
            self.connection = Gio.DBusConnection.new_for_address_sync(
                self.bus, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        reply = self.connection.call_sync(name, path, interface, method, args,
                                          GLib.VariantType(reply_type) if reply_type else None,
                                          0, 10000, None)
        return reply.unpack() if reply is not None else None

    def name_owner(self, name):
        """The unique name that owns `name` on the session bus, or None."""
        from gi.repository import GLib
        try:
            return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "GetNameOwner", GLib.Variant("(s)", (name,)),
                             "(s)")[0]
        except GLib.Error:
            return None

    def item_menu(self, item):
        """A StatusNotifierItem's menu as its host reads it on opening it: its object path and
        (id, label) of each entry from the top, "---" for a separator."""
        from gi.repository import GLib
        path = self.call(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")), "(v)")[0]
        self.call(item, path, "com.canonical.dbusmenu", "AboutToShow",
                  GLib.Variant("(i)", (0,)), "(b)")
        _, layout = self.call(item, path, "com.canonical.dbusmenu", "GetLayout",
                              GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
        return path, [(i, "---" if props.get("type") == "separator" else props.get("label"))
                      for i, props, _ in layout[2]]

    def click_item_entry(self, item, label):
        """Clicks the entry `label` of a StatusNotifierItem's menu, as its host sends it."""
        from gi.repository import GLib
        path, entries = self.item_menu(item)
        ids = [i for i, name in entries if name == label]
        if not ids:
            raise AssertionError("no %r in the item's menu %r" % (label, entries))
        self.call(item, path, "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (ids[0], "clicked", GLib.Variant("i", 0), 0)))


def become_unprivileged(uid=65534):
    """When this process runs as root: becomes the user `uid` (nobody) for good, and so does
    everything it starts from then on. Files it reads later must be readable by that user."""
    if os.getuid() == 0:
        os.setgroups([])
        os.setresgid(uid, uid, uid)
        os.setresuid(uid, uid, uid)


# --- The order service ----------------------------------------------------------------------

class OrderService:
    """The reference order service with a database of its own, listening on `address`
    (HOST:PORT; port 0: one the service picks; by default the program's host). Its request
    log is NAME.log beside the database."""

    def __init__(self, executable, db, address=None, announce=None, env=None, tls=None):
        if address is None:
            address = "%s:%d" % service_address()
        self.argv = [executable, "--listen", address, "--db", db]
        if announce is not None:
            self.argv += ["--announce", announce]
        if tls is not None:  # (certificate chain, key): https
            self.argv += ["--tls-cert", tls[0], "--tls-key", tls[1]]
        self.address = address
        self.db = db
        self.env = env
        self.log_path = db + ".log"
        self.proc = None
        self.base = None

    def start(self, port_wait=PORT_TIMEOUT):
        """Starts the service. While another process holds the port, starting is tried again
        for up to `port_wait` seconds."""
        deadline = time.monotonic() + port_wait
        while True:
            logged = len(read_file(self.log_path))
            with open(self.log_path, "ab") as log:
                self.proc = spawn(self.argv, stdout=subprocess.PIPE, stderr=log, env=self.env)
            try:
                line = read_line(self.proc.stdout, "start of the order service")
            except Timeout:
                line = ""
            found = re.fullmatch(r"listening on (https?://(\S+)/)", line)
            if found and (self.address.endswith(":0") or found.group(2) == self.address):
                self.base = found.group(1) + "tovimo/"
                return self
            self.stop()
            said = read_file(self.log_path)[logged:]
            if "cannot listen" not in said or time.monotonic() > deadline:
                raise RuntimeError("the order service did not start on %s (%r):\n%s" % (
                    self.address, line, said))
            time.sleep(0.5)

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None

    def requests(self):
        """The requests the service answered, as (method, path, query) in order."""
        result = []
        for line in read_file(self.log_path).splitlines():
            found = re.match(r"^(GET|POST) (\S+) \d+ \d+$", line)
            if found:
                url = urllib.parse.urlsplit(found.group(2))
                result.append((found.group(1), url.path,
                               dict(urllib.parse.parse_qsl(url.query))))
        return result

    def commands(self):
        """The command endpoint's commands, in order."""
        return [q.get("cmd") for method, path, q in self.requests()
                if path == "/tovimo/io.php"]

    def command(self, cmd, key):
        """Sends a command as the program would, and returns the reply text."""
        url = "%sio.php?cmd=%s&data=%s&ver=1" % (self.base, cmd, key)
        with urllib.request.urlopen(url, timeout=START_TIMEOUT) as reply:
            return reply.read().decode()


def client_key():
    """The program's client key, found as the program finds it: the MD5 of the address of the
    interface of the first default route, else of the first interface in name order that is
    not loopback and has a non-zero address, written as 00-1A-2B-3C-4D-5E. None without one."""

    def address(name):
        base = "/sys/class/net/%s/" % name
        text = read_file(base + "address").strip()
        flags = read_file(base + "flags").strip()
        parts = text.split(":")
        if not flags or int(flags, 0) & 0x8 or len(parts) != 6 or set(parts) == {"00"}:
            return None
        return "-".join(p.upper() for p in parts)

    routes = [line.split() for line in read_file("/proc/net/route").splitlines()[1:]]
    names = [r[0] for r in routes if len(r) > 1 and r[1] == "00000000"][:1]
    names += sorted(os.listdir("/sys/class/net"))
    chosen = next((address(n) for n in names if address(n)), None)
    return hashlib.md5(chosen.encode()).hexdigest() if chosen else None
