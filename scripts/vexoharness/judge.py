"""Judging a run: each figure's least-squares slope after warm-up against its limit, the checks
of the program's end and output, and the tables that show them."""

from .appliance import log

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                   "runtime error:", "ERROR: UndefinedBehaviorSanitizer")

# Metric: sample index, name, unit, threshold per minute for the judged slope, the fitted
# growth over the judged window that a count must also exceed (a floor that flips between two
# neighbouring counts gives a steep slope over a short window without anything growing), and
# whether its largest rise is taken out before judging. Memory is judged so: the allocator
# keeping a new high-water mark (a receiver's backlog peaking on a busy machine) or the frames
# in flight at one sample rise once; a leak rises sample after sample and stays over the limit.
METRICS = [(1, "threads", "", 0.5, 1.5, False), (2, "descriptors", "", 0.5, 1.5, False),
           (3, "RSS", "kB", 256.0, 0.0, True), (4, "heap in use", "kB", 256.0, 0.0, True)]


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


def without_largest_rise(points):
    """The points with the largest rise between two neighbours taken out: every later value
    lowered by it."""
    pts = [(t, v) for t, v in points if v is not None]
    rises = [b[1] - a[1] for a, b in zip(pts, pts[1:])]
    if not rises or max(rises) <= 0:
        return pts
    at = rises.index(max(rises)) + 1
    return pts[:at] + [(t, v - rises[at - 1]) for t, v in pts[at:]]


def judge(samples, warmup, thresholds, shown_only=()):
    """Judges each metric's slope; those in `shown_only` are printed with their figures only."""
    rows = []
    ok = True
    judged = [s for s in samples if s[0] >= warmup]
    span = (judged[-1][0] - judged[0][0]) / 60.0 if judged else 0.0
    for idx, name, unit, _, min_growth, one_rise_out in METRICS:
        limit = thresholds[name]
        values = [s[idx] for s in judged if s[idx] is not None]
        points = [(s[0], s[idx]) for s in judged]
        slope = slope_per_minute(points)
        if name in shown_only:
            limit = None
            verdict = "shown, not judged"
        elif slope is None:
            verdict = "FAIL (too few samples)"
            ok = False
        elif slope > limit and slope * span > min_growth:
            steady = slope_per_minute(without_largest_rise(points)) if one_rise_out else slope
            if steady > limit:
                verdict = "FAIL (grows)"
                ok = False
            else:
                verdict = f"ok: one rise ({steady:+.2f} without it)"
        else:
            verdict = "ok"
        rows.append((name + (f" ({unit})" if unit else ""),
                     str(values[0]) if values else "-", str(values[-1]) if values else "-",
                     f"{min(values)}..{max(values)}" if values else "-",
                     "-" if slope is None else f"{slope:+.2f}", "-" if limit is None else f"{limit:g}", verdict))
    return ok, rows, len(judged)


def print_table(title, rows, headers):
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(len(headers))]
    log("\n" + title)
    log("| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + " |")
    log("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        log("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


def finish(run, args, samples, warmup, counters, dash, t_begin, t_end, extra_checks=lambda records: []):
    """Stops the program, checks its end and output, prints the tables; returns the exit status."""
    bound, gap_limit = args.stop_bound, args.gap_limit
    crashed = not run.running()
    status, took = (run.proc.returncode, 0.0) if crashed else run.stop(bound)
    out, err = run.outputs()
    last_lines = [line for line in out.splitlines() if line.strip()][-1:] or [""]
    reports = sum(err.count(m) for m in SANITIZER_MARKS)
    shown = [m[1] for m in METRICS] if args.growth_shown else ("RSS",) if args.sanitized else ()
    ok, rows, n_judged = judge(samples, warmup, {m[1]: t for m, t in zip(METRICS, args.thresholds)}, shown)
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
        log("\nsanitizer output:")
        for line in err.splitlines():
            if any(m in line for m in SANITIZER_MARKS) or line.startswith("    #") or "SUMMARY" in line:
                log("  " + line)
    if not all_ok:
        run.keep = True
    # The failed rows again on the last line, which is what a shortened log keeps.
    failed = [r[0] for r in rows + rows2 if r[-1].startswith("FAIL")]
    log("\nRESULT: " + ("PASS" if all_ok else "FAIL: " + ", ".join(failed)))
    return 0 if all_ok else 1
