"""The flat record of one event, built from the event, its parent post and the account's setting."""
import json
import math
from datetime import UTC, datetime
from typing import Any

from tavelmoor import MediaType
from tavelmoor.common_functions import (
    extract_brand_ids_and_category_ids,
    extracting_common_details,
    get_hashtags,
    get_media_type,
    process_parent_post,
)

from tavelmoor.webhooks.graph_api import GraphApiClient, GraphApiError
from tavelmoor.webhooks.payloads import Account, Event

CHANNEL_TYPES = {"comments": "instagram_comment", "mentions": "instagram_mention"}

# The code of a name the media type table does not hold.
UNKNOWN_MEDIA_TYPE = 6


def media_type_code(post: dict[str, Any]) -> int:
    """A reel is coded as REELS, whatever its media_type; other posts by their media_type."""
    name = post.get("media_product_type")
    if name != "REELS":
        name = post.get("media_type")
    return get_media_type(name) if isinstance(name, str) else UNKNOWN_MEDIA_TYPE


def children_media_type_codes(post: dict[str, Any]) -> list[int]:
    children = post.get("children")
    items = children.get("data") if isinstance(children, dict) else None
    if not isinstance(items, list):
        return []
    return [get_media_type(child["media_type"]) if isinstance(child, dict) and isinstance(child.get("media_type"), str)
            else UNKNOWN_MEDIA_TYPE for child in items]


async def fetch_parent_post(event: Event, client: GraphApiClient, access_token: str) -> dict[str, Any]:
    try:
        post = await process_parent_post(event.post_id, client, access_token)
    except ValueError:
        raise GraphApiError("the answer is not JSON") from None
    if not isinstance(post, dict):
        raise GraphApiError("the answer is not a post object")
    return post


def build_record(event: Event, account: Account, post: dict[str, Any]) -> dict[str, Any]:
    record = extracting_common_details(account.setting, CHANNEL_TYPES[event.kind], account.channel_group_id)
    category_ids, brand_ids = extract_brand_ids_and_category_ids(account.brands)
    owner = post.get("owner")
    media_type = media_type_code(post)
    record.update({
        "event": event.kind,
        "event_time": datetime.fromtimestamp(event.time, UTC).strftime("%Y-%m-%dT%H:%M:%S"),
        "comment_id": event.comment_id,
        "comment_text": event.text,
        "comment_hashtags": get_hashtags(event.text),
        "from_id": event.from_id,
        "from_username": event.from_username,
        "post_id": event.post_id,
        "post_permalink": post.get("permalink"),
        "post_shortcode": post.get("shortcode"),
        "post_timestamp": post.get("timestamp"),
        "post_owner_username": owner.get("username") if isinstance(owner, dict) else None,
        "post_caption_hashtags": get_hashtags(post.get("caption") if isinstance(post.get("caption"), str) else None),
        "post_media_type": media_type,
        "post_media_type_name": MediaType(media_type).name,
        "post_children_media_types": children_media_type_codes(post),
        "post_like_count": post.get("like_count"),
        "post_comments_count": post.get("comments_count"),
        "category_ids": category_ids,
        "brand_ids": brand_ids,
    })
    return record


def _finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_finite(item) for item in value]
    return value


def record_json(record: dict[str, Any]) -> str:
    """The record as ASCII JSON. The Graph API may answer NaN or Infinity, which Python reads but JSON cannot
    hold: those become null, and the record is still written."""
    try:
        return json.dumps(record, allow_nan=False)
    except ValueError:
        return json.dumps(_finite(record), allow_nan=False)
