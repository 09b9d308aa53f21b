import importlib.machinery
from pathlib import Path

import tavelmoor
import tavelmoor.common_functions as cf

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
