import traceback

import _testcapi
import pytest

import tavelmoor.common_functions as cf

FILE = "tavelmoor/common_functions.py"

BINDING_ERRORS = [
    (cf.get_hashtags, (), {}, "get_hashtags() takes exactly 1 positional argument (0 given)"),
    (cf.get_hashtags, ("a", "b"), {}, "get_hashtags() takes exactly 1 positional argument (2 given)"),
    (cf.get_hashtags, ("a", "b"), {"text": 1}, "get_hashtags() takes exactly 1 positional argument (2 given)"),
    (cf.get_hashtags, ("a",), {"text": "b"}, "get_hashtags() got multiple values for keyword argument 'text'"),
    (cf.get_hashtags, (), {"data": 1}, "get_hashtags() got an unexpected keyword argument 'data'"),
    (cf.get_media_type, (), {"Media_Type": "x"}, "get_media_type() got an unexpected keyword argument 'Media_Type'"),
    (cf.extracting_common_details, (1, 2), {},
     "extracting_common_details() takes exactly 3 positional arguments (2 given)"),
    (cf.extracting_common_details, (1,), {"instagram_channel_group_id": 3},
     "extracting_common_details() takes exactly 3 positional arguments (1 given)"),
    (cf.extracting_common_details, (), {"channel_type": 2, "instagram_channel_group_id": 3},
     "extracting_common_details() takes exactly 3 positional arguments (0 given)"),
    (cf.process_parent_post, (1,), {"access_token": "t"},
     "process_parent_post() takes exactly 3 positional arguments (1 given)"),
    (cf.process_parent_post, (1, 2, 3, 4), {}, "process_parent_post() takes exactly 3 positional arguments (4 given)"),
    (cf.get_media_type, tuple(range(1234)), {}, "get_media_type() takes exactly 1 positional argument (1234 given)"),
    (cf.process_parent_post, (1, 2), {"post_id": 1, "access_token": 3},
     "process_parent_post() got multiple values for keyword argument 'post_id'"),
    # Keywords are checked in the order passed: the unexpected one comes first here.
    (cf.process_parent_post, (1, 2), {"nope": 0, "post_id": 1},
     "process_parent_post() got an unexpected keyword argument 'nope'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors_and_their_traceback_entry(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == message
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    name = function.__name__
    assert (last.filename, last.name, last.lineno) == (FILE, f"tavelmoor.common_functions.{name}",
                                                       function.__code__.co_firstlineno)


def test_the_traceback_frame_has_the_module_globals_and_no_locals():
    with pytest.raises(TypeError) as info:
        cf.get_hashtags()
    tb = info.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is vars(cf)
    assert tb.tb_frame.f_locals == {}


class Name(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize("kwargs", [
    {"text": "#a"},
    {"".join(["te", "xt"]): "#a"},  # not the interned object: matched by value
])
def test_keywords_bind_by_identity_or_value(kwargs):
    assert cf.get_hashtags(**kwargs) == "a"


def test_keyword_of_a_str_subclass_matches_by_string_value():
    # A str subclass whose __eq__ lies is still matched on its characters.
    assert _testcapi.pyobject_vectorcall(cf.get_hashtags, ("#a",), (Name("text"),)) == "a"


def test_all_parameters_by_keyword_in_any_order():
    calls = []

    class Setting:
        def get(self, key):
            calls.append(key)

    cf_dt = cf.datetime
    try:
        class Clock:
            @staticmethod
            def utcnow():
                return type("T", (), {"strftime": lambda self, fmt: "2024-01-02T03:04:05"})()

        cf.datetime = Clock
        record = cf.extracting_common_details(instagram_channel_group_id=3, setting_obj=Setting(), channel_type=2)
    finally:
        cf.datetime = cf_dt
    assert (record["channel_group_id"], record["channel_type"], len(calls)) == (3, 2, 9)


@pytest.mark.parametrize("kwnames, message", [
    ((1,), "get_hashtags() keywords must be strings"),
    ((b"text",), "get_hashtags() keywords must be strings"),
])
def test_non_string_keywords_on_the_vectorcall_path(kwnames, message):
    with pytest.raises(TypeError) as info:
        _testcapi.pyobject_vectorcall(cf.get_hashtags, (None,), kwnames)
    assert str(info.value) == message


def test_non_string_keywords_on_the_generic_path():
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        cf.get_hashtags(**{1: "x"})
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        _testcapi.pyvectorcall_call(cf.get_hashtags, (), {1: "x"})


def test_generic_call_path_binds_like_vectorcall():
    assert _testcapi.pyvectorcall_call(cf.get_hashtags, ("#a #b",)) == "a,b"
    assert _testcapi.pyvectorcall_call(cf.get_hashtags, (), {"text": "#c"}) == "c"


def test_duplicate_keyword_names_in_a_vectorcall():
    with pytest.raises(TypeError, match="multiple values for keyword argument 'text'"):
        _testcapi.pyobject_vectorcall(cf.get_hashtags, ("#a", "#b"), ("text", "text"))



FAILING_CALLS = [
    (lambda: cf.get_hashtags(), [("tavelmoor.common_functions.get_hashtags", 7)]),
    (lambda: cf.get_hashtags(b"#x"), [("tavelmoor.common_functions.get_hashtags", 15)]),
    (lambda: cf.extract_brand_ids_and_category_ids([{}]),
     [("tavelmoor.common_functions.extract_brand_ids_and_category_ids", 88), ("genexpr", 88)]),
]


def test_each_place_has_one_code_object_and_each_failure_its_own_frame():
    def module_frames(call):
        with pytest.raises(Exception) as info:
            call()
        tb, frames = info.value.__traceback__, []
        while tb:
            frames += [tb.tb_frame] if tb.tb_frame.f_code.co_filename == FILE else []
            tb = tb.tb_next
        return frames

    seen = {}
    for call, places in FAILING_CALLS:
        for first, again, (name, line) in zip(module_frames(call), module_frames(call), places, strict=True):
            assert first is not again and first.f_code is again.f_code
            assert (first.f_code.co_name, first.f_lineno, again.f_lineno) == (name, line, line)
            seen[name, line] = first.f_code
    assert len({id(code) for code in seen.values()}) == len(seen) == 4


ENTRY_UNDER_NOMEMORY = """if True:
    import sys, traceback, _testcapi
    import tavelmoor.common_functions as cf
    class Setting:
        def get(self, key):
            raise LookupError(key)
    cf.datetime = type("Clock", (), {"utcnow": lambda: cf.datetime, "strftime": lambda fmt: "t"})
    def call():
        try:
            cf.extracting_common_details(Setting(), 1, 2)
        except BaseException as exc:
            return exc
    def entries(exc):
        return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__) if e.filename == %r]
    try:
        _testcapi.set_nomemory(int(sys.argv[1]) - 1, int(sys.argv[1]))
        first = call()
    finally:
        _testcapi.remove_mem_hooks()
    # CPython 3.13.0 can lose the error of a Python function call that runs out of memory.
    kind = "host fault" if str(first).startswith("<function Setting.get") else type(first).__name__
    print(kind, entries(first), entries(call()), sep="|")
""" % FILE


def test_an_entry_that_cannot_be_made_leaves_the_error_as_it_was():
    """The first failure at a place makes its code object; if memory runs out
    then, the error passes on without the entry, and the next failure has it."""
    from support import run_python
    entry = str([("tavelmoor.common_functions.extracting_common_details", 112)])
    outcomes = set()
    for index in range(1, 25):
        kind, first, second = run_python(ENTRY_UNDER_NOMEMORY, str(index)).stdout.strip().split("|")
        assert kind in ("LookupError", "MemoryError", "host fault") and second == entry
        outcomes.add((kind, first))
    assert {("LookupError", "[]"), ("LookupError", entry)} <= outcomes
