"""The webhook service end to end beside the batch mode, on the same events in the same run.

For each size, two child processes:
- the batch mode, `tavelmoor-webhooks batch --repeat N`: its events per second and its peak RSS;
- the demo, `tavelmoor-webhooks demo --repeat N`: the service in its own child process, fed signed
  POSTs over loopback. It reports accepted deliveries per second, events per second from the first POST
  to the last stored record, and the service process's peak RSS.

Both use the embedded Graph API stand-in with no latency. N = 2500 and 25000 are 20,000 and 200,000 events.
Goals: the service at least half the batch rate; each process's peak RSS at the larger size within 15% of
that at the smaller one.

Then, at the smaller size, the service on PostgreSQL: `demo --database postgresql`, a throwaway cluster with
fsync and synchronous_commit on (as the demo prints them), one and two service processes, with and without
LISTEN, in rounds interleaved with the SQLite service; with the claim round trip's median and 99th percentile
from the services' own histograms. Goal: one process on PostgreSQL at least 0.8 of the SQLite rate.

    python -P bench/service.py                              # 2500 and 25000 repeats, about ten minutes
    python -P bench/service.py --repeats 50,500 --rounds 1  # a quick look
    python -P bench/service.py --no-postgresql              # without the PostgreSQL rows (no server installed)
"""
import argparse
import os
import platform
import re
import subprocess
import sys
from typing import Any

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


def measure_service(repeat: int, concurrency: int, *options: str) -> dict[str, Any]:
    """One demo run: its rates, the claim round trip, and what it said of its store."""
    stderr, _ = run(["demo", "--repeat", str(repeat), "--concurrency", str(concurrency), *options])
    store = re.search(r"services? on (SQLite|PostgreSQL)[^\n]*?(?:\(fsync (\w+), synchronous_commit (\w+)\))?$",
                      stderr, re.MULTILINE)
    assert store is not None
    return {"deliveries_rate": number(r"deliveries posted in [\d.]+ s \((\d+)/s\)", stderr),
            "service_rate": number(r"\((\d+) events/s\)", stderr),
            "claim_median": number(r"claim round trip median ([\d.]+) ms", stderr),
            "claim_p99": number(r"99th percentile ([\d.]+) ms", stderr),
            "fsync": store.group(2) or "-", "synchronous_commit": store.group(3) or "-"}


POSTGRESQL_RUNS = [("SQLite", 1, None, ()), ("PostgreSQL", 1, True, ("--database", "postgresql")),
                   ("PostgreSQL", 1, False, ("--database", "postgresql", "--no-listen")),
                   ("PostgreSQL", 2, True, ("--database", "postgresql", "--processes", "2")),
                   ("PostgreSQL", 2, False, ("--database", "postgresql", "--processes", "2", "--no-listen"))]


def postgresql_table(repeat: int, concurrency: int, rounds: int) -> None:
    results: list[list[dict[str, Any]]] = [[] for _ in POSTGRESQL_RUNS]
    for _ in range(rounds):
        for row, (_, _, _, options) in zip(results, POSTGRESQL_RUNS):
            row.append(measure_service(repeat, concurrency, *options))
    print()
    print(f"The service at {repeat * EVENTS_PER_REPEAT:,} events, best of {rounds} interleaved rounds "
          "(claim round trips from the best round):")
    print()
    print("| store | services | LISTEN | deliveries/s | events/s | / SQLite | claim median ms | claim p99 ms "
          "| fsync | synchronous_commit |")
    print("|---|---:|---|---:|---:|---:|---:|---:|---|---|")
    sqlite_rate = max(row["service_rate"] for row in results[0])
    for (store, processes, listen, _), rows in zip(POSTGRESQL_RUNS, results):
        top = max(rows, key=lambda row: row["service_rate"])
        print(f"| {store} | {processes} | {'-' if listen is None else 'on' if listen else 'off'} | {top['deliveries_rate']:,.0f} "
              f"| {top['service_rate']:,.0f} | {top['service_rate'] / sqlite_rate:.2f} | {top['claim_median']:.1f} "
              f"| {top['claim_p99']:.1f} | {top['fsync']} | {top['synchronous_commit']} |")
    one = max(row["service_rate"] for row in results[1])
    print()
    print(f"{'met   ' if one >= 0.8 * sqlite_rate else 'MISSED'} one service on PostgreSQL >= 0.8 x on SQLite "
          f"({one / sqlite_rate:.2f})")


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
    parser.add_argument("--postgresql", action=argparse.BooleanOptionalAction, default=True,
                        help="the PostgreSQL rows (default on; they need the server installed)")
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
    if args.postgresql:
        postgresql_table(repeats[0], args.concurrency, args.rounds)


if __name__ == "__main__":
    main()
