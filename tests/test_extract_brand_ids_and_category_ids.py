import collections
import gc
import traceback
import types

import pytest
from hypothesis import given, strategies as st

import twin
from tavelmoor.common_functions import extract_brand_ids_and_category_ids as extract

FUNCTION = "tavelmoor.common_functions.extract_brand_ids_and_category_ids"
reference = twin.extract_brand_ids_and_category_ids

def rec(brand, category):
    return {"BrandID": brand, "CategoryID": category}


def module_entries(exc):
    tb = traceback.extract_tb(exc.__traceback__)
    return [(f.name, f.lineno) for f in tb if f.filename == "tavelmoor/common_functions.py"]


class Text:
    """A value whose __str__ returns `result` (or what calling it returns), or raises it."""

    def __init__(self, result):
        self.result = result

    def __str__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result() if callable(self.result) else self.result


class Item:
    """An item whose lookups return the key's first letter, log themselves, and run `action` once."""

    def __init__(self, log=None, action=None, key=None):
        self.log, self.action, self.key = log, action, key

    def __getitem__(self, key):
        if self.log is not None:
            self.log.append((self, key))
        if key == self.key and self.action:
            self.action, action = None, self.action
            action()
        return key[0]


class Other(str):
    def __str__(self):
        return "other"


@pytest.mark.parametrize("data, expected", [
    ([], ("", "")),
    ([rec(7, "c1")], ("c1", "7")),
    ([rec("b1", 10), rec("b2", 20)], ("10,20", "b1,b2")),
    ([rec("x", 1), rec(None, 2), rec("", 3)], ("1,2,3", "x,None,")),
    ([rec(5, "a,b")] * 3, ("a,b,a,b,a,b", "5,5,5")),
    ([rec(True, 0), rec(1.5, -(2**30)), rec([1, 2], 2**30)], ("0,-1073741824,1073741824", "True,1.5,[1, 2]")),
    ([rec(Other("s"), Text("t")), rec(" b ", -(2**64))], ("t,-18446744073709551616", "other, b ")),
])
def test_results(impl, data, expected):
    assert impl.extract_brand_ids_and_category_ids(data) == expected


values = st.one_of(st.integers(), st.text(), st.none(), st.booleans(), st.floats(),
                   st.sampled_from([2**30 - 1, 2**30, 1 - 2**30, -(2**30), 2**63]))


@given(st.lists(st.builds(rec, values, values)))
def test_matches_two_joined_generator_expressions(data):
    before = [dict(item) for item in data]
    assert extract(data) == reference(data)
    assert data == before


def test_every_brand_is_read_before_any_category(impl):
    log = []
    first, second = Item(log), Item(log)
    assert impl.extract_brand_ids_and_category_ids([first, second]) == ("C,C", "B,B")
    assert log == [(first, "BrandID"), (second, "BrandID"), (first, "CategoryID"), (second, "CategoryID")]


class CollidingKey:
    """A key that meets "BrandID" in a dict's probe and, once armed, runs `action` when compared."""

    action = None

    def __hash__(self):
        return hash("BrandID")

    def __eq__(self, other):
        if self.action:
            self.action()
        return False


def once(action, data):
    pending = [action]
    return lambda: pending and pending.pop()(data)


def item_changing(data, action):
    return Item(action=once(action, data), key="BrandID")


def dict_changing(data, action):
    key = CollidingKey()
    item = {key: 0, "BrandID": "v", "CategoryID": "w"}
    key.action = once(action, data)
    return item


def value_changing(data, action):
    act = once(action, data)
    return rec(Text(lambda: (act(), "s")[1]), 1)


@pytest.mark.parametrize("make", [item_changing, dict_changing, value_changing])
@pytest.mark.parametrize("action", [
    lambda data: data.append(rec("new", "n")), lambda data: data.clear(), lambda data: data.pop(),
    lambda data: data.insert(0, rec("front", "f")), lambda data: data.extend([rec(i, i) for i in range(50)]),
    # The list replaced under the walk.
    lambda data: (data.clear(), data.append(rec("x", "y"))),
])
def test_list_changed_during_a_pass_is_walked_to_its_current_end(make, action):
    def build():
        data = [rec(1, 1), None, rec(3, 3)]
        data[1] = make(data, action)
        return data

    ours, theirs = build(), build()
    assert extract(ours) == reference(theirs)
    assert len(ours) == len(theirs) != 3


def test_category_pass_sees_what_the_brand_pass_appended(impl):
    data = [rec(1, 1)]
    data.append(item_changing(data, lambda data: data.append(rec(3, 3))))
    assert impl.extract_brand_ids_and_category_ids(data) == ("1,C,3", "1,B,3")


def test_text_lists_stay_valid_for_code_that_finds_them():
    def look_at_young_lists():
        for obj in gc.get_objects(generation=0):
            if type(obj) is list:
                repr(obj)
        return "seen"

    data = [rec("x", 1), rec(Text(look_at_young_lists), 2), rec(1, 3)]
    assert extract(data) == ("1,2,3", "x,seen,1")


@pytest.mark.parametrize("item, expected", [
    (collections.defaultdict(lambda: "d", BrandID=1), ("d", "1")),
    (collections.Counter(CategoryID=2), ("2", "0")),
    (collections.OrderedDict(CategoryID=2, BrandID=1), ("2", "1")),
    (types.MappingProxyType(rec("b", "c")), ("c", "b")),
    (collections.ChainMap({"BrandID": 1}, {"CategoryID": 2}), ("2", "1")),
    (Item(), ("C", "B")),
])
def test_any_subscriptable_item_serves(impl, item, expected):
    assert impl.extract_brand_ids_and_category_ids([item]) == expected


def test_default_dictionary_gains_the_missing_key(impl):
    item = collections.defaultdict(int, BrandID=1)
    assert impl.extract_brand_ids_and_category_ids([item]) == ("0", "1")
    assert item == rec(1, 0)


@pytest.mark.parametrize("data, error, args, line", [
    ([{"BrandID": 1}, {"CategoryID": 2}], KeyError, ("BrandID",), 88),
    ([{"BrandID": 1}, rec(2, 3)], KeyError, ("CategoryID",), 89),
    ([{"brandId": 1, "CategoryID": 2}], KeyError, ("BrandID",), 88),
    ([collections.OrderedDict(BrandID=1)], KeyError, ("CategoryID",), 89),
    ([rec(1, 2), None], TypeError, ("'NoneType' object is not subscriptable",), 88),
    ([["BrandID"]], TypeError, ("list indices must be integers or slices, not str",), 88),
    (["BrandID"], TypeError, ("string indices must be integers, not 'str'",), 88),
    ([rec(Text(ValueError("bad")), 1)], ValueError, ("bad",), 88),
    ([rec(1, Text(3))], TypeError, ("__str__ returned non-string (type int)",), 89),
    ([rec(1, Text(LookupError("deep")))], LookupError, ("deep",), 89),
])
def test_failure_of_a_pass_is_reported_from_its_generator_expression(data, error, args, line):
    with pytest.raises(error) as info:
        extract(data)
    assert type(info.value) is error and info.value.args == args
    assert module_entries(info.value) == [(FUNCTION, line), ("genexpr", line)]


@pytest.mark.parametrize("data, line", [
    ([Item(action=lambda: next(iter(())), key="BrandID")], 88),
    ([Item(action=lambda: next(iter(())), key="CategoryID")], 89),
    ([rec(Text(StopIteration("s")), 1)], 88),
    ([rec(1, Text(type("Stop", (StopIteration,), {})()))], 89),
])
def test_stop_iteration_becomes_runtime_error(data, line):
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        extract(data)
    stop = info.value.__cause__
    assert isinstance(stop, StopIteration) and info.value.__context__ is stop
    assert module_entries(info.value) == [(FUNCTION, line), ("genexpr", line)]


@pytest.mark.parametrize("value, name", [
    (None, "NoneType"), ((rec(1, 2),), "tuple"), ({}, "dict"), ("", "str"), (iter([]), "list_iterator"),
])
def test_anything_but_an_exact_list_is_refused_without_note(impl, value, name):
    with pytest.raises(TypeError) as info:
        impl.extract_brand_ids_and_category_ids(value)
    assert str(info.value) == f"Argument 'data' has incorrect type (expected list, got {name})"
    assert not hasattr(info.value, "__notes__") and module_entries(info.value) == []


def test_list_subclass_is_refused_with_note(impl):
    with pytest.raises(TypeError) as info:
        impl.extract_brand_ids_and_category_ids(type("Records", (list,), {})([rec(1, 2)]))
    assert str(info.value) == "Argument 'data' has incorrect type (expected list, got Records)"
    assert len(info.value.__notes__) == 1 and "ubclass" in info.value.__notes__[0]
    assert module_entries(info.value) == []


def test_generator_is_refused_before_it_is_consumed(impl):
    def records():
        yield rec(1, 2)

    generator = records()
    with pytest.raises(TypeError, match="got generator"):
        impl.extract_brand_ids_and_category_ids(generator)
    assert next(generator) == rec(1, 2)


@pytest.mark.parametrize("args, kwargs", [((), {}), (([], []), {}), (([],), {"data": []}), ((), {"items": []})])
def test_binding_errors_carry_the_def_line(args, kwargs):
    with pytest.raises(TypeError) as info:
        extract(*args, **kwargs)
    assert module_entries(info.value) == [(FUNCTION, extract.__code__.co_firstlineno)]


def test_code_that_empties_the_texts_list_cannot_crash_the_pass():
    class Clearing(dict):
        def __getitem__(self, key):
            for obj in gc.get_objects():
                if type(obj) is list and obj and obj[0] == "MARK":
                    obj.clear()
            return "x"

    result = extract([{"BrandID": "MARK", "CategoryID": "c"}, Clearing()])
    assert isinstance(result, tuple) and len(result) == 2


def test_long_lists_of_mixed_values_join_as_str_join_does():
    # More items than the pass keeps without a heap buffer; small ints written
    # directly beside texts of every width.
    values = [0, -1, 2**30 - 1, -(2**30), 2**30, 2**64, True, 1.5, "", "é", "日本", "😀", Other("o"), None] * 3
    data = [rec(value, values[-1 - i]) for i, value in enumerate(values)]
    assert extract(data) == reference(data)
    # str() may give a str subclass; a join of one such text is still an exact str.
    subclassed = Text(Other("s"))
    assert [type(text) for text in extract([rec(subclassed, subclassed)])] == [str, str]
