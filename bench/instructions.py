"""Instructions per call of every benchmark statement, counted with callgrind.

Usage: python bench/instructions.py [--case SUBSTRING ...] [--calls N] [--peers]
       python bench/instructions.py --check            (exit 1 naming every figure >3% above baseline)
       python bench/instructions.py --update-baseline  (measure and rewrite the baseline file)

Timings on a shared machine are noisy; instruction counts are not. One callgrind process, with a
fixed hash seed, builds the statements of bench/run.py, warms each one up and then runs it from a
ctypes callback, called through libffi's ffi_call; callgrind zeroes its counters when ffi_call is
entered and dumps them when it is left, so each dump holds exactly one statement's runs, free of
start-up, import and warm-up. ffi_call is found by name in any build, where the interpreter's own
functions are not in a stripped one (Debian's).

The await rows also give the coroutine's own share of an await: the await minus the client alone
(the row's floor), for the native coroutine and for the plain `async def`.

--peers counts the twin compiled with Cython and with mypyc too (bench/peers.py builds them once).

--check measures the native statements and the floors of the await rows (the shares need them) and
compares them with bench/instructions-baseline.json; --update-baseline rewrites that file. Both take
a few minutes on a 2-core machine. The baseline is refreshed on purpose, in a commit of its own.
"""

import argparse
import ctypes
import json
import os
import re
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
BASELINE = HERE / "instructions-baseline.json"
TOLERANCE = 0.03
SHARE_GOAL = 0.75  # the native coroutine's share of an await, at most this part of CPython's
sys.path.insert(0, str(HERE))
import run  # noqa: E402

VARIANTS = ("native", "python", "floor")
WITH_PEERS = ("native", *run.PEERS, "python", "floor")


def is_await_row(case):
    return case.name.startswith("parent post await")


def runs_for(case, calls):
    return max(1, calls // case.per)


def inside_ffi_call(action):
    """Calls `action` once, from inside libffi's ffi_call (the callgrind marker)."""
    def callback():
        action()
        return 0

    ctypes.CFUNCTYPE(ctypes.c_int)(callback)()


def child(calls, selected):
    """Runs in callgrind: each selected (case, variant) statement once inside ffi_call."""
    import asyncio

    if any(item.split(":")[1] in run.PEERS for item in selected):
        run.load_peers()
    loop = asyncio.new_event_loop()
    cases = run.build_cases(loop)
    inside_ffi_call(lambda: None)  # ctypes' first call sets things up: not in any statement's dump
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=DeprecationWarning)
        for item in selected:
            index, variant = item.split(":")
            case = cases[int(index)]
            timer = run.make_timer(case, variant)
            count = runs_for(case, calls)
            timer.timeit(max(1, count // 10))
            inside_ffi_call(lambda: timer.timeit(count))
    loop.close()


def count_instructions(selected, calls):
    """Instructions of one call for each "index:variant" in `selected`, in order."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--zero-before=ffi_call",
             "--dump-after=ffi_call", sys.executable, "-P", __file__, "--child", str(calls), *selected],
            capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        if proc.returncode != 0:
            raise SystemExit(proc.stderr[-3000:])
        dumps = sorted(Path(tmp).glob("callgrind.out.*"), key=lambda p: int(p.suffix[1:]))
        totals = [int(re.search(r"^summary: (\d+)", p.read_text(), re.M).group(1)) for p in dumps]
    # Any ffi_call of the start-up dumps first; the statements' dumps are the last ones.
    return totals[len(totals) - len(selected):]


def measure(cases, wanted, calls):
    """Instructions per call of the (case, variant) pairs in `wanted`; `cases` is the full list."""
    selected = [f"{i}:{v}" for i, case in enumerate(cases) for v in WITH_PEERS if (case, v) in wanted]
    totals = count_instructions(selected, calls)
    figures = {}
    for item, total in zip(selected, totals):
        index, variant = item.split(":")
        case = cases[int(index)]
        figures[(case.name, variant)] = total / (runs_for(case, calls) * case.per)
    return figures


def shares(cases, figures):
    """(case name, native share, CPython share) for the await rows measured."""
    rows = []
    for case in cases:
        floor = figures.get((case.name, "floor"))
        if not is_await_row(case) or floor is None:
            continue
        native, python = figures.get((case.name, "native")), figures.get((case.name, "python"))
        rows.append((case.name, native - floor if native else None, python - floor if python else None))
    return rows


def gated(cases, figures):
    """The figures the gate compares: native per call, and the native share of each await whose
    client costs at most ten times the share (beside a JSON decoding, the share is a small
    difference of two large counts, and any change in the decoder's memory moves it)."""
    out = {f"{case.name}: native": figures[(case.name, "native")] for case in cases
           if (case.name, "native") in figures}
    for name, native_share, _ in shares(cases, figures):
        if native_share is not None and figures[(name, "floor")] <= 10 * native_share:
            out[f"{name}: native share"] = native_share
    return out


def shown(value):
    return "n/a" if value is None else f"{value:,.0f}"


def ratio(a, b):
    return f"{a / b:.2f}" if a and b else "n/a"


def print_tables(cases, figures, peers=()):
    over = ["native", *peers]
    print(f"{'case':<44} {'native':>10}" + "".join(f" {run.LABELS[p]:>10}" for p in peers)
          + f" {'Python':>10} {'floor':>10}" + "".join(f" {'Py/' + run.LABELS[v][:3]:>7}" for v in over)
          + f" {'nat/floor':>9}")
    for case in cases:
        nat, py, floor = (figures.get((case.name, v)) for v in VARIANTS)
        if nat is None and py is None and floor is None:
            continue
        print(f"{case.name:<44} {shown(nat):>10}" + "".join(f" {shown(figures.get((case.name, p))):>10}" for p in peers)
              + f" {shown(py):>10} {shown(floor):>10}"
              + "".join(f" {ratio(py, figures.get((case.name, v))):>7}" for v in over)
              + f" {ratio(nat, floor):>9}")
    rows = shares(cases, figures)
    if not rows:
        return
    print()
    print("The coroutine's own share of an await (the await minus the client alone, the floor):")
    print(f"{'case':<44} {'native':>10} {'CPython':>10} {'nat/Py':>7} {'goal':>6} status")
    for name, native_share, python_share in rows:
        status = "n/a"
        if native_share is not None and python_share:
            status = "met" if native_share <= SHARE_GOAL * python_share else "MISSED"
        print(f"{name:<44} {shown(native_share):>10} {shown(python_share):>10}"
              f" {ratio(native_share, python_share):>7} {'<=' + str(SHARE_GOAL):>6} {status}")


def check(current, baseline):
    """Names of the figures more than TOLERANCE above their baseline; new figures are only shown."""
    worse = []
    print()
    print(f"{'figure':<64} {'baseline':>10} {'now':>10} {'change':>8}")
    for name, value in current.items():
        base = baseline.get(name)
        if base is None:
            print(f"{name:<64} {'-':>10} {value:>10,.0f}  not in baseline")
            continue
        change = value / base - 1
        flag = "  ABOVE" if change > TOLERANCE else ""
        print(f"{name:<64} {base:>10,.0f} {value:>10,.0f} {change:>+8.1%}{flag}")
        if change > TOLERANCE:
            worse.append(f"{name} ({change:+.1%})")
    return worse


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", action="append", default=[], help="only cases whose name holds this text")
    parser.add_argument("--calls", type=int, default=4000, help="calls counted per statement")
    parser.add_argument("--peers", action="store_true", help="count the Cython and mypyc peers too")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true", help=f"fail on a figure >{TOLERANCE:.0%} above baseline")
    mode.add_argument("--update-baseline", action="store_true", help=f"rewrite {BASELINE.name}")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        return child(int(options.child[0]), options.child[1:])

    import asyncio

    peers = run.PEERS if options.peers else ()
    if peers:
        run.load_peers()  # builds them here, once, rather than under callgrind
    loop = asyncio.new_event_loop()
    cases = run.build_cases(loop)
    chosen = [c for c in cases if not options.case or any(s in c.name for s in options.case)]
    landed = {c.name for c in chosen if run.landed(c)}
    loop.close()
    gate_only = options.check or options.update_baseline
    wanted = {(c, v) for c in chosen for v in VARIANTS + peers
              if (v != "native" or c.name in landed)
              and (not gate_only or v == "native" or (v == "floor" and is_await_row(c)))}
    figures = measure(cases, wanted, options.calls)
    print_tables(cases, figures, peers)
    current = gated(cases, figures)
    if options.update_baseline:
        BASELINE.write_text(json.dumps({k: round(v, 1) for k, v in current.items()}, indent=1) + "\n")
        print(f"\nwrote {BASELINE}")
        return 0
    if options.check:
        worse = check(current, json.loads(BASELINE.read_text()))
        if worse:
            print("\nmore than 3% above the baseline: " + "; ".join(worse))
            return 1
        print("\nno figure is more than 3% above the baseline")
    return 0


if __name__ == "__main__":
    sys.exit(main())
