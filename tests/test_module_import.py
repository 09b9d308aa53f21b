import importlib
import sys
import traceback

import pytest

import tavelmoor.common_functions as cf
from support import run_python

GLOBALS = ["__builtins__", "json", "re", "datetime", "Tuple", "List", "Dict", "get_hashtags", "get_media_type",
           "extract_brand_ids_and_category_ids", "process_parent_post", "extracting_common_details", "__test__"]


def test_globals_in_order():
    import builtins
    import datetime
    import json
    import re
    import typing
    names = run_python("import tavelmoor.common_functions as cf; print(*vars(cf))").stdout.split()
    assert names[names.index("__builtins__"):] == GLOBALS
    assert (cf.__builtins__, cf.json, cf.re, cf.datetime) == (builtins, json, re, datetime.datetime)
    assert (cf.Tuple, cf.List, cf.Dict) == (typing.Tuple, typing.List, typing.Dict)
    assert type(cf.__test__) is dict and cf.__test__ == {}
    assert cf.__name__ == "tavelmoor.common_functions" and cf.__package__ == "tavelmoor"
    assert cf.__doc__ is None
    assert sys.modules["tavelmoor.common_functions"] is cf


def test_reimport_and_reload_give_the_same_module_untouched():
    out = run_python("""
        import importlib, sys
        import tavelmoor.common_functions as cf
        cf.json = "replaced"
        cf.extra = 1
        del sys.modules["tavelmoor.common_functions"]
        import tavelmoor.common_functions as again
        assert again is cf
        assert importlib.reload(cf) is cf
        assert cf.json == "replaced" and cf.extra == 1
        print(sys.modules["tavelmoor.common_functions"] is cf)
    """).stdout
    assert out.split() == ["True"]


def test_execution_of_a_second_module_object_is_refused():
    out = run_python("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("tavelmoor.common_functions")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        assert _imp.create_dynamic(spec) is first
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as exc:
            print(exc)
        import tavelmoor.common_functions as cf
        assert cf is first
    """).stdout
    assert out.strip() == ("Module 'common_functions' has already been imported. "
                           "Re-initialisation is not supported.")


def test_a_second_interpreter_gets_import_error():
    out = run_python("""
        import _interpreters
        import tavelmoor.common_functions
        interp = _interpreters.create("legacy")
        try:
            info = _interpreters.run_string(interp, "import tavelmoor.common_functions")
        finally:
            _interpreters.destroy(interp)
        print(info.type.__name__)
        print(info.msg)
    """).stdout.splitlines()
    assert out == ["ImportError",
                   "Interpreter change detected - this module can only be loaded into one interpreter per process."]


def test_a_second_interpreter_is_refused_even_before_the_first_import():
    out = run_python("""
        import _interpreters
        interp = _interpreters.create("legacy")
        try:
            first = _interpreters.run_string(interp, "import tavelmoor.common_functions")
        finally:
            _interpreters.destroy(interp)
        assert first is None, first
        try:
            import tavelmoor.common_functions
        except ImportError as exc:
            print(exc)
    """).stdout.strip()
    assert out.startswith("Interpreter change detected")


FAILED_IMPORTS = {
    "json": ("sys.modules['json'] = None", ModuleNotFoundError, 1),
    "re": ("sys.modules['re'] = None", ModuleNotFoundError, 2),
    "datetime name": ("import types; sys.modules['datetime'] = types.ModuleType('datetime')",
                      ImportError, 3),
    "typing name": ("import types; fake = types.ModuleType('typing'); fake.Tuple = 1; fake.List = 2;"
                    "sys.modules['typing'] = fake", ImportError, 4),
}


@pytest.mark.parametrize("breakage, error, line", FAILED_IMPORTS.values(), ids=FAILED_IMPORTS)
def test_failed_execution_then_retry(breakage, error, line):
    out = run_python(f"""
        import sys, traceback
        import datetime, json, re, typing
        saved = dict(sys.modules)
        {breakage}
        try:
            import tavelmoor.common_functions
        except BaseException as exc:
            error = exc
        assert "tavelmoor.common_functions" not in sys.modules
        sys.modules.update(saved)
        entry = traceback.extract_tb(error.__traceback__)[-1]
        print(type(error).__name__, entry.filename, entry.name, entry.lineno, sep="|")
        print(error)
        import tavelmoor.common_functions as cf
        assert cf.get_hashtags("#ok") == "ok" and cf.__test__ == {{}}
        print("retried")
    """).stdout.splitlines()
    assert out[0] == f"{error.__name__}|tavelmoor/common_functions.py|init tavelmoor.common_functions|{line}"
    assert out[-1] == "retried"
    if line == 3:
        assert out[1] == "cannot import name datetime"
    if line == 4:
        assert out[1] == "cannot import name Dict"


def test_from_import_falls_back_to_the_submodule_in_sys_modules():
    out = run_python("""
        import sys, types, typing
        fake = types.ModuleType("typing")
        fake.Tuple, fake.List = typing.Tuple, typing.List
        sys.modules["typing"] = fake
        sys.modules["typing.Dict"] = marker = object()
        import tavelmoor.common_functions as cf
        print(cf.Dict is marker)
    """).stdout
    assert out.split() == ["True"]


def test_modules_found_in_sys_modules_are_used_as_they_are():
    out = run_python("""
        import sys, types
        fake = types.ModuleType("json")
        sys.modules["json"] = fake
        import tavelmoor.common_functions as cf
        print(cf.json is fake)
    """).stdout
    assert out.split() == ["True"]


def test_warning_raised_as_error_fails_the_import_cleanly():
    # The interpreter is the version the module was built for, so the version
    # warning is not issued and an "error" filter changes nothing.
    out = run_python("""
        import warnings
        warnings.simplefilter("error")
        import tavelmoor.common_functions as cf
        print(cf.__test__)
    """, env={"PYTHONWARNINGS": "error"}).stdout
    assert out.split() == ["{}"]


def test_import_under_another_name_registers_the_full_name():
    out = run_python("""
        import importlib.util, sys
        import tavelmoor
        origin = importlib.util.find_spec("tavelmoor.common_functions").origin
        from importlib.machinery import ExtensionFileLoader
        loader = ExtensionFileLoader("common_functions", origin)
        spec = importlib.util.spec_from_file_location("common_functions", origin, loader=loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        print(sys.modules["tavelmoor.common_functions"] is module, module.__name__)
    """).stdout
    assert out.split() == ["True", "common_functions"]
