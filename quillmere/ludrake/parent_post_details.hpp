#pragma once
// Details of a comment's parent post: from the analytics database (rows of
// orbenix.mentiondetails for the given categories, brands and channel group) or from the
// Graph API.

#include "quillmere/common/graph_api.hpp"
#include "quillmere/common/logger.hpp"
#include "quillmere/ludrake/analytics.hpp"
#include "quillmere/ludrake/export.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json/value.hpp>

#include <string>

namespace quillmere::ludrake {

// The query text for the parent post. `parent_post_id`, `category_ids` and `brand_ids`
// must be strings and `channel_group_id` an integer (TypeError otherwise). The values are
// pasted into the text, so they are checked first (ValueError): `parent_post_id` may not
// hold a single quote or a backslash, and the id lists must be comma-separated integers
// (blanks around each allowed).
QUILLMERE_LUDRAKE_API std::string build_parent_post_query(const boost::json::value& parent_post_id,
                                                          const boost::json::value& category_ids,
                                                          const boost::json::value& brand_ids,
                                                          const boost::json::value& channel_group_id);

// Runs the parent-post query and maps each row, in result order: a row whose "u_authorid"
// equals `post_author_id` gives the full record (the mapped columns in column order, then
// "is_brand_post"), any other row the reduced record ("parent_post_url",
// "parent_post_social_id", "is_parent_brand_post"). Null when the query gives no rows.
// Nothing is caught: bad arguments, database failures and rows without "u_authorid" are
// thrown. Never suspends.
QUILLMERE_LUDRAKE_API boost::asio::awaitable<boost::json::value> extracting_parent_post_for_comments(
    AnalyticsClient& clickhouse_obj, boost::json::value parent_post_id, boost::json::value post_author_id,
    boost::json::value category_ids, boost::json::value brand_ids, boost::json::value channel_group_id);

// The records of extracting_parent_post_for_comments for an already fetched table.
QUILLMERE_LUDRAKE_API boost::json::value map_parent_post_rows(const ResultTable& table,
                                                              const boost::json::value& post_author_id);

// The post as the Graph API gives it: the decoded body; null when the client gave nothing
// (failed request, status other than 200); the empty string for an empty body. A body
// that is not JSON, or an argument that is not a string, is thrown.
QUILLMERE_LUDRAKE_API boost::asio::awaitable<boost::json::value> call_api_to_get_parent_post_details(
    boost::json::value post_id, GraphApiClient& instagram_api, boost::json::value access_token,
    boost::json::value post_fields_attributes, Logger& logger);

}  // namespace quillmere::ludrake
