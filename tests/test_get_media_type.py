import collections
import subprocess
import sys
import traceback

import pytest
from hypothesis import given, strategies as st

from media_names import TABLE
from tavelmoor.common_functions import get_media_type

ENTRY = ("tavelmoor/common_functions.py", "tavelmoor.common_functions.get_media_type")


def alternating(name):
    return "".join(c.lower() if i % 2 else c.upper() for i, c in enumerate(name))


@pytest.mark.parametrize("name", TABLE)
@pytest.mark.parametrize("spelling", [str.upper, str.lower, str.title, alternating])
def test_every_name_in_any_case(impl, name, spelling):
    assert len(TABLE) == 54 and impl.get_media_type(spelling(name)) == TABLE[name]


@pytest.mark.parametrize("name, code", [
    (" IMAGE", 6), ("IMAGE ", 6), ("VIDEO -CHECKIN", 6), ("VIDEO_CHECKIN", 6), ("QUICK_REPLY", 6), ("image/webp", 6),
    ("REEL", 6), ("PHOTOS", 6), ("gif", 6), ("IMAGE\0", 6), ("ANIMATED_IMAGE_VIDEO_AUTOPLAYS", 6), ("x" * 300, 6),
    ("\u017ftatus", 1), ("\u0131mage", 2), ("\ufb01le", 19),  # long s, dotless i, the fi ligature (grows)
    ("re\ufb00s", 6), ("\u00edmage", 6), ("\uff29\uff2d\uff21\uff27\uff25", 6), ("\u212aard", 6), ("\U0001f525" * 40, 6),
])
def test_unknown_and_non_ascii_names(impl, name, code):
    assert impl.get_media_type(name) == code


def recased(name, flips):
    return "".join(c.lower() if f else c for c, f in zip(name, flips + [False] * len(name)))


# Random text, table names in random case, and names with letters whose
# upper-casing lands on ASCII (ſ, ı, ﬀ, ß) or grows the string.
NAMES = st.one_of(
    st.text(),
    st.sampled_from(sorted(TABLE)).map(str.lower),
    st.builds(recased, st.sampled_from(sorted(TABLE)), st.lists(st.booleans(), max_size=40)),
    st.builds(lambda a, b: a + b, st.sampled_from(sorted(TABLE) + ["ı", "ſ", "ﬀ", "ß"]),
              st.sampled_from(["", " ", "s", "ı", "ſ", "ﬁ", "ß", "\u0307", "é"])),
    st.text("\u017f\u0131\ufb01\ufb00\ufb06\u00dfaeilstfAEILSTF_/ -"),
    st.sampled_from(["ſtatus", "poſtback", "lınk", "fıle", "ﬁle", "ſyſtem", "vıdeo", "TEXT\x00"]),
)


@given(NAMES)
def test_matches_str_upper_then_table(impl, name):
    result = impl.get_media_type(name)
    assert type(result) is int and result == TABLE.get(name.upper(), 6)


@pytest.mark.parametrize("value, type_name, noted", [
    (None, "NoneType", False), (b"IMAGE", "bytes", False), (2, "int", False),
    (collections.defaultdict(str), "collections.defaultdict", False),  # a heap type made in C
    (type("Name", (str,), {})("IMAGE"), "Name", True), (type("N" * 300, (str,), {})("IMAGE"), "N" * 200, True),
])
def test_only_exact_str_is_accepted(impl, value, type_name, noted):
    with pytest.raises(TypeError) as info:
        impl.get_media_type(value)
    assert str(info.value) == f"Argument 'media_type' has incorrect type (expected str, got {type_name})"
    assert len(getattr(info.value, "__notes__", [])) == noted
    assert all(e.filename != ENTRY[0] for e in traceback.extract_tb(info.value.__traceback__))


def test_exhausted_memory_while_upper_casing_fails_at_line_24():
    code = """if True:
        import traceback, _testcapi
        from tavelmoor.common_functions import get_media_type
        for start in range(1, 40):
            _testcapi.set_nomemory(start, start + 1)
            try:
                print(get_media_type("\\u0131mage"))
            except MemoryError as exc:
                _testcapi.remove_mem_hooks()
                print(*[(e.filename, e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)][1:])
            _testcapi.remove_mem_hooks()
    """
    outcomes = set(subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True).stdout.split("\n"))
    assert outcomes == {"2", str((*ENTRY, 24)), ""}
