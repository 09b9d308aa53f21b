import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent.parent / "bench" / "run.py"


def test_benchmark_runs_in_quick_mode():
    """The benchmark works end to end; its numbers are not judged here."""
    proc = subprocess.run([sys.executable, "-P", str(BENCH), "--quick"], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode in (0, 1), proc.stderr
    rows = [line for line in proc.stdout.splitlines() if line.startswith(("get_", "extract", "common", "parent"))]
    assert len(rows) == 17, proc.stdout
