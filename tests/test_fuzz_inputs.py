"""The fuzz targets' saved inputs against the normal build: each corpus, and every input that once
found a fault (fuzz/regressions/TARGET/), which stays here as a test of its own."""
import importlib.util
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
TARGETS = sorted(path.name for path in FUZZ.glob("corpus/*"))
REGRESSIONS = sorted(FUZZ.glob("regressions/*/*"))


def target(name, monkeypatch):
    monkeypatch.syspath_prepend(str(FUZZ))
    spec = importlib.util.spec_from_file_location(f"fuzz_target_{name}", FUZZ / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.test_one_input


@pytest.mark.parametrize("name", TARGETS)
def test_corpus(name, monkeypatch):
    test_one_input = target(name, monkeypatch)
    for path in sorted(FUZZ.glob(f"corpus/{name}/*")):
        test_one_input(path.read_bytes())


@pytest.mark.parametrize("path", REGRESSIONS, ids=lambda path: f"{path.parent.name}/{path.name}")
def test_regression(path, monkeypatch):
    target(path.parent.name, monkeypatch)(path.read_bytes())


def test_every_target_has_a_corpus():
    scripts = {path.stem for path in FUZZ.glob("*.py")} - {"harness", "seeds"}
    assert scripts == set(TARGETS)
