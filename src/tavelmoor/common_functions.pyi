# Types of the native module. Parameters are positional-or-keyword, as at run time.
import json as json
import re as re
from collections.abc import Awaitable
from datetime import datetime as datetime
from typing import Any, Dict as Dict, List as List, Protocol, Tuple as Tuple, type_check_only

__test__: dict[str, Any]

@type_check_only
class _GraphApiClient(Protocol):
    # Called with keywords only, so the client may order its parameters freely.
    def fetch_instagram_data(self, *, endpoint: Any, access_token: Any, fields: str) -> Awaitable[Any]: ...

@type_check_only
class _Setting(Protocol):
    def get(self, key: str, /) -> Any: ...

# Any false value gives ""; a true value must be a str.
def get_hashtags(text: str | None) -> str: ...

def get_media_type(media_type: str) -> int: ...

# Returns (category_ids, brand_ids): categories first.
def extract_brand_ids_and_category_ids(data: List[Dict[str, Any]]) -> Tuple[str, str]: ...

# The post as decoded from the client's JSON text, or the client's value itself when it is not text.
async def process_parent_post(post_id: Any, instagram_api: _GraphApiClient, access_token: Any) -> Any: ...

def extracting_common_details(setting_obj: _Setting, channel_type: Any, instagram_channel_group_id: Any) -> dict[str, Any]: ...
