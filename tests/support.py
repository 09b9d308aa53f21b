"""Helpers shared by the tests: fresh interpreters and allocation-failure sweeps."""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

SWEEPER = Path(__file__).with_name("nomemory_sweep.py")


def run_python(code, *args, env=None, check=True):
    """Runs `code` in a fresh interpreter (-P: the working directory stays off sys.path)."""
    full_env = dict(os.environ)
    full_env.pop("PYTHONSTARTUP", None)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code), *args],
        capture_output=True, text=True, env=full_env, timeout=600,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({proc.returncode})\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}")
    return proc


def sweep_nomemory(setup):
    """Fails every allocation point of `call()` in turn, in a fresh interpreter.

    `setup` is Python source that defines `call()` and `check(result, error)`;
    `check` returns normally for a correct outcome and raises otherwise.
    Returns the sweeper's report: allocation points, outcomes and unraisables.
    """
    proc = subprocess.run(
        [sys.executable, "-P", str(SWEEPER)], input=textwrap.dedent(setup),
        capture_output=True, text=True, timeout=900,
    )
    if proc.returncode != 0:
        raise AssertionError(
            f"sweep crashed or failed ({proc.returncode})\n--- stdout\n{proc.stdout[-4000:]}"
            f"\n--- stderr\n{proc.stderr[-4000:]}")
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    assert report["wrong"] == [], report["wrong"][:5]
    assert report["unraisable"] == [] or set(report["unraisable"]) == {"MemoryError"}, report["unraisable"]
    return report

