import builtins
import re
import sys
import traceback
import types
import warnings
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import given, strategies as st

import tavelmoor.common_functions as cf
import twin
from tavelmoor.common_functions import extracting_common_details as details

ROWS = {"category_id": "CategoryID", "category_name": "CategoryName", "brand_id": "BrandID", "brand_name": "BrandName",
        "setting_id": "AccountID", "author_social_id": "InstagramGraphApiID", "user_profile_pic": "ProfilePic",
        "author_user_name": "ScreenName", "m_author_name": "AuthorName"}
KEYS = list(ROWS.values())
TIME_FORMAT = "%Y-%m-%dT%H:%M:%S"


def entries(exc):
    return [(e.name.rpartition(".")[2], e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename == "tavelmoor/common_functions.py"]


class Recorder:
    """Clock and setting at once, logging every call; get raises `error` for the key `fail_on`."""

    def __init__(self, fail_on=None, error=None):
        self.events, self.fail_on, self.error = [], fail_on, error

    def utcnow(self):
        return self.events.append("utcnow") or self

    def strftime(self, fmt):
        return self.events.append(fmt) or "stamp"

    def get(self, *args):
        self.events.append(args[0])
        if args[0] == self.fail_on:
            raise self.error
        return args[0].lower()


@pytest.fixture
def clock(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(cf, "datetime", recorder)
    monkeypatch.setattr(twin, "datetime", recorder)
    return recorder


@given(st.dictionaries(st.sampled_from(KEYS + ["brandid", "BRANDID", "Other"]), st.none() | st.integers() | st.text()))
def test_record_keys_order_and_values(impl, setting):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(impl, "datetime", Recorder())
        record = impl.extracting_common_details(setting, "ig", 42)
    assert list(record.items()) == [("in_time", "stamp"), ("channel_group_id", 42), ("channel_type", "ig")] + [
        (record_key, setting.get(key)) for record_key, key in ROWS.items()]


def test_very_objects_stored_and_none_kept(impl, clock):
    channel, group, pic = ["ig"], {"id": 1}, object()
    before = sys.getrefcount(channel), sys.getrefcount(pic)
    record = impl.extracting_common_details({"ProfilePic": pic, "brandid": 1}, channel, group)
    assert record["channel_type"] is channel and record["channel_group_id"] is group and record["user_profile_pic"] is pic
    assert record["brand_id"] is None and impl.extracting_common_details({}, None, None)["channel_type"] is None
    del record
    assert (sys.getrefcount(channel), sys.getrefcount(pic)) == before


def test_keywords_in_any_order_and_subclass_get(impl, clock):
    class Defaulting(dict):
        def get(self, key):
            return dict.get(self, key, "?")
    record = impl.extracting_common_details(instagram_channel_group_id=1, setting_obj=Defaulting(BrandID=2), channel_type=3)
    assert (record["channel_group_id"], record["brand_id"], record["brand_name"]) == (1, 2, "?")


def test_fixed_clock_read_first_then_nine_lookups(impl, clock):
    assert impl.extracting_common_details(clock, 1, 2) == impl.extracting_common_details(clock, 1, 2)
    assert clock.events == (["utcnow", TIME_FORMAT] + KEYS) * 2


class Clash:
    """Equal in hash to a setting key; comparing with it raises inside the dict's own lookup."""

    def __init__(self, key, error):
        self.key, self.error = key, error

    def __hash__(self):
        return hash(self.key)

    def __eq__(self, other):
        raise self.error


@pytest.mark.parametrize("row", range(9))
@pytest.mark.parametrize("exact_dict", [False, True])
def test_failing_lookup_stops_at_its_row(clock, row, exact_dict):
    error = LookupError()
    setting = {Clash(KEYS[row], error): 0} if exact_dict else Recorder(KEYS[row], error)
    with pytest.raises(LookupError) as info:
        details(setting, 1, 2)
    assert info.value is error and entries(info.value) == [("extracting_common_details", 112 + row)]
    assert exact_dict or setting.events == KEYS[:row + 1]


@pytest.mark.parametrize("setting", [None, object()])
def test_setting_without_get_fails_at_112_after_the_clock(clock, setting):
    with pytest.raises(AttributeError) as info:
        details(setting, 1, 2)
    assert entries(info.value) == [("extracting_common_details", 112)] and clock.events == ["utcnow", TIME_FORMAT]


def fail(*args):
    raise OSError


@pytest.mark.parametrize("datetime_object, line", [
    (object(), 106), (type("C", (), {"utcnow": fail}), 106),
    (type("C", (), {"utcnow": object}), 107), (type("C", (), {"utcnow": lambda: type("T", (), {"strftime": fail})()}), 107),
])
def test_clock_failures(monkeypatch, datetime_object, line):
    monkeypatch.setattr(cf, "datetime", datetime_object)
    setting = Recorder()
    with pytest.raises(Exception) as info:
        details(setting, 1, 2)
    assert entries(info.value) == [("extracting_common_details", line)] and setting.events == []


def test_datetime_falls_back_to_builtins_then_name_error(monkeypatch):
    monkeypatch.delattr(cf, "datetime")
    monkeypatch.setattr(builtins, "datetime", Recorder(), raising=False)
    assert details({}, 1, 2)["in_time"] == "stamp"
    monkeypatch.delattr(builtins, "datetime")
    with pytest.raises(NameError, match=r"^name 'datetime' is not defined$") as info:
        details({}, 1, 2)
    assert entries(info.value) == [("extracting_common_details", 106)]


@pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")
def test_in_time_is_the_current_utc_time(impl):
    before = datetime.now(timezone.utc).replace(tzinfo=None, microsecond=0)
    in_time = impl.extracting_common_details({}, 1, 2)["in_time"]
    after = datetime.now(timezone.utc).replace(tzinfo=None) + timedelta(seconds=1)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d", in_time)
    assert before <= datetime.strptime(in_time, TIME_FORMAT) <= after


def test_deprecation_warning_as_error_raises_at_106():
    with warnings.catch_warnings(), pytest.raises(DeprecationWarning, match="utcnow") as info:
        warnings.simplefilter("error", DeprecationWarning)
        details(Recorder(), 1, 2)
    assert entries(info.value) == [("extracting_common_details", 106)]



def clock_at(moment):
    return types.SimpleNamespace(utcnow=lambda: moment)


EDGE_YEARS = st.sampled_from([1, 9, 10, 99, 100, 999, 1000, 1001, 1999, 2000, 9998, 9999])
MOMENTS = st.datetimes(timezones=st.sampled_from([None, timezone.utc, timezone(timedelta(hours=-7))])) | st.builds(
    datetime, EDGE_YEARS, st.integers(1, 12), st.integers(1, 28), st.integers(0, 23), st.integers(0, 59),
    st.integers(0, 59), st.integers(0, 999999))


@given(MOMENTS)
def test_in_time_is_the_text_that_strftime_gives(moment):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(cf, "datetime", clock_at(moment))
        assert details({}, 1, 2)["in_time"] == moment.strftime(TIME_FORMAT)


class OwnText(datetime):
    def strftime(self, fmt):
        return "own " + fmt


class Subclock(datetime):
    @classmethod
    def utcnow(cls):
        return OwnText(2001, 2, 3)


@pytest.mark.parametrize("clock_object, text", [
    (clock_at(OwnText(2024, 3, 5)), "own " + TIME_FORMAT), (Subclock, "own " + TIME_FORMAT),
    (clock_at(types.SimpleNamespace(year=10000, strftime="10000 {}".format)), "10000 " + TIME_FORMAT),
])
def test_subclasses_and_stand_ins_keep_their_own_utcnow_and_strftime(monkeypatch, clock_object, text):
    monkeypatch.setattr(cf, "datetime", clock_object)
    assert details({}, 1, 2)["in_time"] == text
