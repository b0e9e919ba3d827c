#pragma once
// Brand and category id lists, the common details of a record, and the Graph API fetch of
// a parent post.

#include "quillmere/common/graph_api.hpp"
#include "quillmere/morvish/export.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <string>
#include <string_view>
#include <utility>

namespace quillmere::morvish {

// The Graph API fields requested for a parent post, sent verbatim.
inline constexpr std::string_view kParentPostFields =
    "permalink,id,caption,comments_count,like_count,media_type,media_url,"
    "owner{name,username,ig_id,id,followers_count,follows_count,media_count,biography,profile_picture_url,website},"
    "ig_id,username,shortcode,thumbnail_url,media_product_type,is_comment_enabled,timestamp,"
    "children{media_type,media_url,thumbnail_url}";

// Name of the spdlog logger that process_parent_post hands to the client.
inline constexpr std::string_view kLoggerName = "morvish";

// The "CategoryID"s and the "BrandID"s of the settings in `data`, each list joined with
// "," in order (categories first). Ids are written in text form: strings unchanged,
// integers in decimal, null/booleans as None/True/False, floats as in record JSON text.
// Throws TypeError naming `data` when it is not an array or an entry is not an object,
// KeyError naming the member when an entry lacks "BrandID" (checked over all entries
// first) or "CategoryID".
QUILLMERE_MORVISH_API std::pair<std::string, std::string> extract_brand_ids_and_category_ids(
    const boost::json::value& data);

// The twelve-member common details: "in_time" (current UTC time, %Y-%m-%dT%H:%M:%S),
// the two arguments unchanged, then nine members copied from the setting (null when
// absent). Throws TypeError naming `setting_obj` when it is not an object.
QUILLMERE_MORVISH_API boost::json::object extracting_common_details(
    const boost::json::value& setting_obj, const boost::json::value& channel_type,
    const boost::json::value& instagram_channel_group_id);

// Fetches a post with kParentPostFields through the client; failures are logged to the
// "morvish" spdlog logger by the client. Returns the decoded body; null when the client
// returns nothing; the empty string for an empty body. Throws TypeError naming `endpoint`
// or `access_token` for a non-string (before any request), and quillmere::ValueError
// ("invalid JSON text: ...") for a body that is not JSON.
QUILLMERE_MORVISH_API boost::asio::awaitable<boost::json::value> process_parent_post(boost::json::value post_id,
                                                                                     GraphApiClient& instagram_api,
                                                                                     boost::json::value access_token);

}  // namespace quillmere::morvish
