#include "quillmere/sendrum/parent_post_cache.hpp"

#include "quillmere/common/decode.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/internal/arguments.hpp"
#include "quillmere/common/internal/case_mapping.hpp"
#include "quillmere/common/value.hpp"

#include <openssl/sha.h>

#include <exception>
#include <optional>
#include <stdexcept>

namespace quillmere::sendrum {
namespace {

constexpr std::string_view kKeyPrefix = "sng:";

// A count of "UserInfo": 0 when absent or empty, otherwise unchanged.
json::value count_or_zero(const json::object& user_info, std::string_view member) {
    auto it = user_info.find(member);
    if (it == user_info.end() || is_empty(it->value())) return std::int64_t{0};
    return it->value();
}

json::object summary_of(const json::value& entry, std::string_view key) {
    if (!entry.is_object())
        throw TypeError("entry under " + std::string(key) + " is not a JSON object but a " +
                        std::string(kind_name(entry)));
    const json::object& e = entry.get_object();
    auto user_info = e.find("UserInfo");
    if (user_info == e.end()) throw KeyError("UserInfo");
    if (!user_info->value().is_object())
        throw TypeError("member \"UserInfo\" of the entry under " + std::string(key) + " is not a JSON object but a " +
                        std::string(kind_name(user_info->value())));
    const json::object& counts = user_info->value().get_object();
    json::object s;
    s.reserve(6);
    s.emplace("url", get_or(e, "URL", null_value()));
    s.emplace("parent_post_social_id", get_or(e, "SocialID", null_value()));
    s.emplace("is_parent_brand_post", get_or(e, "IsBrandPost", json::value(false)));
    s.emplace("comment_follower_count", count_or_zero(counts, "FollowersCount"));
    s.emplace("comment_follows_count", count_or_zero(counts, "FollowingCount"));
    s.emplace("comment_tweet_count", count_or_zero(counts, "TweetCount"));
    return s;
}

// Description of a failure for the log line: a missing member is named as such.
std::string describe(const std::exception& e) {
    if (auto* k = dynamic_cast<const KeyError*>(&e)) return "cached entry has no member '" + k->key() + "'";
    return e.what();
}

std::vector<std::string_view> split_commas(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
}

json::value read_summaries(const json::value& category_ids, const json::value& brand_ids,
                           const json::value& channel_type, const json::value& social_id, CacheClient& cache,
                           Logger& logger) {
    if (is_empty(social_id)) throw ValueError("social_id is empty");
    require_kind(category_ids, ArgKind::string, "category_ids");
    require_kind(brand_ids, ArgKind::string, "brand_ids");
    require_kind(social_id, ArgKind::string, "social_id");
    const std::string channel = text_form(channel_type);
    const std::string_view sid = social_id.get_string();

    const auto categories = split_commas(category_ids.get_string());
    const auto brands = split_commas(brand_ids.get_string());
    const std::size_t pairs = std::min(categories.size(), brands.size());

    json::array found;
    for (std::size_t i = 0; i < pairs; ++i) {
        const std::string key = parent_post_cache_key(categories[i], brands[i], channel, sid);
        const std::optional<std::string> cached = cache.get(key);
        if (!cached || cached->empty()) {
            std::string line = "Cache miss for parent post data with key: ";
            line.append(key).append(" and social_id: ").append(sid);
            line.append(" brand_id: ").append(brands[i]);
            line.append(" category_id: ").append(categories[i]);
            logger.info(line);
            continue;
        }
        json::value entry;
        try {
            entry = decode_json_text(*cached);
        } catch (const ValueError& e) {
            logger.error(std::string("Error while fetching parent post data from redis: ") + e.what(), true);
            continue;
        }
        found.emplace_back(summary_of(entry, key));
    }
    if (found.empty()) return nullptr;
    return found;
}

}  // namespace

std::string encode_in_sha256(std::string_view input_string) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(input_string.data()), input_string.size(), digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out(2 * SHA256_DIGEST_LENGTH, '0');
    for (std::size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0x0f];
    }
    return out;
}

std::string encode_in_sha256(const json::value& input_string) {
    require_kind(input_string, ArgKind::string, "input_string");
    return encode_in_sha256(std::string_view(input_string.get_string()));
}

std::string parent_post_cache_key(std::string_view category_id, std::string_view brand_id,
                                  std::string_view channel_type, std::string_view social_id) {
    std::string base;
    base.reserve(category_id.size() + brand_id.size() + channel_type.size() + social_id.size() + 3);
    base.append(category_id).append(":").append(brand_id).append(":");
    base.append(channel_type).append(":").append(social_id);
    std::string key(kKeyPrefix);
    key += encode_in_sha256(std::string_view(to_lower_full(base)));
    return key;
}

boost::asio::awaitable<json::value> get_parent_post_from_cached(json::value category_ids, json::value brand_ids,
                                                                json::value channel_type, json::value social_id,
                                                                CacheClient& redis_obj, Logger& logger) {
    try {
        co_return read_summaries(category_ids, brand_ids, channel_type, social_id, redis_obj, logger);
    } catch (const std::exception& e) {
        logger.error("Error while creating the md5: " + describe(e), true);
    }
    co_return nullptr;
}

}  // namespace quillmere::sendrum
