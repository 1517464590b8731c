#!/usr/bin/python3
"""Soak and flood runs of the virtual appliance (started by scripts/soak.sh, inside a private
network namespace). The soak drives a scripted storm of source, settings, receiver, camera
control, dashboard and device-fault events; the flood sends hostile VISCA over IP datagrams
and metadata frames as fast as it can. Both sample the program's threads, descriptors, RSS and
heap, judge them by their least-squares slope after warm-up, and print a table."""

import argparse
import json
import os
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

VISCA_PORT = 52381
DASHBOARD = "tmp/mervane-dashboard-pipe"
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                   "runtime error:", "ERROR: UndefinedBehaviorSanitizer")

# The source formats the storm goes through: 4K and HD tables, progressive and interlaced.
FORMATS = ["720p59.94", "1080i59.94", "1080p59.94", "2160p29.97",
           "720p50", "1080i50", "1080p25", "2160p30"]
FORCED = ["1080p59.94", "720p60", "1080i50", "2160p25"]
PTZ_FRAMES = ['<ntk_ptz_zoom zoom="{:.2f}"/>', '<ntk_ptz_pan_tilt_speed pan_speed="{:.2f}" tilt_speed="-0.3"/>',
              '<ntk_ptz_zoom_speed zoom_speed="{:.2f}"/>', '<ntk_ptz_focus_speed focus_speed="{:.2f}"/>',
              '<ntk_ptz_pan_tilt pan="{:.2f}" tilt="0.1"/>', '<ntk_ptz_recall_preset index="1"/>']
ENCODER_FAULTS = ["novalid 3", "same", "badheader", "shortread", "selectfail", "sizefail", "hugesize"]

# The settings files of a freshly set-up appliance, the same the tests start from.
DEFAULT_ETC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim", "sysroot", "etc")
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


class Run:
    """One virtual appliance on a temporary sysroot, with its output in files."""

    def __init__(self, build, keep):
        self.build = build
        self.root = prepare_sysroot(build)
        self.keep = keep
        os.mkfifo(self.path(DASHBOARD))
        self.proc = None
        self.heap_request = 0

    def path(self, rel):
        return os.path.join(self.root, rel)

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

    def start(self, hdmi, one_arena=False):
        self.control("hdmi", hdmi)
        env = dict(os.environ, VEXO_SYSROOT=self.root, NDI_STANDIN_DIR=self.path("ndi"))
        if one_arena:
            # As the appliance allocates: one malloc arena (the program sets it so on 32-bit
            # targets). With glibc's eight per core on a 64-bit host, each encode restart of
            # the storm can hand a thread an arena that has not yet held a 2160p frame, and
            # RSS climbs by 64 MB steps for minutes before it levels off.
            env["MALLOC_ARENA_MAX"] = "1"
        self.out = open(self.path("sim.out"), "w")
        self.err = open(self.path("sim.err"), "w")
        self.proc = subprocess.Popen([os.path.join(self.build, "sim", "vexoenc-sim")], env=env,
                                     stdout=self.out, stderr=self.err, stdin=subprocess.DEVNULL)
        self.started = time.monotonic()

    def running(self):
        return self.proc.poll() is None

    def sample(self):
        """(threads, descriptors, RSS kB, heap in use kB or None) of the program now."""
        pid = self.proc.pid
        threads = rss = None
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("Threads:"):
                    threads = int(line.split()[1])
                elif line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        return threads, fds, rss, self.heap_in_use()

    def heap_in_use(self, timeout=3.0):
        """Asks the sim's heap model (sim/heap) for the allocator's bytes in use."""
        self.heap_request += 1
        tag = str(self.heap_request)
        self.control("heap", tag)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                with open(self.path("sim/heap-in-use")) as f:
                    words = f.read().split()
                if len(words) == 2 and words[0] == tag:
                    return int(words[1]) // 1024
            except OSError:
                pass
            time.sleep(0.02)
        return None

    def stop(self, bound):
        """SIGINT, then the exit status and seconds taken (None when it outlived `bound`)."""
        t0 = time.monotonic()
        self.proc.send_signal(signal.SIGINT)
        try:
            status = self.proc.wait(bound)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None, time.monotonic() - t0
        return status, time.monotonic() - t0

    def outputs(self):
        self.out.flush()
        self.err.flush()
        with open(self.path("sim.out"), errors="replace") as f:
            out = f.read()
        with open(self.path("sim.err"), errors="replace") as f:
            err = f.read()
        return out, err

    def cleanup(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.keep:
            log(f"sysroot kept: {self.root}")
        else:
            subprocess.run(["rm", "-rf", self.root])


class Dashboard(threading.Thread):
    """The web interface's dashboard reader: counts the records the program writes to the
    FIFO. Every `away_every` seconds it leaves for `away_for` seconds, so that only the early
    leavers are there and the program's writes meet a vanished reader."""

    def __init__(self, run, away_every=60.0, away_for=2.0):
        super().__init__(daemon=True)
        self.run_ = run
        self.away_every, self.away_for = away_every, away_for
        self.times = []
        self.texts = {}
        self.away = []  # (start, end) of the spells without this reader
        self.stopping = threading.Event()

    def run(self):
        path = self.run_.path(DASHBOARD)
        pattern = re.compile(rb'\{"dashboard_vid_input":"([^"]*)"\}')
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
                    text = m.group(1).decode(errors="replace")
                    self.texts[text] = self.texts.get(text, 0) + 1
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


def visca_datagram(kind, seq):
    """A VISCA over IP datagram of the given kind."""
    def frame(ptype, payload):
        return struct.pack(">HHI", ptype, len(payload), seq) + payload
    if kind == "command":
        return frame(0x0100, random.choice([b"\x81\x01\x04\x07\x02\xff", b"\x81\x01\x04\x07\x00\xff",
                                            b"\x81\x01\x06\x01\x05\x05\x03\x03\xff", b"\x81\x01\x04\x38\x02\xff"]))
    if kind == "inquiry":
        return frame(0x0110, random.choice([b"\x81\x09\x04\x47\xff", b"\x81\x09\x04\x00\xff", b"\x81\x09\x00\x02\xff"]))
    if kind == "control":
        return frame(0x0200, b"\x01")
    if kind == "truncated":
        return frame(0x0100, b"\x81\x01\x04\x07\x02\xff")[:random.randint(0, 13)]
    if kind == "oversize":
        return frame(0x0100, b"\x81\x01" + bytes(random.randrange(0xFF) for _ in range(random.randint(20, 1400))))
    return bytes(random.getrandbits(8) for _ in range(random.randint(1, 300)))  # random bytes


VISCA_KINDS = ["command", "inquiry", "control", "truncated", "oversize", "random"]


class ViscaSender(threading.Thread):
    """VISCA over IP at `rate` datagrams a second, every kind in turn; replies are drained
    and counted by type."""

    def __init__(self, rate, kinds=VISCA_KINDS, burst=1):
        super().__init__(daemon=True)
        self.rate, self.kinds, self.burst = rate, kinds, burst
        self.sent = 0
        self.replies = {}
        self.stopping = threading.Event()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setblocking(False)
        # Pre-made datagrams keep the sender fast enough for flood rates.
        self.pool = [(k, visca_datagram(k, 0)) for k in kinds for _ in range(16)]

    def drain(self):
        while True:
            try:
                data = self.sock.recv(2048)
            except (BlockingIOError, ConnectionRefusedError):
                return
            key = data[8:10].hex() if data[:2] == b"\x01\x11" else data[:2].hex()
            self.replies[key] = self.replies.get(key, 0) + 1

    def run(self):
        period = self.burst / self.rate
        next_t = time.monotonic()
        seq = 0
        while not self.stopping.is_set():
            for _ in range(self.burst):
                seq += 1
                kind, d = self.pool[seq % len(self.pool)]
                if kind not in ("random", "truncated") or len(d) >= 8:
                    d = d[:4] + struct.pack(">I", seq & 0xFFFFFFFF) + d[8:]
                try:
                    self.sock.sendto(d, ("127.0.0.1", VISCA_PORT))
                    self.sent += 1
                except (BlockingIOError, ConnectionRefusedError):
                    pass
            self.drain()
            next_t += period
            delay = next_t - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            elif delay < -1.0:
                next_t = time.monotonic()  # fell behind: no burst to catch up
        self.drain()


def server_queue_bytes():
    """Bytes waiting in the receive queue of the socket bound to UDP 52381 (this namespace)."""
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(":%04X" % VISCA_PORT):
                return int(fields[4].split(":")[1], 16)
    return 0


def stop_process(p, wait):
    """SIGINT, then SIGKILL if the process has not ended within `wait` seconds."""
    if p.poll() is None:
        p.send_signal(signal.SIGINT)
        try:
            p.wait(wait)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def ack_latency(timeout=2.0):
    """Sends one valid command from a fresh socket; seconds until its ACK (None: none came)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    seq = 0x50AC0000 + random.randrange(0xFFFF)
    d = struct.pack(">HHI", 0x0100, 6, seq) + b"\x81\x01\x04\x07\x00\xff"
    t0 = time.monotonic()
    s.sendto(d, ("127.0.0.1", VISCA_PORT))
    deadline = t0 + timeout
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([s], [], [], left)
            if not ready:
                return None
            data = s.recv(2048)
            if len(data) >= 11 and struct.unpack(">I", data[4:8])[0] == seq and data[8:10] == b"\x90\x41":
                return time.monotonic() - t0
    finally:
        s.close()


class Receivers:
    """vexo-rx processes: started, reaped, and all stopped at the end."""

    def __init__(self, run):
        self.run_ = run
        self.procs = []
        self.started = 0

    def start(self, args, out=subprocess.DEVNULL):
        env = dict(os.environ, NDI_STANDIN_DIR=self.run_.path("ndi"))
        p = subprocess.Popen([os.path.join(self.run_.build, "tools", "vexo-rx"), "--wait", "10"] + args,
                             env=env, stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
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


def live_settings(rng):
    """Random values of the settings the program applies while it encodes; audio stays on, as
    the appliance runs."""
    return dict(BandwidthMode=rng.choice(["Auto", "Manual"]), BandwidthSelect=str(rng.choice([20, 50, 100, 150])),
                NDIAudio=rng.choice(["NDIAudioMain", "NDIAudioAnalog"]), TallyMode=rng.choice(["TallyOn", "TallyOff"]))


def join_briefly(receivers, rng):
    """A receiver with a random tally that stays for 1 to 5 s."""
    receivers.reap()
    receivers.start(["--seconds", "%.1f" % rng.uniform(1, 5),
                     "--tally", rng.choice(["program", "preview", "both", "none"])])


def slope_per_minute(points):
    """Least-squares slope of (seconds, value) points, per minute; None with fewer than 3."""
    pts = [(t, v) for t, v in points if v is not None]
    if len(pts) < 3:
        return None
    n = len(pts)
    mt = sum(t for t, _ in pts) / n
    mv = sum(v for _, v in pts) / n
    sxx = sum((t - mt) ** 2 for t, _ in pts)
    if sxx == 0:
        return None
    return sum((t - mt) * (v - mv) for t, v in pts) / sxx * 60.0


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
        self.error = None

    def run(self):
        window = []
        next_read = time.monotonic()
        next_sample = next_read + self.every
        while not self.stopping.is_set():
            try:
                window.append(self.run_.sample())
            except (OSError, ValueError) as e:  # the program has gone
                self.error = str(e)
                return
            if time.monotonic() >= next_sample - 0.5:
                t = time.monotonic() - self.run_.started
                heaps = [w[3] for w in window if w[3] is not None]
                s = (min(w[0] for w in window), min(w[1] for w in window), min(w[2] for w in window),
                     min(heaps) if heaps else None)
                self.samples.append((t,) + s)
                log("sample t=%6.0f s  threads %3d  fds %3d  rss %7d kB  heap %s kB" %
                    (t, s[0], s[1], s[2], "?" if s[3] is None else "%d" % s[3]))
                window = []
                next_sample += self.every
            next_read += 1.0
            self.stopping.wait(max(0.0, next_read - time.monotonic()))


# Metric: sample index, name, unit, threshold per minute for the judged slope, and the fitted
# growth over the judged window that a count must also exceed: a floor that flips between two
# neighbouring counts gives a steep slope over a short window without anything growing.
METRICS = [(1, "threads", "", 0.5, 1.5), (2, "descriptors", "", 0.5, 1.5), (3, "RSS", "kB", 256.0, 0.0),
           (4, "heap in use", "kB", 256.0, 0.0)]


def judge(samples, warmup, thresholds, shown_only=()):
    """Judges each metric's slope; those in `shown_only` are printed with their figures only."""
    rows = []
    ok = True
    judged = [s for s in samples if s[0] >= warmup]
    span = (judged[-1][0] - judged[0][0]) / 60.0 if judged else 0.0
    for idx, name, unit, _, min_growth in METRICS:
        limit = thresholds[name]
        values = [s[idx] for s in judged if s[idx] is not None]
        slope = slope_per_minute([(s[0], s[idx]) for s in judged])
        if name in shown_only:
            limit = None
            verdict = "shown, not judged"
        elif slope is None:
            verdict = "FAIL (too few samples)"
            ok = False
        elif slope > limit and slope * span > min_growth:
            verdict = "FAIL (grows)"
            ok = False
        else:
            verdict = "ok"
        rows.append((name + (f" ({unit})" if unit else ""),
                     str(values[0]) if values else "-", str(values[-1]) if values else "-",
                     f"{min(values)}..{max(values)}" if values else "-",
                     "-" if slope is None else f"{slope:+.2f}", "-" if limit is None else f"{limit:g}", verdict))
    return ok, rows, len(judged)


def print_table(title, rows, headers):
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(len(headers))]
    log("")
    log(title)
    log("| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + " |")
    log("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        log("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


def finish(run, args, samples, warmup, counters, dash, t_begin, t_end, gap_limit, extra_checks):
    """Stops the program, checks its end and output, prints the tables; returns the exit status."""
    bound = args.stop_bound
    crashed = not run.running()
    status, took = (run.proc.returncode, 0.0) if crashed else run.stop(bound)
    out, err = run.outputs()
    last_lines = [l for l in out.splitlines() if l.strip()][-1:] or [""]
    reports = sum(err.count(m) for m in SANITIZER_MARKS)
    ok, rows, n_judged = judge(samples, warmup, {m[1]: t for m, t in zip(METRICS, args.thresholds)},
                               ("RSS",) if args.sanitized else ())
    headers = ("metric", "first judged", "last", "range", "slope per min", "limit per min", "verdict")
    print_table(f"Samples every {args.sample_every:g} s; judged after {warmup:.0f} s of warm-up "
                f"({n_judged} of {len(samples)} samples)", rows, headers)

    records = dash.count_between(t_begin, t_end)
    gap = dash.longest_gap(t_begin, t_end)
    checks = [
        ("program alive until the stop", "crashed" if crashed else "yes", not crashed),
        ("sanitizer reports", str(reports), reports == 0),
        ("dashboard records", f"{records} in {t_end - t_begin:.0f} s", True),
        ("longest dashboard gap", f"{gap:.1f} s (limit {gap_limit:g} s)", gap <= gap_limit),
    ] + extra_checks(records) + [
        ("stop on SIGINT", "no exit within the bound" if status is None else
         f"exit {status} after {took:.1f} s (bound {bound:g} s)", status == 0),
        ("last line", last_lines[0], last_lines[0].strip() == "End Vexo 4k enc app"),
    ]
    rows2 = [(name, value, "ok" if good else "FAIL") for name, value, good in checks]
    rows2 += [(name, str(value), "") for name, value in counters]
    print_table("Run", rows2, ("check", "value", "verdict"))
    all_ok = ok and all(good for _, _, good in checks)
    if reports:
        log("")
        log("sanitizer output:")
        for line in err.splitlines():
            if any(m in line for m in SANITIZER_MARKS) or line.startswith("    #") or "SUMMARY" in line:
                log("  " + line)
    if not all_ok:
        run.keep = True
    log("")
    log("RESULT: " + ("PASS" if all_ok else "FAIL"))
    return 0 if all_ok else 1


def start_threads(threads, dash):
    """Starts the run's threads; returns the time of the dashboard's first record."""
    for t in threads:
        t.start()
    if not wait_for_dashboard(dash, 60):
        log("no dashboard record within 60 s of the start")
    return time.monotonic()


def wait_for_dashboard(dash, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not dash.times:
        time.sleep(0.1)
    return bool(dash.times)


def soak(args):
    run = Run(args.build, args.keep)
    rng = random.Random(args.seed)
    receivers = Receivers(run)
    threads = []
    try:
        settings = dict(ENC_DEFAULTS)
        fmt = "1080p59.94"
        run.start(fmt, one_arena=True)
        dash = Dashboard(run)
        leavers = EarlyLeavers(run)
        visca = ViscaSender(50)
        sampler = Sampler(run, args.sample_every)
        threads = [dash, leavers, visca, sampler]
        t_begin = start_threads(threads, dash)
        end = t_begin + args.minutes * 60.0
        c = dict(unplugs=0, formats=0, settings=0, captures=0, audio_spells=0, encoder_faults=0,
                 joins=0, ptz_restarts=0)

        # Warm-up tour: every source raster with every picture setting once, then unplugged,
        # so that the sim's frame banks (moving and black pictures, a per-process cache of
        # the encoder model) exist before growth is judged.
        tour = [(f, csc, sr) for f in ("2160p29.97",) for csc in ("yuv", "yvu") for sr in ("422", "420")]
        tour += [(f, csc, "422") for f in ("1080p59.94", "1080i59.94", "720p59.94") for csc in ("yuv", "yvu")]
        for f, csc, sr in tour:
            if time.monotonic() >= end:
                break
            settings.update(VideoCSC=csc, VideoSampleRate=sr)
            run.write_settings(settings)
            run.control("hdmi", f)
            time.sleep(args.tour_step)
            run.control("hdmi", "none")
            time.sleep(2.5)
        settings.update(VideoCSC="yuv", VideoSampleRate="422")
        run.write_settings(settings)
        run.control("hdmi", fmt)
        warmup = max(args.warmup, time.monotonic() - run.started + 30.0)
        log(f"warm-up tour done at {time.monotonic() - run.started:.0f} s; judging from {warmup:.0f} s")

        def ptz_receiver(tally):
            xml = rng.choice(PTZ_FRAMES).format(rng.uniform(-1, 1))
            return receivers.start(["--tally", tally, "--metadata", xml, "--repeat", "20"])
        ptz = [ptz_receiver("program"), ptz_receiver("preview")]

        now = time.monotonic()
        due = {"unplug": now + 5, "format": now + 20, "settings": now + 7, "capture": now + 30, "join": now + 3,
               "ptz": now + 60, "audio": now + 45, "encoder": now + 25}
        replug_at = None
        audio_back_at = None
        fault = 0
        while time.monotonic() < end and run.running():
            now = time.monotonic()
            if replug_at and now >= replug_at:
                run.control("hdmi", fmt)
                replug_at = None
            if audio_back_at and now >= audio_back_at:
                run.control("audio", "ok")
                audio_back_at = None
            if now >= due["unplug"]:
                run.control("hdmi", "none")
                replug_at = now + 2.0  # longer than one pass, so the program sees it
                c["unplugs"] += 1
                due["unplug"] += 5
            if now >= due["format"]:
                fmt = FORMATS[c["formats"] % len(FORMATS)]
                if not replug_at:
                    run.control("hdmi", fmt)
                c["formats"] += 1
                due["format"] += 20
            if now >= due["settings"]:
                settings.update(live_settings(rng))
                settings.update(
                    VideoFormat="AUTO" if rng.random() < 0.75 else rng.choice(FORCED),
                    VideoCSC=rng.choice(["yuv", "yvu"]), VideoSampleRate=rng.choice(["420", "422"]),
                    ScreenSaverMode=rng.choice(["MervaneSS", "BlackSS", "CaptureSS"]))
                run.write_settings(settings)
                c["settings"] += 1
                due["settings"] += 7
            if now >= due["capture"]:
                with open(run.path("tmp/mervane-enc-cap"), "w") as f:
                    f.write("1")
                c["captures"] += 1
                due["capture"] += 30
            if now >= due["join"]:
                join_briefly(receivers, rng)
                c["joins"] += 1
                due["join"] += 3
            if now >= due["ptz"]:
                for i, tally in enumerate(("program", "preview")):
                    receivers.stop(ptz[i])
                    ptz[i] = ptz_receiver(tally)
                c["ptz_restarts"] += 1
                due["ptz"] += 60
            if now >= due["audio"]:
                run.control("audio", "missing")
                audio_back_at = now + 8
                c["audio_spells"] += 1
                due["audio"] += 45
            if now >= due["encoder"]:
                run.control("encoder", ENCODER_FAULTS[fault % len(ENCODER_FAULTS)])
                fault += 1
                c["encoder_faults"] += 1
                due["encoder"] += 25
            time.sleep(0.05)
        t_end = time.monotonic()
        if replug_at:
            run.control("hdmi", fmt)
        for t in threads:
            t.stopping.set()
        for t in threads:
            t.join(5)
        receivers.stop_all()
        out, _ = run.outputs()
        counters = [("minutes", args.minutes), ("unplug/replug", c["unplugs"]), ("format changes", c["formats"]),
                    ("settings rewrites", c["settings"]), ("capture requests", c["captures"]),
                    ("captured frames saved", out.count("captured frame saved in")),
                    ("receivers joined (all)", receivers.started), ("PTZ receiver restarts", c["ptz_restarts"]),
                    ("VISCA datagrams sent", visca.sent),
                    ("VISCA replies (ACK/completion/answer)",
                     "%d/%d/%d" % (visca.replies.get("9041", 0), visca.replies.get("9051", 0),
                                   visca.replies.get("9050", 0))),
                    ("early dashboard leavers", leavers.count), ("dashboard reader away spells", len(dash.away)),
                    ("audio-missing spells", c["audio_spells"]), ("encoder faults", c["encoder_faults"]),
                    ("encode starts", out.count("START NDI Encode"))]
        return finish(run, args, sampler.samples, warmup, counters, dash, t_begin, t_end, args.gap_limit,
                      lambda records: [])
    finally:
        for t in threads:
            t.stopping.set()
        receivers.stop_all()
        run.cleanup()


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


def endurance(args):
    """The long run: the appliance at one format for the whole run with audio on and two
    receivers that stay, under the soak's settings changes and tally, without its storm."""
    run = Run(args.build, args.keep)
    rng = random.Random(args.seed)
    receivers = Receivers(run)
    threads = []
    try:
        settings = dict(ENC_DEFAULTS)
        run.write_settings(settings)
        run.start(args.hdmi)
        # The two receivers connect before the first encode start, so they see every frame.
        counters = []
        for tally in ("program", "preview"):
            p = receivers.start(["--json", "--tally", tally], out=subprocess.PIPE)
            counters.append(RxCounter(p))
        dash = Dashboard(run, away_every=1e9)
        visca = ViscaSender(50)
        sampler = Sampler(run, args.sample_every)
        threads = counters + [dash, visca, sampler]
        t_begin = start_threads(threads, dash)
        end = t_begin + args.minutes * 60.0
        c = dict(settings=0, joins=0)
        now = time.monotonic()
        due = {"settings": now + 7, "join": now + 3}
        while time.monotonic() < end and run.running():
            now = time.monotonic()
            if now >= due["settings"]:
                settings.update(live_settings(rng))
                settings.update(ScreenSaverMode=rng.choice(["MervaneSS", "BlackSS", "CaptureSS"]))
                run.write_settings(settings)
                c["settings"] += 1
                due["settings"] += 7
            if now >= due["join"]:
                join_briefly(receivers, rng)
                c["joins"] += 1
                due["join"] += 3
            time.sleep(0.05)
        t_end = time.monotonic()
        for t in (dash, visca, sampler):
            t.stopping.set()
        for t in (dash, visca, sampler):
            t.join(5)
        # The encoder model logs each run's frames when the program lets the encoder go: at
        # the stop. The receivers are read to their end once the sender has gone.
        out, _ = run.outputs()

        def extra(records):
            for counter in counters:
                stop_process(counter.proc, 5)
                counter.join(10)
            events = []
            with open(run.path("sim/events.jsonl")) as f:
                for line in f:
                    try:
                        events.append(json.loads(line))
                    except ValueError:
                        pass
            runs = [e for e in events if e.get("dev") == "encoder" and "run_frames" in e]
            read = sum(e["run_frames"] for e in runs)
            bound = [sum(e["bound_drops"][i] for e in runs) for i in (0, 1)]
            live = read - 60 * len(runs) - bound[0]
            late = sum(1 for e in events if e.get("dev") == "audio" and e.get("overrun") == "late")
            forced = sum(1 for e in events if e.get("dev") == "audio" and e.get("overrun") == "forced")
            checks = [("encode runs", f"{len(runs)}", len(runs) == 1),
                      ("program frames read by the encoder", f"{read}, {live} sent live", True),
                      ("frames dropped by the send queue bound", f"{bound[0]} program, {bound[1]} preview",
                       bound == [0, 0]),
                      ("audio overruns (late reader / forced)", f"{late} / {forced}", late == 0 and forced == 0)]
            for name, counter in zip(("program receiver", "preview receiver"), counters):
                span = (counter.audio_last - counter.audio_first) if counter.audio_first else 0.0
                rate = counter.audio / span if span > 0 else 0.0
                full = counter.audio_minutes[1:-1]  # whole minutes, the first and last cut off
                lost = sum(counter.dropped.values())
                checks += [
                    (f"{name}: program frames", f"{counter.program} (at least the {live} sent live)",
                     counter.program >= live > 0),
                    (f"{name}: audio blocks", f"{counter.audio} in {span:.0f} s, {rate:.2f} a second",
                     abs(counter.audio - 100.0 * span) <= 100),
                    (f"{name}: audio blocks per whole minute", f"{min(full) if full else '-'}.."
                     f"{max(full) if full else '-'} (6000 +- 6)", bool(full) and all(abs(m - 6000) <= 6 for m in full)),
                    (f"{name}: dropped for it by the sender", json.dumps(counter.dropped or {}), lost == 0)]
            return checks

        counters_table = [("minutes", args.minutes), ("source", args.hdmi), ("settings rewrites", c["settings"]),
                          ("receivers joined briefly", c["joins"]), ("VISCA datagrams sent", visca.sent),
                          ("encode starts", out.count("START NDI Encode"))]
        return finish(run, args, sampler.samples, args.warmup, counters_table, dash, t_begin, t_end,
                      args.gap_limit, extra)
    finally:
        for t in threads:
            if hasattr(t, "stopping"):
                t.stopping.set()
        receivers.stop_all()
        run.cleanup()


def flood(args):
    run = Run(args.build, args.keep)
    receivers = Receivers(run)
    threads = []
    try:
        run.write_settings(dict(ENC_DEFAULTS))  # audio on
        run.start("1080p59.94")
        dash = Dashboard(run, away_every=1e9)
        sampler = Sampler(run, args.sample_every)
        threads = [dash, sampler]
        for t in threads:
            t.start()
        if not wait_for_dashboard(dash, 60):
            log("no dashboard record within 60 s of the start")
        time.sleep(args.warmup)  # encoding settled: the start pass is behind
        before = ack_latency()
        log("ACK before the flood: " + ("none" if before is None else f"{before * 1000:.1f} ms"))
        warmup = time.monotonic() - run.started
        sender = ViscaSender(args.flood_rate, burst=50)
        threads.append(sender)
        meta_out = [tempfile.TemporaryFile() for _ in range(2)]
        meta = [receivers.start(["--json", "--tally", t, "--metadata", x, "--repeat", "max"], out=o)
                for t, x, o in zip(("program", "preview"),
                                   ('<ntk_ptz_zoom zoom="0.40"/>', '<ntk_ptz_pan_tilt_speed pan_speed="0.5" tilt_speed="0"/>'),
                                   meta_out)]
        t_begin = time.monotonic()
        sender.start()
        t_end = t_begin + args.flood_seconds
        while time.monotonic() < t_end and run.running():
            time.sleep(0.1)
        sender.stopping.set()
        sender.join(5)
        for p in meta:
            receivers.stop(p)
        t_flood_end = time.monotonic()
        # A command sent while the server's receive queue is still full of the flood is dropped
        # by the kernel like the flood's own excess: it is sent once that queue is empty.
        deadline = time.monotonic() + 5
        while server_queue_bytes() and time.monotonic() < deadline:
            time.sleep(0.001)
        queue_empty_after = time.monotonic() - t_flood_end
        after = ack_latency() if run.running() else None
        # A few more samples with the flood over, to see memory come back down or stay.
        time.sleep(args.sample_every * 2)
        sampler.stopping.set()
        dash.stopping.set()
        meta_frames = 0
        for o in meta_out:
            o.seek(0)
            for line in o.read().decode(errors="replace").splitlines():
                if '"metadata_sent"' in line:
                    meta_frames += json.loads(line).get("frames", 0)
        samples = [s for s in sampler.samples if s[0] <= t_flood_end - run.started + args.sample_every * 2 + 1]
        counters = [("datagrams sent", f"{sender.sent} in {args.flood_seconds:g} s "
                                       f"({sender.sent / args.flood_seconds:.0f}/s)"),
                    ("datagram kinds", ", ".join(VISCA_KINDS)),
                    ("replies received (ACK/completion/answer/control)",
                     "%d/%d/%d/%d" % (sender.replies.get("9041", 0), sender.replies.get("9051", 0),
                                      sender.replies.get("9050", 0), sender.replies.get("0201", 0))),
                    ("metadata frames sent by 2 receivers", meta_frames),
                    ("ACK before the flood", "-" if before is None else f"{before * 1000:.1f} ms")]
        limit = args.ack_limit

        def extra(records):
            def text(latency, within):
                return f"none within {within:g} s" if latency is None else f"{latency * 1000:.1f} ms"
            return [("dashboard records in the flood", f"{records} (at least {args.min_records})",
                     records >= args.min_records),
                    ("server's receive queue empty", f"{queue_empty_after * 1000:.0f} ms after the flood's end", True),
                    ("ACK of a command sent then", f"{text(after, 2.0)} (limit {limit * 1000:.0f} ms)",
                     after is not None and after <= limit)]
        return finish(run, args, samples, warmup, counters, dash, t_begin, t_begin + args.flood_seconds,
                      args.gap_limit, extra)
    finally:
        for t in threads:
            t.stopping.set()
        receivers.stop_all()
        run.cleanup()


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", required=True, help="build directory (build/<preset>)")
    ap.add_argument("--minutes", type=float, default=3)
    ap.add_argument("--flood", action="store_true", help="the flood instead of the soak")
    ap.add_argument("--endurance", action="store_true", help="the long run instead of the soak: one source "
                    "(--hdmi), audio on, two receivers that stay, settings changes and tally, no storm")
    ap.add_argument("--hdmi", default="2160p30", help="the long run's source")
    ap.add_argument("--warmup", type=float, default=60.0, help="seconds before growth is judged (soak: at least "
                    "the warm-up tour and 30 s more; flood: seconds of settling before the flood)")
    ap.add_argument("--sample-every", type=float, default=10.0)
    ap.add_argument("--tour-step", type=float, default=6.0, help="seconds per source and picture setting "
                    "in the soak's warm-up tour")
    ap.add_argument("--thresholds", type=float, nargs=4, default=[m[3] for m in METRICS],
                    metavar=("THREADS", "FDS", "RSS_KB", "HEAP_KB"), help="slope limits per minute")
    ap.add_argument("--sanitized", action="store_true", help="a sanitizer build: its RSS holds the sanitizer's "
                    "own memory, so RSS is shown but not judged; the heap in use is")
    ap.add_argument("--gap-limit", type=float, default=10.0, help="longest time without a dashboard record")
    ap.add_argument("--stop-bound", type=float, default=10.0, help="seconds from SIGINT to exit")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", action="store_true", help="keep the sysroot with the program's output")
    ap.add_argument("--flood-rate", type=float, default=5000)
    ap.add_argument("--flood-seconds", type=float, default=60)
    ap.add_argument("--min-records", type=int, help="dashboard records the flood needs (default: 55 a minute)")
    ap.add_argument("--ack-limit", type=float, default=0.050)
    args = ap.parse_args()
    if args.min_records is None:
        args.min_records = int(args.flood_seconds * 55 / 60)
    random.seed(args.seed)
    sys.exit(flood(args) if args.flood else endurance(args) if args.endurance else soak(args))


if __name__ == "__main__":
    main()
