"""The native module and its twin report the same failure, worded alike, from the same line and function."""
import pytest

import tavelmoor.common_functions as native
import twin
from outcomes import entries as module_entries, message


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError


class Client:
    def __init__(self, answer):
        self.answer = answer

    async def fetch_instagram_data(self, **kwargs):
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


class Setting:
    def get(self, key):
        if key == "ScreenName":
            raise LookupError(key)


def fetched(module, answer):
    return module.process_parent_post(1, Client(answer), "t").send(None)


CASES = {
    "truth of text": lambda m: m.get_hashtags(BadTruth()),
    "findall": lambda m: m.get_hashtags(b"#x"),
    "brand pass": lambda m: m.extract_brand_ids_and_category_ids([{"BrandID": 1}, None]),
    "category pass": lambda m: m.extract_brand_ids_and_category_ids([{"BrandID": 1}]),
    "fetch": lambda m: m.process_parent_post(1, None, "t").send(None),
    "client": lambda m: fetched(m, KeyError("gone")),
    "await": lambda m: m.process_parent_post(1, type("Api", (), {"fetch_instagram_data": dict})(), "t").send(None),
    "truth of post": lambda m: fetched(m, BadTruth()),
    "decode": lambda m: fetched(m, "  "),
    "first get": lambda m: m.extracting_common_details(None, 1, 2),
    "eighth get": lambda m: m.extracting_common_details(Setting(), 1, 2),
}


def entries(module, case):
    with pytest.raises(Exception) as info:
        case(module)
    return type(info.value), message(info.value), module_entries(info.value)


@pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")
@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_same_failure_on_the_same_line(case):
    ours = entries(native, case)
    assert ours == entries(twin, case) and ours[2]
