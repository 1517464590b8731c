"""The virtual appliance on a temporary sysroot: the sysroot, the program's start and stop, its
control files and settings, readings of its threads, descriptors, memory and heap, the
dashboard FIFO's readers and vexo-rx receivers."""

import json
import os
import pathlib
import random
import re
import select
import shutil
import signal
import subprocess
import threading
import time

DASHBOARD = "tmp/mervane-dashboard-pipe"
# The settings files of a freshly set-up appliance, the same the tests start from.
DEFAULT_ETC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "sysroot", "etc")
with open(os.path.join(DEFAULT_ETC, "mervane-enc1-settings.json")) as _f:
    ENC_DEFAULTS = json.load(_f)


def log(msg):
    print(msg, flush=True)


def prepare_sysroot(build):
    """A fresh sysroot with a new appliance's settings and the built stills, laid out by the
    virtual appliance (below /dev/shm when it has room); its path."""
    sim = os.path.join(build, "sim", "vexoenc-sim")
    return subprocess.run([sim, "--prepare-sysroot"], check=True, stdout=subprocess.PIPE,
                          text=True).stdout.strip()


def sanitizers(build):
    """The build's VEXO_SANITIZE ("address,undefined", "thread"; empty for a normal build)."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            m = re.search(r"^VEXO_SANITIZE:\w+=(.*)$", f.read(), re.M)
    except OSError:
        return ""
    return m.group(1).strip() if m else ""


def proc_status(pid):
    """The fields of /proc/PID/status, the first word of each value."""
    with open(f"/proc/{pid}/status") as f:
        return {k: v.split()[0] for k, _, v in (line.partition(":") for line in f) if v.split()}


def stop_process(p, wait):
    """SIGINT, then SIGKILL if the process has not ended within `wait` seconds; False then."""
    if p.poll() is None:
        p.send_signal(signal.SIGINT)
        try:
            p.wait(wait)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            return False
    return True


class Run:
    """One virtual appliance on a temporary sysroot, with its output in files."""

    def __init__(self, build, keep):
        self.build = build
        self.root = prepare_sysroot(build)
        self.keep = keep
        os.mkfifo(self.path(DASHBOARD))
        self.proc = None
        self.heap_request = 0
        self.banks_peak_kb = 0
        self.receivers = Receivers(self)
        self.workers = []  # threads told to stop at the end

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for w in self.workers:
            w.stopping.set()
        self.receivers.stop_all()
        self.cleanup()

    def path(self, rel):
        return os.path.join(self.root, rel)

    def env(self, **extra):
        """The environment of a process on this sysroot."""
        return dict(os.environ, VEXO_SYSROOT=self.root, NDI_STANDIN_DIR=self.path("ndi"), **extra)

    def write(self, rel, text):
        """Writes whole: a new file renamed over the old, as the web interface's writer does."""
        tmp = self.path(rel + ".soak-new")
        with open(tmp, "w") as f:
            f.write(text)
        os.rename(tmp, self.path(rel))

    def control(self, name, line):
        self.write("sim/" + name, line + "\n")

    def write_settings(self, settings):
        self.write("etc/mervane-enc1-settings.json", json.dumps(settings, separators=(",", ":")))

    def start(self, hdmi, one_arena=False, **env):
        self.control("hdmi", hdmi)
        if one_arena:
            # As the appliance allocates: one malloc arena (the program sets it so on 32-bit
            # targets). With glibc's eight per core on a 64-bit host, each encode restart of
            # the storm can hand a thread an arena that has not yet held a 2160p frame, and
            # RSS climbs by 64 MB steps for minutes before it levels off.
            env["MALLOC_ARENA_MAX"] = "1"
        self.out = open(self.path("sim.out"), "w")
        self.err = open(self.path("sim.err"), "w")
        self.proc = subprocess.Popen([os.path.join(self.build, "sim", "vexoenc-sim")], env=self.env(**env),
                                     stdout=self.out, stderr=self.err, stdin=subprocess.DEVNULL)
        self.started = time.monotonic()

    def running(self):
        return self.proc.poll() is None

    def sample(self):
        """(threads, descriptors, RSS kB, heap in use kB or None) of the program now. RSS is
        less the most the encoder model's SpeedHQ banks have held (sim/heap-banks): the model
        makes a coarser bank the first time a rate target needs one, which may be late in a
        run, and the allocator keeps its pages for the next."""
        heap = self.heap_in_use()
        peak = self.heap_answer_words("heap-banks", 3)
        if peak:
            self.banks_peak_kb = int(peak[2]) // 1024
        status = proc_status(self.proc.pid)
        fds = len(os.listdir(f"/proc/{self.proc.pid}/fd"))
        return int(status["Threads"]), fds, int(status["VmRSS"]) - self.banks_peak_kb, heap

    def heap_answer_words(self, name, count):
        """The words of the heap model's answer file sim/`name` when it holds `count` of them
        and answers the last request, else None."""
        try:
            with open(self.path("sim/" + name)) as f:
                words = f.read().split()
        except OSError:
            return None
        return words if len(words) == count and words[0] == str(self.heap_request) else None

    def heap_answer(self, name, count):
        """The second word (bytes) of heap_answer_words in kB, else None."""
        words = self.heap_answer_words(name, count)
        return int(words[1]) // 1024 if words else None

    def heap_in_use(self, timeout=3.0):
        """Asks the sim's heap model (sim/heap) for the allocator's bytes in use, in kB."""
        self.heap_request += 1
        self.control("heap", str(self.heap_request))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            kb = self.heap_answer("heap-in-use", 2)
            if kb is not None:
                return kb
            time.sleep(0.02)
        return None

    def heap_arenas(self):
        """The heap in the arenas (kB) from the answer to the last heap request; the chunks
        mapped on their own are left out. None outside the normal build."""
        return self.heap_answer("heap-arenas", 3)

    def events(self):
        """The models' event log (sim/events.jsonl), one dict an event."""
        events = []
        try:
            with open(self.path("sim/events.jsonl")) as f:
                for line in f:
                    try:
                        events.append(json.loads(line))
                    except ValueError:
                        pass
        except OSError:
            pass
        return events

    def stop(self, bound):
        """SIGINT, then the exit status and seconds taken (None when it outlived `bound`)."""
        t0 = time.monotonic()
        ended = stop_process(self.proc, bound)
        return self.proc.returncode if ended else None, time.monotonic() - t0

    def outputs(self):
        """The program's standard output and error so far."""
        self.out.flush()
        self.err.flush()
        return tuple(pathlib.Path(self.path(n)).read_text(errors="replace") for n in ("sim.out", "sim.err"))

    def cleanup(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.keep:
            log(f"sysroot kept: {self.root}")
        else:
            shutil.rmtree(self.root, ignore_errors=True)


class Receivers:
    """vexo-rx processes: started, reaped, and all stopped at the end."""

    def __init__(self, run):
        self.run_ = run
        self.procs = []
        self.started = 0

    def start(self, args, out=subprocess.DEVNULL):
        p = subprocess.Popen([os.path.join(self.run_.build, "tools", "vexo-rx"), "--wait", "10"] + args,
                             env=dict(os.environ, NDI_STANDIN_DIR=self.run_.path("ndi")),
                             stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.procs.append(p)
        self.started += 1
        return p

    def reap(self):
        self.procs = [p for p in self.procs if p.poll() is None]

    def stop(self, p):
        stop_process(p, 5)

    def stop_all(self):
        for p in self.procs:
            self.stop(p)
        self.procs = []


class Dashboard(threading.Thread):
    """The web interface's dashboard reader: counts the records the program writes to the
    FIFO. Every `away_every` seconds it leaves for `away_for` seconds, so that only the early
    leavers are there and the program's writes meet a vanished reader."""

    def __init__(self, run, away_every=60.0, away_for=2.0):
        super().__init__(daemon=True)
        self.run_ = run
        self.away_every, self.away_for = away_every, away_for
        self.times = []
        self.away = []  # (start, end) of the spells without this reader
        self.stopping = threading.Event()

    def run(self):
        path = self.run_.path(DASHBOARD)
        pattern = re.compile(rb'\{"dashboard_vid_input":"[^"]*"\}')
        next_away = time.monotonic() + self.away_every
        while not self.stopping.is_set():
            rfd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            keep = os.open(path, os.O_WRONLY | os.O_NONBLOCK)  # no end-of-file between writers
            buf = b""
            while not self.stopping.is_set() and time.monotonic() < next_away:
                ready, _, _ = select.select([rfd], [], [], 0.2)
                if not ready:
                    continue
                buf += os.read(rfd, 65536)
                now = time.monotonic()
                last = 0
                for m in pattern.finditer(buf):
                    self.times.append(now)
                    last = m.end()
                buf = buf[last:]
            os.close(keep)
            os.close(rfd)
            if self.stopping.is_set():
                break
            start = time.monotonic()
            self.stopping.wait(self.away_for)
            self.away.append((start, time.monotonic()))
            next_away = time.monotonic() + self.away_every

    def wait_first(self, timeout=60):
        """Waits for the first record; says so when none came."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and not self.times:
            time.sleep(0.1)
        if not self.times:
            log(f"no dashboard record within {timeout} s of the start")

    def count_between(self, t0, t1):
        return sum(1 for t in self.times if t0 <= t <= t1)

    def longest_gap(self, t0, t1):
        """Longest time without a record in [t0, t1], not counting this reader's away spells."""
        points = [t0] + [t for t in self.times if t0 <= t <= t1] + [t1]
        worst = 0.0
        for a, b in zip(points, points[1:]):
            away = sum(max(0.0, min(b, e) - max(a, s)) for s, e in self.away)
            worst = max(worst, b - a - away)
        return worst


class EarlyLeavers(threading.Thread):
    """Dashboard readers that open the FIFO, give up after 20 ms and close it."""

    def __init__(self, run):
        super().__init__(daemon=True)
        self.run_ = run
        self.count = 0
        self.stopping = threading.Event()

    def run(self):
        path = self.run_.path(DASHBOARD)
        while not self.stopping.is_set():
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            time.sleep(0.02)
            os.close(fd)
            self.count += 1
            self.stopping.wait(random.uniform(0.05, 0.4))


class Sampler(threading.Thread):
    """Reads the program's figures once a second and records one sample per `every` seconds:
    the lowest thread count, descriptor count, RSS and heap in use of the window's readings.
    The lowest, because these follow the program's state (encoding or not, frames queued or
    not) and the storm changes that state every few seconds; a leak raises the floor."""

    def __init__(self, run, every):
        super().__init__(daemon=True)
        self.run_ = run
        self.every = every
        self.samples = []  # (seconds since start, threads, fds, rss kB, heap kB)
        self.stopping = threading.Event()

    def run(self):
        window = []
        next_read = time.monotonic()
        next_sample = next_read + self.every
        while not self.stopping.is_set():
            try:
                window.append(self.run_.sample())
            except (OSError, ValueError, KeyError):  # the program has gone
                return
            if time.monotonic() >= next_sample - 0.5:
                t = time.monotonic() - self.run_.started
                heaps = [w[3] for w in window if w[3] is not None]
                s = (min(w[0] for w in window), min(w[1] for w in window), min(w[2] for w in window),
                     min(heaps) if heaps else None)
                self.samples.append((t,) + s)
                log("sample t=%6.0f s  threads %3d  fds %3d  rss less banks %7d kB  heap %s kB" %
                    (t, s[0], s[1], s[2], "?" if s[3] is None else "%d" % s[3]))
                window = []
                next_sample += self.every
            next_read += 1.0
            self.stopping.wait(max(0.0, next_read - time.monotonic()))


class RxCounter(threading.Thread):
    """Reads one `vexo-rx --json` receiver's events as they come: audio blocks, program and
    preview frames, the frames the sender dropped for it, and its audio rate per minute."""

    def __init__(self, proc):
        super().__init__(daemon=True)
        self.proc = proc
        self.audio = self.program = self.preview = 0
        self.dropped = {}
        self.audio_first = self.audio_last = None
        self.audio_minutes = []  # audio blocks in each whole minute after the first block
        self.stopping = threading.Event()

    def run(self):
        for line in self.proc.stdout:
            try:
                e = json.loads(line)
            except ValueError:
                continue
            kind = e.get("event")
            if kind == "audio":
                now = time.monotonic()
                if self.audio_first is None:
                    self.audio_first = now
                self.audio_last = now
                self.audio += 1
                minute = int((now - self.audio_first) // 60)
                while len(self.audio_minutes) <= minute:
                    self.audio_minutes.append(0)
                self.audio_minutes[minute] += 1
            elif kind == "video":
                if e.get("stream") == "program":
                    self.program += 1
                elif e.get("stream") == "preview":
                    self.preview += 1
            elif kind == "dropped":
                self.dropped = {k: e.get(k, 0) for k in ("program", "preview", "audio", "metadata")}
