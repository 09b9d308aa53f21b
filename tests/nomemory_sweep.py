"""Fails allocations one point at a time around one call; run as a script.

Reads from stdin Python source that defines `call()` and `check(result, error)`.
For each mode (only allocation i fails; every allocation from i on fails) it
raises i from 1 until the call gets through without a MemoryError. Every
outcome must be MemoryError or pass `check`. Prints one JSON report line.
"""
import gc
import json
import sys

import _testcapi

namespace = {}
exec(sys.stdin.read(), namespace)
call = namespace["call"]
check = namespace["check"]
LIMIT = namespace.get("LIMIT", 20000)

unraisable = []
sys.unraisablehook = lambda info: unraisable.append(type(info.exc_value).__name__)

wrong = []
points = {}


def outcome(start, stop):
    result = error = None
    _testcapi.set_nomemory(start, stop)
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - every outcome is judged below
        error = exc
    finally:
        _testcapi.remove_mem_hooks()
    return result, error


def judge(index, mode, result, error):
    if isinstance(error, MemoryError):
        return False
    try:
        check(result, error)
    except BaseException as exc:  # noqa: BLE001
        wrong.append(f"{mode} {index}: {type(error).__name__}: {error!r} -> {exc!r}")
    return True


# Warm up caches (interned names, the re cache, lazy imports) outside injection.
check(*outcome(0, 0))
for mode in ("from", "single"):
    gc.collect()
    i = 1
    while i < LIMIT:
        result, error = outcome(i, 0 if mode == "from" else i + 1)
        done = judge(i, mode, result, error)
        del result, error
        if mode == "from" and done:
            break
        if mode == "single" and i > points["from"] + 2:
            break
        i += 1
    points[mode] = i
gc.collect()
print(json.dumps({"points": points, "wrong": wrong, "unraisable": unraisable}))
