import json
import re
from datetime import datetime
from typing import Tuple, List, Dict
# The plain-Python twin of tavelmoor.common_functions, for the differential tests and bench/run.py.

def get_hashtags(text):
    if not text:
        return ""
    # The five functions give the native module's results and raise its exceptions, and every
    # import, def and step that can fail stands on the line of tavelmoor/common_functions.py that
    # the native code objects and traceback entries name; tests read the def lines from here.
    # So lines above PARENT_POST_FIELDS are only ever rewritten in place, never added or removed.
    regex = r"(?<=#)\w+"
    matches = re.findall(regex, text)


    hashtags = ",".join(matches)
    return hashtags



def get_media_type(media_type: str) -> int:
    media_type = media_type.upper() if type(media_type) is str else _refuse("media_type", str, media_type)
    # The native type test runs before the body and adds no entry; here it shares line 24.

    media_type_mapping = {
        "": 1,
        "TEXT": 1,
        "TXT": 1,
        "STATUS": 1,
        "POSTBACK": 1,
        "CONVERSATION": 1,
        "PHOTO": 2,
        "IMAGE": 2,
        "ALBUM": 2,
        "CAROUSEL": 2,
        "IMAGE/JPEG": 2,
        "IMAGE/PNG": 2,
        "CAROUSEL_ALBUM": 2,
        "STICKER": 2,
        "VIDEO/MP4": 3,
        "VIDEO_INLINE": 3,
        "VIDEO - CHECKIN": 3,
        "VIDEO-CHECKIN": 3,
        "ADDED_VIDEO": 3,
        "VIDEO": 3,
        "ARTICLE": 4,
        "URL": 4,
        "LINK": 4,
        "POLL": 5,
        "VISUAL_POLL": 5,
        "ANIMATEDGIF": 7,
        "ANIMATED_IMAGE_SHARE": 7,
        "ANIMATED_IMAGE_AUTOPLAY": 7,
        "ANIMATED_GIF": 7,
        "ANIMATED_IMAGE_VIDEO_AUTOPLAY": 7,
        "ANIMATED_IMAGE_VIDEO": 7,
        "IMAGE/GIF": 7,
        "DOC": 9,
        "DOCX": 9,
        "APPLICATION/MSWORD": 9,
        "PDF": 8,
        "APPLICATION/PDF": 8,
        "EXCEL": 10,
        "XLSX": 10,
        "AUDIO": 11,
        "VOICE": 11,
        "CONTACTS": 12,
        "CONTACT": 12,
        "SYSTEM": 13,
        "LOCATION": 14,
        "LOCATIONS": 14,
        "HTML": 15,
        "CARD": 16,
        "QUICKREPLY": 17,
        "BUTTONS": 18,
        "BUTTON": 18,
        "FILE": 19,
        "TEMPLATE": 20,
        "REELS": 21,
    }
    return media_type_mapping.get(media_type, 6)


def extract_brand_ids_and_category_ids(data: List[Dict]) -> Tuple[str, str]:
    if type(data) is not list: _refuse("data", list, data)  # noqa: E701
    brand_ids = ",".join(str(item["BrandID"]) for item in data)
    category_ids = ",".join(str(item["CategoryID"]) for item in data)
    return category_ids, brand_ids


async def process_parent_post(post_id, instagram_api, access_token):
    response_data = await instagram_api.fetch_instagram_data(
        endpoint=post_id, access_token=access_token, fields=PARENT_POST_FIELDS
    )
    # The actual type decides: an object that only claims to be a str through __class__ is
    # handed back undecoded, as the native coroutine does.
    if response_data and issubclass(type(response_data), str):
        response_data = json.loads(response_data)
    return response_data



def extracting_common_details(setting_obj, channel_type, instagram_channel_group_id):
    current_time = datetime.utcnow()
    formatted_time = current_time.strftime("%Y-%m-%dT%H:%M:%S")

    return {
        "in_time": formatted_time,
        "channel_group_id": instagram_channel_group_id, "channel_type": channel_type,
        "category_id": setting_obj.get("CategoryID"),
        "category_name": setting_obj.get("CategoryName"),
        "brand_id": setting_obj.get("BrandID"),
        "brand_name": setting_obj.get("BrandName"),
        "setting_id": setting_obj.get("AccountID"),
        "author_social_id": setting_obj.get("InstagramGraphApiID"),
        "user_profile_pic": setting_obj.get("ProfilePic"),
        "author_user_name": setting_obj.get("ScreenName"),
        "m_author_name": setting_obj.get("AuthorName"),
    }


PARENT_POST_FIELDS = (
    "permalink,id,caption,comments_count,like_count,media_type,media_url,"
    "owner{name,username,ig_id,id,followers_count,follows_count,media_count,biography,"
    "profile_picture_url,website},ig_id,username,shortcode,thumbnail_url,media_product_type,"
    "is_comment_enabled,timestamp,children{media_type,media_url,thumbnail_url}"
)


def _type_name(value):
    """The tp_name of the value's type, which CPython's own messages name: a type made in C may carry
    its module there (collections.defaultdict), whether or not it is a heap type."""
    try:
        object.__format__(value, "!")
    except TypeError as error:
        return str(error).removeprefix("unsupported format string passed to ").removesuffix(".__format__")
    raise AssertionError("object.__format__ accepted a format spec")


def _refuse(parameter, expected, value):
    """Raises the native type test's TypeError, with its note for subclasses of the built-in type."""
    error = TypeError(f"Argument '{parameter:.200}' has incorrect type "
                      f"(expected {expected.__name__:.200}, got {_type_name(value):.200})")
    if issubclass(type(value), expected):
        error.add_note(f"Subclasses of built-in types are refused here: the annotation '{expected.__name__}' "
                       f"is read more strictly than PEP 484 asks, so pass an exact {expected.__name__}.")
    raise error


# The one list of messages that the native module words otherwise than CPython does for this twin,
# each the module's documented text: (CPython's wording, the module's).
NATIVE_WORDING = [
    # Every version: the StopIteration guard of a coroutine.
    (re.compile(r"coroutine raised StopIteration"), "generator raised StopIteration"),
    # From 3.14 on, CPython words a failed await anew; the module keeps the 3.13 wording.
    (re.compile(r"^'(.*)' object can't be awaited$"), r"object \1 can't be used in 'await' expression"),
]


def as_native(message: str) -> str:
    """A message of the twin, worded as the native module words it."""
    for pattern, wording in NATIVE_WORDING:
        message = pattern.sub(wording, message)
    return message
