import importlib.machinery
import importlib.metadata
from pathlib import Path

import tavelmoor
import tavelmoor.common_functions as cf
from support import run_python

REPO = Path(__file__).resolve().parent.parent


def test_imported_module_is_the_built_extension():
    assert isinstance(cf.__loader__, importlib.machinery.ExtensionFileLoader)
    path = Path(cf.__file__).resolve()
    assert path.suffix == ".so"
    assert REPO / "src" not in path.parents
    assert Path(tavelmoor.__file__).resolve().parent == path.parent


def test_sources_are_not_installed():
    package_dir = Path(cf.__file__).parent
    assert not (package_dir / "common_functions").exists()


def test_version_is_the_installed_metadata_version_and_importing_the_package_loads_no_extension():
    proc = run_python("""
        import importlib.metadata, sys, tavelmoor
        assert "tavelmoor.common_functions" not in sys.modules
        print(tavelmoor.__version__, importlib.metadata.version("tavelmoor"))
    """)
    version, metadata_version = proc.stdout.split()
    assert version == metadata_version
    assert tavelmoor.__version__ == version


def test_metadata_declares_licence_and_the_supported_pythons():
    meta = importlib.metadata.metadata("tavelmoor")
    assert meta["License-Expression"] == "MIT"
    assert set(meta["Requires-Python"].split(",")) == {">=3.13", "<3.15"}
    assert "LICENSE" in meta.get_all("License-File")
    assert meta["Description-Content-Type"] == "text/markdown" and "## The two commands" in meta["Description"]
