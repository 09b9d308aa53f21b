"""tavelmoor.MediaType against the media type table."""
import pytest

from support import run_python
from media_names import TABLE
from tavelmoor import MediaType
from tavelmoor.common_functions import get_media_type


def test_members_are_the_codes_and_6_is_unknown():
    assert [int(member) for member in MediaType] == list(range(1, 22))
    assert MediaType(6) is MediaType.UNKNOWN and 6 not in TABLE.values()


@pytest.mark.parametrize("name", sorted(TABLE.keys() | MediaType.__members__.keys()))
def test_table_names_and_member_names_map_to_their_member(name):
    member = MediaType(get_media_type(name))
    assert member == TABLE.get(name, MediaType.UNKNOWN)
    assert name not in MediaType.__members__ or member.name == name


def test_package_import_leaves_the_extension_unloaded():
    proc = run_python("import sys, tavelmoor; print(tavelmoor.MediaType.REELS, 'tavelmoor.common_functions' in sys.modules)")
    assert proc.stdout.split() == ["21", "False"]
