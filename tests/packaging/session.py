"""A private desktop session for starting the real tray program as a desktop does.

A Session owns every process it starts: an Xvfb display, a session bus, a StatusNotifierWatcher
standing in for a desktop's, a notification area (trayer), the order service on
127.0.0.1:8765 and the program. Each is ended by its own process handle when the session
closes. Every wait is a bounded poll that fails with what was seen.
"""

import ctypes
import hashlib
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE_HOST = "127.0.0.1:8765"
SERVICE_BASE = "http://%s/tovimo/" % SERVICE_HOST
ITEM_PREFIX = "org.kde.StatusNotifierItem-"
POLL = 0.05


class Timeout(AssertionError):
    pass


def wait_for(condition, what, timeout=20.0, describe=None):
    """Polls `condition` until it returns a true value, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            message = "timed out after %.0f s waiting for %s" % (timeout, what)
            if describe is not None:
                message += "\n" + describe()
            raise Timeout(message)
        time.sleep(POLL)


def client_key():
    """The program's client key, found as the program finds it: the MD5 of the address of the
    interface of the first default route, else of the first interface in name order that is not
    loopback and has a non-zero address, written as 00-1A-2B-3C-4D-5E."""

    def address(name):
        base = "/sys/class/net/%s/" % name
        try:
            with open(base + "address") as f:
                text = f.read().strip()
            with open(base + "flags") as f:
                loopback = int(f.read().strip(), 0) & 0x8
        except OSError:
            return None
        parts = text.split(":")
        if loopback or len(parts) != 6 or all(int(p, 16) == 0 for p in parts):
            return None
        return "-".join(p.upper() for p in parts)

    with open("/proc/net/route") as f:
        routes = [line.split() for line in f.read().splitlines()[1:]]
    candidates = [r[0] for r in routes if len(r) > 1 and r[1] == "00000000"][:1]
    chosen = next((address(n) for n in candidates if address(n)), None)
    if chosen is None:
        chosen = next((address(n) for n in sorted(os.listdir("/sys/class/net")) if address(n)),
                      None)
    if chosen is None:
        raise AssertionError("this machine has no network adapter for a client key")
    return hashlib.md5(chosen.encode()).hexdigest()


def window_tree(display):
    """The X window tree as (depth, id, name, class) rows, from the root down."""
    out = subprocess.run(["xwininfo", "-display", display, "-root", "-tree"],
                         capture_output=True, text=True, timeout=10).stdout
    rows = []
    for line in out.splitlines():
        m = re.match(r'^(\s*)(0x[0-9a-f]+) (.*?): \((.*?)\)\s+\d+x\d+', line)
        if m:
            depth = len(m.group(1))
            classes = re.findall(r'"([^"]*)"', m.group(4))
            rows.append((depth, m.group(2), m.group(3), classes))
    return rows


def embedded_in_tray(display, program_class):
    """Whether a window of `program_class` lies inside the notification area's panel window."""
    rows = window_tree(display)
    for i, (depth, _, _, classes) in enumerate(rows):
        if classes[:1] == ["panel"] and "trayer" in classes:
            for d, _, _, c in rows[i + 1:]:
                if d <= depth:
                    break
                if program_class in c:
                    return True
    return False


def describe_tree(display):
    return "\n".join("%s%s %s %s" % (" " * d, w, n, c) for d, w, n, c in window_tree(display))


def _end_with_parent():
    # PR_SET_PDEATHSIG: a harness that is killed takes its processes with it, so that none
    # keeps a display, a bus or the service's port after it.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


class Process:
    """A process this session started, with its output collected in a file."""

    def __init__(self, name, argv, log_dir, **kwargs):
        self.name = name
        self.log_path = os.path.join(log_dir, name + ".log")
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self._log,
                                     stderr=subprocess.STDOUT, start_new_session=True,
                                     preexec_fn=_end_with_parent, **kwargs)

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=5)
        self._log.close()


class Session:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tovimo-session-")
        self.home = os.path.join(self.dir, "home")
        for sub in ("", "/.config", "/.local/share", "/.cache", "/runtime"):
            os.makedirs(self.home + sub, exist_ok=True)
        os.chmod(self.home + "/runtime", 0o700)
        self.processes = []
        self.display = None
        self.bus_address = None
        self._bus_conn = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._bus_conn = None
        for p in reversed(self.processes):
            p.stop()
        self.processes = []
        subprocess.run(["rm", "-rf", self.dir])

    def start(self, name, argv, **kwargs):
        p = Process(name, argv, self.dir, **kwargs)
        self.processes.append(p)
        return p

    def env(self, **extra):
        """The environment of a program of this session: its display and bus, a fresh home."""
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "XDG_", "DISPLAY", "WAYLAND"))}
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.home + "/.config",
                   XDG_DATA_HOME=self.home + "/.local/share", XDG_CACHE_HOME=self.home + "/.cache",
                   XDG_RUNTIME_DIR=self.home + "/runtime", NO_AT_BRIDGE="1")
        if self.display:
            env["DISPLAY"] = self.display
        if self.bus_address:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address
        env.update(extra)
        return env

    # --- the desktop -----------------------------------------------------------------------

    def _read_line_from(self, fd, what, timeout=20.0):
        data = b""
        deadline = time.monotonic() + timeout
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise Timeout("no %s within %.0f s" % (what, timeout))
            chunk = os.read(fd, 256)
            if not chunk:
                raise AssertionError("%s: the process ended without saying" % what)
            data += chunk
        return data.decode().strip()

    def start_display(self):
        read_end, write_end = os.pipe()
        self.start("xvfb", ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                            "-screen", "0", "1024x768x24"], pass_fds=(write_end,))
        os.close(write_end)
        try:
            self.display = ":" + self._read_line_from(read_end, "display number from Xvfb")
        finally:
            os.close(read_end)

    def start_bus(self):
        read_end, write_end = os.pipe()
        self.start("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--print-address=%d" % write_end], pass_fds=(write_end,),
                   env=self.env())
        os.close(write_end)
        try:
            self.bus_address = self._read_line_from(read_end, "address from dbus-daemon")
        finally:
            os.close(read_end)

    def start_watcher(self):
        watcher = self.start("watcher", [sys.executable, os.path.join(HERE, "sni_watcher.py")],
                             env=self.env())
        wait_for(lambda: "ready" in watcher.output().split(), "the StatusNotifierWatcher",
                 describe=watcher.output)
        return watcher

    def start_tray_host(self):
        trayer = self.start("trayer", ["trayer", "--edge", "top", "--align", "right",
                                       "--widthtype", "request", "--height", "24",
                                       "--SetDockType", "true"], env=self.env())
        wait_for(lambda: any(c[:1] == ["panel"] for _, _, _, c in window_tree(self.display)),
                 "the notification area's panel", describe=lambda: describe_tree(self.display))
        return trayer

    def start_service(self, executable, port_wait=90.0):
        """The order service on 127.0.0.1:8765 with a fresh database. The port is shared with
        other test runs on this machine: while it is taken, starting is tried again."""
        deadline = time.monotonic() + port_wait
        while True:
            service = self.start("service", [executable, "--listen", SERVICE_HOST, "--db",
                                             os.path.join(self.dir, "orders.sqlite")],
                                 env=self.env())
            wait_for(lambda: "listening on" in service.output() or not service.running(),
                     "the order service", describe=service.output)
            if service.running():
                return service
            if "cannot listen" not in service.output() or time.monotonic() > deadline:
                raise AssertionError("the order service did not start:\n" + service.output())
            self.processes.remove(service)
            service.stop()
            time.sleep(0.5)  # the port's holder is another run's; retried within the bound

    def log_in(self, key):
        """Logs the key in once, so that the program's own login is not its first."""
        url = SERVICE_BASE + "io.php?cmd=login&data=%s&ver=1" % key
        with urllib.request.urlopen(url, timeout=10) as reply:
            return reply.read().decode()

    # --- the session bus, as a tray host reads it -------------------------------------------

    def bus(self):
        from gi.repository import Gio
        if self._bus_conn is None:
            flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                     | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
            self._bus_conn = Gio.DBusConnection.new_for_address_sync(self.bus_address, flags,
                                                                     None, None)
        return self._bus_conn

    def call(self, name, path, interface, method, args=None, reply_type=None):
        from gi.repository import GLib
        reply = self.bus().call_sync(name, path, interface, method, args,
                                     GLib.VariantType(reply_type) if reply_type else None,
                                     0, 10000, None)
        return reply.unpack() if reply is not None else None

    def item_names(self):
        names = self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "ListNames", None, "(as)")[0]
        return sorted(n for n in names if n.startswith(ITEM_PREFIX))

    def menu_labels(self, item):
        """The item's menu as a host shows it: labels from the top, "---" for a separator."""
        from gi.repository import GLib
        menu_path = self.call(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                              "Get", GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")),
                              "(v)")[0]
        self.call(item, menu_path, "com.canonical.dbusmenu", "AboutToShow",
                  GLib.Variant("(i)", (0,)), "(b)")
        _, layout = self.call(item, menu_path, "com.canonical.dbusmenu", "GetLayout",
                              GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
        labels = []
        for _, props, _ in layout[2]:
            labels.append("---" if props.get("type") == "separator" else props.get("label"))
        return labels
