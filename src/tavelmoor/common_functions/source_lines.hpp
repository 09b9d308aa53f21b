#pragma once

// The layout of tavelmoor/common_functions.py, the source file that the
// module's code objects and traceback entries name: the line of each def and
// of each step that can fail. Every line the module reports comes from here.
namespace source_lines {

namespace module {
inline constexpr int setup = 1;            // before the imports, and binding __test__ after the defs
inline constexpr int import_json = 1;      // import json
inline constexpr int import_re = 2;        // import re
inline constexpr int import_datetime = 3;  // from datetime import datetime
inline constexpr int import_typing = 4;    // from typing import Tuple, List, Dict
}  // namespace module

namespace get_hashtags {
inline constexpr int def = 7;
inline constexpr int truth = 8;     // if not text: return ""
inline constexpr int findall = 15;  // re.findall(regex, text)
inline constexpr int join = 18;     // ",".join(matches)
}  // namespace get_hashtags

namespace get_media_type {
inline constexpr int def = 23;
inline constexpr int upper = 24;  // media_type.upper()
}  // namespace get_media_type

namespace extract_brand_ids_and_category_ids {
inline constexpr int def = 86;
inline constexpr int brand_ids = 88;     // ",".join(str(item["BrandID"]) for item in data)
inline constexpr int category_ids = 89;  // ",".join(str(item["CategoryID"]) for item in data)
inline constexpr int result = 90;        // return category_ids, brand_ids
}  // namespace extract_brand_ids_and_category_ids

namespace process_parent_post {
inline constexpr int def = 93;
inline constexpr int fetch = 94;   // await instagram_api.fetch_instagram_data(...)
inline constexpr int truth = 99;   // if response_data and isinstance(response_data, str)
inline constexpr int decode = 100; // json.loads(response_data)
}  // namespace process_parent_post

namespace extracting_common_details {
inline constexpr int def = 105;
inline constexpr int utcnow = 106;    // datetime.utcnow()
inline constexpr int strftime = 107;  // current_time.strftime(...)
inline constexpr int record = 109;    // the record's dict display, which stores every value
inline constexpr int first_get = 112; // the first of nine setting_obj.get(...), one a line
}  // namespace extracting_common_details

}  // namespace source_lines
