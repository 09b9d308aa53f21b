"""One call of each function of tavelmoor.common_functions, type-checked with mypy --strict."""
import asyncio
import json

from tavelmoor.common_functions import (
    extract_brand_ids_and_category_ids,
    extracting_common_details,
    get_hashtags,
    get_media_type,
    process_parent_post,
)


class CannedGraphApi:
    """Any object with an awaitable fetch_instagram_data serves as the Graph API client."""

    async def fetch_instagram_data(self, endpoint: str, access_token: str, fields: str) -> str:
        return json.dumps({"id": endpoint, "media_type": "IMAGE", "caption": "Fresh roast #coffee"})


async def main() -> None:
    print(get_hashtags("Morning pour-over #coffee #PourOver #café"))  # coffee,PourOver,café
    print(get_media_type("carousel_album"), get_media_type("REELS"), get_media_type("hologram"))  # 2 21 6

    category_ids, brand_ids = extract_brand_ids_and_category_ids(
        [{"BrandID": 7, "CategoryID": 31}, {"BrandID": 12, "CategoryID": 44}])
    print(category_ids, brand_ids)  # 31,44 7,12

    post = await process_parent_post("17900000000000101", CannedGraphApi(), "token")
    print(post["media_type"], get_hashtags(post["caption"]))  # IMAGE coffee

    setting = {"BrandID": 7, "BrandName": "Tavelmoor Coffee", "AccountID": 1001, "ScreenName": "tavelmoor.coffee"}
    record = extracting_common_details(setting, "instagram_comment", 5001)
    print(record["in_time"], record["brand_name"], record["setting_id"], record["category_id"])
    # e.g. 2026-12-08T06:30:00 Tavelmoor Coffee 1001 None


if __name__ == "__main__":
    asyncio.run(main())
