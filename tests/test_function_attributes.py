import asyncio
import asyncio.coroutines
import copy
import gc
import inspect
import pickle
import sys
import typing
import warnings
import weakref

import pytest

import tavelmoor.common_functions as cf
import twin

# The twin stands on the source lines that the code objects name: the def lines are read from it.
FUNCTIONS = {
    "get_hashtags": (("text", "regex", "matches", "hashtags"), 1, 0x3, {}),
    "get_media_type": (("media_type", "media_type_mapping"), 1, 0x3,
                       {"media_type": "str", "return": "int"}),
    "extract_brand_ids_and_category_ids": (
        ("data", "brand_ids", "category_ids", "genexpr", "genexpr", "genexpr"), 1, 0x3,
        {"data": "List[Dict]", "return": "Tuple[str, str]"}),
    "process_parent_post": (("post_id", "instagram_api", "access_token", "response_data"), 3, 0x83, {}),
    "extracting_common_details": (
        ("setting_obj", "channel_type", "instagram_channel_group_id", "current_time", "formatted_time"),
        3, 0x3, {}),
}
SIGNATURES = {
    "get_hashtags": "(text)",
    "get_media_type": "(media_type: 'str') -> 'int'",
    "extract_brand_ids_and_category_ids": "(data: 'List[Dict]') -> 'Tuple[str, str]'",
    "process_parent_post": "(post_id, instagram_api, access_token)",
    "extracting_common_details": "(setting_obj, channel_type, instagram_channel_group_id)",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_attributes(name):
    function = getattr(cf, name)
    varnames, argcount, flags, annotations = FUNCTIONS[name]
    line = getattr(twin, name).__code__.co_firstlineno
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "tavelmoor.common_functions"
    assert function.__doc__ is function.__closure__ is function.__defaults__ is function.__kwdefaults__ is None
    assert function.__globals__ is vars(cf)
    assert function.__annotations__ == annotations
    assert list(function.__annotations__) == list(annotations)
    assert function.__annotations__ is function.__annotations__
    assert function.__dict__ == {}
    assert function.__type_params__ == ()
    code = function.__code__
    assert (code.co_name, code.co_qualname, code.co_firstlineno) == (name, name, line)
    assert code.co_filename == "tavelmoor/common_functions.py"
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert code.co_varnames == varnames
    assert code.co_flags == flags
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert repr(function).startswith(f"<function {name} at 0x")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_coroutine_mark(name):
    function = getattr(cf, name)
    is_coroutine = name == "process_parent_post"
    assert inspect.iscoroutinefunction(function) is is_coroutine
    with warnings.catch_warnings():
        # Deprecated from 3.14 on, in favour of inspect's; it still reads the marker.
        warnings.filterwarnings("ignore", "'asyncio.iscoroutinefunction' is deprecated", DeprecationWarning)
        assert asyncio.iscoroutinefunction(function) is is_coroutine
    marker = asyncio.coroutines._is_coroutine if is_coroutine else False
    assert function._is_coroutine is marker
    assert function._is_coroutine is marker  # cached


def test_coroutine_mark_falls_back_to_true():
    from support import run_python
    out = run_python("""
        import sys
        sys.modules['asyncio.coroutines'] = None  # the import fails
        import tavelmoor.common_functions as cf
        print(cf.process_parent_post._is_coroutine, cf.get_hashtags._is_coroutine)
    """).stdout.split()
    assert out == ["True", "False"]


def test_type_hints_resolve_against_the_module_globals():
    assert typing.get_type_hints(cf.extract_brand_ids_and_category_ids) == {
        "data": typing.List[typing.Dict], "return": typing.Tuple[str, str]}
    assert typing.get_type_hints(cf.get_media_type) == {"media_type": str, "return": int}


def test_annotations_are_read_without_an_annotate_function():
    # 3.14 functions evaluate their annotations through __annotate__; these have theirs as text.
    assert not hasattr(cf.get_media_type, "__annotate__")
    if sys.version_info >= (3, 14):
        import annotationlib
        for format in annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING:
            assert annotationlib.get_annotations(cf.get_media_type, format=format) == {"media_type": "str",
                                                                                       "return": "int"}


REASSIGNMENTS = [
    ("__name__", "renamed", 5, TypeError, "__name__ must be set to a string object"),
    ("__qualname__", "A.renamed", None, TypeError, "__qualname__ must be set to a string object"),
    ("__annotations__", {"x": "int"}, [], TypeError, "__annotations__ must be set to a dict object"),
    ("__dict__", {"k": 1}, 5, TypeError, "__dict__ must be set to a dictionary, not a 'int'"),
    ("__type_params__", (), [], TypeError, "__type_params__ must be set to a tuple"),
    ("__code__", cf.get_media_type.__code__, 1, TypeError, "__code__ must be set to a code object"),
]


@pytest.fixture
def fresh():
    """A function whose attributes the test may change, restored afterwards."""
    function = cf.get_hashtags
    saved = {a: getattr(function, a) for a in
             ("__name__", "__qualname__", "__doc__", "__module__", "__annotations__", "__dict__", "__code__")}
    yield function
    for attribute, value in saved.items():
        setattr(function, attribute, value)
    function.__dict__.clear()


@pytest.mark.parametrize("attribute, good, bad, error, message", REASSIGNMENTS)
def test_reassignment_rules(fresh, attribute, good, bad, error, message):
    setattr(fresh, attribute, good)
    assert getattr(fresh, attribute) == good
    with pytest.raises(error) as info:
        setattr(fresh, attribute, bad)
    assert str(info.value) == message


def test_deletion_rules(fresh):
    del fresh.__doc__
    del fresh.__module__
    assert fresh.__doc__ is None and fresh.__module__ is None
    fresh.__doc__ = "doc"
    assert fresh.__doc__ == "doc"
    del fresh.__annotations__
    assert fresh.__annotations__ == {}
    for attribute in ("__name__", "__qualname__", "__code__"):
        with pytest.raises(TypeError):
            delattr(fresh, attribute)
    with pytest.raises(TypeError, match="cannot delete __dict__"):
        del fresh.__dict__
    for attribute in ("__globals__", "__closure__", "__defaults__", "__kwdefaults__"):
        with pytest.raises(AttributeError):
            setattr(fresh, attribute, None)


def test_renaming_keeps_binding_messages(fresh):
    fresh.__name__ = "other"
    with pytest.raises(TypeError, match=r"^get_hashtags\(\) takes"):
        fresh()


def test_function_dict_holds_arbitrary_attributes(fresh):
    fresh.marker = 1
    assert fresh.__dict__ == {"marker": 1}


def test_binds_as_a_method():
    class Holder:
        get_hashtags = cf.get_hashtags
        __bool__ = lambda self: True
        __str__ = lambda self: "#self"

        def findall(self, pattern, text):
            return [pattern, text]

    holder = Holder()
    # The instance is the text: it is true, and re.findall refuses it.
    with pytest.raises(TypeError):
        holder.get_hashtags()
    assert Holder.get_hashtags("#a") == "a"
    assert Holder.__dict__["get_hashtags"].__get__(None, Holder) is cf.get_hashtags
    bound = cf.get_hashtags.__get__(holder)
    assert bound.__self__ is holder and bound.__func__ is cf.get_hashtags


@pytest.mark.parametrize("name", FUNCTIONS)
def test_pickles_and_copies_by_reference(name):
    function = getattr(cf, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    assert function.__reduce__() == name


def test_weak_references_and_gc():
    ref = weakref.ref(cf.get_hashtags)
    assert ref() is cf.get_hashtags
    assert vars(cf) in gc.get_referents(cf.get_hashtags)
    cf.get_hashtags.cycle = cf.get_hashtags
    try:
        assert cf.get_hashtags in gc.get_referents(cf.get_hashtags.__dict__)
    finally:
        del cf.get_hashtags.cycle


def test_the_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(cf.get_hashtags)()
