#pragma once
// Parent-post summaries cached per (category, brand, channel type, social id) under
// "sng:" keys, and the SHA-256 digest the keys are built from.

#include "quillmere/common/cache.hpp"
#include "quillmere/common/logger.hpp"
#include "quillmere/sendrum/export.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json/value.hpp>

#include <string>
#include <string_view>

namespace quillmere::sendrum {

// SHA-256 of the UTF-8 bytes of `input_string`, as 64 lower-case hex digits.
QUILLMERE_SENDRUM_API std::string encode_in_sha256(std::string_view input_string);
// The same for a JSON value; anything but a string is a TypeError.
QUILLMERE_SENDRUM_API std::string encode_in_sha256(const boost::json::value& input_string);

// "sng:" + SHA-256 of the lower-cased "category:brand:channel_type:social_id".
QUILLMERE_SENDRUM_API std::string parent_post_cache_key(std::string_view category_id, std::string_view brand_id,
                                                        std::string_view channel_type, std::string_view social_id);

// Reads the summaries cached for each (category, brand) pair of the comma-separated
// `category_ids` and `brand_ids` (paired by position, the longer list's extra pieces
// ignored), one `get` per pair in order. Returns an array of summaries
//   {"url", "parent_post_social_id", "is_parent_brand_post", "comment_follower_count",
//    "comment_follows_count", "comment_tweet_count"}
// or null when none was found. Misses are logged at info level, undecodable entries at
// error level (and skipped); any other failure (empty social_id, wrong argument kinds, a
// failing cache, an entry that is not an object or lacks an object "UserInfo") is logged
// at error level and gives null. Never throws, apart from failures of the logger itself.
// Never suspends: the cache client is called synchronously.
QUILLMERE_SENDRUM_API boost::asio::awaitable<boost::json::value> get_parent_post_from_cached(
    boost::json::value category_ids, boost::json::value brand_ids, boost::json::value channel_type,
    boost::json::value social_id, CacheClient& redis_obj, Logger& logger);

}  // namespace quillmere::sendrum
