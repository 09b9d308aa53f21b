"""What every fuzz target shares: the tests' twin and value builders, and the atheris entry point.

A target is a script beside this one that defines `test_one_input(data)`, raising on any difference
from the twin, and calls `main(test_one_input)`. The test suite imports the same scripts to replay
the saved regression inputs against the normal build.
"""
import contextlib
import sys
import warnings
from pathlib import Path
from typing import Callable, Iterator

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
FUZZING = Path(sys.argv[0]).resolve().parent == HERE

# Python code whose branches guide the fuzzer besides the native module's: the builders and the twin.
INSTRUMENTED = ["twin", "outcomes", "fuzz_values", "coroutine_script"]


@contextlib.contextmanager
def instrumented(modules: list[str] = INSTRUMENTED) -> Iterator[None]:
    """Imports made inside of `modules` (and their submodules) report their coverage to the fuzzer, when run
    as one."""
    if not FUZZING:
        yield
        return
    import atheris
    with atheris.instrument_imports(include=modules):
        yield


def main(test_one_input: Callable[[bytes], None]) -> None:
    import atheris
    # Warnings and unraisable errors outside the compared calls (a dropped coroutine that was
    # never awaited, say) are not findings; printing them would only slow the run.
    warnings.simplefilter("ignore")
    sys.unraisablehook = lambda unraisable: None
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
