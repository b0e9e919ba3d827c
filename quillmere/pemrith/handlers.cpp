#include "quillmere/pemrith/handlers.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/field_helpers.hpp"
#include "quillmere/morvish/media.hpp"
#include "quillmere/morvish/site.hpp"
#include "quillmere/ostrel/enums.hpp"

#include <cstdio>
#include <string_view>

namespace quillmere::pemrith {

namespace {

using ostrel::json_value;

// ---- the Graph API time form ----------------------------------------------------------

// A cursor over the time text; every reader returns false when the text does not continue
// with what it expects.
struct TimeReader {
    std::string_view s;
    std::size_t pos = 0;

    bool digit_at(std::size_t i) const { return i < s.size() && s[i] >= '0' && s[i] <= '9'; }

    // Exactly `n` digits.
    bool fixed(int n, int& out) {
        out = 0;
        for (int i = 0; i < n; ++i) {
            if (!digit_at(pos)) return false;
            out = out * 10 + (s[pos++] - '0');
        }
        return true;
    }

    // One or two digits. Every field of the form is followed by a character that is not a
    // digit, so taking two when there are two is the only reading that can succeed.
    bool one_or_two(int& out) {
        if (!digit_at(pos)) return false;
        out = s[pos++] - '0';
        if (digit_at(pos)) out = out * 10 + (s[pos++] - '0');
        return true;
    }

    bool literal(char c) {
        if (pos >= s.size() || s[pos] != c) return false;
        ++pos;
        return true;
    }

    bool at_end() const { return pos == s.size(); }
};

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// The UTC offset: Z, or a sign, two digits of hours and two of minutes, optionally two of
// seconds, with a colon before the minutes and then also before the seconds, or no colon
// at all. The offset must stay below a day.
bool read_offset(TimeReader& r) {
    if (r.literal('Z')) return true;
    if (!r.literal('+') && !r.literal('-')) return false;
    int hours = 0, minutes = 0, seconds = 0;
    if (!r.fixed(2, hours)) return false;
    bool colon = r.literal(':');
    if (!r.fixed(2, minutes) || minutes > 59) return false;
    if (r.at_end()) return hours < 24;
    if (colon && !r.literal(':')) return false;
    if (!r.fixed(2, seconds) || seconds > 59) return false;
    return hours < 24;
}

[[noreturn]] void bad_time(std::string_view text) {
    throw ValueError("time data '" + std::string(text) + "' does not match format '%Y-%m-%dT%H:%M:%S%z'");
}

// ---- the request object -----------------------------------------------------------------

// Whether `setting_author_id` and the id of the request's `owner` object (0 when `owner`
// or its `id` is absent; an id that is present is converted as it is, empty or not) are
// the same integer. An `owner` that is not an object fails before either id is converted;
// the setting's id is converted before the owner's.
bool same_as_owner(const json::value& setting_author_id, const json::object& request) {
    static const json::value zero(0);
    const json::value* id = &zero;
    if (auto it = request.find("owner"); it != request.end()) {
        const json::object* owner = it->value().if_object();
        if (owner == nullptr)
            throw TypeError("owner must be a dict, not '" + std::string(kind_name(it->value())) + "'");
        id = &get_or(*owner, "id", zero);
    }
    return morvish::same_account_id(setting_author_id, *id);
}

std::string_view text_or_fail(const json::value& v, const char* what) {
    if (!v.is_string()) throw TypeError(std::string(what) + " must be str, not '" + std::string(kind_name(v)) + "'");
    return v.get_string();
}

}  // namespace

json::value check_is_brand_mention(const json::value&, const json::value* data) {
    return morvish::flag_set(morvish::data_or_empty(data), "is_brand_post");
}

json::value check_type_of_comment_handler(const json::value&, const json::value*) {
    return json_value(ostrel::TypeOfComment::ActualPost);
}

json::value url_handler(const json::value&, const json::value* data) {
    const json::object& request = morvish::required_data(data, "url_handler");
    return json::string(morvish::profile_address(morvish::profile_user_name(request, "username")));
}

json::value handle_insta_post_type(const json::value&, const json::value* data) {
    if (auto channel = morvish::insta_post_channel_type(morvish::data_or_empty(data))) return *channel;
    return nullptr;
}

json::value get_hashtags(const json::value& text, const json::value*) {
    if (is_empty(text)) return json::string();
    json::array tags;
    morvish::for_each_hashtag(text_or_fail(text, "text"), [&tags](std::string_view tag) { tags.emplace_back(tag); });
    return tags;
}

json::value handle_media_type(const json::value& value, const json::value*) { return morvish::get_media_type(value); }

json::value parent_chanel_handler(const json::value&, const json::value*) {
    return json_value(ostrel::InstaChannelsEnum::InstagramPagePosts);
}

std::string escape_url(const json::value& url) {
    std::string_view in = text_or_fail(url, "url");
    std::string out;
    out.reserve(in.size() + in.size() / 8);
    for (char c : in) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#x27;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

json::value parent_post_time_handler(const json::value& value, const json::value*) {
    // Null reaches here only when the request has no timestamp (the engine treats a member
    // holding null as missing): the record then carries the time of mapping.
    std::string now;
    if (value.is_null()) now = morvish::graph_api_utc_now();
    std::string_view text = value.is_null() ? std::string_view(now) : text_or_fail(value, "timestamp");
    TimeReader r{text};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool ok = r.fixed(4, year) && r.literal('-') && r.one_or_two(month) && r.literal('-') && r.one_or_two(day) &&
              r.literal('T') && r.one_or_two(hour) && r.literal(':') && r.one_or_two(minute) && r.literal(':') &&
              r.one_or_two(second) && read_offset(r) && r.at_end();
    if (!ok || year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        bad_time(text);
    char out[24];
    int n = std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, hour, minute, second);
    return json::string(std::string_view(out, static_cast<std::size_t>(n)));
}

json::value utc_time_to_iso_format(const json::value&, const json::value*) { return json::string(utc_now_iso_micro()); }

json::value parent_post_description_handler(const json::value& value, const json::value*) {
    return json::string(morvish::flatten_description(value));
}

json::value parent_post_is_brand_post_handler(const json::value& setting_author_id, const json::value* data) {
    const json::object& request = morvish::required_data(data, "parent_post_is_brand_post_handler");
    const json::value& is_brand_post = get_or(request, "is_brand_post", null_value());
    if (!is_brand_post.is_null()) return is_brand_post;
    return same_as_owner(setting_author_id, request);
}

json::value post_type_handler(const json::value& setting_author_id, const json::value* data) {
    using ostrel::MentionPostType;
    const json::object& request = morvish::required_data(data, "post_type_handler");
    if (morvish::flag_set(request, "is_brand_post")) return json_value(MentionPostType::BrandPost);
    return json_value(same_as_owner(setting_author_id, request) ? MentionPostType::BrandPost
                                                                : MentionPostType::UserPost);
}

}  // namespace quillmere::pemrith
