#!/usr/bin/env python3
"""The PC/SC test bed's figures (bench/run.sh --testbed):

- start -> visible key: from spawning scripts/testbed.sh with one key to the
  first moment of its COMMAND (`date +%s.%N`), which the test bed runs once
  the card is visible to PC/SC clients; --runs times, median (min-max);
- APDU round trip: pcsc_roundtrip's SCardTransmit times of --count LISTs to
  the virtual key through pcscd and vpcd (median, 95th and 99th percentile);
- the same for 50 APDUs with a key started with --no-quickack, to show what
  TCP_QUICKACK saves.

Writes bench/results/testbed.txt and testbed.json.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time


def testbed(args, *keys, command):
    line = ["bash", args.testbed, "--virtual-key", args.key]
    for key in keys:
        line += ["--key", key]
    return subprocess.run(line + ["--", *command], check=True, capture_output=True,
                          text=True).stdout


def pairs(text):
    return dict(line.split(" ", 1) for line in text.splitlines() if " " in line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--testbed", required=True)
    parser.add_argument("--key", required=True, help="virtual-oath-key")
    parser.add_argument("--roundtrip", required=True, help="pcsc_roundtrip")
    parser.add_argument("--config", required=True, help="the key's configuration")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--results", default="bench/results")
    args = parser.parse_args()

    starts = []
    for _ in range(args.runs):
        spawned = time.time()
        seen = float(testbed(args, args.config, command=["date", "+%s.%N"]))
        starts.append(seen - spawned)

    quick = pairs(testbed(args, args.config,
                          command=[args.roundtrip, "--count", str(args.count)]))
    # A key of its own in slot 0, with delayed ACKs; the first LIST that gets
    # through says it is visible.
    slow_script = (
        '"$TESTBED_VIRTUAL_KEY" --no-quickack --config "$1" & '
        'for i in $(seq 100); do "$2" --count 1 >/dev/null 2>&1 && break; sleep 0.05; done; '
        '"$2" --count 50')
    slow = pairs(testbed(args, command=["bash", "-c", slow_script, "bash", args.config,
                                        args.roundtrip]))

    result = {
        "start_to_visible_s": {"median": statistics.median(starts), "min": min(starts),
                               "max": max(starts), "runs": starts},
        "roundtrip_us": {k: float(v) for k, v in quick.items() if k.endswith("_us")},
        "roundtrip_count": int(quick["count"]),
        "no_quickack_us": {k: float(v) for k, v in slow.items() if k.endswith("_us")},
        "load": os.getloadavg(),
    }
    table = "\n".join([
        f"start -> visible key      median {statistics.median(starts):.3f} s "
        f"({min(starts):.3f}-{max(starts):.3f}, {args.runs} runs)",
        f"APDU round trip           median {result['roundtrip_us']['median_us']:.1f} us, "
        f"p95 {result['roundtrip_us']['p95_us']:.1f} us, p99 {result['roundtrip_us']['p99_us']:.1f} us, "
        f"max {result['roundtrip_us']['max_us']:.1f} us ({result['roundtrip_count']} LISTs)",
        f"  without TCP_QUICKACK    median {result['no_quickack_us']['median_us'] / 1000:.1f} ms, "
        f"p95 {result['no_quickack_us']['p95_us'] / 1000:.1f} ms (50 LISTs)",
        f"load average              {' '.join(f'{x:.2f}' for x in result['load'])}",
    ])
    print(table)
    os.makedirs(args.results, exist_ok=True)
    with open(os.path.join(args.results, "testbed.txt"), "w") as f:
        f.write(table + "\n")
    with open(os.path.join(args.results, "testbed.json"), "w") as f:
        json.dump(result, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
