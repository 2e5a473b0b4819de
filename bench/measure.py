#!/usr/bin/env python3
"""Measures the application (the default build and the build on CAF's stock
scheduler), a bare Qt window and, when present, KeePassXC on one Xvfb display
against the simulated FIDO OTP service, then prints a table and writes it as
CSV and JSON. Started by bench/run.sh."""

import argparse
import csv
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xwatch import MapWatcher  # noqa: E402

APP_TITLE = "Tovrin Authenticator (G2)"
BARE_TITLE = "Bare Qt baseline"
SERVICE_PORT = 12900
CLK_TCK = os.sysconf("SC_CLK_TCK")

APP_KEYS = ("app", "app_stock")

TARGETS = {
    "window_ratio": 1.5,      # launch->window, x bare Qt (median)
    "rss_ratio": 1.5,         # VmRSS, x bare Qt
    "cpu_pct": 0.3,           # idle CPU, % of one core
    "first_code_ms": 1300.0,  # launch->first code (median)
    "boundary_ms": 1200.0,    # step boundary->new code (worst seen)
}

_started = []  # every Popen this script made, for the final clean-up


def log(msg):
    print(msg, flush=True)


# -- processes ---------------------------------------------------------------

class LineReader(threading.Thread):
    """Reads a pipe line by line, stamping each line on arrival."""

    def __init__(self, pipe, on_line=None):
        super().__init__(daemon=True)
        self.pipe = pipe
        self.lines = []  # (monotonic, wall, text)
        self.on_line = on_line
        self.cond = threading.Condition()
        self.start()

    def run(self):
        for raw in iter(self.pipe.readline, b""):
            mono, wall = time.monotonic(), time.time()
            text = raw.decode("utf-8", "replace").rstrip("\n")
            with self.cond:
                self.lines.append((mono, wall, text))
                if self.on_line:
                    self.on_line(mono, wall, text)
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True


def spawn(args, env=None, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL):
    proc = subprocess.Popen(args, env=env, stdout=stdout, stderr=stderr, start_new_session=True)
    _started.append(proc)
    return proc


def stop(proc, grace=3.0):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()


def stop_all():
    for proc in reversed(_started):
        try:
            stop(proc, 2.0)
        except Exception:  # noqa: BLE001 - best effort at exit
            pass


# -- /proc -------------------------------------------------------------------

def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def status_field(pid, name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return None


def ctx_switches(pid):
    """Voluntary + involuntary context switches, per thread id."""
    result = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                result[tid] = sum(int(l.split()[1]) for l in f if "ctxt_switches" in l)
        except (FileNotFoundError, ProcessLookupError):
            pass
    return result


def ctx_delta(before, after):
    return sum(n - before.get(tid, 0) for tid, n in after.items())


def thread_names(pid):
    names = []
    for tid in sorted(os.listdir(f"/proc/{pid}/task"), key=int):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass
    return names


def thread_cpu_ns(pid):
    """On-CPU nanoseconds of each thread (schedstat), keyed by (tid, name)."""
    result = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                result[(tid, name)] = int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return result


def by_thread(before, after, span):
    """% of one core per thread name (threads of one name added up)."""
    result = {}
    for key, ns in after.items():
        used = ns - before.get(key, 0)
        result[key[1]] = result.get(key[1], 0.0) + used / 1e9 / span * 100
    return dict(sorted(result.items(), key=lambda x: -x[1]))


def machine_busy():
    with open("/proc/stat") as f:
        parts = [int(x) for x in f.readline().split()[1:]]
    idle = parts[3] + parts[4]
    return sum(parts) - idle, sum(parts)


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# -- the application's output ------------------------------------------------

def message_text(line):
    """A trace line as is, an spdlog line without its time and level."""
    if line.startswith("[") and "] [" in line:
        return line.split("] ", 2)[-1]
    return line


class CodeTracker:
    """Finds the moments a new code is on display: the "set done" after a
    "try to loop". The first "set"/"set done" of a run shows an empty code.
    Should the page print "set done" before the polling actor prints
    "try to loop", the "set done" after the latest "!! Need calculate OTP !!"
    counts (kept in `races`)."""

    def __init__(self):
        self.codes = []  # (monotonic, wall)
        self.pending = False
        self.last_need = None
        self.last_set_done = None  # (monotonic, wall, usable)
        self.set_dones = 0
        self.races = 0
        self.period = None

    def feed(self, mono, wall, line):
        text = message_text(line).strip()
        if "!! Need calculate OTP !!" in text:
            self.last_need = mono
        elif text == "try to loop":
            s = self.last_set_done
            if s and s[2] and self.last_need is not None and s[0] > self.last_need:
                self.codes.append((s[0], s[1]))
                self.last_set_done = (s[0], s[1], False)
                self.races += 1
            else:
                self.pending = True
        elif text == "set done":
            self.set_dones += 1
            if self.pending:
                self.codes.append((mono, wall))
                self.pending = False
                self.last_set_done = (mono, wall, False)
            else:
                self.last_set_done = (mono, wall, self.set_dones > 1)
        else:
            m = re.search(r"\[OtpWidgetActorDetach\] period=(\d+)", text)
            if m and int(m.group(1)) > 0:
                self.period = int(m.group(1))


class Service:
    """The simulated FIDO OTP service, its per-request lines stamped."""

    def __init__(self, sim, log_path):
        if port_in_use(SERVICE_PORT):
            raise SystemExit(
                f"error: 127.0.0.1:{SERVICE_PORT} is already in use; the application always "
                "connects there, so the benchmark needs it free. Stop whatever listens on it "
                "(e.g. `ss -ltnp 'sport = :12900'`) and run again.")
        self.proc = spawn([sim, "--port", str(SERVICE_PORT)], stderr=subprocess.STDOUT)
        self.reader = LineReader(self.proc.stdout)
        self.log_path = log_path
        if not self.reader.wait_for(lambda: any("serving on" in l[2] for l in self.reader.lines), 15):
            stop(self.proc)
            raise SystemExit("error: fido-otp-sim did not start:\n" +
                             "\n".join(l[2] for l in self.reader.lines))

    def counts(self, t_from, t_to):
        result = {}
        with self.reader.cond:
            for mono, _, text in self.reader.lines:
                if t_from <= mono < t_to and ":" in text:
                    kind = text.split(":", 1)[0].strip()
                    if re.fullmatch(r"[a-z_]+", kind):
                        result[kind] = result.get(kind, 0) + 1
        return result

    def save_log(self):
        with open(self.log_path, "w") as f:
            with self.reader.cond:
                for _, wall, text in self.reader.lines:
                    f.write(f"{wall:.3f} {text}\n")

    def stop(self):
        stop(self.proc)


def port_in_use(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


# -- the programs under test -------------------------------------------------

class Variant:
    def __init__(self, key, label, args, title_match, is_app, env_factory=None):
        self.key = key
        self.label = label
        self.args = args
        self.title_match = title_match
        self.is_app = is_app
        self.env_factory = env_factory


class Run:
    """One started program: window mapped time, and for the application the
    times new codes were shown."""

    def __init__(self, variant, display, wrapper=()):
        self.variant = variant
        self.tmp = tempfile.mkdtemp(prefix="tovrin-bench-")
        env = dict(os.environ)
        env["DISPLAY"] = display
        env.pop("QT_QPA_PLATFORM", None)
        if variant.env_factory:
            env.update(variant.env_factory(self.tmp))
        self.tracker = CodeTracker() if variant.is_app else None
        self.watcher = MapWatcher(display)
        self.err = open(os.path.join(self.tmp, "stderr"), "wb")
        self.t0 = time.monotonic()
        self.proc = spawn([*wrapper, *variant.args], env=env, stderr=self.err)
        self.reader = LineReader(self.proc.stdout, self.tracker.feed if self.tracker else None)
        self.window_at = None
        self.window_title = None

    @property
    def pid(self):
        return self.proc.pid

    def wait_window(self, timeout):
        try:
            found = self.watcher.wait(self.variant.title_match, timeout)
        finally:
            self.watcher.close()
        if found:
            self.window_at, self.window_title = found
        return self.window_at

    def wait_codes(self, count, timeout):
        ok = self.reader.wait_for(lambda: len(self.tracker.codes) >= count, timeout)
        return self.tracker.codes[count - 1][0] if ok else None

    def save_output(self, path):
        with open(path, "w") as f:
            with self.reader.cond:
                for mono, _, text in self.reader.lines:
                    f.write(f"{mono - self.t0:9.3f} {text}\n")

    def stop(self):
        stop(self.proc)
        self.err.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


def launch_once(variant, display, timeout):
    run = Run(variant, display)
    try:
        window = run.wait_window(timeout)
        result = {"window_ms": None if window is None else (window - run.t0) * 1000}
        if variant.is_app:
            code = run.wait_codes(1, timeout)
            result["first_code_ms"] = None if code is None else (code - run.t0) * 1000
            result["races"] = run.tracker.races
            # Milestones of the start, for a closer look in the JSON.
            for key, text in (("service_actor_ms", "get fido otp actor"),
                              ("polling_actor_ms", "hw access support=")):
                hit = next((m for m, _, t in list(run.reader.lines) if text in t), None)
                result[key] = None if hit is None else (hit - run.t0) * 1000
        return result
    finally:
        run.stop()


def long_run(variant, display, service, mem_after, cpu_window, logs_dir, timeout):
    """Memory after `mem_after` s on the page (the first code, or the window
    for programs without codes), then CPU and requests over `cpu_window` s,
    for the application also the service's CPU over the same window."""
    run = Run(variant, display)
    out = {}
    try:
        if run.wait_window(timeout) is None:
            out["error"] = "window not seen"
            return out
        ready = run.window_at
        if variant.is_app:
            code = run.wait_codes(1, timeout)
            if code is None:
                out["error"] = "no code shown"
            else:
                ready = code
        time.sleep(max(0.0, ready + mem_after - time.monotonic()))
        pid = run.pid
        out["rss_kib"] = status_field(pid, "VmRSS")
        out["threads"] = status_field(pid, "Threads")
        out["thread_names"] = thread_names(pid)
        th0 = thread_cpu_ns(pid)
        sim_pid = service.proc.pid if variant.is_app else None
        if sim_pid:
            sc0, sx0 = cpu_ticks(sim_pid), ctx_switches(sim_pid)
        c0, x0, m0, t0 = cpu_ticks(pid), ctx_switches(pid), machine_busy(), time.monotonic()
        time.sleep(cpu_window)
        c1, x1, m1, t1 = cpu_ticks(pid), ctx_switches(pid), machine_busy(), time.monotonic()
        if sim_pid:
            sc1, sx1 = cpu_ticks(sim_pid), ctx_switches(sim_pid)
        th1 = thread_cpu_ns(pid)
        span = t1 - t0
        out["cpu_pct_by_thread"] = by_thread(th0, th1, span)
        out["cpu_pct_schedstat"] = sum(th1.values()) and (sum(th1.values()) - sum(
            th0.get(k, 0) for k in th1)) / 1e9 / span * 100
        out["window_s"] = span
        out["cpu_ticks"] = c1 - c0
        out["cpu_pct"] = (c1 - c0) / CLK_TCK / span * 100
        out["ctx_per_s"] = ctx_delta(x0, x1) / span
        out["machine_busy_pct"] = (m1[0] - m0[0]) / max(1, m1[1] - m0[1]) * 100
        out["rss_end_kib"] = status_field(pid, "VmRSS")
        if sim_pid:
            out["sim_cpu_pct"] = (sc1 - sc0) / CLK_TCK / span * 100
            out["sim_ctx_per_s"] = ctx_delta(sx0, sx1) / span
            out["sim_threads"] = status_field(sim_pid, "Threads")
        if variant.is_app:
            counts = service.counts(t0, t1)
            out["requests"] = counts
            out["get_info_per_min"] = counts.get("get_info", 0) * 60 / span
            out["get_otp_per_min"] = counts.get("get_otp", 0) * 60 / span
            out["period"] = run.tracker.period
            out["races"] = run.tracker.races
            out["boundaries"] = boundary_delays(run.tracker, ready, t1)
        return out
    except (FileNotFoundError, ProcessLookupError):
        out["error"] = f"exited during the measurement (code {run.proc.poll()})"
        return out
    finally:
        if variant.is_app:
            run.save_output(os.path.join(logs_dir, f"{variant.key}-long.log"))
        run.stop()


def boundary_delays(tracker, first_code_mono, end_mono):
    """For each multiple of the period (UNIX time) after the first code and
    at least 2 s before the end: delay to the next new code shown."""
    period = tracker.period or 30
    codes = [c for c in tracker.codes if c[0] > first_code_mono]
    if not tracker.codes:
        return []
    offset = tracker.codes[0][1] - tracker.codes[0][0]  # wall - monotonic
    start_wall, end_wall = first_code_mono + offset, end_mono + offset - 2
    result = []
    boundary = (int(start_wall) // period + 1) * period
    while boundary <= end_wall:
        after = [c for c in codes if c[1] >= boundary]
        delay = (after[0][1] - boundary) * 1000 if after and after[0][1] < boundary + period else None
        result.append({"boundary": boundary, "delay_ms": delay})
        boundary += period
    return result


# -- profiling ---------------------------------------------------------------

def perf_profile(variant, display, seconds, results, timeout):
    """perf stat (software counters) and perf record (cpu-clock samples) on
    the idle page; returns the text for profile.txt."""
    if not shutil.which("perf"):
        return f"[{variant.label}] perf: not installed\n"
    hw = subprocess.run(["perf", "stat", "-e", "cycles,instructions", "true"],
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
    run = Run(variant, display)
    text = []
    if "<not supported>" in hw:
        text.append(f"[{variant.label}] perf: hardware counters (cycles, instructions) are not "
                    "supported on this machine; software counters only.")
    try:
        if run.wait_window(timeout) is None or run.wait_codes(1, timeout) is None:
            return f"[{variant.label}] perf: the page showed no code, skipped\n"
        time.sleep(3)
        stat_file = os.path.join(results, f"perf-stat-{variant.key}.txt")
        data_file = os.path.join(results, f"perf-{variant.key}.data")
        cmd = ["perf", "stat", "-e", "task-clock,context-switches,cpu-migrations,page-faults",
               "-p", str(run.pid), "-o", stat_file, "--",
               "perf", "record", "-q", "-e", "cpu-clock", "-F", "999", "-g", "-p", str(run.pid),
               "-o", data_file, "--", "sleep", str(seconds)]
        res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        text.append(f"[{variant.label}] perf stat over {seconds} s on the idle page "
                    f"(exit {res.returncode}):")
        if os.path.exists(stat_file):
            with open(stat_file) as f:
                body = [l.rstrip() for l in f if l.strip() and not l.startswith("#")]
            text += ["  " + l.strip() for l in body]
        if res.returncode != 0:
            text.append("  " + res.stdout.strip().replace("\n", "\n  "))
        if os.path.exists(data_file):
            rep = subprocess.run(
                ["perf", "report", "-i", data_file, "--stdio", "--no-children", "-g", "none",
                 "--sort", "comm,dso,sym", "--percent-limit", "2"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            rows = [l for l in rep.stdout.splitlines() if l.strip() and not l.startswith("#")]
            text.append(f"[{variant.label}] perf record cpu-clock samples (thread, object, "
                        f"symbol; >= 2 %):")
            m = re.search(r"# Samples: (\S+)", rep.stdout)
            if m:
                text.append(f"  samples: {m.group(1)}")
            text += ["  " + r.strip() for r in rows[:15]]
            os.unlink(data_file)
        return "\n".join(text) + "\n"
    finally:
        run.stop()


def callgrind_profile(variant, display, seconds, results, timeout):
    if not shutil.which("valgrind") or not shutil.which("callgrind_control"):
        return "callgrind: valgrind not installed\n"
    out_file = os.path.join(results, "callgrind.out")
    wrapper = ["valgrind", "--tool=callgrind", "--instr-atstart=no",
               f"--callgrind-out-file={out_file}"]
    run = Run(variant, display, wrapper=wrapper)
    try:
        if run.wait_window(timeout) is None or run.wait_codes(1, timeout) is None:
            return "callgrind: the page showed no code under valgrind in time, skipped\n"
        startup = run.tracker.codes[0][0] - run.t0
        time.sleep(2)
        subprocess.run(["callgrind_control", "-i", "on", str(run.pid)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        subprocess.run(["callgrind_control", "-d", "idle", str(run.pid)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
    finally:
        run.stop()
    dumps = sorted(f for f in os.listdir(results) if f.startswith("callgrind.out"))
    dump = next((os.path.join(results, f) for f in dumps if f != "callgrind.out"), None)
    dump = dump or (out_file if os.path.exists(out_file) else None)
    if not dump:
        return "callgrind: no dump written\n"
    ann = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", dump],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    incl = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", dump],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    total, rows = None, []
    for line in ann.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\(?\s*PROGRAM TOTALS", line)
        if m:
            total = int(m.group(1).replace(",", ""))
            continue
        m = re.match(r"\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\S.*?)\s*(?:\[(.*)\])?$", line)
        if m and ":" in m.group(2):
            rows.append((int(m.group(1).replace(",", "")), m.group(2), m.group(3) or "?"))
    if not total:
        total = sum(r[0] for r in rows) or 1
    by_object = {}
    for ir, _, obj in rows:
        name = os.path.basename(obj)
        by_object[name] = by_object.get(name, 0) + ir
    text = [f"callgrind on the {variant.label} build, {seconds} s of the idle OTP page "
            f"(collection switched on after the first code; start-up under valgrind took "
            f"{startup:.1f} s); cost = instructions executed.",
            f"  total: {total:,} Ir ({total / seconds / 1e6:.2f} M instructions/s)",
            "  by object (self cost):"]
    for name, ir in sorted(by_object.items(), key=lambda x: -x[1])[:10]:
        text.append(f"    {ir * 100 / total:5.1f} %  {name}")
    text.append("  top functions (self cost):")
    for ir, fn, obj in sorted(rows, key=lambda r: -r[0])[:20]:
        text.append(f"    {ir * 100 / total:5.1f} %  {fn.split(':', 1)[1][:110]}  "
                    f"[{os.path.basename(obj)}]")
    text.append("  top named functions (inclusive cost):")
    shown = 0
    for line in incl.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\S.*?)\s*(?:\[(.*)\])?$", line)
        if not m or ":" not in m.group(2) or "PROGRAM TOTALS" in line:
            continue
        fn = m.group(2).split(":", 1)[1]
        if int(m.group(1).replace(",", "")) > total or re.search(r"'\d+$", fn):
            continue  # recursion counted more than once
        if fn.startswith("0x") or fn in ("start_thread", "clone3", "(below main)"):
            continue
        text.append(f"    {int(m.group(1).replace(',', '')) * 100 / total:5.1f} %  {fn[:110]}  "
                    f"[{os.path.basename(m.group(3) or '?')}]")
        shown += 1
        if shown == 25:
            break
    return "\n".join(text) + "\n"


# -- summary -----------------------------------------------------------------

def stats(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "n": len(values)}


def fmt_stats(s, unit_fmt="{:.0f}"):
    if not s:
        return "n/a"
    return f"{unit_fmt.format(s['median'])} ({unit_fmt.format(s['min'])}-{unit_fmt.format(s['max'])})"


def fmt(v, pattern="{:.0f}"):
    return "n/a" if v is None else pattern.format(v)


def verdict(ok):
    return "n/a" if ok is None else ("PASS" if ok else "FAIL")


def summarise(variants, launches, longs):
    summary = {}
    for v in variants:
        s = {"launch_window_ms": stats([r["window_ms"] for r in launches[v.key]])}
        lr = longs.get(v.key, {})
        if v.is_app:
            s["launch_first_code_ms"] = stats([r.get("first_code_ms") for r in launches[v.key]])
            s["launch_no_code_runs"] = sum(1 for r in launches[v.key] if r.get("first_code_ms") is None)
            b = lr.get("boundaries", [])
            s["boundary_ms"] = stats([x["delay_ms"] for x in b])
            s["boundary_missed"] = sum(1 for x in b if x["delay_ms"] is None)
            s["get_info_per_min"] = lr.get("get_info_per_min")
            s["get_otp_per_min"] = lr.get("get_otp_per_min")
            s["sim_cpu_pct"] = lr.get("sim_cpu_pct")
            s["sim_ctx_per_s"] = lr.get("sim_ctx_per_s")
        s["rss_mib"] = lr["rss_kib"] / 1024 if lr.get("rss_kib") else None
        s["cpu_pct"] = lr.get("cpu_pct")
        s["threads"] = lr.get("threads")
        s["ctx_per_s"] = lr.get("ctx_per_s")
        s["machine_busy_pct"] = lr.get("machine_busy_pct")
        s["error"] = lr.get("error")
        summary[v.key] = s
    bare = summary.get("bare", {})
    bare_win = (bare.get("launch_window_ms") or {}).get("median")
    bare_rss = bare.get("rss_mib")
    for key, s in summary.items():
        if key == "bare":
            continue
        win = (s.get("launch_window_ms") or {}).get("median")
        s["window_ratio"] = win / bare_win if win and bare_win else None
        s["rss_ratio"] = s["rss_mib"] / bare_rss if s["rss_mib"] and bare_rss else None
    for key in APP_KEYS:
        if key not in summary:
            continue
        s = summary[key]
        win = (s.get("launch_window_ms") or {}).get("median")
        code = (s.get("launch_first_code_ms") or {}).get("median")
        bnd = (s.get("boundary_ms") or {}).get("max")
        seen = bool(s.get("boundary_ms")) or bool(s.get("boundary_missed"))
        s["verdicts"] = {
            "launch_window": None if not (win and bare_win) else win <= TARGETS["window_ratio"] * bare_win,
            "rss": None if not (s["rss_mib"] and bare_rss) else s["rss_mib"] <= TARGETS["rss_ratio"] * bare_rss,
            "cpu": None if s["cpu_pct"] is None else s["cpu_pct"] <= TARGETS["cpu_pct"],
            "sim_cpu": None if s.get("sim_cpu_pct") is None else s["sim_cpu_pct"] <= TARGETS["cpu_pct"],
            "first_code": False if code is None else code <= TARGETS["first_code_ms"],
            "boundary": (None if not seen else
                         False if s.get("boundary_missed") else bnd <= TARGETS["boundary_ms"]),
        }
    return summary


def table(variants, summary, cfg):
    cols = [v for v in variants]
    heads = ["metric"] + [v.label for v in cols] + ["target", "default?", "stock?"]
    g = lambda k, f: [f(summary[v.key]) for v in cols]  # noqa: E731
    vd = lambda name: [verdict(summary[k]["verdicts"][name]) if k in summary and "verdicts" in summary[k] else "n/a"  # noqa: E731
                       for k in APP_KEYS]
    rows = [
        ["launch->window ms, med (min-max)"] + g("", lambda s: fmt_stats(s["launch_window_ms"]))
        + ["<= 1.5x bare"] + vd("launch_window"),
        ["  ratio to bare Qt"] + g("", lambda s: fmt(s.get("window_ratio"), "{:.2f}x")
                                   if "window_ratio" in s else "(ref)") + ["", "", ""],
        ["launch->first code ms, med (min-max)"] + g("", lambda s: fmt_stats(s.get("launch_first_code_ms")))
        + ["<= 1300 (med)"] + vd("first_code"),
        [f"VmRSS MiB after {cfg['mem_after']:.0f} s"] + g("", lambda s: fmt(s["rss_mib"], "{:.1f}"))
        + ["<= 1.5x bare"] + vd("rss"),
        ["  ratio to bare Qt"] + g("", lambda s: fmt(s.get("rss_ratio"), "{:.2f}x")
                                   if "rss_ratio" in s else "(ref)") + ["", "", ""],
        [f"idle CPU % of a core over {cfg['cpu_window']:.0f} s"] + g("", lambda s: fmt(s["cpu_pct"], "{:.3f}"))
        + ["<= 0.3"] + vd("cpu"),
        ["boundary->new code ms, med (min-max)"] + g("", lambda s: fmt_stats(s.get("boundary_ms")))
        + ["<= 1200 (max)"] + vd("boundary"),
        ["  boundaries seen / missed"] + g("", lambda s: (f"{(s.get('boundary_ms') or {}).get('n', 0)} / {s.get('boundary_missed')}"
                                                             if "boundary_ms" in s else "-")) + ["", "", ""],
        [f"sim CPU % of a core, same {cfg['cpu_window']:.0f} s"]
        + g("", lambda s: fmt(s.get("sim_cpu_pct"), "{:.3f}") if "sim_cpu_pct" in s else "-")
        + ["<= 0.3"] + vd("sim_cpu"),
        ["sim context switches/s"]
        + g("", lambda s: fmt(s.get("sim_ctx_per_s"), "{:.1f}") if "sim_ctx_per_s" in s else "-")
        + ["", "", ""],
        ["sim get_info per min (idle)"] + g("", lambda s: fmt(s.get("get_info_per_min"), "{:.1f}") if "get_info_per_min" in s else "-")
        + ["~60", "", ""],
        ["sim get_otp per min (idle)"] + g("", lambda s: fmt(s.get("get_otp_per_min"), "{:.1f}") if "get_otp_per_min" in s else "-")
        + ["~2 (30-s token)", "", ""],
        ["threads"] + g("", lambda s: fmt(s["threads"])) + ["", "", ""],
        ["context switches/s (idle)"] + g("", lambda s: fmt(s["ctx_per_s"], "{:.1f}")) + ["", "", ""],
        ["machine busy % (all cores, same window)"] + g("", lambda s: fmt(s["machine_busy_pct"], "{:.1f}"))
        + ["", "", ""],
    ]
    widths = [max(len(str(r[i])) for r in rows + [heads]) for i in range(len(heads))]
    line = lambda r: "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip()  # noqa: E731
    out = [line(heads), line(["-" * w for w in widths])] + [line(r) for r in rows]
    return "\n".join(out), heads, rows


def write_csv(path, variants, summary):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["build", "metric", "median", "min", "max", "n", "target", "verdict"])
        for v in variants:
            s = summary[v.key]
            vd = s.get("verdicts", {})
            def row(metric, value, target="", vkey=None):
                ver = verdict(vd[vkey]) if vkey and vkey in vd else ""
                if isinstance(value, dict):
                    w.writerow([v.key, metric, round(value["median"], 3), round(value["min"], 3),
                                round(value["max"], 3), value["n"], target, ver])
                elif value is not None:
                    w.writerow([v.key, metric, round(value, 3), "", "", 1, target, ver])
            row("launch_window_ms", s["launch_window_ms"], "<=1.5x bare median", "launch_window")
            row("launch_first_code_ms", s.get("launch_first_code_ms"), "<=1300 median", "first_code")
            row("rss_mib", s["rss_mib"], "<=1.5x bare", "rss")
            row("idle_cpu_pct", s["cpu_pct"], "<=0.3", "cpu")
            row("boundary_new_code_ms", s.get("boundary_ms"), "<=1200 max", "boundary")
            row("sim_idle_cpu_pct", s.get("sim_cpu_pct"), "<=0.3", "sim_cpu")
            row("sim_ctx_switches_per_s", s.get("sim_ctx_per_s"))
            row("sim_get_info_per_min", s.get("get_info_per_min"), "~60")
            row("sim_get_otp_per_min", s.get("get_otp_per_min"), "~2")
            row("threads", s["threads"])
            row("ctx_switches_per_s", s["ctx_per_s"])
            row("machine_busy_pct", s["machine_busy_pct"])


# -- main --------------------------------------------------------------------

def start_xvfb():
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    _started.append(proc)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        number = pipe.readline().strip()
    if not number:
        raise SystemExit("error: Xvfb did not start")
    return ":" + number


def keepassxc_env(tmp):
    for d in ("home", "config", "cache", "data", "run"):
        os.makedirs(os.path.join(tmp, d), mode=0o700, exist_ok=True)
    return {"HOME": os.path.join(tmp, "home"), "XDG_CONFIG_HOME": os.path.join(tmp, "config"),
            "XDG_CACHE_HOME": os.path.join(tmp, "cache"), "XDG_DATA_HOME": os.path.join(tmp, "data"),
            "XDG_RUNTIME_DIR": os.path.join(tmp, "run"), "TMPDIR": tmp}


def on_signal(signum, _frame):
    # Once: the clean-up that follows must not be interrupted.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise SystemExit(f"stopped by signal {signum}")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--app", required=True)
    ap.add_argument("--app-stock", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--sim-stock", required=True)
    ap.add_argument("--bare", required=True)
    ap.add_argument("--results", required=True)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--no-profile", action="store_true")
    a = ap.parse_args()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    cfg = ({"runs": 3, "mem_after": 10.0, "cpu_window": 20.0, "profile_s": 5.0} if a.quick else
           {"runs": 5, "mem_after": 30.0, "cpu_window": 60.0, "profile_s": 20.0})
    cfg["launch_timeout"] = 20.0
    results = a.results
    logs = os.path.join(results, "logs")
    os.makedirs(logs, exist_ok=True)
    for f in os.listdir(results):
        if f.startswith("callgrind.out") or f.startswith("perf-"):
            os.unlink(os.path.join(results, f))

    sims = {"app": a.sim, "app_stock": a.sim_stock}
    variants = [
        Variant("app", "default", [a.app], lambda t: t == APP_TITLE, True),
        Variant("app_stock", "stock scheduler", [a.app_stock], lambda t: t == APP_TITLE, True),
        Variant("bare", "bare Qt", [a.bare], lambda t: t == BARE_TITLE, False),
    ]
    kp = shutil.which("keepassxc")
    if kp:
        variants.append(Variant("keepassxc", "KeePassXC", [kp], lambda t: t.startswith("KeePassXC"),
                                False, keepassxc_env))

    meta = {
        "started": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "host": platform.node(), "cpus": os.cpu_count(), "mode": "quick" if a.quick else "full",
        "uptime_start": subprocess.run(["uptime"], stdout=subprocess.PIPE, text=True).stdout.strip(),
        "config": cfg, "keepassxc": kp is not None,
    }
    log(f"load at start: {meta['uptime_start']}")

    service = None
    try:
        display = start_xvfb()
        log(f"Xvfb on {display}")
        service = Service(a.sim, os.path.join(logs, "fido-otp-sim.log"))
        log("fido-otp-sim serving on 127.0.0.1:12900")

        log("warm-up launch of each program (not counted)")
        for v in variants:
            launch_once(v, display, cfg["launch_timeout"])
            time.sleep(0.3)

        launches = {v.key: [] for v in variants}
        for i in range(cfg["runs"]):
            for v in variants:
                r = launch_once(v, display, cfg["launch_timeout"])
                launches[v.key].append(r)
                log(f"launch {i + 1}/{cfg['runs']} {v.label:13s} window {fmt(r['window_ms'])} ms"
                    + (f", first code {fmt(r.get('first_code_ms'))} ms" if v.is_app else ""))
                time.sleep(0.3)

        longs = {}
        per_run = cfg["mem_after"] + cfg["cpu_window"]
        for v in [x for x in variants if x.is_app]:
            # Each build against the service built the same way.
            service.save_log()
            service.stop()
            service = Service(sims[v.key], os.path.join(logs, f"fido-otp-sim-{v.key}.log"))
            log(f"{v.label}: memory after {cfg['mem_after']:.0f} s, then {cfg['cpu_window']:.0f} s "
                f"idle (~{per_run + 2:.0f} s)")
            longs[v.key] = long_run(v, display, service, cfg["mem_after"], cfg["cpu_window"], logs,
                                    cfg["launch_timeout"])
            log(f"  {json.dumps({k: val for k, val in longs[v.key].items() if k not in ('thread_names', 'boundaries')})}")
        others = [x for x in variants if not x.is_app]
        log(f"{', '.join(x.label for x in others)} (side by side): memory and idle CPU "
            f"(~{per_run + 2:.0f} s)")
        threads = []
        for v in others:
            def work(v=v):
                longs[v.key] = long_run(v, display, service, cfg["mem_after"], cfg["cpu_window"],
                                        logs, cfg["launch_timeout"])
            t = threading.Thread(target=work)
            t.start()
            threads.append(t)
        for t in threads:
            t.join()
        for v in others:
            log(f"  {v.label}: {json.dumps({k: val for k, val in longs[v.key].items() if k not in ('thread_names', 'boundaries')})}")

        profile = f"CPU by thread over the {cfg['cpu_window']:.0f}-s idle window (% of one core, schedstat):\n"
        for v in variants:
            lr = longs.get(v.key, {})
            parts = ", ".join(f"{n} {p:.3f}" for n, p in lr.get("cpu_pct_by_thread", {}).items() if p >= 0.001)
            profile += f"  {v.label}: total {fmt(lr.get('cpu_pct_schedstat'), '{:.3f}')}; {parts or '-'}\n"
        profile += "\n"
        if not a.no_profile:
            for v in [x for x in variants if x.is_app]:
                log(f"perf on the {v.label} build ({cfg['profile_s']:.0f} s idle)")
                profile += perf_profile(v, display, cfg["profile_s"], results, cfg["launch_timeout"]) + "\n"
            log(f"callgrind on the default build ({cfg['profile_s']:.0f} s idle, start-up is slow)")
            profile += callgrind_profile(variants[0], display, cfg["profile_s"], results, 180.0)
        with open(os.path.join(results, "profile.txt"), "w") as f:
            f.write(profile)

        meta["uptime_end"] = subprocess.run(["uptime"], stdout=subprocess.PIPE, text=True).stdout.strip()
        summary = summarise(variants, launches, longs)
        text, _, _ = table(variants, summary, cfg)
        header = (f"Tovrin Authenticator G2 benchmark ({meta['mode']}, {meta['started']}, "
                  f"{meta['cpus']} cores)\n"
                  f"load at start: {meta['uptime_start']}\n"
                  f"load at end:   {meta['uptime_end']}\n"
                  f"launch figures: {cfg['runs']} runs each after one warm-up; "
                  f"against the default build's fido-otp-sim; memory, CPU and boundaries of "
                  f"each build against the service built the same way;\n"
                  f"verdicts for the default (work-sharing) and the stock-scheduler builds\n")
        notes = []
        for v in variants:
            s = summary[v.key]
            if s.get("error"):
                notes.append(f"note: {v.label}: {s['error']}")
            if v.is_app and s.get("launch_no_code_runs"):
                notes.append(f"note: {v.label}: {s['launch_no_code_runs']} launch run(s) showed no "
                             f"code within {cfg['launch_timeout']:.0f} s")
        if not kp:
            notes.append("note: keepassxc not installed, its column is left out")
        full = header + "\n" + text + "\n" + ("\n".join(notes) + "\n" if notes else "")
        print("\n" + full, flush=True)
        with open(os.path.join(results, "table.txt"), "w") as f:
            f.write(full)
        write_csv(os.path.join(results, "results.csv"), variants, summary)
        with open(os.path.join(results, "results.json"), "w") as f:
            json.dump({"meta": meta, "targets": TARGETS, "summary": summary,
                       "launches": launches, "long_runs": longs}, f, indent=2)
        log(f"written: {results}/table.txt, results.csv, results.json"
            + ", profile.txt")
    finally:
        if service:
            service.save_log()
        stop_all()


if __name__ == "__main__":
    main()
