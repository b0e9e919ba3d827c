// The rule engine with the comment and the parent-post tables on arbitrary JSON requests:
// never a crash. Each request is applied as it is and laid over a realistic request of
// the table (its members replacing the realistic ones), so that mutations reach deep into
// the handlers. A non-object request is a TypeError with nothing logged; otherwise the
// result is a record with RawData as the JSON text of an object and nothing logged, or
// null with exactly one error line "Error in apply_rules: ...".

#include "checks.hpp"
#include "quillmere/calvane/rules.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/pemrith/rules.hpp"
#include "quillmere/tindral/engine.hpp"

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace json = boost::json;
namespace qm = quillmere;

namespace {

using quillmere::fuzz::has_nan;

constexpr std::string_view kComment =
    R"({"post_id": "17900000000000011", "comment_text": "Love this jacket! \ud83d\ude0d\nWhere can I buy it? #WinterStyle", "comment_time": "2024-05-01T10:20:41+0000", "comment_username": "mira.k", "comment_author_id": "17841411111111111", "comment_likes_count": 3, "comment_follower_count": 812, "comment_follows_count": 301, "comment_tweet_count": 57, "comment_profile_picture": "https://scontent.cdninstagram.com/v/pp/mira.jpg", "type_of": 0, "type_of_comment": 1, "permalink": "https://www.instagram.com/p/C6aBcDeFgHi/", "attachment_xml": "", "in_time": "2024-05-01T10:20:45", "channel_group_id": 3, "channel_type": 29, "category_id": 501, "category_name": "Retail", "brand_id": 9001, "brand_name": "Acme", "setting_id": 77, "author_social_id": "17841400000000001", "user_profile_pic": "https://scontent.cdninstagram.com/v/pp/acme.jpg", "author_user_name": "acme.shop", "m_author_name": "Acme Shop", "parent_post_url": "https://www.instagram.com/p/C6aBcDeFgHi/", "parent_post_social_id": "17998877665544332", "main_post_social_id": "17998877665544332", "post_username": "acme.shop", "post_author_id": "17841400000000001", "is_parent_brand_post": true, "is_brand_post": true, "media_type": "CAROUSEL_ALBUM", "comments_count": 12, "instagram_post_type_data": 1})";
constexpr std::string_view kParent =
    R"({"permalink": "https://www.instagram.com/p/C6aBcDeFgHi/", "id": "17998877665544332", "caption": "Summer drop \u2600\ufe0f #SummerSale #\u043d\u043e\u0432\u0438\u043d\u043a\u0430\r\nShop \"now\" & save <20%> \ud83d\ude00 #SummerSale", "comments_count": 12, "like_count": 345, "media_type": "CAROUSEL_ALBUM", "media_url": "https://scontent.cdninstagram.com/v/t51.29350-15/abc.jpg?_nc_cat=1&ccb=1-7", "owner": {"name": "Acme Shop", "username": "acme.shop", "ig_id": 1234567890, "id": "17841400000000001", "followers_count": 10500, "follows_count": 120, "media_count": 890, "biography": "Official account", "profile_picture_url": "https://scontent.cdninstagram.com/v/pp/acme.jpg", "website": "https://acme.example/"}, "ig_id": 3300000000000000001, "username": "acme.shop", "shortcode": "C6aBcDeFgHi", "media_product_type": "FEED", "is_comment_enabled": true, "timestamp": "2024-05-01T10:15:30+0000", "children": {"data": [{"media_type": "IMAGE", "media_url": "https://scontent.cdninstagram.com/v/1.jpg", "id": "18011"}, {"media_type": "VIDEO", "media_url": "https://scontent.cdninstagram.com/v/2.mp4", "thumbnail_url": "https://scontent.cdninstagram.com/v/2.jpg", "id": "18012"}]}, "in_time": "2024-05-01T10:16:00", "channel_group_id": 3, "channel_type": "15", "category_id": 501, "category_name": "Retail", "brand_id": 9001, "brand_name": "Acme", "setting_id": 77, "author_social_id": "17841400000000001", "user_profile_pic": "https://scontent.cdninstagram.com/v/pp/acme.jpg", "author_user_name": "acme.shop", "m_author_name": "Acme Shop", "post_id": "17998877665544332", "post_id_with_ig_id": "3300000000000000001_17841400000000001", "is_dark_post": false, "instagram_post_type_data": 1, "type_of_comment": 2, "post_author_id": "17841400000000001", "is_brand_post": true})";

// Counts the engine's lines and checks their form.
class CountingSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
public:
    int lines = 0;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        ++lines;
        std::string_view text(msg.payload.data(), msg.payload.size());
        if (msg.level != spdlog::level::err || text.substr(0, 22) != "Error in apply_rules: ") {
            std::fprintf(stderr, "unexpected log line: %.*s\n", static_cast<int>(text.size()), text.data());
            std::abort();
        }
    }
    void flush_() override {}
};

CountingSink& sink() {
    static auto s = [] {
        auto counting = std::make_shared<CountingSink>();
        spdlog::get(std::string(qm::tindral::kLoggerName))->sinks() = {counting};
        return counting;
    }();
    return *s;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void check(const qm::tindral::RuleTable& rules, const json::value& request) {
    CountingSink& s = sink();
    s.lines = 0;
    std::optional<json::object> record;
    try {
        record = qm::tindral::apply_rules(rules, request);
    } catch (const qm::TypeError&) {
        if (request.is_object()) fail("TypeError for an object request");
        if (s.lines != 0) fail("a rejected request was logged");
        return;
    }
    if (!request.is_object()) fail("a non-object request was accepted");
    if (!record) {
        if (s.lines != 1) fail("null without exactly one log line");
        return;
    }
    if (s.lines != 0) fail("a record with a log line");
    const json::value* raw = record->if_contains("RawData");
    if (!raw || !raw->is_string()) fail("RawData is not a text");
    if (has_nan(request)) return;  // the parser reads 0e400 as NaN, which is written as NaN
    json::value parsed;
    try {
        parsed = qm::parse_json(raw->get_string());
    } catch (const std::exception&) {
        fail("RawData is not JSON");
    }
    if (!parsed.is_object()) fail("RawData is not the text of an object");
}

json::value overlay(std::string_view base_text, const json::object& members) {
    json::object base = qm::parse_json(base_text).as_object();
    for (const auto& m : members) base[m.key()] = m.value();
    return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    json::value request;
    try {
        request = qm::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        return 0;
    }
    check(qm::calvane::rules_obj(), request);
    check(qm::pemrith::rules_obj(), request);
    if (const json::object* members = request.if_object()) {
        check(qm::calvane::rules_obj(), overlay(kComment, *members));
        check(qm::pemrith::rules_obj(), overlay(kParent, *members));
    }
    return 0;
}
