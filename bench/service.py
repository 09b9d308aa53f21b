"""The webhook service end to end beside the batch mode, on the same events in the same run.

For each size, two child processes:
- the batch mode, `tavelmoor-webhooks batch --repeat N`: its events per second and its peak RSS;
- the demo, `tavelmoor-webhooks demo --repeat N`: the service in its own child process, fed signed
  POSTs over loopback. It reports accepted deliveries per second, events per second from the first POST
  to the last stored record, and the service process's peak RSS.

Both use the embedded Graph API stand-in with no latency. N = 2500 and 25000 are 20,000 and 200,000 events.
Goals: the service at least half the batch rate; each process's peak RSS at the larger size within 15% of
that at the smaller one.

    python -P bench/service.py                              # 2500 and 25000 repeats, about ten minutes
    python -P bench/service.py --repeats 50,500 --rounds 1  # a quick look
"""
import argparse
import os
import platform
import re
import subprocess
import sys

EVENTS_PER_REPEAT = 8


def run(args: list[str]) -> tuple[str, int]:
    """Runs a command of the installed service in a child; returns its stderr and its own peak RSS in bytes."""
    with open(os.devnull, "w") as devnull:
        proc = subprocess.Popen([sys.executable, "-P", "-m", "tavelmoor.webhooks", *args, "--output", os.devnull],
                                stdout=devnull, stderr=subprocess.PIPE, text=True)
        assert proc.stderr is not None
        stderr = proc.stderr.read()
        proc.stderr.close()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"tavelmoor-webhooks {' '.join(args)} failed ({proc.returncode}):\n{stderr[-2000:]}")
    return stderr, usage.ru_maxrss * 1024


def number(pattern: str, text: str) -> float:
    match = re.search(pattern, text)
    if match is None:
        raise SystemExit(f"no {pattern!r} in:\n{text[-2000:]}")
    return float(match.group(1))


def measure(repeat: int, concurrency: int) -> dict[str, float]:
    """One batch run and one service run over the same events."""
    events = repeat * EVENTS_PER_REPEAT
    stderr, batch_rss = run(["batch", "--repeat", str(repeat), "--concurrency", str(concurrency)])
    batch_rate = events / number(r"records, 0 failed, in ([\d.]+) s", stderr)
    stderr, _ = run(["demo", "--repeat", str(repeat), "--concurrency", str(concurrency)])
    return {
        "events": events,
        "batch_rate": batch_rate,
        "batch_rss": batch_rss,
        "deliveries_rate": number(r"deliveries posted in [\d.]+ s \((\d+)/s\)", stderr),
        "service_rate": number(r"\((\d+) events/s\)", stderr),
        "service_rss": number(r"service peak RSS ([\d.]+) MiB", stderr) * 2**20,
    }


def best(rows: list[dict[str, float]]) -> dict[str, float]:
    """Each figure at its best over the rounds: the highest rates, the lowest peak RSS."""
    return {key: (min if key.endswith("rss") else max)(row[key] for row in rows) for key in rows[0]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", default="2500,25000", help="comma-separated --repeat values")
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds at the smallest size, batch and service in turn; the best of each counts "
                        "(on a shared machine one run says more about the load than about the code)")
    parser.add_argument("--concurrency", type=int, default=8)
    args = parser.parse_args()
    repeats = [int(value) for value in args.repeats.split(",")]
    print(f"{platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}, "
          f"load average {os.getloadavg()[0]:.1f} at start; stand-in latency 0, {args.concurrency} workers; "
          f"best of {args.rounds} rounds at {repeats[0] * EVENTS_PER_REPEAT:,} events, one run at larger sizes")
    rows = []
    for repeat in repeats:
        rounds = args.rounds if repeat == repeats[0] else 1
        rows.append(best([measure(repeat, args.concurrency) for _ in range(rounds)]))
        print(f"  measured {rows[-1]['events']:,.0f} events", file=sys.stderr, flush=True)
    print()
    print("| events | batch events/s | batch peak RSS MiB | service deliveries/s | service events/s "
          "| service/batch | service peak RSS MiB |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        print(f"| {row['events']:,.0f} | {row['batch_rate']:,.0f} | {row['batch_rss'] / 2**20:.1f} "
              f"| {row['deliveries_rate']:,.0f} | {row['service_rate']:,.0f} "
              f"| {row['service_rate'] / row['batch_rate']:.2f} | {row['service_rss'] / 2**20:.1f} |")
    print()
    small, large = rows[0], rows[-1]
    goals = [(f"service events/s >= 0.5 x batch events/s at {small['events']:,.0f} events "
              f"({small['service_rate'] / small['batch_rate']:.2f})",
              small["service_rate"] >= 0.5 * small["batch_rate"])]
    if len(rows) > 1:
        for name, key in (("batch", "batch_rss"), ("service", "service_rss")):
            ratio = large[key] / small[key]
            goals.append((f"{name} peak RSS at {large['events']:,.0f} events / at {small['events']:,.0f} "
                          f"= {ratio:.3f} <= 1.15", ratio <= 1.15))
    for goal, met in goals:
        print(f"{'met   ' if met else 'MISSED'} {goal}")


if __name__ == "__main__":
    main()
