"""Differential properties: each function against its plain-Python twin."""
import collections
import inspect
import json
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import fuzz_values
import tavelmoor.common_functions as cf
import twin

settings.register_profile("differential", max_examples=200, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
differential = settings.get_profile("differential")

# Letters of several scripts, digits of several systems, combining marks,
# connector punctuation, emoji and blanks, with '#' often.
TEXT_PIECES = st.one_of(
    st.just("#"), st.just("##"),
    st.characters(categories=["L", "M", "N", "Pc"]),
    st.sampled_from("aZé日本語한글ДжΩअ١٢३_\u0301\u0903😀👍🏽 \t\n\u00a0\u3000.,-#"),
)
TEXTS = st.lists(TEXT_PIECES, max_size=40).map("".join)


@differential
@given(TEXTS)
def test_hashtags(text):
    assert cf.get_hashtags(text) == twin.get_hashtags(text)


@differential
@given(st.sampled_from(sorted(fuzz_values.BUILDERS)), st.binary(max_size=300))
def test_any_built_arguments(name, data):
    """Values of every kind, hostile objects among them, as the fuzz targets build them."""
    fuzz_values.check(name, data)


def _brands_missing():
    try:
        cf.extract_brand_ids_and_category_ids([])
    except NotImplementedError:
        return True
    return False


class Tagged:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Text(str):
    def __str__(self):
        return "sub:" + self


class Lookup:
    """Subscription only, no mapping methods."""
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]


VALUES = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=6),
                   st.text(max_size=4).map(Tagged), st.text(max_size=4).map(Text),
                   st.tuples(st.integers()), st.decimals(allow_nan=False).map(str))
MAPPINGS = st.sampled_from([dict, collections.OrderedDict, types.MappingProxyType, Lookup,
                            lambda d: collections.defaultdict(int, d), collections.ChainMap])
ITEMS = st.builds(lambda make, brand, category: make({"BrandID": brand, "CategoryID": category}),
                  MAPPINGS, VALUES, VALUES)


@pytest.mark.skipif(_brands_missing(), reason="extract_brand_ids_and_category_ids not implemented yet")
@differential
@given(st.lists(ITEMS, max_size=8))
def test_identifier_lists(items):
    assert cf.extract_brand_ids_and_category_ids(items) == twin.extract_brand_ids_and_category_ids(items)


class Client:
    """Yields `steps` values, swallowing ValueError thrown in, then returns `answer`."""
    def __init__(self, steps, answer):
        self.steps, self.answer, self.calls = steps, answer, []

    def fetch_instagram_data(self, **keywords):
        self.calls.append(keywords)
        return self._await()

    @types.coroutine
    def _await(self):
        for step in range(self.steps):
            try:
                yield step
            except ValueError as exc:
                yield f"caught {exc}"
        return self.answer


THROWN = st.sampled_from([ValueError("v"), KeyError("k"), GeneratorExit(), StopIteration(3), RuntimeError("r")])
ACTIONS = st.lists(st.one_of(st.tuples(st.just("send"), st.sampled_from([None, 1])),
                             st.tuples(st.just("throw"), THROWN),
                             st.tuples(st.just("close"), st.none())), max_size=6)
ANSWERS = st.sampled_from(['{"a": 1}', "", "  ", "null", "[]", b"{}", 0, None, {"x": 2}])


def _drive(function, steps, answer, actions):
    client = Client(steps, answer)
    coro = function(7, client, "token")
    seen = []
    for action, argument in actions:
        try:
            if action == "send":
                outcome = ("yield", coro.send(argument))
            elif action == "throw":
                outcome = ("yield", coro.throw(type(argument)(*argument.args)))
            else:
                outcome = ("closed", coro.close())
        except StopIteration as stop:
            outcome = ("return", stop.value)
        except BaseException as exc:  # noqa: BLE001 - compared below
            outcome = ("raise", type(exc).__name__, str(exc) if not isinstance(exc, RuntimeError) else "")
        seen.append((outcome, inspect.getcoroutinestate(coro)))
    coro.close()
    return seen, client.calls


@differential
@given(st.integers(0, 3), ANSWERS, ACTIONS)
def test_coroutine(steps, answer, actions):
    assert _drive(cf.process_parent_post, steps, answer, actions) == _drive(twin.process_parent_post, steps, answer, actions)
