import builtins
import itertools
import re
import sys
import traceback
import warnings
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import given, strategies as st

import tavelmoor.common_functions as cf
from tavelmoor.common_functions import extracting_common_details

ROWS = [("category_id", "CategoryID"), ("category_name", "CategoryName"), ("brand_id", "BrandID"),
        ("brand_name", "BrandName"), ("setting_id", "AccountID"), ("author_social_id", "InstagramGraphApiID"),
        ("user_profile_pic", "ProfilePic"), ("author_user_name", "ScreenName"), ("m_author_name", "AuthorName")]
SETTING_KEYS = [key for _, key in ROWS]
FIXED = datetime(2024, 3, 5, 7, 8, 9, 123456)
ignore_utcnow = pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")


def module_entries(exc):
    return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename == "tavelmoor/common_functions.py"]


def expected(setting, channel_type, group_id, in_time="2024-03-05T07:08:09"):
    return {"in_time": in_time, "channel_group_id": group_id, "channel_type": channel_type,
            **{record_key: setting.get(key) for record_key, key in ROWS}}


class Recorder:
    """A clock and a setting that log every call into one list."""

    def __init__(self, fail_on=None, error=None):
        self.events, self.fail_on, self.error = [], fail_on, error

    def utcnow(self):
        self.events.append("utcnow")
        return self

    def strftime(self, fmt):
        self.events.append(("strftime", fmt))
        return "stamp"

    def get(self, *args, **kwargs):
        self.events.append(("get", args, kwargs))
        if args[0] == self.fail_on:
            raise self.error
        return args[0].lower()


@pytest.fixture
def clock(monkeypatch):
    class FixedClock:
        @staticmethod
        def utcnow():
            return FIXED
    monkeypatch.setattr(cf, "datetime", FixedClock)


@given(st.dictionaries(st.sampled_from(SETTING_KEYS + ["brandid", "BRANDID", "Other"]),
                       st.none() | st.integers() | st.text()))
def test_record_has_the_twelve_keys_in_order(setting):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(cf, "datetime", type("C", (), {"utcnow": staticmethod(lambda: FIXED)}))
        record = extracting_common_details(setting, "instagram", 42)
    assert list(record.items()) == list(expected(setting, "instagram", 42).items())


@pytest.mark.parametrize("setting, record_key, value", [
    ({}, "setting_id", None), ({"BrandID": 1}, "setting_id", None), ({"AccountID": 7}, "setting_id", 7),
    ({"brandid": 1, "BRANDID": 2, "Brandid": 3}, "brand_id", None), ({"ScreenName": ""}, "author_user_name", ""),
])
def test_missing_and_case_different_keys(clock, setting, record_key, value):
    assert extracting_common_details(setting, None, None)[record_key] == value


def test_channel_values_and_setting_values_are_the_very_objects(clock):
    channel, group, pic = ["ig"], {"id": 1}, object()
    record = extracting_common_details({"ProfilePic": pic}, channel, group)
    assert record["channel_type"] is channel and record["channel_group_id"] is group
    assert record["user_profile_pic"] is pic
    assert extracting_common_details({}, channel, group) is not record


def test_no_reference_is_kept_or_lost(clock):
    channel, value = object(), object()
    before = sys.getrefcount(channel), sys.getrefcount(value)
    for _ in range(100):
        extracting_common_details({"BrandID": value}, channel, channel)
    assert (sys.getrefcount(channel), sys.getrefcount(value)) == before


@pytest.mark.parametrize("order", list(itertools.permutations(
    [("setting_obj", {"BrandID": 5}), ("channel_type", "t"), ("instagram_channel_group_id", 9)])))
def test_arguments_by_keyword_in_any_order(clock, order):
    assert extracting_common_details(**dict(order)) == expected({"BrandID": 5}, "t", 9)


def test_clock_first_then_nine_lookups_in_order(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(cf, "datetime", recorder)
    record = extracting_common_details(recorder, 1, 2)
    assert recorder.events == ["utcnow", ("strftime", "%Y-%m-%dT%H:%M:%S")] + [
        ("get", (key,), {}) for key in SETTING_KEYS]
    assert record["in_time"] == "stamp" and record["m_author_name"] == "authorname"


@pytest.mark.parametrize("row", range(9))
@pytest.mark.parametrize("exact_dict", [False, True])
def test_failing_lookup_stops_at_its_row(monkeypatch, row, exact_dict):
    error = LookupError("boom")
    recorder = Recorder(fail_on=SETTING_KEYS[row], error=error)
    monkeypatch.setattr(cf, "datetime", recorder)
    if exact_dict:
        # A key equal to the failing one whose comparison raises: the dict's own lookup fails.
        class Clash:
            def __hash__(self):
                return hash(SETTING_KEYS[row])

            def __eq__(self, other):
                raise error
        setting = {Clash(): 0}
    else:
        setting = recorder
    with pytest.raises(LookupError) as info:
        extracting_common_details(setting, 1, 2)
    assert info.value is error
    assert module_entries(info.value) == [("tavelmoor.common_functions.extracting_common_details", 112 + row)]
    if not exact_dict:
        assert [event[1][0] for event in recorder.events[2:]] == SETTING_KEYS[:row + 1]


def test_setting_without_get_fails_at_the_first_lookup_after_the_clock(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(cf, "datetime", recorder)
    for setting in (None, object()):
        with pytest.raises(AttributeError) as info:
            extracting_common_details(setting, 1, 2)
        assert module_entries(info.value) == [("tavelmoor.common_functions.extracting_common_details", 112)]
    assert recorder.events == ["utcnow", ("strftime", "%Y-%m-%dT%H:%M:%S")] * 2


def test_dict_subclass_get_is_used(clock):
    class Defaulting(dict):
        def get(self, key):
            return dict.get(self, key, "?")
    assert extracting_common_details(Defaulting(BrandID=1), 0, 0)["brand_name"] == "?"


class Raises:
    def __init__(self, error):
        self.error = error

    def __call__(self, *args):
        raise self.error


@pytest.mark.parametrize("clock_object, line", [
    (type("NoUtcnow", (), {}), 106),
    (type("Failing", (), {"utcnow": staticmethod(Raises(OSError("clock")))}), 106),
    (type("NoStrftime", (), {"utcnow": staticmethod(object)}), 107),
    (type("Failing", (), {"utcnow": staticmethod(lambda: type("T", (), {"strftime": Raises(ValueError())})())}), 107),
])
def test_clock_failures_carry_their_line(monkeypatch, clock_object, line):
    monkeypatch.setattr(cf, "datetime", clock_object)
    setting = Recorder()
    with pytest.raises(Exception) as info:
        extracting_common_details(setting, 1, 2)
    assert module_entries(info.value) == [("tavelmoor.common_functions.extracting_common_details", line)]
    assert setting.events == []


def test_datetime_resolves_through_builtins_then_raises_name_error(monkeypatch):
    monkeypatch.delattr(cf, "datetime")
    monkeypatch.setattr(builtins, "datetime", Recorder(), raising=False)
    assert extracting_common_details({}, 1, 2)["in_time"] == "stamp"
    monkeypatch.delattr(builtins, "datetime")
    with pytest.raises(NameError, match=r"^name 'datetime' is not defined$") as info:
        extracting_common_details({}, 1, 2)
    assert module_entries(info.value) == [("tavelmoor.common_functions.extracting_common_details", 106)]


@ignore_utcnow
def test_in_time_is_the_current_utc_time():
    before = datetime.now(timezone.utc).replace(tzinfo=None, microsecond=0)
    in_time = extracting_common_details({}, 1, 2)["in_time"]
    after = datetime.now(timezone.utc).replace(tzinfo=None)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d", in_time)
    assert before <= datetime.strptime(in_time, "%Y-%m-%dT%H:%M:%S") <= after + timedelta(seconds=1)


def test_deprecation_warning_as_error_raises_at_line_106():
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="utcnow") as info:
            extracting_common_details(Recorder(), 1, 2)
    assert module_entries(info.value) == [("tavelmoor.common_functions.extracting_common_details", 106)]


def test_binding_error_carries_the_def_line():
    with pytest.raises(TypeError, match=r"^extracting_common_details\(\) takes exactly 3 positional arguments "
                                        r"\(2 given\)$") as info:
        extracting_common_details({}, 1)
    assert module_entries(info.value) == [("tavelmoor.common_functions.extracting_common_details", 105)]
