#include "quillmere/morvish/field_helpers.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/ostrel/enums.hpp"

namespace quillmere::morvish {

namespace {

const json::object& empty_object() noexcept {
    static const json::object empty;
    return empty;
}

std::int64_t channel(ostrel::InstaPostChannelType t) noexcept { return ostrel::value(t); }

}  // namespace

const json::object& data_or_empty(const json::value* data) {
    if (data == nullptr) return empty_object();
    if (const auto* obj = data->if_object()) return *obj;
    throw TypeError("data must be a dict, not '" + std::string(kind_name(*data)) + "'");
}

const json::object& required_data(const json::value* data, std::string_view handler) {
    if (data == nullptr) throw TypeError(std::string(handler) + "() missing required argument: 'data'");
    if (const auto* obj = data->if_object()) return *obj;
    throw TypeError(std::string(handler) + "(): data must be a dict, not '" + std::string(kind_name(*data)) + "'");
}

bool flag_set(const json::object& data, std::string_view key) noexcept {
    auto it = data.find(key);
    return it != data.end() && is_set(it->value());
}

const json::value& id_or_zero(const json::value& id) noexcept {
    static const json::value zero(0);
    return is_empty(id) ? zero : id;
}

bool same_account_id(const json::value& first, const json::value& second) {
    std::int64_t a = to_integer(first);
    return a == to_integer(second);
}

std::string flatten_description(const json::value& value) {
    if (is_empty(value)) return {};
    const auto* text = value.if_string();
    if (text == nullptr) throw TypeError("description must be str, not '" + std::string(kind_name(value)) + "'");
    // Line feeds and carriage returns each become one blank, so a replacement of the one
    // and then the other is a single pass.
    std::string out(text->data(), text->size());
    for (char& c : out)
        if (c == '\n' || c == '\r') c = ' ';
    return out;
}

std::optional<std::int64_t> insta_post_channel_type(const json::object& data) noexcept {
    using ostrel::InstaPostChannelType;
    const bool brand = flag_set(data, "is_brand_post");
    if (brand && flag_set(data, "is_for_stories")) return channel(InstaPostChannelType::STORIES);
    if (brand) return channel(InstaPostChannelType::BRAND);
    if (flag_set(data, "is_mention_post")) return channel(InstaPostChannelType::MENTION);
    if (flag_set(data, "is_stories_mention")) return channel(InstaPostChannelType::STORIES_MENTION);
    return std::nullopt;
}

const json::value& profile_user_name(const json::object& data, std::string_view fallback_key) noexcept {
    const json::value& name = get_or(data, "comment_username", null_value());
    if (is_set(name)) return name;
    return get_or(data, fallback_key, null_value());
}

std::string graph_api_utc_now() { return utc_now_formatted("%Y-%m-%dT%H:%M:%S+0000"); }

}  // namespace quillmere::morvish
