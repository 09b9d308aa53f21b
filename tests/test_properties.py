"""Differential properties: each function against a plain-Python equivalent."""
import collections
import inspect
import json
import re
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tavelmoor.common_functions as cf

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
    assert cf.get_hashtags(text) == ",".join(re.findall(r"(?<=#)\w+", text))


MEDIA_TYPES = {
    1: ["", "TEXT", "TXT", "STATUS", "POSTBACK", "CONVERSATION"],
    2: ["PHOTO", "IMAGE", "ALBUM", "CAROUSEL", "IMAGE/JPEG", "IMAGE/PNG", "CAROUSEL_ALBUM", "STICKER"],
    3: ["VIDEO/MP4", "VIDEO_INLINE", "VIDEO - CHECKIN", "VIDEO-CHECKIN", "ADDED_VIDEO", "VIDEO"],
    4: ["ARTICLE", "URL", "LINK"],
    5: ["POLL", "VISUAL_POLL"],
    7: ["ANIMATEDGIF", "ANIMATED_IMAGE_SHARE", "ANIMATED_IMAGE_AUTOPLAY", "ANIMATED_GIF",
        "ANIMATED_IMAGE_VIDEO_AUTOPLAY", "ANIMATED_IMAGE_VIDEO", "IMAGE/GIF"],
    9: ["DOC", "DOCX", "APPLICATION/MSWORD"],
    8: ["PDF", "APPLICATION/PDF"],
    10: ["EXCEL", "XLSX"], 11: ["AUDIO", "VOICE"], 12: ["CONTACTS", "CONTACT"], 13: ["SYSTEM"],
    14: ["LOCATION", "LOCATIONS"], 15: ["HTML"], 16: ["CARD"], 17: ["QUICKREPLY"],
    18: ["BUTTONS", "BUTTON"], 19: ["FILE"], 20: ["TEMPLATE"], 21: ["REELS"],
}
TABLE = {name: code for code, names in MEDIA_TYPES.items() for name in names}
assert len(TABLE) == 54


def _recase(name, flips):
    return "".join(c.lower() if f else c for c, f in zip(name, flips + [False] * len(name)))


# Random text, table names in random case, and names with letters whose
# upper-casing lands on ASCII (ß, ı, ſ, ﬀ) or grows the string.
MEDIA_NAMES = st.one_of(
    st.text(max_size=12),
    st.builds(_recase, st.sampled_from(sorted(TABLE)), st.lists(st.booleans(), max_size=40)),
    st.builds(lambda a, b: a + b, st.sampled_from(sorted(TABLE) + ["ı", "ſ", "ﬀ", "ß"]),
              st.sampled_from(["", " ", "s", "ı", "ſ", "ﬁ", "ß", "\u0307", "é"])),
    st.sampled_from(["ſtatus", "poſtback", "lınk", "fıle", "ﬁle", "ſyſtem", "vıdeo", "TEXT\x00"]),
)


@differential
@given(MEDIA_NAMES)
def test_media_type(name):
    assert cf.get_media_type(name) == TABLE.get(name.upper(), 6)


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
    expected = (",".join(str(item["CategoryID"]) for item in items),
                ",".join(str(item["BrandID"]) for item in items))
    assert cf.extract_brand_ids_and_category_ids(items) == expected


FIELDS = ("permalink,id,caption,comments_count,like_count,media_type,media_url,owner{name,username,ig_id,"
          "id,followers_count,follows_count,media_count,biography,profile_picture_url,website},ig_id,"
          "username,shortcode,thumbnail_url,media_product_type,is_comment_enabled,timestamp,"
          "children{media_type,media_url,thumbnail_url}")


async def reference(post_id, instagram_api, access_token):
    response_data = await instagram_api.fetch_instagram_data(
        endpoint=post_id, access_token=access_token, fields=FIELDS)
    if response_data and isinstance(response_data, str):
        response_data = json.loads(response_data)
    return response_data


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
    assert _drive(cf.process_parent_post, steps, answer, actions) == _drive(reference, steps, answer, actions)
