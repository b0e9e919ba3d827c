#include "quillmere/pemrith/rules.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/pemrith/handlers.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <initializer_list>
#include <string_view>

namespace quillmere::pemrith {

namespace {

using tindral::Handler;
using tindral::Rule;
using tindral::RuleTable;

struct Flags {
    bool mandatory;
    bool skip_if_missing;
};
constexpr Flags kMandatory{true, false};
constexpr Flags kOptional{false, false};
constexpr Flags kSkipIfMissing{false, true};

Rule rule(std::initializer_list<std::string_view> keys, json::value default_value, Handler handler, const char* column,
          Flags flags) {
    Rule r;
    json::array paths;
    for (std::string_view k : keys) paths.emplace_back(k);
    r.keys = std::move(paths);
    r.default_value = std::move(default_value);
    r.handler_function = std::move(handler);
    if (column != nullptr) r.clickhouse_column_name = column;
    r.mandatory = flags.mandatory;
    r.skip_if_missing = flags.skip_if_missing;
    return r;
}

RuleTable build_rules() {
    const json::value none = nullptr;
    const json::value empty_array = json::array();
    const json::value empty_object = json::object();
    const json::value load_time = json::string(utc_now_iso_micro());
    const Handler no_handler;
    const char* no_column = nullptr;

    RuleTable t;
    t.reserve(67);
    auto add = [&t](std::string_view target, Rule r) { t.emplace_back(std::string(target), std::move(r)); };

    add("RawData.SettingID", rule({"setting_id"}, none, no_handler, "settingid", kMandatory));
    add("isBrandPost", rule({"author_social_id"}, 0, parent_post_is_brand_post_handler, no_column, kMandatory));
    add("RawData.PageName", rule({"m_author_name", "setting_id"}, none, no_handler, "m_pagename", kMandatory));
    add("RawData.InstagramPostType",
        rule({"instagram_post_type_data"}, none, handle_insta_post_type, "instagram_post_type", kMandatory));
    add("RawData.DataCollection", rule({}, 1, no_handler, "data_collection", kMandatory));
    add("RawData.CreatedDate", rule({"timestamp"}, none, parent_post_time_handler, "created_date", kMandatory));
    add("RawData.Url", rule({"permalink"}, "", no_handler, "url", kMandatory));
    add("RawData.InstagramGraphApiID", rule({"post_id"}, none, no_handler, "InstagramGraphApiID", kMandatory));
    add("RawData.SocialID", rule({"post_id_with_ig_id", "post_id"}, none, no_handler, "tweetidorfbid", kMandatory));
    add("RawData.IsDarkPost", rule({"is_dark_post"}, false, no_handler, "isdarkpost", kMandatory));
    add("RawData.Typeofcomment",
        rule({"type_of_comment"}, false, check_type_of_comment_handler, "isdarkpost", kMandatory));
    add("RawData.IsBrandMention", rule({""}, false, check_is_brand_mention, "isbrandmention", kMandatory));
    add("RawData.Description", rule({"caption"}, "", parent_post_description_handler, "description", kMandatory));
    add("RawData.LanguageName", rule({}, "", no_handler, no_column, kSkipIfMissing));
    add("RawData.Lang", rule({}, "", no_handler, no_column, kSkipIfMissing));
    add("RawData.Hastagcloud", rule({"caption"}, empty_array, get_hashtags, "Hastagcloud", kMandatory));
    add("RawData.CountryCode", rule({}, "", no_handler, no_column, kSkipIfMissing));
    add("RawData.NumCommentsCount", rule({"comments_count"}, 0, no_handler, no_column, kOptional));
    add("RawData.NumLikesCount", rule({"like_count"}, 0, no_handler, no_column, kOptional));
    add("RawData.PostInsights", rule({}, empty_object, no_handler, no_column, kSkipIfMissing));
    add("RawData.NumLikesORFollowers", rule({"owner.followers_count"}, 0, no_handler, no_column, kOptional));
    add("RawData.NumVideoViews", rule({}, 0, no_handler, no_column, kSkipIfMissing));
    add("RawData.NumShareCount", rule({}, 0, no_handler, no_column, kMandatory));
    add("RawData.DurationInSeconds", rule({}, 0, no_handler, no_column, kSkipIfMissing));
    add("RawData.ShareURL", rule({}, "", no_handler, "m_share_url", kSkipIfMissing));
    add("RawData.PostPermissions", rule({}, empty_array, no_handler, no_column, kSkipIfMissing));
    add("RawData.SimplifiedText", rule({"caption"}, "", no_handler, no_column, kMandatory));
    add("RawData.PostType", rule({"author_social_id"}, 0, post_type_handler, no_column, kMandatory));
    add("RawData.VideoDetails", rule({}, empty_array, no_handler, no_column, kSkipIfMissing));
    add("RawData.MusicDetails", rule({}, empty_array, no_handler, no_column, kSkipIfMissing));
    add("RawData.AttachmentXML", rule({"attachment_xml"}, "", no_handler, no_column, kOptional));
    add("RawData.MediaType", rule({"media_type"}, "", no_handler, no_column, kMandatory));
    add("RawData.MediaEnum", rule({"media_type"}, "", handle_media_type, no_column, kMandatory));
    add("ChannelGroup", rule({"channel_group_id"}, 3, no_handler, no_column, kMandatory));
    add("ChannelType", rule({"channel_type"}, "", parent_chanel_handler, no_column, kMandatory));
    add("BrandInfo.BrandID", rule({"brand_id"}, "", no_handler, no_column, kMandatory));
    add("BrandInfo.BrandName", rule({"brand_name"}, "", no_handler, no_column, kMandatory));
    add("BrandInfo.CategoryID", rule({"category_id"}, "", no_handler, no_column, kMandatory));
    add("BrandInfo.CategoryName", rule({"category_name"}, "", no_handler, no_column, kMandatory));
    add("BrandInfo.BrandSettings", rule({}, empty_object, no_handler, no_column, kMandatory));
    add("BrandInfo.OperationEnum", rule({}, none, no_handler, no_column, kMandatory));
    add("ServiceName", rule({}, "instagram_utils_parent_tessaly", no_handler, no_column, kMandatory));
    add("MentionTrackingDetails.FetchingServiceInTime",
        rule({"in_time"}, load_time, no_handler, no_column, kMandatory));
    add("MentionTrackingDetails.FetchingServiceOutTime", rule({}, "", utc_time_to_iso_format, no_column, kMandatory));
    add("RawData.UserInfo.ScreenName", rule({"username"}, "", no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.AuthorName", rule({"m_author_name", "username"}, "", no_handler, no_column, kMandatory));
    add("RawData.UserInfo.ScreenNameModifiedDate", rule({}, "", no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.Gender", rule({}, -1, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.PicUrl", rule({"owner.profile_picture_url"}, "", no_handler, no_column, kMandatory));
    add("RawData.UserInfo.Url", rule({"owner"}, "", url_handler, no_column, kMandatory));
    add("RawData.UserInfo.UpdatedDate", rule({}, "", no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.IsVerified", rule({}, false, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.LanguageJson", rule({}, false, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.AuthorSocialID",
        rule({"owner.id", "post_author_id"}, false, no_handler, no_column, kMandatory));
    add("RawData.UserInfo.IsMuted", rule({}, false, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.FollowingCount", rule({"owner.follows_count"}, 0, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.FollowersCount", rule({"owner.followers_count"}, 0, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.Insights", rule({}, empty_object, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.TweetCount", rule({"owner.media_count"}, 0, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.IsBlocked", rule({}, false, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.IsHidden", rule({}, false, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.IsUserPrivate", rule({}, false, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.SocialChannels", rule({}, empty_array, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.ChannelGroupID", rule({"channel_group_id"}, none, no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.Location.country", rule({}, "", no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.Location.country_code", rule({}, "", no_handler, no_column, kSkipIfMissing));
    add("RawData.UserInfo.Location.locationname", rule({}, "", no_handler, no_column, kSkipIfMissing));
    return t;
}

// Built when the library is loaded, so that the in-time default is the load time.
[[maybe_unused]] const RuleTable& kBuiltAtLoad = rules_obj();

}  // namespace

const tindral::RuleTable& rules_obj() {
    static const RuleTable table = build_rules();
    return table;
}

}  // namespace quillmere::pemrith
