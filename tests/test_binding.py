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
