"""Measures the tray program against its floors on a private X display, and prints figures.

1. Start-up: from exec to the program's icon shown in the notification area (tint2's under
   Xvfb), for the program (logged in against a loopback order service, so no dialog appears;
   without and with a session bus) and for two floors: a bare GTK 3 status icon program, and
   the same after loading ui.glade with GtkBuilder and initialising libcurl (what the
   designed libraries cost by themselves). Runs take turns; the first round is a discarded
   warm-up. An X event watcher notes when the icon's window is reparented into the notification
   area and when it is mapped there (shown), so nothing polls; the CPU time the process has used
   by then is read from /proc.
2. Memory once idle in the tray: VmRSS and Pss (smaps_rollup), 1.5 s after embedding.
3. Idle: the program and the floor sit in the tray side by side for a while with no session
   bus (and the program once more with a session bus that has no StatusNotifierWatcher);
   context switches and CPU time of all their threads are read from /proc before and after.
   Then strace watches each for a few seconds to say what any wake-up was.
4. One command round trip (login, poll) through the program's own fetch code against a
   loopback order service with a fresh database, and one plain libcurl GET of the same URLs;
   rounds alternate between the two. Once over http, once over https (the service with a
   certificate of a throwaway CA that both sides trust through SSL_CERT_FILE; each call makes
   its own connection and handshake, as the program does).

5. Following a conversion: a minute of 640x360 video (made with Debian's converter) converted
   to AVI by Debian's converter, started and followed in the program's window as the program
   does it (bench/follow_bench); the program's CPU time from the start to the converter's end,
   as a share of the converter's own. Each run first converts a one-second clip, since a run's
   first conversion also pays for what the program loads once (fonts, the buttons' icons).

The display, notification area, session bus, service and X helpers are the tests' shared
harness (tests/desktop/harness.py).

Usage (scripts/bench passes these):
    desktop_bench.py --build DIR --data DIR --port PORT [--runs N] [--idle SECONDS]
PORT is the service port the program was built for (TOVIMO_SERVICE_HOST=127.0.0.1:PORT).
"""

import argparse
import glob
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "desktop"))
from harness import (START_TIMEOUT, OrderService, Session, in_session,  # noqa: E402
                     make_certificates, read_file, spawn, stop_process)

from Xlib import X  # noqa: E402


def log(text):
    print(text, file=sys.stderr, flush=True)


def load_average():
    return float(read_file("/proc/loadavg").split()[0])


# --- The desktop: Xvfb, a notification area and a session bus, from the shared harness ------

class Desktop(Session):
    def __init__(self):
        super().__init__(prefix="tovimo-bench-")

    def start_all(self):
        self.start_display()
        self.x.listen()
        self.start_tray_host()
        self.start_bus()
        time.sleep(0.5)  # the notification area settles before anything is timed
        self.x.drain()

    def wait_embedded(self, proc, timeout=START_TIMEOUT):
        """Waits for `proc`'s icon to be reparented into the notification area, then mapped
        there. Returns (seconds to embedded, seconds to mapped) from the watcher's clock."""
        deadline = time.monotonic() + timeout
        plug = embedded = None
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                raise RuntimeError("the program ended with status %d" % proc.returncode)
            for when, event in self.x.events(min(0.2, deadline - time.monotonic())):
                if plug is None and event.type == X.ReparentNotify:
                    if (in_session(self.x.pid_of(event.window), proc.pid) and
                            self.in_tray_host(event.parent)):
                        plug, embedded = event.window, when
                        self.x.watch(plug)
                        if self.x.mapped(plug):
                            return embedded, time.monotonic()
                elif (plug is not None and event.type == X.MapNotify
                      and event.window.id == plug.id):
                    return embedded, when
        raise RuntimeError("the icon was not embedded within %.0f s" % timeout)


# --- What /proc says about a process --------------------------------------------------------

def memory(pid):
    """(VmRSS, Pss) in KiB."""
    rss = re.search(r"^VmRSS:\s+(\d+)", read_file("/proc/%d/status" % pid), re.M)
    pss = re.search(r"^Pss:\s+(\d+)", read_file("/proc/%d/smaps_rollup" % pid), re.M)
    return int(rss.group(1)), int(pss.group(1))


def activity(pid):
    """Summed over the process's threads: voluntary and involuntary context switches, times
    put on a CPU, CPU time in ns; user and system time in clock ticks (/proc/PID/stat); and the
    number of threads."""
    fields = read_file("/proc/%d/stat" % pid).rsplit(")", 1)[-1].split()
    totals = {"voluntary": 0, "involuntary": 0, "timeslices": 0, "cpu_ns": 0, "threads": 0,
              "ticks": int(fields[11]) + int(fields[12]) if len(fields) > 12 else 0}
    for task in glob.glob("/proc/%d/task/*" % pid):
        status = read_file(task + "/status")
        sched = read_file(task + "/schedstat").split()
        if not status or len(sched) < 3:
            continue
        totals["voluntary"] += int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status,
                                             re.M).group(1))
        totals["involuntary"] += int(re.search(r"^nonvoluntary_ctxt_switches:\s+(\d+)", status,
                                               re.M).group(1))
        totals["cpu_ns"] += int(sched[0])
        totals["timeslices"] += int(sched[2])
        totals["threads"] += 1
    return totals


def delta(after, before):
    return {k: after[k] - before[k] for k in after if k != "threads"}


# --- The programs ---------------------------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        args.build = os.path.abspath(args.build)
        args.data = os.path.abspath(args.data)
        self.program = os.path.join(args.build, "tovimo")
        self.floor = os.path.join(args.build, "bench", "baseline_status_icon")
        self.floor_libs = os.path.join(args.build, "bench", "baseline_status_icon_libs")
        self.service_bin = os.path.join(args.build, "service", "tovimo-service")
        self.roundtrip = os.path.join(args.build, "bench", "roundtrip_bench")
        self.plain_get = os.path.join(args.build, "bench", "baseline_get")
        self.follow = os.path.join(args.build, "bench", "follow_bench")
        self.desktop = Desktop()
        self.dir = self.desktop.dir
        self.loads = []
        self.work = os.path.join(self.dir, "work")
        os.makedirs(self.work)
        for name in ("ui.glade", "exit.png"):
            shutil.copy(os.path.join(args.data, name), self.work)

    def note_load(self, phase):
        self.loads.append((phase, load_average()))

    def start_service(self, name, port, tls=None):
        """A tovimo-service with a fresh database (over https with `tls`); returns its base
        URL."""
        service = OrderService(self.service_bin, os.path.join(self.dir, name + ".sqlite"),
                               "127.0.0.1:%d" % port, env=self.desktop.env(), tls=tls)
        self.desktop.processes.append(service)
        return service.start(port_wait=0).base

    def key(self):
        return subprocess.run([self.roundtrip, "key"], check=True, capture_output=True,
                              text=True).stdout.strip()

    def launch(self, argv, bus=False):
        """Starts a program on the desktop. Without `bus` it has no session bus: no address,
        and no bus socket in its runtime folder."""
        env = self.desktop.env()
        if not bus:
            del env["DBUS_SESSION_BUS_ADDRESS"]
        with open(os.path.join(self.dir, "program.err"), "ab") as err:
            start = time.monotonic()
            proc = spawn(argv, cwd=self.work, env=env, stdout=subprocess.DEVNULL, stderr=err)
        return proc, start

    def run(self):
        try:
            self.desktop.start_all()
            base = self.start_service("desktop-service", self.args.port)
            # Logged in once, so that the program's login is answered OK and no tutorial
            # question appears.
            key = self.key()
            with urllib.request.urlopen("%sio.php?cmd=login&data=%s&ver=1" % (base, key)) as r:
                r.read()
            results = {}
            results["startup"] = self.startup()
            results["idle"] = self.idle()
            results["roundtrip"] = self.roundtrips(key)
            ca, *tls = make_certificates(os.path.join(self.dir, "tls"))
            results["roundtrip https"] = self.roundtrips(key, tls, ca)
            results["follow"] = self.following()
            self.report(results)
        finally:
            self.desktop.close()

    # 1 and 2 -------------------------------------------------------------------------------

    def startup(self):
        self.note_load("start-up (begin)")
        kinds = [("floor", [self.floor], False), ("floor+libs", [self.floor_libs], False),
                 ("tovimo", [self.program], False), ("tovimo+bus", [self.program], True)]
        samples = {name: {"embedded": [], "mapped": [], "cpu": [], "rss": [], "pss": []}
                   for name, _, _ in kinds}
        for run in range(self.args.runs + 1):  # run 0 warms the caches and is dropped
            for name, argv, bus in kinds:
                self.desktop.x.drain()
                proc, start = self.launch(argv, bus)
                try:
                    embedded, mapped = self.desktop.wait_embedded(proc)
                    cpu_ms = activity(proc.pid)["cpu_ns"] / 1e6
                    time.sleep(1.5)  # idle in the tray, past the program's one-shot timeout
                    rss, pss = memory(proc.pid)
                finally:
                    stop_process(proc)
                if run > 0:
                    s = samples[name]
                    s["embedded"].append((embedded - start) * 1000)
                    s["mapped"].append((mapped - start) * 1000)
                    s["cpu"].append(cpu_ms)
                    s["rss"].append(rss)
                    s["pss"].append(pss)
                time.sleep(0.3)  # the notification area drops the socket before the next icon
            log("start-up run %d/%d done" % (run, self.args.runs))
        self.note_load("start-up (end)")
        return samples

    # 3 -------------------------------------------------------------------------------------

    def idle(self):
        kinds = [("floor", [self.floor], False), ("tovimo", [self.program], False),
                 ("tovimo+bus", [self.program], True)]
        procs = {}
        try:
            for name, argv, bus in kinds:
                self.desktop.x.drain()
                proc, _ = self.launch(argv, bus)
                self.desktop.wait_embedded(proc)
                procs[name] = proc
            time.sleep(3.0)  # past the program's one-shot placement timeout and any start-up
            self.note_load("idle (begin)")
            before = {name: activity(p.pid) for name, p in procs.items()}
            mem_before = {name: memory(p.pid) for name, p in procs.items()}
            log("idle: %d s with every program in the tray" % self.args.idle)
            time.sleep(self.args.idle)
            after = {name: activity(p.pid) for name, p in procs.items()}
            mem_after = {name: memory(p.pid) for name, p in procs.items()}
            self.note_load("idle (end)")
            traced = self.trace(procs)
            return {name: {"delta": delta(after[name], before[name]),
                           "threads": after[name]["threads"],
                           "mem": (mem_before[name], mem_after[name]),
                           "trace": traced.get(name)} for name in procs}
        finally:
            for proc in procs.values():
                stop_process(proc)

    def trace(self, procs):
        """What the processes do in a few seconds with strace attached: the calls that wait
        (and how many of them ended by their time-out)."""
        if not shutil.which("strace"):
            return {}
        calls = ("poll,ppoll,select,pselect6,epoll_wait,epoll_pwait,nanosleep,clock_nanosleep,"
                 "futex,restart_syscall")
        tracers = {}
        for name, proc in procs.items():
            out = os.path.join(self.dir, "strace-%s.txt" % name.replace("+", "-"))
            tracers[name] = (subprocess.Popen(
                ["strace", "-f", "-qq", "-e", "trace=" + calls, "-o", out, "-p", str(proc.pid)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True), out)
        time.sleep(1.0 + self.args.trace)
        result = {}
        for name, (tracer, out) in tracers.items():
            tracer.send_signal(signal.SIGINT)
            tracer.wait(timeout=10)
            finished = timeouts = 0
            for line in read_file(out).splitlines():
                if "<unfinished" in line or "<detached" in line or " = " not in line:
                    continue
                finished += 1
                if "(Timeout)" in line:
                    timeouts += 1
            result[name] = (finished, timeouts)
        return result

    # 4 -------------------------------------------------------------------------------------

    def roundtrips(self, key, tls=None, ca=None):
        """Medians of both sides' calls; over https with `tls`, trusting the CA file `ca`."""
        name = "roundtrip-service" + ("-https" if tls else "")
        base = self.start_service(name, 0, tls)  # a fresh database, a free port
        env = dict(os.environ, SSL_CERT_FILE=ca) if ca else None
        urls = ["login=%sio.php?cmd=login&data=%s&ver=1" % (base, key),
                "poll=%sio.php?cmd=poll&data=%s&ver=1" % (base, key)]
        count = str(self.args.calls)
        medians = {("tovimo", "login"): [], ("tovimo", "poll"): [],
                   ("plain", "login"): [], ("plain", "poll"): []}
        self.note_load("round trip (begin)")

        def measure(side, argv):
            out = subprocess.run(argv, check=True, capture_output=True, text=True,
                                 env=env).stdout
            for line in out.splitlines():
                match = re.match(r"(\w+) runs=\d+ median_us=([\d.]+)", line)
                if match:
                    medians[(side, match.group(1))].append(float(match.group(2)))

        for round_number in range(self.args.runs + 1):
            sides = [("tovimo", [self.roundtrip, count, base]),
                     ("plain", [self.plain_get, count] + urls)]
            if round_number % 2:
                sides.reverse()
            for side, argv in sides:
                if round_number == 0:
                    subprocess.run(argv, check=True, capture_output=True, env=env)  # warm-up
                else:
                    measure(side, argv)
        self.note_load("round trip (end)")
        return medians

    # 5 -------------------------------------------------------------------------------------

    def following(self):
        clips = {}
        for name, seconds, size in (("first", 1, "320x240"), ("minute", 60, "640x360")):
            clips[name] = os.path.join(self.dir, name + ".flv")
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                            "testsrc=duration=%d:size=%s:rate=25" % (seconds, size), "-f",
                            "lavfi", "-i", "sine=duration=%d" % seconds, "-f", "flv", "-y",
                            clips[name]], check=True)
        samples = {"first": [], "follow": []}
        self.note_load("following (begin)")
        for _ in range(self.args.runs):
            out = subprocess.run(
                [self.follow, clips["first"], clips["minute"], os.path.join(self.dir, "out.avi")],
                check=True, capture_output=True, text=True, env=self.desktop.env(),
                cwd=self.work).stdout
            for line in out.splitlines():
                match = re.match(r"(first|follow) wall_ms=\S+ program_cpu_ms=(\S+) "
                                 r"converter_cpu_ms=(\S+)", line)
                if match:
                    samples[match.group(1)].append((float(match.group(2)),
                                                    float(match.group(3))))
        self.note_load("following (end)")
        return samples

    # The table -----------------------------------------------------------------------------

    def report(self, results):
        med = statistics.median
        runs = self.args.runs
        lines = []
        out = lines.append

        def ratio(a, b):
            return a / b if b else float("inf")

        st = results["startup"]
        rows = (("floor", "bare status icon"),
                ("floor+libs", "floor: icon+libcurl+ui.glade"),
                ("tovimo", "tovimo, no session bus"),
                ("tovimo+bus", "tovimo, session bus"))
        floor_ms = med(st["floor"]["mapped"])
        libs_ms = med(st["floor+libs"]["mapped"])
        out("")
        out("Start-up: exec to icon in the notification area (median of %d runs, ms; "
            "'shown' = mapped there)" % runs)
        out("  %-28s %10s %7s %6s %6s %8s %8s %8s" % ("", "reparented", "shown", "min", "max",
                                                      "/floor", "/libs", "CPU ms"))
        for name, label in rows:
            shown = st[name]["mapped"]
            out("  %-28s %10.1f %7.1f %6.1f %6.1f %7.2fx %7.2fx %8.1f" % (
                label, med(st[name]["embedded"]), med(shown), min(shown), max(shown),
                ratio(med(shown), floor_ms), ratio(med(shown), libs_ms), med(st[name]["cpu"])))
        # The floor is what start-up must do with the libraries it needs: the icon, libcurl
        # initialised and ui.glade loaded with GtkBuilder.
        for name, label in rows[2:]:
            r = ratio(med(st[name]["mapped"]), libs_ms)
            out("  goal <= 1.05x the floor, %-22s %.2fx: %s" % (label, r,
                                                               "met" if r <= 1.05 else "MISSED"))

        out("")
        out("Memory idle in the tray, 1.5 s after embedding (median of %d runs, KiB)" % runs)
        out("  %-28s %9s %9s %16s %16s" % ("", "VmRSS", "Pss", "over floor MiB",
                                           "over libs MiB"))
        for name, label in rows:
            rss, pss = med(st[name]["rss"]), med(st[name]["pss"])
            out("  %-28s %9d %9d %7.2f / %6.2f %7.2f / %6.2f" % (
                label, rss, pss,
                (rss - med(st["floor"]["rss"])) / 1024, (pss - med(st["floor"]["pss"])) / 1024,
                (rss - med(st["floor+libs"]["rss"])) / 1024,
                (pss - med(st["floor+libs"]["pss"])) / 1024))
        for name, label in rows[2:]:
            d_rss = (med(st[name]["rss"]) - med(st["floor+libs"]["rss"])) / 1024
            d_pss = (med(st[name]["pss"]) - med(st["floor+libs"]["pss"])) / 1024
            out("  goal <= 1 MiB over the floor, %-22s RSS %+.2f, Pss %+.2f: %s" % (
                label, d_rss, d_pss, "met" if max(d_rss, d_pss) <= 1 else "MISSED"))

        idle = results["idle"]
        out("")
        out("Idle in the tray for %d s (all threads)" % self.args.idle)
        out("  %-22s %7s %9s %8s %8s %8s %6s %9s" % ("", "threads", "vol.ctxsw", "invol.",
                                                      "on-CPU", "CPU us", "ticks", "RSS KiB"))
        for name, label in (("floor", "floor, no bus"), ("tovimo", "tovimo, no bus"),
                            ("tovimo+bus", "tovimo, bus no watcher")):
            d = idle[name]["delta"]
            out("  %-22s %7d %9d %8d %8d %8d %6d %9d" % (
                label, idle[name]["threads"], d["voluntary"], d["involuntary"], d["timeslices"],
                d["cpu_ns"] // 1000, d["ticks"], idle[name]["mem"][1][0]))
        for name, label in (("floor", "floor, no bus"), ("tovimo", "tovimo, no bus"),
                            ("tovimo+bus", "tovimo, bus no watcher")):
            trace = idle[name]["trace"]
            if trace is not None:
                out("  strace %d s, %-22s %d waits returned, %d by time-out" % (
                    self.args.trace, label + ":", trace[0], trace[1]))
        for name, label in (("tovimo", "no session bus"), ("tovimo+bus", "session bus")):
            d = idle[name]["delta"]
            woke = d["voluntary"] + d["involuntary"]
            out("  goal: tovimo wakes up no time while idle, %-14s %d: %s" % (
                label + ",", woke, "met" if woke == 0 else "MISSED"))

        for scheme, key in (("http", "roundtrip"), ("https", "roundtrip https")):
            rt = results[key]
            out("")
            out("One command round trip over %s, loopback service (median over %d rounds of the "
                "median of %d calls, us)" % (scheme, runs, self.args.calls))
            out("  %-10s %12s %12s %8s" % ("", "tovimo", "plain GET", "ratio"))
            for command in ("login", "poll"):
                t, p = med(rt[("tovimo", command)]), med(rt[("plain", command)])
                r = ratio(t, p)
                out("  %-10s %12.1f %12.1f %7.2fx  (goal <= 1.20x: %s)" % (
                    command, t, p, r, "met" if r <= 1.2 else "MISSED"))

        follow = results["follow"]
        med_of = lambda pairs, i: med([p[i] for p in pairs])
        share = med([p[0] / p[1] for p in follow["follow"]])
        out("")
        out("Following a conversion (median of %d runs): a minute of 640x360 video to AVI" % runs)
        out("  program CPU %.1f ms, converter CPU %.1f ms: %.2f %% of the converter's  "
            "(goal <= 1 %%: %s)" % (med_of(follow["follow"], 0), med_of(follow["follow"], 1),
                                     100 * share, "met" if share <= 0.01 else "MISSED"))
        out("  a run's first conversion (a one-second clip) besides: program CPU %.1f ms" %
            med_of(follow["first"], 0))

        out("")
        out("Load average (1 min) during the run: " +
            ", ".join("%s %.2f" % (phase, value) for phase, value in self.loads))
        print("\n".join(lines), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--idle", type=int, default=60)
    parser.add_argument("--trace", type=int, default=5)
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    Bench(args).run()


if __name__ == "__main__":
    main()
