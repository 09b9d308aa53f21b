import subprocess
import sys
import textwrap
import traceback

import pytest
from hypothesis import given, strategies as st

from tavelmoor.common_functions import get_media_type

NAMES_BY_CODE = {
    1: ["", "TEXT", "TXT", "STATUS", "POSTBACK", "CONVERSATION"],
    2: ["PHOTO", "IMAGE", "ALBUM", "CAROUSEL", "IMAGE/JPEG", "IMAGE/PNG", "CAROUSEL_ALBUM", "STICKER"],
    3: ["VIDEO/MP4", "VIDEO_INLINE", "VIDEO - CHECKIN", "VIDEO-CHECKIN", "ADDED_VIDEO", "VIDEO"],
    4: ["ARTICLE", "URL", "LINK"],
    5: ["POLL", "VISUAL_POLL"],
    7: ["ANIMATEDGIF", "ANIMATED_IMAGE_SHARE", "ANIMATED_IMAGE_AUTOPLAY", "ANIMATED_GIF",
        "ANIMATED_IMAGE_VIDEO_AUTOPLAY", "ANIMATED_IMAGE_VIDEO", "IMAGE/GIF"],
    8: ["PDF", "APPLICATION/PDF"], 9: ["DOC", "DOCX", "APPLICATION/MSWORD"], 10: ["EXCEL", "XLSX"],
    11: ["AUDIO", "VOICE"], 12: ["CONTACTS", "CONTACT"], 13: ["SYSTEM"], 14: ["LOCATION", "LOCATIONS"],
    15: ["HTML"], 16: ["CARD"], 17: ["QUICKREPLY"], 18: ["BUTTONS", "BUTTON"], 19: ["FILE"],
    20: ["TEMPLATE"], 21: ["REELS"],
}
TABLE = {name: code for code, names in NAMES_BY_CODE.items() for name in names}
SOURCE = "tavelmoor/common_functions.py"


def module_entries(exc):
    return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__) if e.filename == SOURCE]


def test_table_has_54_distinct_names():
    assert len(TABLE) == 54


def alternating(name):
    return "".join(c.lower() if i % 2 else c.upper() for i, c in enumerate(name))


@pytest.mark.parametrize("name", TABLE)
@pytest.mark.parametrize("spelling", [str.upper, str.lower, str.title, alternating])
def test_every_name_in_any_case(name, spelling):
    assert get_media_type(spelling(name)) == TABLE[name]


@pytest.mark.parametrize("name", [
    " IMAGE", "IMAGE ", "IMAGE\t", "VIDEO -CHECKIN", "VIDEO_CHECKIN", "VIDEO CHECKIN", "QUICK_REPLY", "ANIMATED GIF",
    "IMAGE/WEBP", "IMAGE\\JPEG", "REEL", "PHOTOS", "TEXTS", "GIF", "IMAGE\0", "ANIMATED_IMAGE_VIDEO_AUTOPLAYS", "x" * 300,
])
def test_names_not_in_the_table_give_6(name):
    assert get_media_type(name) == 6


@pytest.mark.parametrize("name, code", [
    ("\u017ftatus", 1),        # long s upper-cases to S
    ("\u0131mage", 2),         # dotless i upper-cases to I
    ("\ufb01le", 19),          # the fi ligature grows into two letters
    ("poll\ufb00", 6), ("re\ufb00s", 6),
    ("\u00edmage", 6), ("\uff29\uff2d\uff21\uff27\uff25", 6), ("stra\u00dfe", 6),
    ("\u212aard", 6),          # the Kelvin sign stays itself
    ("\U0001f525" * 40, 6),
])
def test_non_ascii_names_go_through_full_upper_casing(name, code):
    assert get_media_type(name) == code


@given(st.one_of(st.text(), st.sampled_from(sorted(TABLE)).map(str.lower),
                 st.text(alphabet="\u017f\u0131\ufb01\ufb00aAeEiIlLsSfF_/ -", max_size=30)))
def test_matches_str_upper_then_table(name):
    result = get_media_type(name)
    assert type(result) is int and 1 <= result <= 21
    assert result == TABLE.get(name.upper(), 6)


class Name(str):
    pass


@pytest.mark.parametrize("value, type_name, noted", [
    (None, "NoneType", False), (b"IMAGE", "bytes", False), (2, "int", False), (["IMAGE"], "list", False),
    (Name("IMAGE"), "Name", True),
    (type("N" * 300, (str,), {})("IMAGE"), "N" * 200, True),
])
def test_only_exact_str_is_accepted(value, type_name, noted):
    with pytest.raises(TypeError) as info:
        get_media_type(value)
    assert str(info.value) == f"Argument 'media_type' has incorrect type (expected str, got {type_name})"
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == noted and all("subclass" in note.lower() for note in notes)
    assert module_entries(info.value) == []


@pytest.mark.parametrize("args, kwargs", [((), {}), (("a", "b"), {}), ((), {"name": "a"})])
def test_binding_errors_carry_the_def_line(args, kwargs):
    with pytest.raises(TypeError) as info:
        get_media_type(*args, **kwargs)
    assert module_entries(info.value) == [("tavelmoor.common_functions.get_media_type", 23)]
    assert get_media_type(media_type="Image") == 2


def test_exhausted_memory_while_upper_casing_fails_at_line_24():
    code = textwrap.dedent("""
        import traceback, _testcapi
        from tavelmoor.common_functions import get_media_type
        outcomes = set()
        for start in range(1, 40):
            _testcapi.set_nomemory(start, start + 1)
            try:
                outcomes.add(get_media_type("\\u0131mage"))
            except MemoryError as exc:
                _testcapi.remove_mem_hooks()
                outcomes.update((e.filename, e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__))
            finally:
                _testcapi.remove_mem_hooks()
        print(sorted(map(str, outcomes)))
    """)
    proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True)
    assert proc.stdout.strip() == str(sorted(map(str, {
        2, ("tavelmoor/common_functions.py", "tavelmoor.common_functions.get_media_type", 24), ("<string>", "<module>", 8),
    })))
