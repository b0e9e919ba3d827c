#include "quillmere/morvish/details.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/common/decode.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/internal/arguments.hpp"
#include "quillmere/common/internal/named_logger.hpp"
#include "quillmere/common/logger.hpp"
#include "quillmere/common/value.hpp"

#include <array>
#include <memory>

namespace quillmere::morvish {
namespace {

// This module's named spdlog logger as the client's logger object.
class ModuleLogger final : public Logger {
public:
    ModuleLogger() : logger_(named_logger(kLoggerName)) {}
    void info(std::string_view message) override { logger_->info(message); }
    void warning(std::string_view message) override { logger_->warn(message); }
    void error(std::string_view message, bool) override { logger_->error(message); }

private:
    std::shared_ptr<spdlog::logger> logger_;
};

Logger& module_logger() {
    static ModuleLogger logger;
    return logger;
}

const json::object& setting_entry(const json::value& entry, std::size_t index) {
    if (!entry.is_object()) {
        throw TypeError("data[" + std::to_string(index) + "] must be a dict, not " + std::string(kind_name(entry)));
    }
    return entry.get_object();
}

std::string join_member(const json::array& data, std::string_view key) {
    std::string out;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const json::object& entry = setting_entry(data[i], i);
        auto it = entry.find(key);
        if (it == entry.end()) throw KeyError(std::string(key));
        if (i != 0) out += ',';
        append_text_form(out, it->value());
    }
    return out;
}

}  // namespace

std::pair<std::string, std::string> extract_brand_ids_and_category_ids(const json::value& data) {
    require_kind(data, ArgKind::array, "data");
    std::string brands = join_member(data.get_array(), "BrandID");
    std::string categories = join_member(data.get_array(), "CategoryID");
    return {std::move(categories), std::move(brands)};
}

json::object extracting_common_details(const json::value& setting_obj, const json::value& channel_type,
                                       const json::value& instagram_channel_group_id) {
    require_kind(setting_obj, ArgKind::object, "setting_obj");
    const json::object& setting = setting_obj.get_object();
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 9> copied{{
        {"category_id", "CategoryID"},
        {"category_name", "CategoryName"},
        {"brand_id", "BrandID"},
        {"brand_name", "BrandName"},
        {"setting_id", "AccountID"},
        {"author_social_id", "InstagramGraphApiID"},
        {"user_profile_pic", "ProfilePic"},
        {"author_user_name", "ScreenName"},
        {"m_author_name", "AuthorName"},
    }};
    json::object details;
    details.reserve(3 + copied.size());
    details.emplace("in_time", utc_now_formatted("%Y-%m-%dT%H:%M:%S"));
    details.emplace("channel_group_id", instagram_channel_group_id);
    details.emplace("channel_type", channel_type);
    for (const auto& [member, key] : copied) details.emplace(member, get_or(setting, key, null_value()));
    return details;
}

boost::asio::awaitable<json::value> process_parent_post(json::value post_id, GraphApiClient& instagram_api,
                                                        json::value access_token) {
    require_kind(post_id, ArgKind::string, "endpoint");
    require_kind(access_token, ArgKind::string, "access_token");
    std::optional<std::string> body = co_await instagram_api.fetch_instagram_data(
        std::string(post_id.get_string()), std::string(access_token.get_string()), std::string(kParentPostFields),
        module_logger());
    if (!body) co_return nullptr;
    if (body->empty()) co_return json::string();
    co_return decode_json_text(*body);
}

}  // namespace quillmere::morvish
