#!/usr/bin/env python3
"""fido-otp-service's figures (bench/run.sh --real-key-service), in test beds
of the virtual key, beside fido-otp-sim's:

- request latency over TCP, --count requests each (median, 95th and 99th
  percentile): Info, Code without password, Code with password (PIN checked
  on the key at each request); the same three from fido-otp-sim;
- CPU of fido-otp-service and of pcscd over --cpu-seconds while the app
  (offscreen) polls them, as % of one core;
- the service's VmRSS over a --soak-seconds soak of the same polling, sampled
  every minute, as KB per hour (least squares over the samples), and after
  batches of 20000 codes and 100000 Infos (days of polling in a minute).

Writes bench/results/service.txt and service.json.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS = os.path.join(HERE, "..", "tests", "e2e_pcsc", "keys")
OPEN_KEY = os.path.join(KEYS, "codes.json")
PASSWORD_KEY = os.path.join(KEYS, "password.json")  # password 1234

# The service in the test bed, on the app's port (private to the bed).
START_SERVICE = r'''
"$SERVICE" > "$OUT/service.log" 2>&1 &
svc=$!
for i in $(seq 500); do grep -q "serving on" "$OUT/service.log" && break; sleep 0.01; done
'''

# Info on a key with a password lists only after a Verify: measured on the
# open key.
LATENCY = "set -e\n" + START_SERVICE + r'''
[ -n "$PIN" ] || "$LATENCY" 12900 info "$COUNT" > "$OUT/info.txt"
"$LATENCY" 12900 code "$COUNT" Example:alice "$PIN" > "$OUT/code.txt"
kill $svc
'''

POLLING = START_SERVICE + r'''
QT_QPA_PLATFORM=offscreen "$APP" > "$OUT/app.log" 2>&1 &
app=$!
sleep 10
ticks() { awk '{print $14 + $15}' /proc/$1/stat; }
s0=$(ticks $svc); p0=$(ticks $TESTBED_PCSCD_PID); t0=$(date +%s.%N)
sleep "$CPU_SECONDS"
s1=$(ticks $svc); p1=$(ticks $TESTBED_PCSCD_PID); t1=$(date +%s.%N)
echo "service_ticks $((s1 - s0))" > "$OUT/cpu.txt"
echo "pcscd_ticks $((p1 - p0))" >> "$OUT/cpu.txt"
echo "seconds $(echo "$t1 - $t0" | bc)" >> "$OUT/cpu.txt"
: > "$OUT/rss.txt"
start=$(date +%s)
while :; do
  now=$(date +%s)
  echo "$((now - start)) $(awk '/VmRSS/ {print $2}' /proc/$svc/status)" >> "$OUT/rss.txt"
  [ $((now - start)) -ge "$SOAK_SECONDS" ] && break
  sleep 60
done
grep -c "get_info" "$OUT/service.log" > "$OUT/requests.txt"
kill $app $svc
'''


# Days of requests in a minute: the service's VmRSS after each batch.
STRESS = "set -e\n" + START_SERVICE + r'''
rss() { awk '/VmRSS/ {print $2}' /proc/$svc/status; }
"$LATENCY" 12900 code 2000 Example:alice > /dev/null
"$LATENCY" 12900 info 2000 > /dev/null
echo "warm-up $(rss)" > "$OUT/stress.txt"
"$LATENCY" 12900 code 20000 Example:alice > /dev/null
echo "codes_20000 $(rss)" >> "$OUT/stress.txt"
"$LATENCY" 12900 info 100000 > /dev/null
echo "infos_100000 $(rss)" >> "$OUT/stress.txt"
"$LATENCY" 12900 code 20000 Example:alice > /dev/null
echo "codes_20000_more $(rss)" >> "$OUT/stress.txt"
kill $svc
'''


def pairs(path):
    with open(path) as f:
        return {k: float(v) for k, v in (line.split() for line in f if line.strip())}


def in_testbed(args, key, script, env):
    line = ["bash", args.testbed, "--virtual-key", args.key, "--key", key, "--",
            "bash", "-c", script]
    subprocess.run(line, check=True, env=dict(os.environ, **env))


def sim_latency(args, out, pin):
    config = os.path.join(out, "sim.json")
    tokens = {"tokens": [{"name": "Example:alice", "secret": "JBSWY3DPEHPK3PXP"},
                         {"name": "Bank:carol", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ",
                          "period": 60, "digits": 8}]}
    if pin:
        tokens["pin"] = pin
    with open(config, "w") as f:
        json.dump(tokens, f)
    log = open(os.path.join(out, "sim.log"), "w+")
    sim = subprocess.Popen([args.sim, "--port", "0", "--config", config], stdout=log,
                           stderr=subprocess.STDOUT)
    port = None
    for _ in range(500):
        log.seek(0)
        for line in log:
            if "serving on 127.0.0.1:" in line:
                port = line.rsplit(":", 1)[1].strip()
        if port:
            break
        time.sleep(0.01)
    try:
        result = {}
        for kind, extra in (("info", []), ("code", ["Example:alice", pin]))[1 if pin else 0:]:
            text = subprocess.run([args.latency, port, kind, str(args.count), *extra], check=True,
                                  capture_output=True, text=True).stdout
            result[kind] = {k: float(v) for k, v in (l.split() for l in text.splitlines())}
        return result
    finally:
        sim.terminate()
        sim.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("testbed", "key", "service", "sim", "latency", "app"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--cpu-seconds", type=int, default=60)
    parser.add_argument("--soak-seconds", type=int, default=600)
    parser.add_argument("--results", default="bench/results")
    args = parser.parse_args()
    os.makedirs(args.results, exist_ok=True)

    results = {}
    base = {"SERVICE": args.service, "LATENCY": args.latency, "APP": args.app,
            "COUNT": str(args.count), "CPU_SECONDS": str(args.cpu_seconds),
            "SOAK_SECONDS": str(args.soak_seconds)}
    for label, key, pin in (("open", OPEN_KEY, ""), ("password", PASSWORD_KEY, "1234")):
        with tempfile.TemporaryDirectory(prefix="service-bench-") as out:
            in_testbed(args, key, LATENCY, dict(base, OUT=out, PIN=pin))
            results["service " + label] = {"code": pairs(os.path.join(out, "code.txt"))}
            if not pin:
                results["service " + label]["info"] = pairs(os.path.join(out, "info.txt"))
        with tempfile.TemporaryDirectory(prefix="sim-bench-") as out:
            results["sim " + label] = sim_latency(args, out, pin)

    with tempfile.TemporaryDirectory(prefix="service-stress-") as out:
        in_testbed(args, OPEN_KEY, STRESS, dict(base, OUT=out, PIN=""))
        with open(os.path.join(out, "stress.txt")) as f:
            results["stress_rss_kb"] = [line.split() for line in f if line.strip()]

    with tempfile.TemporaryDirectory(prefix="service-poll-") as out:
        in_testbed(args, OPEN_KEY, POLLING, dict(base, OUT=out, PIN=""))
        cpu = pairs(os.path.join(out, "cpu.txt"))
        with open(os.path.join(out, "rss.txt")) as f:
            rss = [tuple(map(float, line.split())) for line in f if len(line.split()) == 2]
        with open(os.path.join(out, "requests.txt")) as f:
            info_requests = int(f.read().strip() or 0)
    n = len(rss)
    mean_t = sum(t for t, _ in rss) / n
    mean_r = sum(r for _, r in rss) / n
    slope = (sum((t - mean_t) * (r - mean_r) for t, r in rss)
             / max(1e-9, sum((t - mean_t) ** 2 for t, _ in rss)))
    results["polling"] = {
        "service_cpu_percent": 100.0 * cpu["service_ticks"] / 100.0 / cpu["seconds"],
        "pcscd_cpu_percent": 100.0 * cpu["pcscd_ticks"] / 100.0 / cpu["seconds"],
        "seconds": cpu["seconds"], "rss_kb": rss, "rss_kb_per_hour": slope * 3600.0,
        "get_info_requests": info_requests}

    lines = ["request latency over TCP, %d requests each (us): median / p95 / p99" % args.count]
    for who in ("service", "sim"):
        for what, label, kind in (("Info", "open", "info"), ("Code, no password", "open", "code"),
                                  ("Code, password", "password", "code")):
            r = results["%s %s" % (who, label)][kind]
            lines.append("  %-17s %-18s %8.0f %8.0f %8.0f" % (
                "fido-otp-service" if who == "service" else "fido-otp-sim", what,
                r["median_us"], r["p95_us"], r["p99_us"]))
    p = results["polling"]
    lines.append("while the app polls, over %.0f s: fido-otp-service %.3f %% of a core, "
                 "pcscd %.3f %% (1 tick = 10 ms)" % (p["seconds"], p["service_cpu_percent"],
                                                     p["pcscd_cpu_percent"]))
    lines.append("fido-otp-service VmRSS over %d s of polling: %s KB; %.1f KB/hour; %d get_info" % (
        rss[-1][0], " ".join("%d" % r for _, r in rss), p["rss_kb_per_hour"],
        p["get_info_requests"]))
    lines.append("fido-otp-service VmRSS after 2000 warm-up requests, then 20000 codes, 100000 "
                 "Infos, 20000 codes: " + " ".join(kb for _, kb in results["stress_rss_kb"])
                 + " KB")
    text = "\n".join(lines)
    print(text)
    with open(os.path.join(args.results, "service.txt"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(args.results, "service.json"), "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    sys.exit(main())
