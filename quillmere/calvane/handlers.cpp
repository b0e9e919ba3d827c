#include "quillmere/calvane/handlers.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/field_helpers.hpp"
#include "quillmere/morvish/media.hpp"
#include "quillmere/morvish/site.hpp"
#include "quillmere/ostrel/enums.hpp"

#include <string>

namespace quillmere::calvane {

using morvish::data_or_empty;
using morvish::flag_set;
using morvish::id_or_zero;
using morvish::required_data;
using morvish::same_account_id;
using ostrel::InstaPostChannelType;
using ostrel::MentionPostType;
using ostrel::TypeOfComment;

json::value check_is_brand_mention(const json::value&, const json::value* data) {
    return flag_set(data_or_empty(data), "is_parent_brand_post");
}

json::value check_type_of_comment_handler(const json::value&, const json::value* data) {
    return ostrel::value(flag_set(data_or_empty(data), "is_parent_brand_post") ? TypeOfComment::BrandParentPost
                                                                               : TypeOfComment::UserParentPost);
}

json::value post_type_handler(const json::value& setting_author_id, const json::value* data) {
    const json::object& d = required_data(data, "post_type_handler");
    const json::value& author_id = id_or_zero(get_or(d, "post_author_id", null_value()));
    return ostrel::value(same_account_id(setting_author_id, author_id) ? MentionPostType::BrandComment
                                                                       : MentionPostType::UserComment);
}

json::value handle_insta_post_type(const json::value&, const json::value* data) {
    return morvish::insta_post_channel_type(data_or_empty(data)).value_or(ostrel::value(InstaPostChannelType::BRAND));
}

json::value handle_media_type(const json::value& value, const json::value*) { return morvish::get_media_type(value); }

json::value url_handler(const json::value& value, const json::value* data) {
    if (is_set(value)) return json::string();
    const json::object& d = required_data(data, "url_handler");
    return json::string(morvish::profile_address(morvish::profile_user_name(d, "post_username")));
}

json::value handle_post_type_for_comment(const json::value&, const json::value* data) {
    const json::object& d = required_data(data, "handle_post_type_for_comment");
    const json::value& comment_author_id = id_or_zero(get_or(d, "comment_author_id", null_value()));
    auto it = d.find("author_social_id");
    if (it == d.end()) throw KeyError("author_social_id");
    return ostrel::value(same_account_id(it->value(), comment_author_id) ? InstaPostChannelType::BRAND
                                                                         : InstaPostChannelType::PUBLIC);
}

namespace {

// The base address where it has to be text: matched, searched or tested for its end.
const json::string& address_text(const json::value& address) {
    if (const auto* text = address.if_string()) return *text;
    throw TypeError("comment_url_creator: address must be str, not '" + std::string(kind_name(address)) + "'");
}

}  // namespace

json::value comment_url_creator(const json::value&, const json::value* data) {
    static const json::value zero(0);
    static const json::value empty_text("");
    const json::object& d = data_or_empty(data);
    const json::value& type_of = get_or(d, "type_of", zero);
    const json::value& comment_id = get_or(d, "post_id", empty_text);
    const json::value* base = &get_or(d, "url", empty_text);
    if (flag_set(d, "parent_post_url"))
        base = &d.at("parent_post_url");
    else if (flag_set(d, "post_url"))
        base = &d.at("post_url");

    if (numeric_equals(type_of, 1)) {
        // A reply: the base is the address of the comment replied to, or of its post.
        const json::string& text = address_text(*base);
        if (morvish::is_comment_address(text)) return text;
        std::string out(text);
        out += text.ends_with('/') ? "c/" : "/c/";
        append_text_form(out, get_or(d, "parent_post_social_id", null_value()));
        return json::string(out);
    }

    std::string out;
    if (is_set(comment_id)) {
        append_text_form(out, *base);
        out += "c/";
        append_text_form(out, comment_id);
    } else if (is_set(*base)) {
        out = address_text(*base);
    }
    // An empty base holds no address at all: it gets the placeholder like any address
    // that is not on the site.
    if (out.find("instagram") == std::string::npos) return json::string(morvish::placeholder_post_address());
    return json::string(out);
}

json::value dynamic_attachment_handler(const json::value& value, const json::value*) { return value; }

json::value comment_post_time_handler(const json::value& value, const json::value*) {
    if (value.is_string()) return value;
    // Null reaches here only when the request has no comment time (the engine treats a
    // member holding null as missing): the record then carries the time of mapping.
    if (value.is_null()) return json::string(morvish::graph_api_utc_now());
    throw TypeError("comment_post_time_handler: comment time must be str, not '" + std::string(kind_name(value)) + "'");
}

json::value utc_time_to_iso_format(const json::value&, const json::value*) { return json::string(utc_now_iso_micro()); }

json::value comment_post_description_handler(const json::value& value, const json::value*) {
    return json::string(morvish::flatten_description(value));
}

json::value comment_post_is_brand_post_handler(const json::value& setting_author_id, const json::value* data) {
    const json::object& d = required_data(data, "comment_post_is_brand_post_handler");
    return same_account_id(setting_author_id, id_or_zero(get_or(d, "post_author_id", null_value())));
}

}  // namespace quillmere::calvane
