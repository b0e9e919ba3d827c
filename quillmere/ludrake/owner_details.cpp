#include "quillmere/ludrake/owner_details.hpp"

#include "quillmere/common/decode.hpp"
#include "quillmere/common/internal/arguments.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace quillmere::ludrake {
namespace {

// `details` without its member "id", other members in their order (object::erase would
// move the last member into the hole).
json::object without_id(json::object details) {
    if (!details.contains("id")) return details;
    json::object out(details.storage());
    out.reserve(details.size() - 1);
    for (auto& m : details)
        if (m.key() != "id") out.emplace(m.key(), std::move(m.value()));
    return out;
}

boost::asio::awaitable<json::object> fetch_owner(const json::value& author_id, const json::value& token,
                                                 GraphApiClient& api, Logger& logger) {
    require_kind(author_id, ArgKind::string, "author_id");
    require_kind(token, ArgKind::string, "dm_access_token");
    std::optional<std::string> body = co_await api.fetch_instagram_data(
        std::string(author_id.get_string()), std::string(token.get_string()), std::string(kOwnerDetailsFields), logger);
    if (!body || body->empty()) co_return json::object{};
    json::value decoded = decode_json_text(*body);
    if (!decoded.is_object())
        throw TypeError("the Graph API answer is not a JSON object but a " + std::string(kind_name(decoded)));
    const json::object& answer = decoded.get_object();
    if (is_set(get_or(answer, "error", null_value()))) co_return json::object{};
    co_return std::move(decoded.get_object());
}

}  // namespace

std::string owner_details_key(const json::value& user_instagram_id) {
    std::string key(kOwnerDetailsKeyPrefix);
    append_text_form(key, user_instagram_id);
    return key;
}

boost::asio::awaitable<json::object> fetch_brand_post_owner_details(json::value author_id, json::value dm_access_token,
                                                                    GraphApiClient& instagram_api, Logger& logger) {
    try {
        co_return co_await fetch_owner(author_id, dm_access_token, instagram_api, logger);
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::operation_aborted) throw;  // the host cancelled
        logger.error(std::string("Error while fetching brand post owner details: ") + e.code().message());
    } catch (const std::exception& e) {
        logger.error(std::string("Error while fetching brand post owner details: ") + e.what());
    }
    co_return json::object{};
}

boost::asio::awaitable<json::value> check_owner_details_in_redis(json::value user_instagram_id,
                                                                 json::value dm_access_token, CacheClient& redis_obj,
                                                                 GraphApiClient& instagram_api, Logger& logger) {
    const std::string key = owner_details_key(user_instagram_id);
    if (std::optional<std::string> cached = redis_obj.get(key); cached && !cached->empty()) {
        logger.info("cache hit for owner details");
        co_return decode_json_text(*cached);
    }
    logger.info("cache miss for owner details");
    json::object details =
        co_await fetch_brand_post_owner_details(user_instagram_id, dm_access_token, instagram_api, logger);
    if (details.empty()) co_return nullptr;
    details = without_id(std::move(details));
    redis_obj.set(key, to_json_text(details), kOwnerDetailsExpiry);
    co_return std::move(details);
}

}  // namespace quillmere::ludrake
