#!/usr/bin/python3
"""The real program end to end, as a user runs it.

Starts `tessavo` as its own process on a private Xvfb display, with a socat
pty pair whose one end is in TESSAVO_EXTRA_PORTS, and works it from outside:
keys and clicks through the X server (xdotool, XTest), what it shows read
over AT-SPI (the status-bar labels, the log's text interface, text-changed
events), X damage (x_watch), its memory and processor time from /proc. The
far end of the line is e2e_peer; a11y_watch listens and polls on the
accessibility bus. bench/e2e/README.md says what each figure includes.

Figures, each beside what it is compared with, in one run:
  throughput    64 MiB as 80-character lines and as one endless line, as
                fast as the program drains, over a plain read loop on the
                same pair; with no accessibility bus and with one; then the
                Recv counter and the log's end are checked
  memory        peak resident growth over the bytes the log holds
  stall         the longest time the peer had bytes to write and no room
  idle CPU      port open, auto-send every 1000 ms, over 20 s
  latency       200 single bytes from the peer, on a quiet line and in a
                20 MB/s flood, to the log's text, the Recv counter, the
                log's paint
  response      clicks on Clear Recv and Send in a flood

Everything it starts (Xvfb, a private session bus, the accessibility bus and
registry, socat, tessavo, its helpers) it stops by process id; it writes only
in a temporary folder, which it removes.

  scripts/bootstrap bench && cmake --build --preset linux
  bench/e2e/e2e_bench.py [--runs N] [--mib 64] [--only throughput,idle,latency]
                         [--perf DIR]
"""

import argparse
import bisect
import collections
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

try:
    import dbus
    from Xlib import X
    from Xlib import display as xdisplay
    from Xlib.ext import xtest
except ImportError as missing:
    sys.exit("%s: run scripts/bootstrap bench (Debian's python3-dbus and python3-xlib)" % missing)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PERIOD = 80 * 90
ATSPI = "org.a11y.atspi"
PROPS = "org.freedesktop.DBus.Properties"
READ_INTERVAL_MS = 30  # the window's stored ReadIntervalTimeout
INF = float("inf")
# An auto-send interval that keeps sends out of a measurement: one send at
# once when the port opens, the next in 17 minutes.
QUIET = 999999


def now_ns():
    return time.monotonic_ns()


def fail(message):
    raise RuntimeError(message)


def expected_tail(shape, total, n):
    """The last n characters the log shows for `total` bytes of `shape`
    (CR LF shows as one line break)."""
    out = []
    at = total - 1
    while len(out) < n and at >= 0:
        col = at % 80
        if shape == "lines" and col == 79:
            out.append("\n")
            at -= 2
            continue
        out.append(chr(ord("!") + (at // 80 + col) % 90))
        at -= 1
    return "".join(reversed(out))


def shown_chars(shape, total):
    """How many characters the log shows for `total` bytes of `shape`."""
    if shape != "lines":
        return total
    return total // 80 * 79 + min(total % 80, 79)


def percentile(values, p):
    if not values:
        return float("nan")
    v = sorted(values)
    k = max(0, min(len(v) - 1, int(round(p / 100.0 * len(v) + 0.5)) - 1))
    return v[k]


class Session:
    """A private desktop: X server, session bus, accessibility bus and
    registry, all children of this process, in a temporary folder."""

    def __init__(self, build):
        self.build = build
        self.tmp = tempfile.mkdtemp(prefix="tessavo-e2ebench.")
        self.run_dir = os.path.join(self.tmp, "run")
        home = os.path.join(self.tmp, "home")
        os.mkdir(self.run_dir, 0o700)
        os.mkdir(home, 0o700)
        self.procs = []  # (name, Popen), in start order
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("XDG_", "DBUS_", "QT_", "AT_SPI", "WAYLAND"))
               and k not in ("DISPLAY", "XAUTHORITY", "HOME", "SESSION_MANAGER")}
        env.update(HOME=home, XDG_RUNTIME_DIR=self.run_dir,
                   XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"),
                   XDG_DATA_HOME=os.path.join(home, ".local/share"),
                   GSETTINGS_BACKEND="memory", QT_QPA_PLATFORM="xcb", NO_AT_BRIDGE="1")
        self.env = env
        self.display = None
        self.session_bus = None
        self.a11y_address = None
        self.a11y = None

    def spawn(self, name, argv, **kw):
        kw.setdefault("env", self.env)
        kw.setdefault("stdin", subprocess.DEVNULL)
        kw.setdefault("stderr", open(os.path.join(self.tmp, name + ".err"), "ab"))
        p = subprocess.Popen(argv, **kw)
        self.procs.append((name, p))
        return p

    def start(self):
        # X: the server says its display number on a pipe once it is ready.
        r, w = os.pipe()
        self.spawn("xvfb", ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24",
                            "-nolisten", "tcp", "-noreset"], pass_fds=[w],
                   stdout=subprocess.DEVNULL)
        os.close(w)
        number = self._read_line(r, 10, "Xvfb did not start")
        os.close(r)
        self.env["DISPLAY"] = ":" + number
        self.display = ":" + number

        # A session bus of our own that starts no services by itself.
        conf = os.path.join(self.tmp, "session.conf")
        with open(conf, "w") as f:
            f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration '
                    '1.0//EN" "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                    "<busconfig><type>session</type>"
                    "<listen>unix:path=%s</listen><auth>EXTERNAL</auth>"
                    '<policy context="default"><allow send_destination="*" eavesdrop="true"/>'
                    '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>\n'
                    % os.path.join(self.run_dir, "bus"))
        r, w = os.pipe()
        self.spawn("session-bus", ["dbus-daemon", "--config-file=" + conf, "--nofork",
                                   "--print-address=%d" % w], pass_fds=[w],
                   stdout=subprocess.DEVNULL)
        os.close(w)
        address = self._read_line(r, 10, "the session bus did not start")
        os.close(r)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        self.session_bus = dbus.bus.BusConnection(address)

        self.a11y_procs = []
        self.a11y = None
        self.layout = None
        self.x = xdisplay.Display(self.display)
        if not self.x.has_extension("XTEST") or not self.x.has_extension("DAMAGE"):
            fail("the X server lacks XTEST or DAMAGE")

    def a11y_on(self):
        """The accessibility bus, enabled as a screen reader has it, and its
        registry (started here so that nothing activates another). A
        program already running notices the bus appear and joins it."""
        if self.a11y_procs:
            return
        self.a11y_procs.append(self.spawn("a11y-launcher", [
            "/usr/libexec/at-spi-bus-launcher", "--launch-immediately", "--a11y=1"],
            stdout=subprocess.DEVNULL))
        self._wait(lambda: self.session_bus.name_has_owner("org.a11y.Bus"), 10,
                   "the accessibility bus did not start")
        bus = self.session_bus.get_object("org.a11y.Bus", "/org/a11y/bus", introspect=False)
        self.a11y_address = str(bus.GetAddress(dbus_interface="org.a11y.Bus"))
        self.a11y = dbus.bus.BusConnection(self.a11y_address)
        self.a11y_procs.append(self.spawn("a11y-registry", ["/usr/libexec/at-spi2-registryd"],
                                          env=dict(self.env, AT_SPI_BUS_ADDRESS=self.a11y_address),
                                          stdout=subprocess.DEVNULL))
        self._wait(lambda: self.a11y.name_has_owner(ATSPI + ".Registry"), 10,
                   "the accessibility registry did not start")

    def a11y_off(self):
        """No accessibility bus: a program started now runs as on a desktop
        with no assistive technology, its bridge off."""
        if self.a11y is not None:
            self.a11y.close()
            self.a11y = None
        for p in reversed(self.a11y_procs):
            self.stop(p)
        self.a11y_procs = []
        self._wait(lambda: not self.session_bus.name_has_owner("org.a11y.Bus"), 10,
                   "the accessibility bus did not go")

    @staticmethod
    def _read_line(fd, seconds, problem):
        data = b""
        deadline = time.time() + seconds
        while not data.endswith(b"\n"):
            left = deadline - time.time()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                fail(problem)
            chunk = os.read(fd, 256)
            if not chunk:
                fail(problem)
            data += chunk
        return data.decode().strip()

    @staticmethod
    def _wait(pred, seconds, problem, step=0.02):
        deadline = time.time() + seconds
        while True:
            try:
                if pred():
                    return
            except dbus.DBusException:
                pass
            if time.time() > deadline:
                fail(problem)
            time.sleep(step)

    def stop(self, proc, seconds=5):
        """Stops one process we started, its own children first (so that
        each is reaped by its parent), by process id."""
        for child in children_of(proc.pid):
            kill_pid(child, seconds)
        if proc.poll() is None:
            try:
                proc.terminate()
                proc.wait(seconds)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.procs = [(n, p) for n, p in self.procs if p is not proc]

    def close(self):
        if getattr(self, "x", None) is not None:
            try:
                self.x.close()
            except Exception:  # the server may be gone already
                pass
            self.x = None
        for _, p in reversed(list(self.procs)):
            try:
                self.stop(p)
            except Exception as e:
                print("could not stop %d: %s" % (p.pid, e), file=sys.stderr)
        shutil.rmtree(self.tmp, ignore_errors=True)


def children_of(pid):
    """Every descendant of pid, deepest first."""
    kids = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            kids.setdefault(int(fields[1]), []).append(int(entry))
        except (OSError, IndexError):
            pass
    out = []

    def visit(p):
        for c in kids.get(p, []):
            visit(c)
            out.append(c)
    visit(pid)
    return out


def kill_pid(pid, seconds):
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            with open("/proc/%d/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            if state == "Z":
                return  # its parent reaps it
        except OSError:
            return
        time.sleep(0.01)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def tasks_of(pid):
    """{tid: (ns run on a processor, ns waited for one)} of a process."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                run, wait = f.read().split()[:2]
            out[int(tid)] = (int(run), int(wait))
        except OSError:
            pass
    return out


class CpuUse:
    """Processor time over a stretch: the program's main thread, its other
    threads, and the X server and socat, which work for it."""

    def __init__(self, session, prog):
        self.pids = {"main": prog.pid, "xvfb": session.procs[0][1].pid, "socat": prog.socat.pid}
        self.t0, self.before = now_ns(), self.sample()

    def sample(self):
        return {name: tasks_of(pid) for name, pid in self.pids.items()}

    def stop(self, t1=None):
        after = self.sample()
        wall = ((t1 or now_ns()) - self.t0) / 1e9

        def delta(name, pick):
            """(run, wait) in seconds over the threads `pick` accepts."""
            a, b = self.before[name], after[name]
            run = wait = 0
            for t, (r, w) in b.items():
                if pick(t):
                    r0, w0 = a.get(t, (0, 0))
                    run, wait = run + r - r0, wait + w - w0
            return run / 1e9, wait / 1e9
        main_pid = self.pids["main"]
        self.main, self.main_wait = delta("main", lambda t: t == main_pid)
        self.others, self.others_wait = delta("main", lambda t: t != main_pid)
        self.xvfb = delta("xvfb", lambda t: True)[0]
        self.socat = delta("socat", lambda t: True)[0]
        self.wall = wall
        return self

    def line(self):
        return ("CPU s over %.2f s: main thread %.2f (+%.2f waiting for a CPU), other threads "
                "%.2f, Xvfb %.2f, socat %.2f" % (self.wall, self.main, self.main_wait,
                                                 self.others, self.xvfb, self.socat))


class Node:
    def __init__(self, bus, name, path):
        self.obj = bus.get_object(name, path, introspect=False)
        self.path = str(path)
        self.bus_name = str(name)

    def prop(self, iface, name):
        return self.obj.Get(iface, name, dbus_interface=PROPS)

    def name(self):
        return str(self.prop(ATSPI + ".Accessible", "Name"))

    def role(self):
        return str(self.obj.GetRoleName(dbus_interface=ATSPI + ".Accessible"))

    def interfaces(self):
        return [str(i) for i in self.obj.GetInterfaces(dbus_interface=ATSPI + ".Accessible")]

    def children(self):
        return [(n, p) for n, p in self.obj.GetChildren(dbus_interface=ATSPI + ".Accessible")]

    def extents(self):
        e = self.obj.GetExtents(dbus.UInt32(0), dbus_interface=ATSPI + ".Component")
        return tuple(int(v) for v in e)

    def center(self):
        x, y, w, h = self.extents()
        return x + w // 2, y + h // 2

    def char_count(self):
        return int(self.prop(ATSPI + ".Text", "CharacterCount"))

    def text(self, start, end):
        return str(self.obj.GetText(start, end, dbus_interface=ATSPI + ".Text"))


# The controls the script works or watches, by how AT-SPI shows them.
PLACES = ("open", "send", "clear_recv", "interval", "log", "recv", "send_count")


class Program:
    """One tessavo process on a fresh socat pair, its port set up and opened
    as a user does it. With the accessibility bus on, the script finds the
    controls over AT-SPI and learns where they are in the window; with it
    off (the program then runs as on a desktop with no assistive
    technology), it works the window blind at the places learned before and
    turns the bus on only afterwards, to check what the window shows."""

    def __init__(self, session, tag):
        self.s = session
        self.tag = tag
        self.peer_tty = os.path.join(session.tmp, tag + "-peer")
        self.port_tty = os.path.join(session.tmp, tag + "-port")
        self.socat = session.spawn(tag + "-socat", [
            "socat", "pty,raw,echo=0,link=" + self.peer_tty,
            "pty,raw,echo=0,link=" + self.port_tty], stdout=subprocess.DEVNULL)
        session._wait(lambda: os.path.exists(self.peer_tty) and os.path.exists(self.port_tty),
                      10, "socat made no pty pair")
        self.proc = None
        self.nodes = None
        self.pending = []  # what a blind start could not check yet

    def start(self):
        binary = os.path.join(self.s.build, "src/app/tessavo")
        self.proc = self.s.spawn(self.tag + "-tessavo", [binary],
                                 env=dict(self.s.env, TESSAVO_EXTRA_PORTS=self.port_tty),
                                 stdout=subprocess.DEVNULL)
        self.pid = self.proc.pid
        out = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                              str(self.pid)], env=self.s.env, capture_output=True, text=True,
                             timeout=20).stdout.split()
        if not out:
            fail("tessavo's window is not on the display")
        self.window = int(out[0])
        win = self.s.x.create_resource_object("window", self.window)
        at = win.translate_coords(self.s.x.screen().root, 0, 0)
        self.origin = (-at.x, -at.y)
        if self.s.a11y is not None:
            self.see()
        elif self.s.layout is None:
            fail("the controls' places are not known yet")

    def start_open(self, interval=QUIET):
        """Starts the program and opens its port as a user does. The
        interval goes in first: opening the port starts auto-send at once."""
        self.start()
        self.set_interval(interval)
        self.open_port()

    def see(self):
        """Finds the window's controls over AT-SPI (turning the bus on if it
        is off) and learns their places."""
        self.s.a11y_on()
        self.s._wait(self._find_app, 20, "tessavo did not appear on the accessibility bus",
                     step=0.05)
        self._find_widgets()
        ox, oy = self.origin
        layout = {}
        for name in PLACES:
            x, y, w, h = self.nodes[name].extents()
            layout[name] = (x - ox, y - oy, w, h)
        if self.s.layout is None:
            self.s.layout = layout
        elif layout != self.s.layout:
            fail("the window's layout differs from the one learned")

    def rect(self, name):
        """A control's rectangle in the window's coordinates."""
        return self.s.layout[name]

    def _find_app(self):
        root = Node(self.s.a11y, ATSPI + ".Registry", "/org/a11y/atspi/accessible/root")
        dbus_obj = self.s.a11y.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        for name, path in root.children():
            pid = dbus_obj.GetConnectionUnixProcessID(name, dbus_interface="org.freedesktop.DBus")
            if int(pid) == self.pid:
                self.app = Node(self.s.a11y, name, path)
                return len(self.app.children()) > 0
        return False

    def _find_widgets(self):
        found = {}
        texts = []

        def walk(node):
            role = node.role()
            name = node.name()
            if role == "push button":
                found.setdefault("button:" + name, node)
            elif role == "label" and name.startswith((" Recv:", " Send:")):
                found[name[1:5]] = node
            elif role == "text":
                texts.append((node, node.interfaces()))
            for n, p in node.children():
                walk(Node(self.s.a11y, n, p))
        walk(self.app)
        logs = [n for n, i in texts if ATSPI + ".EditableText" not in i]
        edits = sorted((n for n, i in texts if ATSPI + ".EditableText" in i),
                       key=lambda n: n.extents()[2])
        nodes = {"open": found.get("button:Open Com") or found.get("button:Close Com"),
                 "send": found.get("button:Send"), "clear_recv": found.get("button:Clear Recv"),
                 "recv": found.get("Recv"), "send_count": found.get("Send"),
                 "log": logs[0] if len(logs) == 1 else None,
                 # the narrow one; the send box is wide
                 "interval": edits[0] if len(edits) == 2 else None}
        if None in nodes.values():
            fail("the window's controls were not all found over AT-SPI")
        self.nodes = nodes
        self.log = nodes["log"]

    # ---- the user's hands -------------------------------------------------

    def xdotool(self, *args):
        subprocess.run(["xdotool", "windowfocus", "--sync", str(self.window)] + list(args),
                       env=self.s.env, check=True, timeout=20)

    def click(self, name):
        """A real click at the middle of a control; returns the time of the
        button's release, which is when a push button acts."""
        x, y, w, h = self.rect(name)
        x, y = self.origin[0] + x + w // 2, self.origin[1] + y + h // 2
        d = self.s.x
        xtest.fake_input(d, X.MotionNotify, x=x, y=y)
        xtest.fake_input(d, X.ButtonPress, 1)
        d.sync()
        t = now_ns()
        xtest.fake_input(d, X.ButtonRelease, 1)
        d.sync()
        return t

    def set_interval(self, ms):
        self.xdotool()
        self.click("interval")
        self.xdotool("key", "ctrl+a", "BackSpace", "type", str(ms))
        check = (lambda: self.nodes["interval"].text(0, -1) == str(ms),
                 "the interval box did not take %s" % ms)
        self._check(*check)

    def open_port(self):
        self.xdotool("key", "alt+o")
        self._check(lambda: self.nodes["open"].name() == "Close Com",
                    "Alt+O did not open the port")
        if self.nodes is None:
            time.sleep(0.5)

    def _check(self, pred, problem):
        if self.nodes is None:
            self.pending.append((pred, problem))
        else:
            self.s._wait(pred, 10, problem)

    def verify(self):
        """What a blind start could not check, now over AT-SPI."""
        if self.nodes is None:
            self.see()
        for pred, problem in self.pending:
            self.s._wait(pred, 10, problem)
        self.pending = []

    def recv(self):
        return int(self.nodes["recv"].name().split(":")[1])

    def sent(self):
        return int(self.nodes["send_count"].name().split(":")[1])

    # ---- what /proc says --------------------------------------------------

    def status_kib(self, field):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        return -1

    def reset_peak(self):
        with open("/proc/%d/clear_refs" % self.pid, "w") as f:
            f.write("5")

    def cpu_ns(self):
        return sum(run for run, _ in tasks_of(self.pid).values())

    def stop(self):
        for p in (self.proc, self.socat):
            if p is not None:
                self.s.stop(p)


def peer(session, *args, **kw):
    return session.spawn("peer", [os.path.join(session.build, "bench/e2e/e2e_peer")]
                         + [str(a) for a in args], stdout=subprocess.PIPE, text=True, **kw)


def parse_peer(text):
    r = {"probes": [], "got": [], "stalls": [], "longest": 0.0}
    for line in text.splitlines():
        f = line.split()
        if not f:
            continue
        if f[0] == "probe":
            r["probes"].append((int(f[2]), int(f[3])))
        elif f[0] == "got":
            r["got"].append((int(f[1]), int(f[2]), f[3] if len(f) > 3 else ""))
        elif f[0] == "stall":
            r["stalls"].append((int(f[1]), float(f[2])))
        elif f[0] == "longest":
            r["longest"] = float(f[1])
        elif f[0] == "plain":
            r["mbps"] = float(f[1])
            r["longest"] = float(f[2])
        elif f[0] in ("start", "end"):
            r[f[0]] = int(f[1])
            if f[0] == "end":
                r["bytes"] = int(f[2])
    return r


def finish(session, p, timeout=600):
    out, _ = p.communicate(timeout=timeout)
    session.procs = [(n, q) for n, q in session.procs if q is not p]
    if p.returncode != 0:
        fail("%s failed" % " ".join(p.args))
    return parse_peer(out)


def run_peer(session, *args):
    return finish(session, peer(session, *args))


def rate_of(fed):
    return fed["bytes"] / ((fed["end"] - fed["start"]) / 1e9) / 1e6


def first_after(times, t):
    """The first of the sorted `times` after t, or None."""
    i = bisect.bisect_right(times, t)
    return times[i] if i < len(times) else None


class Lines:
    """A helper process whose output lines are collected as they come."""

    def __init__(self, session, name, argv, first=None):
        self.s = session
        self.p = session.spawn(name, argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True)
        if first is not None and self.p.stdout.readline().strip() != first:
            fail("%s did not start" % name)
        self.lines = []
        self.reader = threading.Thread(target=lambda: self.lines.extend(self.p.stdout),
                                       daemon=True)
        self.reader.start()

    def close(self):
        self.p.stdin.close()
        try:
            self.p.wait(10)
        except subprocess.TimeoutExpired:
            self.s.stop(self.p)
        self.reader.join(5)
        self.s.procs = [(n, q) for n, q in self.s.procs if q is not self.p]


class Paints(Lines):
    """x_watch: the times the X server drew into named rectangles of the
    window (the control's area in the window)."""

    def __init__(self, session, prog, names):
        rects = ["%s:%d,%d,%d,%d" % ((n,) + prog.rect(n)) for n in names]
        super().__init__(session, "x_watch", [os.path.join(session.build, "bench/e2e/x_watch"),
                                              session.display, str(prog.window)] + rects,
                         first="ready")

    def of(self, name):
        return [int(l.split()[1]) for l in list(self.lines) if l.startswith(name + " ")]


class Poller(Lines):
    """a11y_watch polling one property; `values` holds (asked, answered,
    value) for each new answer."""

    def __init__(self, session, node, what, period_us=2000):
        super().__init__(session, "poll", [
            os.path.join(session.build, "bench/e2e/a11y_watch"), session.a11y_address, "poll",
            node.bus_name, node.path, what, str(period_us)])
        session._wait(lambda: self.lines, 10, "a11y_watch poll gave no answer")

    def close(self):
        super().close()
        self.values = []
        for line in self.lines:
            f = line.split(None, 3)
            if f[0] == "value":
                self.values.append((int(f[1]), int(f[2]), f[3].strip() if len(f) > 3 else ""))

    def first(self, pred, after):
        """The first answer after `after` for which `pred` holds, as (the
        asking time of the answer before it, its own answering time): the
        change happened in between. None if none holds."""
        before = after
        for asked, answered, value in self.values:
            if answered <= after:
                before = max(before, asked)
                continue
            if pred(value):
                return before, answered
            before = asked
        return None


def recv_of(name):
    return int(name.split(":")[1])


# ---- the measurements --------------------------------------------------------


def throughput(session, shape, total, at, perf_dir=None):
    """64 MiB as fast as the program drains, with the accessibility bus on
    (`at`) or off. It is done when the Recv label was last drawn: the script
    waits until the label has not changed for 1.5 s after the last byte was
    written, then checks over AT-SPI that it shows every byte."""
    if at:
        session.a11y_on()
    else:
        session.a11y_off()
    prog = Program(session, "tp-%s-%s" % ("at" if at else "plain", shape))
    profiler = paints = None
    try:
        plain = {}
        for size in (1024, 65536):
            plain[size] = run_peer(session, "plain", shape, total, prog.peer_tty, prog.port_tty,
                                   size)
        prog.start_open()
        time.sleep(0.5)
        paints = Paints(session, prog, ["recv", "log"])
        baseline = prog.status_kib("VmRSS")
        prog.reset_peak()
        if perf_dir:
            profiler = session.spawn("perf", [
                "perf", "record", "-q", "-e", "cpu-clock", "-F", "999", "--call-graph", "dwarf",
                "-p", str(prog.pid), "-o", os.path.join(perf_dir, "tessavo-%s-%s.data" % (
                    "at" if at else "plain", shape))], stdout=subprocess.DEVNULL)
            time.sleep(1.0)
        t_start = now_ns()
        cpu = CpuUse(session, prog)
        fed = run_peer(session, "feed", shape, total, 0, 0, 0, 0, 0, prog.peer_tty)
        while True:
            shown = paints.of("recv")
            last = shown[-1] if shown else t_start
            if now_ns() - max(last, fed["end"]) > 1.5e9:
                break
            time.sleep(0.05)
        peak = prog.status_kib("VmHWM")
        cpu.stop(last)
        log_paints = len([t for t in paints.of("log") if t <= last])
        if profiler is not None:
            profiler.send_signal(signal.SIGINT)
            profiler.wait(60)
        paints.close()
        paints = None
        prog.verify()
        seen = prog.recv()
        count = prog.log.char_count()
        want = shown_chars(shape, total)
        tail_ok = prog.log.text(max(0, count - 400), count) == expected_tail(shape, total, 400)
        ok = seen == total and count == want and tail_ok
        problem = "" if ok else "Recv %d of %d, log %d of %d chars, end %s" % (
            seen, total, count, want, "matches" if tail_ok else "differs")
        t0 = fed["start"]
        return {
            "shape": shape, "mbps": total / ((last - t0) / 1e9) / 1e6,
            "written_s": (fed["end"] - t0) / 1e9, "shown_s": (last - t0) / 1e9,
            "plain1k": plain[1024]["mbps"], "plain64k": plain[65536]["mbps"],
            "plain_stall": max(plain[1024]["longest"], plain[65536]["longest"]),
            "stall": fed["longest"], "stalls": fed["stalls"],
            "growth": (peak - baseline) * 1024.0 / total, "peak_mib": (peak - baseline) / 1024.0,
            "ok": ok, "problem": problem, "cpu": cpu.line(),
            "paints": log_paints / ((last - t0) / 1e9),
        }
    finally:
        if paints is not None:
            paints.close()
        if profiler is not None and profiler.poll() is None:
            session.stop(profiler)
        prog.stop()


def idle_cpu(session, seconds, focus_log):
    """Processor time with the port open and auto-send at 1000 ms, on a
    desktop with no assistive technology (the bus is turned on only after,
    to check the window). The focus stays in the interval box, where the
    user typed (its cursor blinks), or goes to the log with a click."""
    session.a11y_off()
    prog = Program(session, "idle")
    try:
        prog.start_open(1000)
        if focus_log:
            prog.click("log")
        # The peer takes what is sent and sends nothing.
        listener = peer(session, "feed", "lines", 0, seconds + 3, -1, 0, 0, 0, prog.peer_tty)
        time.sleep(2.0)
        c0, t0 = prog.cpu_ns(), now_ns()
        time.sleep(seconds)
        c1, t1 = prog.cpu_ns(), now_ns()
        got = finish(session, listener)["got"]
        prog.verify()
        sends = sum(bytes.fromhex(hexa).count(b"AT") for t, n, hexa in got if t0 <= t <= t1)
        return {"cpu_ms": (c1 - c0) / 1e6, "seconds": (t1 - t0) / 1e9, "sends": sends}
    finally:
        prog.stop()


def latency_idle(session, probes):
    """Single bytes on a quiet line: to the text-changed event, to the Recv
    counter (the chunk was appended), and to the first paint of the log."""
    session.a11y_on()
    prog = Program(session, "idle-probe")
    try:
        prog.start_open()
        time.sleep(0.5)
        listener = Lines(session, "listen", [
            os.path.join(session.build, "bench/e2e/a11y_watch"), session.a11y_address, "listen",
            prog.log.path], first="ready")
        time.sleep(0.5)  # the program hears of the listener
        r0 = prog.recv()
        poller = Poller(session, prog.nodes["recv"], "name")
        paints = Paints(session, prog, ["log"])
        out = run_peer(session, "feed", "lines", 0, 0, -1, probes, 60, 100, prog.peer_tty)
        time.sleep(0.2)
        paints.close()
        poller.close()
        listener.close()
    finally:
        prog.stop()
    drawn = paints.of("log")
    heard = [int(l.split()[2]) for l in listener.lines if l.startswith("probe")]
    text, model, paint = [], [], []
    for k, (w, pos) in enumerate(out["probes"]):
        text.append((heard[k] - w) / 1e6 if k < len(heard) else INF)
        b = poller.first(lambda v: recv_of(v) > r0 + pos, w)
        model.append((b[1] - w) / 1e6 if b else INF)
        p = first_after(drawn, w)
        paint.append((p - w) / 1e6 if p else INF)
    return {"text": text, "model": model, "paint": paint}


def flood_and_clicks(session, probes, rate, clicks):
    """Probes within a flood at `rate`, then clicks on Clear Recv and Send
    within a flood at that rate and one as fast as the program drains. No
    text-changed listener here: the toolkit would then send the whole flood
    over the bus."""
    session.a11y_on()
    prog = Program(session, "flood")
    result = {}
    try:
        prog.start_open()
        time.sleep(0.5)
        r0 = prog.recv()
        poller = Poller(session, prog.nodes["recv"], "name")
        paints = Paints(session, prog, ["log"])
        out = run_peer(session, "feed", "lines", 0, 0, rate, probes, 5, 15, prog.peer_tty)
        # The program may still be working through what came.
        try:
            session._wait(lambda: prog.recv() >= r0 + out["bytes"] + probes, 30, "")
        except RuntimeError:
            pass
        time.sleep(0.1)
        paints.close()
        poller.close()
        drawn = paints.of("log")
        model, paint = [], []
        for w, pos in out["probes"]:
            b = poller.first(lambda v: recv_of(v) > r0 + pos, w)
            model.append((b[1] - w) / 1e6 if b else INF)
            p = first_after(drawn, b[1]) if b else None
            paint.append((p - w) / 1e6 if p else INF)
        during = [t for t in drawn if out["start"] <= t <= out["end"]]
        result.update(flood_model=model, flood_paint=paint, flood_rate=rate_of(out),
                      flood_stall=out["longest"],
                      paint_gaps=[(b - a) / 1e6 for a, b in zip(during, during[1:])])
        for name, click_rate in (("paced", rate), ("full", 0)):
            result[name] = clicks_in_flood(session, prog, click_rate, clicks)
    finally:
        prog.stop()
    return result


def clicks_in_flood(session, prog, rate, clicks):
    """Clicks on Clear Recv, then on Send, within a flood at `rate` (0: as
    fast as the program drains). Each Send pauses the window for 100 ms, so
    the Send clicks are further apart."""
    poller = Poller(session, prog.log, "count")
    paints = Paints(session, prog, ["log"])
    feeder = Lines(session, "peer", [os.path.join(session.build, "bench/e2e/e2e_peer"), "feed",
                                     "lines", "0", str(clicks * 0.9 + 1.5), str(rate), "0", "0",
                                     "0", prog.peer_tty])
    time.sleep(0.5)
    clear_at, send_at = [], []
    for _ in range(clicks):
        clear_at.append(prog.click("clear_recv"))
        time.sleep(0.3)
    for _ in range(clicks):
        send_at.append(prog.click("send"))
        time.sleep(0.6)
    # A click the window has not taken yet goes out later: wait for every
    # send, or 20 s after the flood.
    def sends_seen():
        return sum(bytes.fromhex(l.split()[3]).count(b"AT") for l in list(feeder.lines)
                   if l.startswith("got") and len(l.split()) > 3)
    session._wait(lambda: any(l.startswith("end") for l in list(feeder.lines)), 60,
                  "the flood did not end")
    try:
        session._wait(lambda: sends_seen() >= clicks, 20, "")
    except RuntimeError:
        pass
    feeder.close()
    fed = parse_peer("".join(feeder.lines))
    paints.close()
    poller.close()
    drawn = paints.of("log")
    counts = poller.values
    clear_model, clear_paint = [], []
    for t in clear_at:
        # The count as it stood at the click, then the first answer below it.
        before = [int(v) for a, b, v in counts if b <= t]
        b = poller.first(lambda v, c=before[-1]: int(v) < c, t) if before else None
        clear_model.append((b[1] - t) / 1e6 if b else INF)
        p = first_after(drawn, b[1]) if b else None
        clear_paint.append((p - t) / 1e6 if p else INF)
    # Sends go out in order and nothing else sends: the k-th "AT" the peer
    # reads after the first click is the k-th click's.
    sends = [t for (t, n, hexa) in fed["got"] if t > send_at[0]
             for _ in range(bytes.fromhex(hexa).count(b"AT"))]
    sends += [INF] * (len(send_at) - len(sends))
    return {"clear_model": clear_model, "clear_paint": clear_paint,
            "send": [(u - t) / 1e6 for t, u in zip(send_at, sends)],
            "rate": rate_of(fed), "stall": fed["longest"]}


def learn_layout(session):
    """Where the controls are, from a window seen over AT-SPI; the blind
    runs click there and watch there."""
    session.a11y_on()
    prog = Program(session, "layout")
    try:
        prog.start()
    finally:
        prog.stop()


def fmt_ms(values):
    """p50, p99 and max; a value never seen counts as infinitely late."""
    if not values:
        return "no samples"

    def ms(v):
        return "  never" if v == INF else "%7.1f" % v
    missing = sum(1 for v in values if v == INF)
    return "p50 %s  p99 %s  max %s ms  (n=%d%s)" % (
        ms(percentile(values, 50)), ms(percentile(values, 99)), ms(max(values)), len(values),
        ", %d never seen" % missing if missing else "")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build/linux"))
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--probes", type=int, default=200)
    ap.add_argument("--flood-rate", type=float, default=20e6)
    ap.add_argument("--clicks", type=int, default=10)
    ap.add_argument("--idle-seconds", type=float, default=20)
    ap.add_argument("--only", default="throughput,idle,latency",
                    help="comma-separated parts to run")
    ap.add_argument("--perf", metavar="DIR",
                    help="record the program with perf during each throughput feed, into DIR")
    args = ap.parse_args()
    parts = set(args.only.split(","))
    total = args.mib << 20
    for tool in ("Xvfb", "socat", "xdotool", "dbus-daemon"):
        if shutil.which(tool) is None:
            fail("%s is missing: run scripts/bootstrap bench" % tool)
    for helper in ("src/app/tessavo", "bench/e2e/e2e_peer", "bench/e2e/a11y_watch",
                   "bench/e2e/x_watch"):
        if not os.access(os.path.join(args.build, helper), os.X_OK):
            fail("%s is not built: run scripts/bootstrap bench, then cmake --preset linux && "
                 "cmake --build --preset linux" % helper)

    def stop_on_signal(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, stop_on_signal)

    session = Session(os.path.abspath(args.build))
    try:
        session.start()
        learn_layout(session)
        print("tessavo end to end on Xvfb %s, socat pty pair, %d MiB per shape"
              % (session.display, args.mib))
        sys.stdout.flush()
        spread = collections.OrderedDict()

        def note(key, value):
            spread.setdefault(key, []).append(value)

        for run in range(args.runs):
            # The machine is shared: what else ran shows in the figures.
            print("-- run %d of %d, load average %.1f" % (run + 1, args.runs, os.getloadavg()[0]))
            if "throughput" in parts:
                print("%-8s %-6s %6s %7s %8s %6s %9s %6s %9s %6s  %s" % (
                    "shape", "AT-SPI", "MB/s", "plain1K", "plain64K", "ratio", "peak MiB",
                    "/held", "stall ms", "plain", "checks"))
                for at in (False, True):
                    for shape in ("lines", "endless"):
                        r = throughput(session, shape, total, at, args.perf)
                        best = max(r["plain1k"], r["plain64k"])
                        print("%-8s %-6s %6.1f %7.1f %8.1f %6.2f %9.1f %6.2f %9.1f %6.1f  %s" % (
                            shape, "on" if at else "off", r["mbps"], r["plain1k"], r["plain64k"],
                            r["mbps"] / best, r["peak_mib"], r["growth"], r["stall"],
                            r["plain_stall"], "Recv and log end ok" if r["ok"] else r["problem"]))
                        print("         written in %.2f s, all shown after %.2f s; %d writer "
                              "stalls over 20 ms; the log painted %.0f times a second%s" % (
                                  r["written_s"], r["shown_s"], len(r["stalls"]), r["paints"],
                                  " (under perf)" if args.perf else ""))
                        print("         " + r["cpu"])
                        sys.stdout.flush()
                        tag = "%s, AT-SPI %s" % (shape, "on" if at else "off")
                        note("throughput ratio, " + tag, r["mbps"] / best)
                        note("peak/held, " + tag, r["growth"])
                        note("longest stall ms, " + tag, r["stall"])
                print("targets: ratio >= 0.70, peak/held <= 1.50, no stall over 20 ms")
            if "idle" in parts:
                print("idle CPU, port open, auto-send every 1000 ms, no AT-SPI:")
                for focus_log in (False, True):
                    r = idle_cpu(session, args.idle_seconds, focus_log)
                    print("  %-34s %5.1f ms over %.1f s (%d sends seen)" % (
                        "focus on the log" if focus_log else "focus in the interval box (blinks)",
                        r["cpu_ms"], r["seconds"], r["sends"]))
                    sys.stdout.flush()
                    note("idle CPU ms, focus %s" % ("on the log" if focus_log else "in the box"),
                         r["cpu_ms"])
            if "latency" in parts:
                limit = READ_INTERVAL_MS + 15
                r = latency_idle(session, args.probes)
                print("latency of one byte from the peer's write (target p99 <= %d ms)" % limit)
                print("  idle   to the text-changed event   %s" % fmt_ms(r["text"]))
                print("  idle   to the Recv counter         %s" % fmt_ms(r["model"]))
                print("  idle   to the log's first paint    %s" % fmt_ms(r["paint"]))
                sys.stdout.flush()
                note("latency p99 ms, idle, first paint", percentile(r["paint"], 99))
                r = flood_and_clicks(session, args.probes, args.flood_rate, args.clicks)
                print("  flood  %4.1f MB/s, to the Recv counter %s" % (
                    r["flood_rate"], fmt_ms(r["flood_model"])))
                print("  flood  %4.1f MB/s, to the next paint   %s" % (
                    r["flood_rate"], fmt_ms(r["flood_paint"])))
                print("         the log repainted every         %s; writer stall %.1f ms" % (
                    fmt_ms(r["paint_gaps"]), r["flood_stall"]))
                note("latency p99 ms, flood, next paint", percentile(r["flood_paint"], 99))
                for name in ("paced", "full"):
                    c = r[name]
                    print("a click in a %s flood, %.1f MB/s (target <= 50 ms)" % (
                        "paced" if name == "paced" else "full-speed", c["rate"]))
                    print("  Clear Recv, the log's count drops  %s" % fmt_ms(c["clear_model"]))
                    print("  Clear Recv, the log's next paint   %s" % fmt_ms(c["clear_paint"]))
                    print("  Send, the peer has the bytes       %s" % fmt_ms(c["send"]))
                    note("Clear Recv p99 ms, %s flood, count" % name,
                         percentile(c["clear_model"], 99))
                    note("Send p99 ms, %s flood" % name, percentile(c["send"], 99))
                sys.stdout.flush()
        if args.runs > 1:
            print("-- over %d runs: lowest, median, highest" % args.runs)
            for key, values in spread.items():
                v = sorted(values)
                print("  %-44s %8.2f %8.2f %8.2f" % (key, v[0], v[len(v) // 2], v[-1]))
    finally:
        session.close()


if __name__ == "__main__":
    main()
