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
import subprocess
import sys
import tempfile
import time

from vexoharness.appliance import (ENC_DEFAULTS, Dashboard, EarlyLeavers, Run, RxCounter, Sampler,
                                   log, sanitizers, stop_process)
from vexoharness.judge import METRICS, finish
from vexoharness.visca import VISCA_KINDS, ViscaSender, ack_latency, server_queue_bytes

# The source formats the storm goes through: 4K and HD tables, progressive and interlaced.
FORMATS = ["720p59.94", "1080i59.94", "1080p59.94", "2160p29.97",
           "720p50", "1080i50", "1080p25", "2160p30"]
FORCED = ["1080p59.94", "720p60", "1080i50", "2160p25"]
PTZ_FRAMES = ['<ntk_ptz_zoom zoom="{:.2f}"/>', '<ntk_ptz_pan_tilt_speed pan_speed="{:.2f}" tilt_speed="-0.3"/>',
              '<ntk_ptz_zoom_speed zoom_speed="{:.2f}"/>', '<ntk_ptz_focus_speed focus_speed="{:.2f}"/>',
              '<ntk_ptz_pan_tilt pan="{:.2f}" tilt="0.1"/>', '<ntk_ptz_recall_preset index="1"/>']
ENCODER_FAULTS = ["novalid 3", "same", "badheader", "shortread", "selectfail", "sizefail", "hugesize"]


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


def start_threads(threads, dash):
    """Starts the run's threads; returns the time of the dashboard's first record."""
    for t in threads:
        t.start()
    dash.wait_first()
    return time.monotonic()


def soak(args):
    rng = random.Random(args.seed)
    with Run(args.build, args.keep) as run:
        receivers = run.receivers
        settings = dict(ENC_DEFAULTS)
        fmt = "1080p59.94"
        run.start(fmt, one_arena=True)
        dash = Dashboard(run)
        leavers = EarlyLeavers(run)
        visca = ViscaSender(50)
        sampler = Sampler(run, args.sample_every)
        threads = run.workers = [dash, leavers, visca, sampler]
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
                     visca.counts("9041", "9051", "9050")),
                    ("early dashboard leavers", leavers.count), ("dashboard reader away spells", len(dash.away)),
                    ("audio-missing spells", c["audio_spells"]), ("encoder faults", c["encoder_faults"]),
                    ("encode starts", out.count("START NDI Encode"))]
        return finish(run, args, sampler.samples, warmup, counters, dash, t_begin, t_end)



def endurance(args):
    """The long run: the appliance at one format for the whole run with audio on and two
    receivers that stay, under the soak's settings changes and tally, without its storm."""
    rng = random.Random(args.seed)
    with Run(args.build, args.keep) as run:
        receivers = run.receivers
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
        run.workers = counters + [dash, visca, sampler]
        t_begin = start_threads(run.workers, dash)
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
            events = run.events()
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
        return finish(run, args, sampler.samples, args.warmup, counters_table, dash, t_begin, t_end, extra)



def flood(args):
    with Run(args.build, args.keep) as run:
        receivers = run.receivers
        run.write_settings(dict(ENC_DEFAULTS))  # audio on
        run.start("1080p59.94")
        dash = Dashboard(run, away_every=1e9)
        sampler = Sampler(run, args.sample_every)
        threads = run.workers = [dash, sampler]
        start_threads(threads, dash)
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
                     sender.counts("9041", "9051", "9050", "0201")),
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
        return finish(run, args, samples, warmup, counters, dash, t_begin, t_begin + args.flood_seconds, extra)



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
    ap.add_argument("--sanitized", action="store_true", help="a sanitizer build (taken from the build's "
                    "VEXO_SANITIZE when not given): its RSS holds the sanitizer's own memory, so RSS is shown but "
                    "not judged; the heap in use is")
    ap.add_argument("--growth-shown", action="store_true", help="growth shown, not judged: for a run too short "
                    "for a judged window after the warm-up tour (the one-minute ctest)")
    ap.add_argument("--gap-limit", type=float, help="longest time without a dashboard record (default 10 s, "
                    "15 s in a sanitizer build)")
    ap.add_argument("--stop-bound", type=float, help="seconds from SIGINT to exit (default 10, 30 in a "
                    "sanitizer build)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", action="store_true", help="keep the sysroot with the program's output")
    ap.add_argument("--flood-rate", type=float, default=5000)
    ap.add_argument("--flood-seconds", type=float, default=60)
    ap.add_argument("--min-records", type=int, help="dashboard records the flood needs (default: 55 a minute)")
    ap.add_argument("--ack-limit", type=float, default=0.050)
    args = ap.parse_args()
    if args.min_records is None:
        args.min_records = int(args.flood_seconds * 55 / 60)
    # Sanitizer builds: any report fails the run; the reports go to the program's standard
    # error. They are slower, so the ordered stop and the dashboard gap get longer bounds. Their
    # RSS holds the sanitizer's own memory (ASan's quarantine of freed blocks swings by 40 MB
    # within a minute; TSan's shadow grows in steps), so RSS is shown but not judged there; the
    # heap in use, the sanitizer allocator's count of live blocks, is judged as usual.
    sanitize = sanitizers(args.build)
    if "address" in sanitize:
        os.environ.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
        os.environ.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
    if "thread" in sanitize:
        os.environ.setdefault("TSAN_OPTIONS", "halt_on_error=0")
    args.sanitized = args.sanitized or bool(sanitize)
    args.stop_bound = (30.0 if sanitize else 10.0) if args.stop_bound is None else args.stop_bound
    args.gap_limit = (15.0 if sanitize else 10.0) if args.gap_limit is None else args.gap_limit
    random.seed(args.seed)
    sys.exit(flood(args) if args.flood else endurance(args) if args.endurance else soak(args))


if __name__ == "__main__":
    main()
