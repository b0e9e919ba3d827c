#pragma once
// Small pieces that the comment and the parent-post field handlers share: reading the
// request object a handler is given, flags, account-id comparison, the one-line
// description, the channel of a post from its flags, and the current time in the Graph API
// timestamp form.

#include "quillmere/morvish/export.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::morvish {

namespace json = boost::json;

// The request object a handler was given. Called without data (nullptr) it is an empty
// object. Throws quillmere::TypeError naming `data` when data is not an object.
QUILLMERE_MORVISH_API const json::object& data_or_empty(const json::value* data);

// The same for handlers that cannot work without data: throws quillmere::TypeError naming
// the handler when called without data, and when data is not an object (null included).
QUILLMERE_MORVISH_API const json::object& required_data(const json::value* data, std::string_view handler);

// A flag counts as set when the member is present and not an empty value.
QUILLMERE_MORVISH_API bool flag_set(const json::object& data, std::string_view key) noexcept;

// An account id: the integer 0 in place of an empty value (null, false, 0, "", [], {});
// any other value unchanged.
QUILLMERE_MORVISH_API const json::value& id_or_zero(const json::value& id) noexcept;

// Whether two account ids are equal after integer conversion of both, `first` converted
// first (so its error is the one raised when both are malformed).
QUILLMERE_MORVISH_API bool same_account_id(const json::value& first, const json::value& second);

// The description on one line: "" for an empty value; for text, every line feed and then
// every carriage return becomes one blank (nothing trimmed or merged). Throws
// quillmere::TypeError for a value that is neither empty nor text.
QUILLMERE_MORVISH_API std::string flatten_description(const json::value& value);

// The channel of a post from the flags of the request, the first rule that holds:
// is_for_stories and is_brand_post both set: STORIES (4); is_brand_post: BRAND (1);
// is_mention_post: MENTION (2); is_stories_mention: STORIES_MENTION (11). Nothing when
// none holds (the comment handler then uses BRAND, the parent-post handler null).
QUILLMERE_MORVISH_API std::optional<std::int64_t> insta_post_channel_type(const json::object& data) noexcept;

// The name that goes into a profile address: `comment_username` when it is set, otherwise
// the member named `fallback_key` (null when absent).
QUILLMERE_MORVISH_API const json::value& profile_user_name(const json::object& data,
                                                           std::string_view fallback_key) noexcept;

// The current UTC time in the Graph API timestamp form YYYY-MM-DDTHH:MM:SS+0000: what a
// creation time defaults to when the request carries none.
QUILLMERE_MORVISH_API std::string graph_api_utc_now();

}  // namespace quillmere::morvish
