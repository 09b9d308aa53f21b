"""Instructions per call of every benchmark statement, counted with callgrind.

Usage: python bench/instructions.py [--case SUBSTRING ...] [--loops N]

Timings on a shared machine are noisy; instruction counts are not. Each statement of bench/run.py
runs N and 2N times in two callgrind processes with a fixed hash seed; the difference of their
totals, divided by N, is the count of one call (timeit loop included), free of start-up and import.
Needs valgrind; takes a few minutes.
"""

import argparse
import asyncio
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402


def total_instructions(case_index, variant, count):
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             sys.executable, "-P", str(HERE / "run.py"), "--loop", str(case_index), variant, str(count)],
            capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        if proc.returncode != 0:
            raise SystemExit(proc.stderr[-2000:])
        match = re.search(r"Collected : (\d+)", proc.stderr)
        return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", action="append", default=[])
    parser.add_argument("--loops", type=int, default=10000)
    options = parser.parse_args()
    loop = asyncio.new_event_loop()
    cases = run.build_cases(loop)
    loop.close()
    print(f"{'case':<34} {'native':>10} {'Python':>10} {'floor':>10} {'Py/nat':>7} {'nat/floor':>9}")
    for index, case in enumerate(cases):
        if options.case and not any(s in case.name for s in options.case):
            continue
        counts = {}
        for variant in ("native", "python", "floor"):
            if variant == "native" and not run.landed(case):
                counts[variant] = None
                continue
            n = options.loops
            counts[variant] = (total_instructions(index, variant, 2 * n)
                               - total_instructions(index, variant, n)) / n
        nat, py, floor = counts["native"], counts["python"], counts["floor"]
        ratio = lambda a, b: f"{a / b:.2f}" if a and b else "n/a"  # noqa: E731
        shown = lambda v: "n/a" if v is None else f"{v:,.0f}"  # noqa: E731
        print(f"{case.name:<34} {shown(nat):>10} {shown(py):>10} {shown(floor):>10}"
              f" {ratio(py, nat):>7} {ratio(nat, floor):>9}", flush=True)


if __name__ == "__main__":
    main()
