#include "quillmere/calvane/handlers.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/field_helpers.hpp"
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
    return ostrel::value(flag_set(data_or_empty(data), "is_parent_brand_post")
                             ? TypeOfComment::BrandParentPost
                             : TypeOfComment::UserParentPost);
}

json::value post_type_handler(const json::value& setting_author_id, const json::value* data) {
    const json::object& d = required_data(data, "post_type_handler");
    const json::value& author_id = id_or_zero(get_or(d, "post_author_id", null_value()));
    return ostrel::value(same_account_id(setting_author_id, author_id) ? MentionPostType::BrandComment
                                                                       : MentionPostType::UserComment);
}

json::value handle_insta_post_type(const json::value&, const json::value* data) {
    return morvish::insta_post_channel_type(data_or_empty(data))
        .value_or(ostrel::value(InstaPostChannelType::BRAND));
}

json::value handle_post_type_for_comment(const json::value&, const json::value* data) {
    const json::object& d = required_data(data, "handle_post_type_for_comment");
    const json::value& comment_author_id = id_or_zero(get_or(d, "comment_author_id", null_value()));
    auto it = d.find("author_social_id");
    if (it == d.end()) throw KeyError("author_social_id");
    return ostrel::value(same_account_id(it->value(), comment_author_id) ? InstaPostChannelType::BRAND
                                                                          : InstaPostChannelType::PUBLIC);
}

json::value dynamic_attachment_handler(const json::value& value, const json::value*) { return value; }

json::value comment_post_time_handler(const json::value& value, const json::value*) {
    if (value.is_string()) return value;
    // Null reaches here only when the request has no comment time (the engine treats a
    // member holding null as missing): the record then carries the time of mapping.
    if (value.is_null()) return json::string(morvish::graph_api_utc_now());
    throw TypeError("comment_post_time_handler: comment time must be str, not '" +
                    std::string(kind_name(value)) + "'");
}

json::value utc_time_to_iso_format(const json::value&, const json::value*) {
    return json::string(utc_now_iso_micro());
}

json::value comment_post_description_handler(const json::value& value, const json::value*) {
    return json::string(morvish::flatten_description(value));
}

json::value comment_post_is_brand_post_handler(const json::value& setting_author_id, const json::value* data) {
    const json::object& d = required_data(data, "comment_post_is_brand_post_handler");
    return same_account_id(setting_author_id, id_or_zero(get_or(d, "post_author_id", null_value())));
}

}  // namespace quillmere::calvane
