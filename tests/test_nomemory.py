"""Every allocation point, failed in turn: each outcome is the right one or MemoryError."""
import shutil
import subprocess
import sys

import pytest

from support import run_python, sweep_nomemory

HASHTAG_CASES = {
    "tags": ("'#café #日本 #a_b.c x#tag'", "assert error is None and result == 'café,日本,a_b,tag'"),
    "false text": ("''", "assert error is None and result == ''"),
    "no tags": ("'no tags here'", "assert error is None and result == ''"),
    "findall refuses": ("b'#x'", "assert isinstance(error, TypeError), error"),
    "binding error": ("dict(text=1)", "assert 'multiple values' in str(error), error"),
}


@pytest.mark.parametrize("argument, expectation", HASHTAG_CASES.values(), ids=HASHTAG_CASES)
def test_get_hashtags(argument, expectation):
    call = "cf.get_hashtags(1, **text)" if argument.startswith("dict") else "cf.get_hashtags(text)"
    report = sweep_nomemory(f"""
        import tavelmoor.common_functions as cf
        text = {argument}
        def call():
            return {call}
        def check(result, error):
            {expectation}
    """)
    assert report["points"]["from"] >= 1


IMPORT_SWEEP = """
import _imp, importlib.util, sys, _testcapi
# What execution imports is loaded first: importlib itself hangs when its
# allocations fail, and that is not this module's code.
import asyncio.coroutines, datetime, json, re, typing
spec = importlib.util.find_spec("tavelmoor.common_functions")
index, stop_after, single = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "single"

def attempt(index):
    try:
        try:
            _testcapi.set_nomemory(index, index + 1 if single else 0)
            module = _imp.create_dynamic(spec)
            _imp.exec_dynamic(module)
            return module, None
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as exc:
        return None, exc

for index in range(index, stop_after):
    print(index, flush=True)
    module, error = attempt(index)
    if error is None:
        assert list(vars(module))[-1] == "__test__"
        assert sys.modules["tavelmoor.common_functions"] is module
        assert module.get_hashtags("#ok") == "ok"
        break
    assert isinstance(error, MemoryError), repr(error)
    assert "tavelmoor.common_functions" not in sys.modules
"""


def _import_sweep(start, stop, mode):
    return int(run_python(IMPORT_SWEEP, str(start), str(stop), mode).stdout.split()[-1])


def _is_host_dict_crash(index):
    """CPython 3.13.0's PyDict_SetDefaultRef reports success after a failed
    insert; the type machinery uses it, and the damaged dict crashes later in
    dictobject.c. Confirmed from the crash's C backtrace."""
    if sys.version_info[:3] != (3, 13, 0) or not shutil.which("gdb"):
        return False
    proc = subprocess.run(
        ["gdb", "-batch", "-ex", "unset environment LINES", "-ex", "unset environment COLUMNS",
         "-ex", "run", "-ex", "bt 3", "--args", sys.executable, "-P", "-c",
         IMPORT_SWEEP, str(index), str(index + 1), "single"],
        capture_output=True, text=True, timeout=300)
    return "SIGSEGV" in proc.stdout and "Objects/dictobject.c" in proc.stdout


def test_import():
    """Creation and execution, driven directly so that importlib's own locks stay out of the sweep.

    A successful import is recorded for the life of the process, and a host
    fault can damage a dict that is only used later, so each single failure
    gets an interpreter of its own.
    """
    points = _import_sweep(1, 100000, "from")
    assert points > 50
    host_crashes = []
    for index in range(1, points + 1):
        proc = run_python(IMPORT_SWEEP, str(index), str(index + 1), "single", check=False)
        if proc.returncode < 0 and _is_host_dict_crash(index):
            host_crashes.append(index)
            continue
        assert proc.returncode == 0, (index, proc.stderr)
    assert len(host_crashes) < 10, host_crashes
