#!/usr/bin/python3
"""The frame-path benchmark of the virtual appliance (started by scripts/bench.sh, inside a
private network namespace). Runs the appliance at 2160p30 and 1080p59.94 with preview and
audio, with 1 and with 5 receivers, and the bare loop (bench/bare_loop) beside it, and prints
one table (its columns are explained in docs/performance.md): P1 CPU per program frame of the
frame-path threads against the bare loop's, P2 device-ready to send latency, P3 heap and RSS,
P4 PTZ metadata to camera and VISCA over IP ACK latency, P5 SIGINT to exit, P6 frames lost
inside the program, and minor faults, mmap/munmap calls and syscalls per program frame.

--quick: short windows, 1 receiver; fails only on a functional error or a frame lost inside
the program, never on a timing.

--picture FILE|pattern: each format with 1 receiver twice, with the test card and with the clip
(or the moving pattern) as the HDMI picture, the program and the bare loop showing the same;
the picture's banks are made first, in a run of its own, so that the timed runs encode nothing.
--before: the bare loop is also run as first measured, its frames unstuffed, for the P1 ratio
of that measurement beside today's."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from vexoharness.appliance import Receivers, Run, proc_status, stop_process
from vexoharness.visca import ack_latency

FRAME_THREADS = ("vexo-acquire", "vexo-send-full", "vexo-send-prvw")
PTZ_XML = '<ntk_ptz_zoom_speed zoom_speed="0.5"/>'
PTZ_PACKET = "81 01 04 07 23 FF"
NOMINAL_FPS = {"2160p30": 30.0, "1080p59.94": 60000 / 1001}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def task_cpu_ns(pid, names):
    """Summed run time (ns) of the process's threads whose name is in `names`, and how many."""
    total, found = 0, 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                comm = f.read().strip()
            if comm not in names:
                continue
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
            found += 1
        except OSError:
            pass
    return total, found


def minor_faults(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[7])  # minflt: field 10 of stat, the 8th after the name


def percentile(values, p):
    if not values:
        return None
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]


def read_probe(path):
    """(board start ns, per stream lists of (tick, ready, send), last counters per stream)."""
    board = None
    sends = {"full": [], "prvw": []}
    last = {"full": (0, 0, 0), "prvw": (0, 0, 0)}
    try:
        with open(path) as f:
            for line in f:
                w = line.split()
                if len(w) == 2 and w[0] == "board":
                    board = int(w[1])
                elif len(w) == 7 and w[0] in sends:
                    sends[w[0]].append((int(w[1]), int(w[2]), int(w[3])))
                    last[w[0]] = (int(w[4]), int(w[5]), int(w[6]))
    except OSError:
        pass
    return board, sends, last


def strace_window(pid, seconds):
    """Syscall counts of the whole process over `seconds`: (total, {name: calls})."""
    p = subprocess.Popen(["strace", "-c", "-f", "-p", str(pid)], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True)
    time.sleep(seconds)
    p.send_signal(signal.SIGINT)
    _, err = p.communicate(timeout=30)
    calls, total = {}, 0
    for line in err.splitlines():
        w = line.split()
        if len(w) >= 5 and re.match(r"^[\d.]+$", w[0]) and w[-1] != "total":
            n = int(w[3])
            calls[w[-1]] = n
        elif len(w) >= 5 and w[-1] == "total":
            total = int(w[3])
    return total, calls


def wait_for_threads(pid, names, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if task_cpu_ns(pid, names)[1] == len(names):
            return True
        time.sleep(0.1)
    return False


def ptz_latencies(board_ns, stamps_path, packet_times):
    """For each zoom packet at the camera, the time since the latest metadata frame sent
    before it (frames go out 4 times a second, far apart from the latency measured); a frame
    that two packets follow counts once, with its first."""
    if board_ns is None:
        return []
    try:
        with open(stamps_path) as f:
            stamps = sorted(int(x) for x in f.read().split())
    except OSError:
        return []
    lat, used, i = [], set(), 0
    for arrival in sorted(board_ns + int(t * 1e9) for t in packet_times):
        while i + 1 < len(stamps) and stamps[i + 1] <= arrival:
            i += 1
        if not stamps or stamps[i] > arrival or i in used:
            continue
        used.add(i)
        lat.append((arrival - stamps[i]) / 1e6)
    return lat[1:]  # the first goes to a camera port still being opened


def picture_line(picture):
    return picture if picture in (None, "pattern") else "clip " + os.path.abspath(picture)


def clip_seconds(picture):
    if picture == "pattern":
        return 2.0
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", picture],
                         capture_output=True, text=True).stdout.strip()
    return float(out) if out else 10.0


def prime(build, fmt, a, errors, picture):
    """Shows the picture in `fmt` until each of its frames has been handed out once without a
    bank being made: every bank the rate targets need is then in the cache, and the timed runs
    encode nothing. The model prints a progress line on standard error while it encodes."""
    run = Run(build, a.keep)
    run.control("picture", picture_line(picture))
    run.start(fmt, VEXO_PICTURE_CACHE=a.cache)
    rx = Receivers(run)
    try:
        if not wait_for_threads(run.proc.pid, FRAME_THREADS, 600):
            errors.append(f"{fmt} {picture}: the frame-path threads never ran")
            return
        rx.start([])
        loop = clip_seconds(picture) + 2
        quiet, size, end = 0.0, -1, time.monotonic() + 1200
        while quiet < loop and time.monotonic() < end and run.running():
            time.sleep(0.5)
            now = os.path.getsize(run.path("sim.err"))
            quiet, size = (quiet + 0.5, size) if now == size else (0.0, now)
        run.stop(10)
    finally:
        rx.stop_all()
        run.cleanup()


def appliance(build, fmt, receivers, a, errors, picture=None):
    """One run of the program; a dict of figures."""
    r = {"case": f"{fmt} {receivers} rx" + (f" {os.path.basename(picture)}" if picture else "")}
    run = Run(build, a.keep)
    if picture:
        run.control("picture", picture_line(picture))
    # The camera line at the appliance's own speed (115200 baud: no 9600 or 38400 named).
    run.write("etc/mervane-ptz-settings.json", '{"address":"1","baudrate":"115200"}')
    probe = run.path("latency.log")
    stamps = run.path("ptz-stamps")
    run.start(fmt, VEXO_LATENCY_LOG=probe, VEXO_PICTURE_CACHE=a.cache)
    rx = Receivers(run)
    try:
        ptz_rx = rx.start(["--metadata", PTZ_XML, "--repeat", "4", "--stamps", stamps])
        for _ in range(receivers - 1):
            rx.start([])
        pid = run.proc.pid
        if not wait_for_threads(pid, FRAME_THREADS, 60):
            errors.append(f"{r['case']}: the frame-path threads never ran")
            return r
        time.sleep(a.warmup)
        cpu0, _ = task_cpu_ns(pid, FRAME_THREADS)
        flt0, t0 = minor_faults(pid), time.monotonic_ns()
        heap = []
        end = time.monotonic() + a.window
        while time.monotonic() < end and run.running():
            if run.heap_in_use() is not None:
                heap.append(run.heap_arenas())
            time.sleep(0.5)
        cpu1, _ = task_cpu_ns(pid, FRAME_THREADS)
        flt1, t1 = minor_faults(pid), time.monotonic_ns()
        mem = proc_status(pid)
        # VISCA over IP waits for the serial line, which the PTZ commands share: measured alone.
        rx.stop(ptz_rx)
        time.sleep(0.5)
        # The server runs one command at a time and answers the next only after the camera has
        # completed the last (about 12 ms at 9600 baud): each command is sent to an idle server.
        acks = []
        for _ in range(a.acks):
            acks.append(ack_latency())
            time.sleep(0.05)
        if any(x is None for x in acks):
            errors.append(f"{r['case']}: a VISCA over IP command got no ACK")
        acks = [x * 1e3 for x in acks if x is not None]
        tb0 = time.monotonic_ns()
        total, calls = strace_window(pid, a.strace_window)
        tb1 = time.monotonic_ns()
        if not run.running():
            errors.append(f"{r['case']}: the program ended by itself")
            return r
        status, took = run.stop(10)
        if status != 0:
            errors.append(f"{r['case']}: exit status {status} after SIGINT")
        r["stop_s"] = took
    finally:
        rx.stop_all()
        board_ns, sends, last = read_probe(probe)
        ptz = ptz_latencies(board_ns, stamps, [e["t"] for e in run.events()
                                               if e.get("dev") == "camera" and e.get("rx") == PTZ_PACKET])
        run.cleanup()
    full_a = [s for s in sends["full"] if t0 <= s[2] < t1]
    frames_a = len(full_a)
    if frames_a == 0:
        errors.append(f"{r['case']}: no program frame sent in the window")
        return r
    lat = [(s[2] - s[1]) / 1e6 for s in full_a] + [(s[2] - s[1]) / 1e6 for s in sends["prvw"] if t0 <= s[2] < t1]
    frames_b = len([s for s in sends["full"] if tb0 <= s[2] < tb1]) or 1
    r.update({
        "frames": frames_a,
        "cpu_us": (cpu1 - cpu0) / 1e3 / frames_a,
        "lat_p50": percentile(lat, 50), "lat_p99": percentile(lat, 99),
        "heap_mb": max(h for h in heap if h is not None) / 1024 if any(h is not None for h in heap) else None,
        "rss_mb": int(mem.get("VmRSS", 0)) / 1024, "hwm_mb": int(mem.get("VmHWM", 0)) / 1024,
        "ptz_p50": percentile(ptz, 50), "ptz_p99": percentile(ptz, 99), "ptz_n": len(ptz),
        "ack_p99": percentile(acks, 99),
        "faults": (flt1 - flt0) / frames_a,
        "maps": (calls.get("mmap", 0) + calls.get("mmap2", 0)) / frames_b,
        "unmaps": calls.get("munmap", 0) / frames_b,
        "syscalls": total / frames_b,
    })
    lost = bound = 0
    for stream in ("full", "prvw"):
        startup, unsent, drops = last[stream]
        bound += drops
        lost += max(0, unsent - drops)
    r["lost"], r["bound"] = lost, bound
    r["read"] = len(sends["full"]) + last["full"][0] + last["full"][1]
    if lost:
        errors.append(f"{r['case']}: {lost} frames lost inside the program")
    return r


def bare(build, fmt, receivers, a, errors, picture=None, targets=True):
    """The bare loop under the same receivers: CPU per program frame of its one thread."""
    run = Run(build, a.keep)
    if picture:
        run.control("picture", picture_line(picture))
    probe = run.path("latency.log")
    proc = subprocess.Popen([os.path.join(build, "bench", "bare_loop"), fmt] + ([] if targets else ["--no-targets"]),
                            env=run.env(VEXO_LATENCY_LOG=probe, VEXO_PICTURE_CACHE=a.cache),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rx = Receivers(run)
    out = {}
    try:
        for _ in range(receivers):
            rx.start([])
        if not wait_for_threads(proc.pid, ("vexo-bare",), 30):
            errors.append(f"bare loop {fmt}: did not start")
            return out
        time.sleep(a.warmup)
        c0, _ = task_cpu_ns(proc.pid, ("vexo-bare",))
        t0 = time.monotonic_ns()
        time.sleep(a.window)
        c1, _ = task_cpu_ns(proc.pid, ("vexo-bare",))
        t1 = time.monotonic_ns()
    finally:
        stop_process(proc, 10)
        rx.stop_all()
        _, sends, _ = read_probe(probe)
        run.cleanup()
    n = len([s for s in sends["full"] if t0 <= s[2] < t1])
    if n == 0:
        errors.append(f"bare loop {fmt}: no frame sent")
        return out
    out["cpu_us"] = (c1 - c0) / 1e3 / n
    return out


# The table: heading, figure, format.
COLUMNS = [("case", "case", ""), ("frames", "frames", ""), ("P1 us/frame", "cpu_us", ".1f"),
           ("bare us", "bare_us", ".1f"), ("P1 ratio", "ratio", ".2f"), ("P2 p50 ms", "lat_p50", ".3f"),
           ("P2 p99 ms", "lat_p99", ".3f"), ("P3 heap MB", "heap_mb", ".1f"), ("RSS MB", "rss_mb", ".1f"),
           ("HWM MB", "hwm_mb", ".1f"), ("P4 ptz p50", "ptz_p50", ".1f"), ("P4 ptz p99", "ptz_p99", ".1f"),
           ("P4 ack p99", "ack_p99", ".3f"), ("P5 stop s", "stop_s", ".2f"), ("P6 lost", "lost", ""),
           ("bound drops", "bound", ""), ("minflt/fr", "faults", ".2f"), ("mmap/fr", "maps", ".2f"),
           ("munmap/fr", "unmaps", ".2f"), ("sysc/fr", "syscalls", ".0f")]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--window", type=float, default=20.0, help="seconds of the timed window")
    ap.add_argument("--p6-minutes", type=float, default=0.0,
                    help="a further 2160p30 run of this length counting frames lost (P6)")
    ap.add_argument("--picture", help="a clip (or 'pattern') shown in rows of its own beside the test card's")
    ap.add_argument("--before", action="store_true", help="also the bare loop with its frames unstuffed")
    a = ap.parse_args()
    if a.picture and a.picture != "pattern" and not os.path.isfile(a.picture):
        ap.error(f"--picture: no file {a.picture}")
    a.warmup, a.acks, a.strace_window = 4.0, 200, 5.0
    cases = [(f, n, None) for f in ("2160p30", "1080p59.94") for n in (1, 5)]
    if a.quick:
        a.window, a.warmup, a.acks, a.strace_window = 3.0, 2.0, 20, 2.0
        cases = [("2160p30", 1, None), ("1080p59.94", 1, None)]
    if a.picture:
        cases = [(f, 1, p) for f in ("2160p30", "1080p59.94") for p in (None, a.picture)]
    columns = COLUMNS if not a.before else COLUMNS[:5] + [("bare us unstuffed", "bare0_us", ".1f"),
                                                          ("P1 ratio unstuffed", "ratio0", ".2f")] + COLUMNS[5:]
    errors = []
    rows = []
    with tempfile.TemporaryDirectory(prefix="vexo-bench-cache-") as a.cache:
        for fmt, n, picture in cases:
            if picture:
                log(f"bench: {fmt}, the banks of {picture}")
                prime(a.build, fmt, a, errors, picture)
            log(f"bench: {fmt} with {n} receiver(s)" + (f", picture {picture}" if picture else ""))
            r = appliance(a.build, fmt, n, a, errors, picture)
            r["bare_us"] = bare(a.build, fmt, n, a, errors, picture).get("cpu_us")
            if a.before:
                r["bare0_us"] = bare(a.build, fmt, n, a, errors, picture, targets=False).get("cpu_us")
            rows.append(r)
    if a.p6_minutes > 0:
        log(f"bench: 2160p30 for {a.p6_minutes} min, frames lost (P6)")
        long_args = argparse.Namespace(**vars(a))
        long_args.window = a.p6_minutes * 60
        long_args.cache = tempfile.mkdtemp(prefix="vexo-bench-cache-")
        r = appliance(a.build, "2160p30", 1, long_args, errors)
        shutil.rmtree(long_args.cache)
        r["case"] = f"2160p30 1 rx {a.p6_minutes:g} min"
        r["bare_us"] = None
        rows.append(r)

    for r in rows:
        r["ratio"] = r["cpu_us"] / r["bare_us"] if r.get("cpu_us") and r.get("bare_us") else None
        r["ratio0"] = r["cpu_us"] / r["bare0_us"] if r.get("cpu_us") and r.get("bare0_us") else None
    print("| " + " | ".join(h for h, _, _ in columns) + " |")
    print("|" + "---|" * len(columns))
    for r in rows:
        print("| " + " | ".join("-" if r.get(k) is None else format(r[k], f) for _, k, f in columns) + " |")
    for e in errors:
        print("FAILED: " + e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
