#!/usr/bin/env python3
"""The Debian package as a user meets it: built with cpack from the build tree, installed with
apt, the program started from its menu entry into the notification area, then purged without
a trace.

Usage: package_test.py BUILD_DIR

The package is installed into a throwaway copy of this machine: a private mount namespace lays
an overlay over / (writes go to a tmpfs) and the test chroots into it, in a pid namespace of its
own so that every process it started ends with it. The machine itself never sees the package,
and nothing of the test outlives it. Needs root; exits 77 (skipped) without.
"""

import configparser
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "desktop"))
from harness import Session, client_key, service_address, wait_for  # noqa: E402

SKIPPED = 77
PACKAGE = "tovimo"
INSIDE = "--inside"


def run(argv, **kwargs):
    """Runs a command; its output goes with the failure when it fails."""
    result = subprocess.run(argv, capture_output=True, text=True, timeout=120, **kwargs)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(argv), result.returncode,
                                                        result.stdout, result.stderr))
    return result.stdout


def step(text):
    print("--", text, flush=True)


# --- outside: build the package, check its control data, run the rest in a throwaway root ---

def build_package(build_dir, out_dir):
    step("cpack -G DEB")
    run(["cpack", "-G", "DEB", "--config", os.path.join(build_dir, "CPackConfig.cmake"),
         "-B", out_dir])
    debs = [f for f in os.listdir(out_dir) if f.endswith(".deb")]
    assert len(debs) == 1, "cpack made %s" % debs
    return os.path.join(out_dir, debs[0])


def check_control(deb):
    step("control data of " + os.path.basename(deb))
    fields = {}
    for line in run(["dpkg-deb", "-f", deb]).splitlines():
        if line and not line.startswith(" ") and ":" in line:
            name, value = line.split(":", 1)
            fields[name] = value.strip()
    arch = run(["dpkg", "--print-architecture"]).strip()
    assert fields.get("Package") == PACKAGE, fields
    assert fields.get("Architecture") == arch, fields
    assert fields.get("Section") == "video", fields
    assert "<" in fields.get("Maintainer", "") and fields.get("Description"), fields
    depends = [d.strip().split()[0] for d in fields.get("Depends", "").split(",")]
    # Debian 13 names the libraries of the 64-bit time_t change with a "t64" suffix.
    for needed in ("ffmpeg", "libgtk-3-0", "libcurl4", "adwaita-icon-theme-legacy"):
        assert needed in depends or needed + "t64" in depends, \
            "Depends lacks %s: %s" % (needed, fields.get("Depends"))
    assert not [d for d in depends if "glade" in d or "gtk2" in d], \
        "Depends names libglade or GTK+ 2: %s" % depends


def outside(build_dir):
    if os.geteuid() != 0:
        print("skipped: installing into a throwaway root needs root")
        return SKIPPED
    # The package's program talks to the host the build was made for; so does the test inside.
    os.environ["TOVIMO_SERVICE_HOST"] = "%s:%d" % service_address(build_dir)
    work = tempfile.mkdtemp(prefix="tovimo-package-")
    try:
        deb = build_package(build_dir, os.path.join(work, "pkg"))
        check_control(deb)
        step("into a throwaway root")
        # --kill-child: should this test be ended, its whole pid namespace ends with it.
        inner = subprocess.run(["unshare", "--mount", "--pid", "--fork", "--kill-child",
                                "--mount-proc", sys.executable, os.path.abspath(__file__),
                                INSIDE, deb, work], timeout=280)
        return inner.returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)


# --- inside: a private overlay of this machine ---------------------------------------------

def enter_throwaway_root(work):
    layers = os.path.join(work, "layers")
    os.makedirs(layers)
    run(["mount", "-t", "tmpfs", "tmpfs", layers])
    for d in ("upper", "work", "root"):
        os.makedirs(os.path.join(layers, d))
    root = os.path.join(layers, "root")
    run(["mount", "-t", "overlay", "overlay", "-o",
         "lowerdir=/,upperdir=%s/upper,workdir=%s/work" % (layers, layers), root])
    for d in ("/proc", "/sys", "/dev"):
        run(["mount", "--rbind", d, root + d])
    # The machine's /tmp, so that X displays and sockets are chosen as on the machine.
    run(["mount", "--bind", "/tmp", root + "/tmp"])
    os.chroot(root)
    os.chdir("/")


def installed_paths():
    return [p for p in run(["dpkg", "-L", PACKAGE]).splitlines()
            if p.startswith("/") and p != "/."]


def package_paths(deb):
    paths = []
    for line in run(["dpkg-deb", "-c", deb]).splitlines():
        path = line.split(None, 5)[5].split(" -> ")[0]
        path = "/" + path.lstrip("./").rstrip("/")
        if path != "/":
            paths.append(path)
    return paths


def is_installed():
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], capture_output=True,
                            text=True)
    return result.returncode == 0 and "installed" in result.stdout.split()


def read_entry(path):
    parser = configparser.RawConfigParser(interpolation=None, strict=True)
    parser.optionxform = str
    with open(path, encoding="utf-8") as f:
        parser.read_file(f)
    return parser["Desktop Entry"]


def exec_argv(entry):
    """The command of an entry's Exec line, its field codes dropped."""
    return [a for a in shlex.split(entry["Exec"]) if not (len(a) == 2 and a[0] == "%")]


def check_entries(paths):
    step("the menu entry, the autostart entry and the service's unit")
    menu_entry = "/usr/share/applications/tovimo.desktop"
    autostart = "/usr/share/tovimo/autostart/tovimo.desktop"
    unit = "/usr/lib/systemd/user/tovimo-service.service"
    for path in ("/usr/bin/tovimo", "/usr/bin/tovimo-service", "/usr/share/tovimo/ui.glade",
                 "/usr/share/tovimo/exit.png", menu_entry, autostart, unit,
                 "/usr/share/icons/hicolor/scalable/apps/tovimo.svg",
                 "/usr/share/icons/hicolor/48x48/apps/tovimo.png"):
        assert path in paths, "the package lacks " + path
    if shutil.which("desktop-file-validate"):
        run(["desktop-file-validate", menu_entry])
        run(["desktop-file-validate", autostart])
    entry = read_entry(menu_entry)
    assert entry["Type"] == "Application" and entry["Name"] == "Tovimo", dict(entry)
    assert entry["Icon"] == "tovimo" and entry["Comment"], dict(entry)
    assert entry["Categories"] == "AudioVideo;Video;", dict(entry)
    # Offered under Open With for Flash videos, the file as its argument.
    assert entry["MimeType"] == "video/x-flv;" and entry["Exec"].endswith(" %f"), dict(entry)
    started = read_entry(autostart)
    assert exec_argv(started) == exec_argv(entry) and started["Path"] == entry["Path"]
    assert started["X-GNOME-Autostart-enabled"] == "true", dict(started)
    service = configparser.RawConfigParser(interpolation=None)
    service.optionxform = str
    service.read(unit)
    exec_start = shlex.split(service["Service"]["ExecStart"])
    assert exec_start[0] == "/usr/bin/tovimo-service", exec_start
    assert service["Service"]["Restart"] == "on-failure"
    return entry


def start_from_menu(entry):
    argv, folder = exec_argv(entry), entry["Path"]
    step("starting %s in %s under Xvfb with a notification area" % (argv, folder))
    assert os.access(argv[0], os.X_OK), argv
    for name in ("ui.glade", "exit.png"):  # read from the working directory
        assert os.path.isfile(os.path.join(folder, name)), "%s lacks %s" % (folder, name)
    with Session() as s:
        s.start_display()
        s.start_bus()  # where a later start finds the running program
        s.start_tray_host()
        service = s.start_service("/usr/bin/tovimo-service")
        key = client_key()
        assert key, "this machine has no network adapter for a client key"
        assert service.command("login", key) in ("NEWBIE", "OK")  # no tutorial question at login
        program = s.launch("tovimo", argv, cwd=folder)
        wait_for(lambda: s.tray_icon(program.pid) or not program.running(),
                 "the program's icon in the tray",
                 describe=lambda: s.describe() + "\n" + program.output())
        assert program.running(), "the program ended:\n" + program.output()
        assert os.readlink("/proc/%d/cwd" % program.proc.pid) == folder
        step("its icon is in the tray")
        later = subprocess.run(argv + ["/nowhere/movie.flv"], cwd="/", env=s.env(),
                               capture_output=True, text=True, timeout=60)
        assert later.returncode == 0, later
        assert "Tovimo is already running" in later.stderr, later
        step("a second start hands over to it and ends")


def inside(deb, work):
    enter_throwaway_root(work)
    if is_installed():  # a copy of this machine's own install: taken out of the copy only
        run(["dpkg", "--purge", PACKAGE])
    paths = package_paths(deb)
    there_before = {p for p in paths if os.path.lexists(p)}

    # As a user installs it: apt takes the package's dependencies from this release's names.
    step("apt-get install " + os.path.basename(deb))
    run(["apt-get", "install", "-y", "-q", "--no-install-recommends", deb],
        env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    assert is_installed()
    listed = installed_paths()
    assert sorted(listed) == sorted(paths), "dpkg -L differs from the package's contents"
    entry = check_entries(listed)
    start_from_menu(entry)

    step("dpkg --purge " + PACKAGE)
    run(["dpkg", "--purge", PACKAGE])
    assert not is_installed()
    left = sorted(p for p in listed if os.path.lexists(p) and p not in there_before)
    assert not left, "left after purging: %s" % left
    step("nothing of it is left")
    return 0


if __name__ == "__main__":
    try:
        if len(sys.argv) == 4 and sys.argv[1] == INSIDE:
            sys.exit(inside(sys.argv[2], sys.argv[3]))
        sys.exit(outside(sys.argv[1]))
    except AssertionError as e:
        print("FAILED:", e, file=sys.stderr)
        sys.exit(1)
