"""The plain twin compiled by the two tools a team could reach for instead: Cython and mypyc.

Each peer is a copy of tests/twin.py under a module name of its own (twin_cython, twin_mypyc), so that
both load beside the native module in one process. Each is built as a user would build it, with the
tool's own command (`cythonize -i -3`, `mypyc`) and pinned versions from PyPI, in a virtual environment
of its own, and cached under build/peers/ (or $TAVELMOOR_PEERS_CACHE): a later run with the same
interpreter, tool versions and twin loads the built modules without building anything.
"""
import hashlib
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import venv
from pathlib import Path
from types import ModuleType

REPO = Path(__file__).resolve().parent.parent
TWIN = REPO / "tests" / "twin.py"
# The build tools, pinned; setuptools drives the compiler for both commands.
REQUIREMENTS = {
    "cython": ["Cython==3.3.1", "setuptools==84.2.1"],
    "mypyc": ["mypy==2.4.1", "setuptools==84.2.1"],
}
NAMES = {"cython": "Cython", "mypyc": "mypyc"}


def cache_root() -> Path:
    return Path(os.environ.get("TAVELMOOR_PEERS_CACHE", REPO / "build" / "peers"))


def build_dir(peer: str) -> Path:
    """Where one peer is built: a key of the interpreter, the pinned tools and the twin's text."""
    key = hashlib.sha256("\n".join([
        sys.version, sysconfig.get_config_var("EXT_SUFFIX") or "", *REQUIREMENTS[peer], TWIN.read_text(),
    ]).encode()).hexdigest()[:16]
    return cache_root() / f"{peer}-{key}"


def module_name(peer: str) -> str:
    return f"twin_{peer}"


def built_module(peer: str) -> Path | None:
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    path = build_dir(peer) / f"{module_name(peer)}{suffix}"
    return path if path.exists() else None


def _run(args: list[str], cwd: Path) -> None:
    proc = subprocess.run(args, cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit(f"building a peer failed: {' '.join(args)}\n{proc.stdout[-3000:]}{proc.stderr[-3000:]}")


def build(peer: str) -> Path:
    """Builds one peer unless it is cached; returns the extension module's path."""
    path = built_module(peer)
    if path:
        return path
    where = build_dir(peer)
    work = where.with_name(where.name + ".tmp")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    print(f"building the {NAMES[peer]} peer in {where} (once)", file=sys.stderr, flush=True)
    venv.create(work / "venv", with_pip=True)
    python = work / "venv" / "bin" / "python"
    _run([str(python), "-m", "pip", "install", "-q", *REQUIREMENTS[peer]], work)
    source = work / f"{module_name(peer)}.py"
    shutil.copyfile(TWIN, source)
    if peer == "cython":
        _run([str(work / "venv" / "bin" / "cythonize"), "-i", "-3", source.name], work)
    else:
        _run([str(work / "venv" / "bin" / "mypyc"), source.name], work)
    # The module and what it needs at run time move to the cache; the tools stay behind.
    where.mkdir(parents=True, exist_ok=True)
    for built in work.glob(f"*{sysconfig.get_config_var('EXT_SUFFIX')}"):
        shutil.copy2(built, where / built.name)
    shutil.rmtree(work, ignore_errors=True)
    path = built_module(peer)
    if not path:
        raise SystemExit(f"building the {NAMES[peer]} peer left no module in {where}")
    return path


def load(peer: str) -> ModuleType:
    """Imports a built peer; builds it first when it is not cached."""
    path = build(peer)
    sys.path.insert(0, str(path.parent))  # a mypyc module may import a runtime library beside it
    spec = importlib.util.spec_from_file_location(module_name(peer), path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def load_all() -> dict[str, ModuleType]:
    return {peer: load(peer) for peer in REQUIREMENTS}


if __name__ == "__main__":
    for peer, module in load_all().items():
        print(f"{NAMES[peer]}: {module.__file__}")
