#include "quillmere/ludrake/parent_post_details.hpp"

#include "quillmere/common/decode.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/internal/arguments.hpp"
#include "quillmere/common/value.hpp"

#include <array>
#include <cmath>
#include <string_view>
#include <utility>

namespace quillmere::ludrake {
namespace {

// Database column -> output key, in this order.
constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kFieldMapping{{
    {"u_followerscount", "comment_follower_count"},
    {"u_followingcount", "comment_follows_count"},
    {"u_tweetcount", "comment_tweet_count"},
    {"url", "parent_post_url"},
    {"tweetidorfbid", "parent_post_social_id"},
    {"isbrandpost", "is_parent_brand_post"},
}};

constexpr std::array<std::string_view, 3> kReducedKeys{"parent_post_url", "parent_post_social_id",
                                                       "is_parent_brand_post"};

const std::string_view* mapped_key(std::string_view column) noexcept {
    for (const auto& [col, key] : kFieldMapping)
        if (col == column) return &key;
    return nullptr;
}

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// "12", " 12 ,-3" ...: comma-separated optionally signed decimal integers, blanks around each.
bool is_integer_list(std::string_view text) noexcept {
    std::size_t i = 0;
    const std::size_t n = text.size();
    for (;;) {
        while (i < n && is_blank(text[i])) ++i;
        if (i < n && text[i] == '-') ++i;
        const std::size_t digits = i;
        while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
        if (i == digits) return false;
        while (i < n && is_blank(text[i])) ++i;
        if (i == n) return true;
        if (text[i] != ',') return false;
        ++i;
    }
}

// Brand-post flag of a row: null and "" are false; integers and booleans are their truth
// value; anything else (a non-empty string, a float) is kept as it is.
json::value brand_post_flag(const json::value& v) {
    if (v.is_null() || (v.is_string() && v.get_string().empty())) return false;
    if (v.is_int64() || v.is_uint64() || v.is_bool()) return is_set(v);
    return v;
}

// Equality of two values as the host compares them: numbers (and booleans) by numeric
// value, no conversion between text and number.
bool same_value(const json::value& a, const json::value& b) noexcept {
    auto numeric = [](const json::value& v) { return v.is_number() || v.is_bool(); };
    if (!numeric(a) || !numeric(b)) return a == b;
    if (b.is_int64()) return numeric_equals(a, b.get_int64());
    if (b.is_bool()) return numeric_equals(a, b.get_bool() ? 1 : 0);
    if (a.is_int64()) return numeric_equals(b, a.get_int64());
    if (a.is_bool()) return numeric_equals(b, a.get_bool() ? 1 : 0);
    if (a.is_double() && b.is_double()) return a.get_double() == b.get_double();
    if (a.is_uint64() && b.is_uint64()) return a.get_uint64() == b.get_uint64();
    // One uint64 beyond the int64 range and one double.
    const std::uint64_t u = a.is_uint64() ? a.get_uint64() : b.get_uint64();
    const double d = a.is_double() ? a.get_double() : b.get_double();
    return d == std::trunc(d) && d >= 0 && d < 18446744073709551616.0 && static_cast<std::uint64_t>(d) == u;
}

const json::value& member(const json::object& record, std::string_view key) {
    auto it = record.find(key);
    if (it == record.end()) throw KeyError(std::string(key));
    return it->value();
}

}  // namespace

std::string build_parent_post_query(const json::value& parent_post_id, const json::value& category_ids,
                                    const json::value& brand_ids, const json::value& channel_group_id) {
    require_kind(parent_post_id, ArgKind::string, "parent_post_id");
    require_kind(category_ids, ArgKind::string, "category_ids");
    require_kind(brand_ids, ArgKind::string, "brand_ids");
    require_kind(channel_group_id, ArgKind::integer, "channel_group_id");
    const std::string_view post = parent_post_id.get_string();
    if (post.find_first_of("'\\") != std::string_view::npos)
        throw ValueError("parent_post_id must not contain a single quote or a backslash");
    if (!is_integer_list(category_ids.get_string())) throw ValueError("category_ids must be comma-separated integers");
    if (!is_integer_list(brand_ids.get_string())) throw ValueError("brand_ids must be comma-separated integers");

    std::string q;
    q.reserve(400 + post.size() + category_ids.get_string().size() + brand_ids.get_string().size());
    q.append(
        "\n        SELECT tweetidorfbid, url, instagramgraphapiid, u_followerscount, u_followingcount, "
        "u_tweetcount, u_authorid, isbrandpost\n        FROM orbenix.mentiondetails  final\n"
        "        PREWHERE categoryid IN (");
    q.append(category_ids.get_string());
    q.append(") AND brandid IN (");
    q.append(brand_ids.get_string());
    q.append(") \n        WHERE channelgroupid=");
    q.append(channel_group_id.is_int64() ? std::to_string(channel_group_id.get_int64())
                                         : std::to_string(channel_group_id.get_uint64()));
    q.append(" AND tweetidorfbid='");
    q.append(post);
    q.append("'\n    ");
    return q;
}

json::value map_parent_post_rows(const ResultTable& table, const json::value& post_author_id) {
    if (table.empty()) return nullptr;
    json::array records;
    records.reserve(table.size());
    for (const auto& [index, row] : table.iterrows()) {
        json::object full;
        full.reserve(kFieldMapping.size() + 1);
        for (const auto& [column, value] : row.items())
            if (const std::string_view* key = mapped_key(column)) full.insert_or_assign(*key, value);
        full.insert_or_assign("is_brand_post", brand_post_flag(row.get("isbrandpost", null_value())));
        if (same_value(row["u_authorid"], post_author_id)) {
            records.emplace_back(std::move(full));
            continue;
        }
        json::object reduced;
        reduced.reserve(kReducedKeys.size());
        for (std::string_view key : kReducedKeys) reduced.emplace(key, member(full, key));
        records.emplace_back(std::move(reduced));
    }
    return records;
}

boost::asio::awaitable<json::value> extracting_parent_post_for_comments(AnalyticsClient& clickhouse_obj,
                                                                        json::value parent_post_id,
                                                                        json::value post_author_id,
                                                                        json::value category_ids, json::value brand_ids,
                                                                        json::value channel_group_id) {
    const std::string query = build_parent_post_query(parent_post_id, category_ids, brand_ids, channel_group_id);
    clickhouse_obj.execute(query);
    const ResultTable table = clickhouse_obj.fetch_df();
    co_return map_parent_post_rows(table, post_author_id);
}

boost::asio::awaitable<json::value> call_api_to_get_parent_post_details(json::value post_id,
                                                                        GraphApiClient& instagram_api,
                                                                        json::value access_token,
                                                                        json::value post_fields_attributes,
                                                                        Logger& logger) {
    require_kind(post_id, ArgKind::string, "post_id");
    require_kind(access_token, ArgKind::string, "access_token");
    require_kind(post_fields_attributes, ArgKind::string, "post_fields_attributes");
    std::optional<std::string> body = co_await instagram_api.fetch_instagram_data(
        std::string(post_id.get_string()), std::string(access_token.get_string()),
        std::string(post_fields_attributes.get_string()), logger);
    if (!body) co_return nullptr;
    if (body->empty()) co_return json::string();
    co_return decode_json_text(*body);
}

}  // namespace quillmere::ludrake
