import traceback
import types

import pytest

import tavelmoor.common_functions as cf

RESULTS = [
    (None, ""), (False, ""), (0, ""), ("", ""), (b"", ""), ([], ""),
    (" ", ""), ("no tags here", ""), ("#a #b", "a,b"), ("#Tag #tag #Tag", "Tag,tag,Tag"),
    ("##tag", "tag"), ("#tag#other", "tag,other"), ("mail#box", "box"), ("#tag-name", "tag"),
    ("#a_b.c", "a_b"), ("x #ab12_Z!", "ab12_Z"), ("#2024", "2024"), ("#_", "_"), ("# tag", ""),
    ("#café", "café"), ("#日本", "日本"), ("#١٢٣", "١٢٣"), ("#cafe\u0301x", "cafe"), ("#🔥fire", ""),
    ("＃tag", ""), ("&#39;", "39"), ("#a\n#b\t#c", "a,b,c"),
]


class Text(str):
    pass


@pytest.mark.parametrize("text, expected", RESULTS)
def test_results(impl, text, expected):
    result = impl.get_hashtags(text)
    assert type(result) is str and result == expected


def test_str_subclass_and_keyword(impl):
    assert impl.get_hashtags(text=Text("#sub #class")) == "sub,class"


def _entry(exc):
    last = traceback.extract_tb(exc.__traceback__)
    ours = [e for e in last if e.filename == "tavelmoor/common_functions.py"]
    return ours[-1].name, ours[-1].lineno


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("truth")


class FakeRe:
    def findall(self, pattern, text):
        return [1, 2]


@pytest.mark.parametrize("text", [b"#x", 5, ["#x"], {"#x": 1}])
def test_true_non_text_is_refused_by_findall(text):
    with pytest.raises(TypeError) as info:
        cf.get_hashtags(text)
    assert _entry(info.value) == ("tavelmoor.common_functions.get_hashtags", 15)


def test_truth_failure_at_line_8():
    with pytest.raises(ZeroDivisionError) as info:
        cf.get_hashtags(BadTruth())
    assert _entry(info.value) == ("tavelmoor.common_functions.get_hashtags", 8)


@pytest.fixture
def rebound_re():
    saved = cf.re
    yield
    cf.re = saved


def test_missing_re_is_a_name_error_at_line_15(rebound_re):
    del cf.re
    assert cf.get_hashtags("") == ""  # a false text never looks re up
    with pytest.raises(NameError, match=r"^name 're' is not defined$") as info:
        cf.get_hashtags("#x")
    assert _entry(info.value) == ("tavelmoor.common_functions.get_hashtags", 15)


def test_builtins_are_the_fallback(rebound_re):
    import builtins
    del cf.re
    builtins.re = FakeRe()
    try:
        with pytest.raises(TypeError, match="sequence item 0: expected str instance, int found") as info:
            cf.get_hashtags("#x")
        assert _entry(info.value) == ("tavelmoor.common_functions.get_hashtags", 18)
    finally:
        del builtins.re


def test_findall_is_called_with_the_pattern_and_the_text(impl, monkeypatch):
    calls = []

    class Recorder:
        def findall(self, *args, **kwargs):
            calls.append((args, kwargs))
            return ["x", "y"]

    monkeypatch.setattr(impl, "re", Recorder())
    text = Text("anything")
    assert impl.get_hashtags(text) == "x,y"
    (args, kwargs), = calls
    assert args == ("(?<=#)\\w+", text) and args[1] is text and kwargs == {}


def test_object_without_findall(rebound_re):
    cf.re = object()
    with pytest.raises(AttributeError) as info:
        cf.get_hashtags("#x")
    assert _entry(info.value) == ("tavelmoor.common_functions.get_hashtags", 15)


def _module(**attributes):
    module = types.ModuleType("stand_in")
    vars(module).update(attributes)
    return module


@pytest.mark.parametrize("stand_in, result", [
    (_module(findall=lambda pattern, text: ["dict"]), "dict"),
    (_module(__getattr__=lambda name: lambda pattern, text: [name]), "findall"),
    (type("Sub", (types.ModuleType,), {"findall": staticmethod(lambda p, t: ["class"])})("sub"), "class"),
])
def test_findall_read_from_a_module_as_getattr_reads_it(rebound_re, stand_in, result):
    cf.re = stand_in
    assert cf.get_hashtags("#x") == result
    cf.re = _module()
    with pytest.raises(AttributeError, match="^module 'stand_in' has no attribute 'findall'$"):
        cf.get_hashtags("#x")


def test_changes_inside_the_module_reach_the_next_call(rebound_re):
    """What one call read is never used again once the module or the globals changed."""
    stand_in = _module(findall=lambda pattern, text: ["first"])
    cf.re = stand_in
    assert cf.get_hashtags("#x") == "first"
    stand_in.findall = lambda pattern, text: ["second"]
    assert cf.get_hashtags("#x") == "second"
    del stand_in.findall
    with pytest.raises(AttributeError, match="^module 'stand_in' has no attribute 'findall'$"):
        cf.get_hashtags("#x")
    vars(stand_in).update(findall=lambda pattern, text: ["third"])
    assert cf.get_hashtags("#x") == "third"
    vars(cf).update(re=_module(findall=lambda pattern, text: ["fourth"]))
    assert cf.get_hashtags("#x") == "fourth"
