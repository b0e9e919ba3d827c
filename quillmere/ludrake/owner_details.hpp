#pragma once
// Details of a post's owner (profile counters and texts): from the cache when a fresh copy
// is there, otherwise from the Graph API with the direct-message token, then cached for
// 12 hours.

#include "quillmere/common/cache.hpp"
#include "quillmere/common/graph_api.hpp"
#include "quillmere/common/logger.hpp"
#include "quillmere/ludrake/export.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <string>
#include <string_view>

namespace quillmere::ludrake {

inline constexpr std::string_view kOwnerDetailsKeyPrefix = "Tessaly:Instagram:OwnerDetails:";
inline constexpr std::string_view kOwnerDetailsFields =
    "followers_count,follows_count,media_count,profile_picture_url,username,biography,website";
inline constexpr std::chrono::seconds kOwnerDetailsExpiry{43200};

// "Tessaly:Instagram:OwnerDetails:" + the user id in text form.
QUILLMERE_LUDRAKE_API std::string owner_details_key(const boost::json::value& user_instagram_id);

// The owner's details: the cached object on a hit; on a miss the Graph API's answer
// without "id", written to the cache (record JSON text, expiry 43200 s) and returned; null
// when the lookup gave nothing (nothing is cached then). Cache failures and a cached value
// that is not JSON are thrown.
QUILLMERE_LUDRAKE_API boost::asio::awaitable<boost::json::value> check_owner_details_in_redis(
    boost::json::value user_instagram_id, boost::json::value dm_access_token, CacheClient& redis_obj,
    GraphApiClient& instagram_api, Logger& logger);

// The Graph API's user object for `author_id` (still with "id"), or an empty object when
// the request gave nothing, the answer reports an error, or anything failed (logged as
// "Error while fetching brand post owner details: ..."). Only cancellation is thrown.
QUILLMERE_LUDRAKE_API boost::asio::awaitable<boost::json::object> fetch_brand_post_owner_details(
    boost::json::value author_id, boost::json::value dm_access_token, GraphApiClient& instagram_api, Logger& logger);

}  // namespace quillmere::ludrake
