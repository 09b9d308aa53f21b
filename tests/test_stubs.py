"""The type stub against the installed extension, and mypy over the examples."""
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tavelmoor.common_functions as cf

REPO = Path(__file__).resolve().parent.parent
EXAMPLES = REPO / "examples"
PACKAGE_DIR = Path(cf.__file__).parent


SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def run_tool(args, cwd, env_extra=None):
    # Run outside the repository so that nothing but the installed package is found.
    env = {"PATH": "/usr/bin:/bin", "HOME": str(cwd), **(env_extra or {})}
    # A sanitizer build needs its runtime preloaded in every interpreter.
    env.update({k: v for k, v in os.environ.items() if k in SANITIZER_VARIABLES})
    return subprocess.run([sys.executable, "-P", "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy_cache")


# The platform trees have no PostgreSQL driver: its store is checked where the driver is installed.
OPTIONAL_DRIVERS = "[mypy]\n[mypy-psycopg,psycopg.*,psycopg_pool]\nignore_missing_imports = True\n"


def mypy(paths, cwd, cache):
    config = cwd / "mypy.ini"
    config.write_text(OPTIONAL_DRIVERS)
    return run_tool(["mypy", "--strict", "--config-file", str(config), "--cache-dir", str(cache),
                     *map(str, paths)], cwd)


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path):
    proc = run_tool(["mypy.stubtest", "--mypy-config-file", "/dev/null", "tavelmoor.common_functions"], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubtest_reports_a_stub_that_drifts_from_the_module(tmp_path):
    # A check that passes whatever the stub says would hide every mismatch.
    shadow = tmp_path / "stubs" / "tavelmoor"
    shadow.mkdir(parents=True)
    shutil.copy(PACKAGE_DIR / "__init__.py", shadow)
    (shadow / "py.typed").touch()
    stub = (PACKAGE_DIR / "common_functions.pyi").read_text()
    stub = stub.replace("async def process_parent_post", "def process_parent_post")
    stub = stub.replace("def get_media_type(media_type: str)", "def get_media_type(*, media_type: str)")
    (shadow / "common_functions.pyi").write_text(stub)
    proc = run_tool(["mypy.stubtest", "--mypy-config-file", "/dev/null", "tavelmoor.common_functions"],
                    tmp_path, {"MYPYPATH": str(tmp_path / "stubs")})
    assert proc.returncode == 1
    assert "process_parent_post is an \"async def\" function at runtime" in proc.stdout
    assert "tavelmoor.common_functions.get_media_type is inconsistent" in proc.stdout


@pytest.mark.parametrize("target", [[EXAMPLES / "usage.py"], ["-p", "tavelmoor.webhooks"]], ids=["usage", "webhooks"])
def test_examples_and_the_service_type_check_strictly(tmp_path, mypy_cache, target):
    proc = mypy(target, tmp_path, mypy_cache)
    assert proc.returncode == 0, proc.stdout + proc.stderr


MISUSE = textwrap.dedent('''\
    import asyncio
    from typing import Any
    from tavelmoor.common_functions import (extract_brand_ids_and_category_ids, extracting_common_details,
                                            get_hashtags, get_media_type, process_parent_post)

    class NotAClient:
        pass

    class SyncClient:
        def fetch_instagram_data(self, endpoint: str, access_token: str, fields: str) -> dict[str, Any]:
            return {}

    def use() -> None:
        get_media_type(None)  # arg-type
        get_media_type(media="IMAGE")  # call-arg
        get_hashtags(12)  # arg-type
        code: str = get_media_type("IMAGE")  # assignment
        categories, brands, extra = extract_brand_ids_and_category_ids([])  # misc
        extract_brand_ids_and_category_ids(({"BrandID": 1, "CategoryID": 2},))  # arg-type
        _ = process_parent_post("1", NotAClient(), "token")  # arg-type
        _ = process_parent_post("1", SyncClient(), "token")  # arg-type
        extracting_common_details(None, "instagram_comment", 1)  # arg-type
        asyncio.run(process_parent_post("1", SyncClient()))  # call-arg
''')


def test_stub_makes_mypy_refuse_misuse(tmp_path, mypy_cache):
    # Each marked line must fail with the error code in its comment, and nothing else may fail.
    (tmp_path / "misuse.py").write_text(MISUSE)
    proc = mypy(["misuse.py"], tmp_path, mypy_cache)
    expected = {number: line.rsplit("# ", 1)[1] for number, line in enumerate(MISUSE.splitlines(), 1) if "  # " in line}
    found = {}
    for line in proc.stdout.splitlines():
        if line.startswith("misuse.py:") and ": error: " in line:
            found.setdefault(int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]"))
    assert found == expected, proc.stdout
