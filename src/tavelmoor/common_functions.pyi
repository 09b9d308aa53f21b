"""Turn webhook payload values, settings and Graph API answers into record fields.

Every function takes its parameters by position or by keyword. A failure is the
exception that caused it, unchanged, with a traceback entry in
"tavelmoor/common_functions.py" naming the function and the line of the step
that failed; a wrong number of arguments or an unknown keyword raises TypeError.
"""
# Types of the native module. Parameters are positional-or-keyword, as at run time.
import json as json
import re as re
from collections.abc import Awaitable
from datetime import datetime as _datetime
from typing import Any, Dict as Dict, List as List, Protocol, Tuple as Tuple, type_check_only

__test__: dict[str, Any]
# A variable rather than the class, so that a datetime subclass can be bound here to fix the clock.
datetime: type[_datetime]

@type_check_only
class _GraphApiClient(Protocol):
    # Called with keywords only, so the client may order its parameters freely.
    def fetch_instagram_data(self, *, endpoint: Any, access_token: Any, fields: str) -> Awaitable[Any]: ...

@type_check_only
class _Setting(Protocol):
    def get(self, key: str, /) -> Any: ...

# Any false value gives ""; a true value must be a str.
def get_hashtags(text: str | None) -> str:
    """Return the hashtags of `text`, without their "#", joined with ",".

    A hashtag is a run of word characters (letters and digits of any script,
    "_") right after a "#"; order, repeats and letter case are kept. A false
    `text` (None, "") gives "". Raises TypeError when `text` is true but not a
    str (from re.findall, line 15).

    >>> get_hashtags("Morning pour-over #coffee #PourOver mail#box")
    'coffee,PourOver,box'
    """

def get_media_type(media_type: str) -> int:
    """Return the media type code (1 to 21) of a media or message type name.

    The name is matched after str.upper() and nothing else: no blanks are
    stripped, no separators changed. Any name the table does not hold gives 6;
    tavelmoor.MediaType names the codes. Raises TypeError when `media_type` is
    not exactly a str (None and str subclasses included; a subclass gets a note).

    >>> get_media_type("carousel_album"), get_media_type("REELS"), get_media_type("hologram")
    (2, 21, 6)
    """

# Returns (category_ids, brand_ids): categories first.
def extract_brand_ids_and_category_ids(data: List[Dict[str, Any]]) -> Tuple[str, str]:
    """Return (category_ids, brand_ids): every item's "CategoryID", then "BrandID", as text joined with ",".

    Values go through str() (None gives "None") in list order; nothing is
    filtered, de-duplicated or escaped; [] gives ("", ""). Raises TypeError when
    `data` is not exactly a list, KeyError when an item lacks a key (all
    "BrandID"s are read first, line 88, then the "CategoryID"s, line 89), and
    whatever an item's subscription or a value's __str__ raises.

    >>> extract_brand_ids_and_category_ids([{"BrandID": 7, "CategoryID": 31}, {"BrandID": 12, "CategoryID": 44}])
    ('31,44', '7,12')
    """

# The post as decoded from the client's JSON text, or the client's value itself when it is not text.
async def process_parent_post(post_id: Any, instagram_api: _GraphApiClient, access_token: Any) -> Any:
    """Fetch one post through `instagram_api` and return it, decoded when it is JSON text.

    Awaiting calls instagram_api.fetch_instagram_data(endpoint=post_id,
    access_token=access_token, fields=<the parent post field list>) and awaits
    its result; a non-empty str is decoded with json.loads, any other value
    comes back as it is. The call itself only binds the arguments. Raises
    whatever the client raises (line 94), TypeError when its result is not
    awaitable (line 94) and json.JSONDecodeError for text that is not JSON
    (line 100); a StopIteration becomes RuntimeError.

    >>> await process_parent_post("17900000000000101", client, token)
    {'id': '17900000000000101', 'media_type': 'IMAGE', ...}
    """

def extracting_common_details(setting_obj: _Setting, channel_type: Any, instagram_channel_group_id: Any) -> dict[str, Any]:
    """Return the twelve-key common details record of a setting, stamped with the UTC time.

    "in_time" is datetime.utcnow() as "%Y-%m-%dT%H:%M:%S", read through the
    module global `datetime` (rebind it to fix the clock); "channel_group_id"
    and "channel_type" are the arguments themselves; the other nine come from
    setting_obj.get() of "CategoryID", "CategoryName", "BrandID", "BrandName",
    "AccountID" (as "setting_id"), "InstagramGraphApiID" ("author_social_id"),
    "ProfilePic" ("user_profile_pic"), "ScreenName" ("author_user_name") and
    "AuthorName" ("m_author_name"); a missing key gives None. Raises whatever
    the clock or `get` raises (AttributeError for a setting_obj of None).

    >>> extracting_common_details({"BrandID": 7, "AccountID": 1001}, "instagram_comment", 5001)["setting_id"]
    1001
    """
