"""Fails allocations one point at a time around one call; run as a script.

Reads from stdin Python source that defines `call()` and `check(result, error)`.
For each mode (only allocation i fails; every allocation from i on fails) it
raises i from 1 until the call gets through without a MemoryError. Every
outcome must be MemoryError or pass `check`. Prints one JSON report line.
"""
import gc
import json
import sys
import traceback

import _testcapi

namespace = {}
exec(sys.stdin.read(), namespace)
call = namespace["call"]
check = namespace["check"]
LIMIT = namespace.get("LIMIT", 20000)

unraisable = []
sys.unraisablehook = lambda info: unraisable.append(type(info.exc_value).__name__)

wrong = []
host_faults = []
points = {}
MODULE_FILE = "tavelmoor/common_functions.py"
OUR_FUNCTIONS = ("get_hashtags", "get_media_type", "extract_brand_ids_and_category_ids",
                 "process_parent_post", "extracting_common_details")


def is_host_fault(error):
    """A SystemError that CPython itself raised about its own code.

    Under injected failures some stdlib C code returns NULL without an
    exception; the interpreter reports that as SystemError, naming the callee
    or raised inside a stdlib frame. Those are not this module's faults.
    """
    if not isinstance(error, SystemError):
        return False
    message = str(error)
    if message.startswith("<function ") and not message.startswith(
            tuple(f"<function {name} " for name in OUR_FUNCTIONS)):
        return True
    frames = traceback.extract_tb(error.__traceback__)
    return bool(frames) and frames[-1].filename not in (MODULE_FILE, "<string>")


def outcome(start, stop):
    # The hooks come off before any handler runs: handling an exception
    # allocates too, and must not fail for the test's own sake.
    try:
        try:
            if start:
                _testcapi.set_nomemory(start, stop)
            return call(), None
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as exc:  # noqa: BLE001 - every outcome is judged below
        return None, exc


def judge(index, mode, result, error):
    if isinstance(error, MemoryError):
        return False
    if is_host_fault(error):
        host_faults.append(f"{mode} {index}: {error}")
        return False
    try:
        check(result, error)
    except BaseException as exc:  # noqa: BLE001
        wrong.append(f"{mode} {index}: {type(error).__name__}: {error!r} -> {exc!r}")
    return True


# Warm up caches (interned names, the re cache, lazy imports) outside injection.
check(*outcome(None, None))
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
print(json.dumps({"points": points, "wrong": wrong, "host_faults": host_faults, "unraisable": unraisable}))
