"""The built wheel: what it holds, and that it installs and imports in a fresh environment."""
import re
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
SOURCE_SUFFIXES = (".cpp", ".hpp", ".cc", ".h", ".hh", ".cxx")


def run(args, **kwargs):
    proc = subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)
    assert proc.returncode == 0, f"{args}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    return proc


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    run([sys.executable, "-m", "pip", "wheel", str(REPO), "--no-deps", "--no-build-isolation", "-q", "-w", str(out)])
    [built] = out.glob("tavelmoor-*.whl")
    return built


def _host_runs_base_interpreter():
    """A new venv links sys._base_executable and the build runs native compilers. Under qemu-user
    without binfmt_misc (the armhf run of scripts/test-platforms) the host can start neither."""
    try:
        subprocess.run([sys._base_executable, "-c", ""], capture_output=True, timeout=120, check=True)
    except (OSError, subprocess.CalledProcessError):
        return False
    return True


pytestmark = [pytest.mark.slow, pytest.mark.skipif(
    not _host_runs_base_interpreter(),
    reason="the host cannot run this interpreter's own binary (emulated without binfmt_misc)")]


def test_wheel_holds_extension_stub_and_marker_and_no_sources(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    package = sorted(name for name in names if not name.startswith("tavelmoor-"))
    [extension] = [name for name in package if name.endswith(".so")]
    assert extension.startswith(f"tavelmoor/common_functions.cpython-{sys.version_info.major}{sys.version_info.minor}-")
    assert {"tavelmoor/__init__.py", "tavelmoor/common_functions.pyi", "tavelmoor/py.typed", "tavelmoor/webhooks/cli.py",
            "tavelmoor/webhooks/store/sqlite.py", "tavelmoor/webhooks/data/webhooks.json"} <= set(package)
    assert any(name.endswith(".dist-info/entry_points.txt") for name in names)
    assert [name for name in names if name.endswith(SOURCE_SUFFIXES) or "/common_functions/" in name] == []


def test_wheel_installs_and_imports_in_a_fresh_venv(wheel, tmp_path):
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)])
    proc = run([python, "-P", "-c", (
        "import pathlib, tavelmoor.common_functions as cf\n"
        "assert cf.get_hashtags('#wheel #ok') == 'wheel,ok'\n"
        "package = pathlib.Path(cf.__file__).parent\n"
        "print(package, (package / 'py.typed').is_file(), (package / 'common_functions.pyi').is_file())\n")],
        cwd=tmp_path)
    location, marker, stub = proc.stdout.split()
    assert Path(location).is_relative_to(env_dir)
    assert (marker, stub) == ("True", "True")
    # Installed without its dependencies, the service's command names the extra that brings them.
    command = subprocess.run([env_dir / "bin" / "tavelmoor-webhooks", "demo"], capture_output=True, text=True,
                             cwd=tmp_path, timeout=120)
    assert command.returncode == 2 and "pip install 'tavelmoor[webhooks]'" in command.stderr, command.stderr
    # A type checker run for that environment must find the installed stub.
    source = tmp_path / "consumer.py"
    source.write_text("from tavelmoor.common_functions import get_media_type\nreveal_type(get_media_type('REELS'))\n")
    checked = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", str(python), "--no-incremental",
                              str(source)], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert re.search(r'Revealed type is "(builtins\.)?int"', checked.stdout), checked.stdout + checked.stderr
