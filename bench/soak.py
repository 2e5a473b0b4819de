#!/usr/bin/env python3
"""Soak: the application shows codes from fido-otp-sim for a long time while
the memory (VmRSS) of both is sampled; then the service is killed and the
application goes on polling a service that is gone. Prints the growth of each
as a least-squares slope in KB per hour and writes soak-<label>.txt/.json.
With --stress, request_stress then sends the service the requests of days of
polling in a minute or two and reports how both ends grew per 100,000.
Started by `bench/run.sh --soak`; needs 127.0.0.1:12900 free."""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure  # noqa: E402
from measure import APP_TITLE, Run, Service, Variant, log, start_xvfb, status_field, stop_all  # noqa: E402

TARGET_KB_PER_DAY = 1024.0  # no measurable growth: at most 1 MB a day


def slope_kb_per_hour(samples):
    """Least-squares slope of (seconds, KB) samples, in KB per hour."""
    if len(samples) < 2:
        return None
    n = len(samples)
    mt = sum(t for t, _ in samples) / n
    mk = sum(k for _, k in samples) / n
    var = sum((t - mt) ** 2 for t, _ in samples)
    if var == 0:
        return None
    cov = sum((t - mt) * (k - mk) for t, k in samples)
    return cov / var * 3600


def sample_for(seconds, interval, pids, t0, series):
    """Samples VmRSS of each named pid every `interval` s for `seconds`."""
    end = time.monotonic() + seconds
    while True:
        now = time.monotonic()
        for name, pid in pids.items():
            kb = status_field(pid, "VmRSS")
            if kb:
                series.setdefault(name, []).append((now - t0, kb))
        log("  " + ", ".join(f"{name} {series[name][-1][1]} KB" for name in pids if series.get(name))
            + f"  (t={now - t0:.0f} s)")
        if now + interval > end + 0.5:
            return
        time.sleep(max(0.0, interval - (time.monotonic() - now)))


def stress(sim, stress_exe, requests):
    """Runs request_stress against a fido-otp-sim of its own (free port);
    returns [(requests, client KB, sim KB)]."""
    service = measure.spawn([sim, "--port", "0"], stderr=subprocess.STDOUT)
    reader = measure.LineReader(service.stdout)
    if not reader.wait_for(lambda: any("serving on" in l[2] for l in reader.lines), 15):
        raise SystemExit("error: fido-otp-sim did not start for the stress run")
    port = re.search(r"serving on 127\.0\.0\.1:(\d+)",
                     "\n".join(l[2] for l in reader.lines)).group(1)
    out = subprocess.run([stress_exe, port, str(service.pid), str(requests)], check=True,
                         capture_output=True, text=True).stdout
    measure.stop(service)
    rows = []
    for line in out.splitlines():
        m = re.match(r"(\d+) requests: client (-?\d+) KB, sim (-?\d+) KB", line)
        if m:
            rows.append(tuple(int(x) for x in m.groups()))
            log("  " + line)
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--app", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--results", required=True)
    ap.add_argument("--label", default="current")
    ap.add_argument("--live-minutes", type=float, default=10.0)
    ap.add_argument("--dead-minutes", type=float, default=5.0)
    ap.add_argument("--interval", type=float, default=30.0)
    ap.add_argument("--warm-up", type=float, default=60.0,
                    help="seconds on the codes page before the first sample")
    ap.add_argument("--stress", help="request_stress executable: also run it")
    ap.add_argument("--stress-requests", type=int, default=200000)
    a = ap.parse_args()
    signal.signal(signal.SIGTERM, measure.on_signal)
    signal.signal(signal.SIGINT, measure.on_signal)
    os.makedirs(a.results, exist_ok=True)

    phases = {}
    stressed = []
    try:
        display = start_xvfb()
        service = Service(a.sim, os.path.join(a.results, f"soak-{a.label}-sim.log"))
        run = Run(Variant("app", "app", [a.app], lambda t: t == APP_TITLE, True), display)
        if run.wait_window(30) is None or run.wait_codes(1, 30) is None:
            raise SystemExit("error: the application showed no code")
        log(f"first code shown; warm-up {a.warm_up:.0f} s")
        time.sleep(a.warm_up)
        t0 = time.monotonic()

        log(f"live: {a.live_minutes:g} min, a sample every {a.interval:.0f} s")
        live = {}
        sample_for(a.live_minutes * 60, a.interval, {"app": run.pid, "sim": service.proc.pid},
                   t0, live)
        log("killing fido-otp-sim")
        service.proc.send_signal(signal.SIGKILL)
        service.proc.wait()
        time.sleep(a.interval)
        log(f"service gone: {a.dead_minutes:g} min")
        dead = {}
        sample_for(a.dead_minutes * 60, a.interval, {"app": run.pid}, t0, dead)
        phases = {"live": live, "dead": dead}
        run.save_output(os.path.join(a.results, f"soak-{a.label}-app.log"))
        service.save_log()
        run.stop()
        service.stop()
        if a.stress:
            log(f"stress: {a.stress_requests} requests to a fido-otp-sim of its own")
            stressed = stress(a.sim, a.stress, a.stress_requests)
    finally:
        stop_all()

    rows = []
    for phase, data in phases.items():
        for name, samples in data.items():
            slope = slope_kb_per_hour(samples)
            rows.append({
                "process": name, "phase": phase, "samples": len(samples),
                "minutes": (samples[-1][0] - samples[0][0]) / 60 if samples else 0,
                "first_kb": samples[0][1], "last_kb": samples[-1][1],
                "slope_kb_per_h": slope,
                "mb_per_day": None if slope is None else slope * 24 / 1024,
                "pass": None if slope is None else slope * 24 <= TARGET_KB_PER_DAY,
            })
    heads = ["process", "phase", "samples", "minutes", "RSS KB first -> last", "slope KB/h",
             "MB/day", "target <= 1 MB/day"]
    lines = [[r["process"], r["phase"], str(r["samples"]), f"{r['minutes']:.1f}",
              f"{r['first_kb']} -> {r['last_kb']}",
              "n/a" if r["slope_kb_per_h"] is None else f"{r['slope_kb_per_h']:+.1f}",
              "n/a" if r["mb_per_day"] is None else f"{r['mb_per_day']:+.2f}",
              "n/a" if r["pass"] is None else ("PASS" if r["pass"] else "FAIL")] for r in rows]
    widths = [max(len(x) for x in col) for col in zip(heads, *lines)]
    fmt = lambda r: "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip()  # noqa: E731
    text = (f"Soak ({a.label}): {a.app}\n"
            f"warm-up {a.warm_up:.0f} s after the first code, then a VmRSS sample every "
            f"{a.interval:.0f} s; slope = least squares\n\n"
            + "\n".join([fmt(heads), fmt(["-" * w for w in widths])] + [fmt(r) for r in lines])
            + "\n")
    if stressed:
        # From the first tenth on: the first requests fill caches and buffers.
        (n0, c0, s0), (n1, c1, s1) = stressed[1], stressed[-1]
        per = 100000 / (n1 - n0)
        text += (f"\nstress: {n1} requests back to back ({n1 / 86400:.1f} days of one a second); "
                 f"growth from request {n0} to {n1}, per 100,000 requests: "
                 f"client {(c1 - c0) * per:+.0f} KB, fido-otp-sim {(s1 - s0) * per:+.0f} KB\n")
    print("\n" + text, flush=True)
    with open(os.path.join(a.results, f"soak-{a.label}.txt"), "w") as f:
        f.write(text)
    with open(os.path.join(a.results, f"soak-{a.label}.json"), "w") as f:
        json.dump({"rows": rows, "samples": phases, "stress": stressed, "args": vars(a)}, f,
                  indent=2)


if __name__ == "__main__":
    main()
