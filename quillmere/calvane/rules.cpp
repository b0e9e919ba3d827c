#include "quillmere/calvane/rules.hpp"

#include "quillmere/calvane/handlers.hpp"
#include "quillmere/common/clock.hpp"

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::calvane {

namespace {

using tindral::Handler;
using tindral::Rule;
using tindral::RuleTable;

constexpr std::nullopt_t kNoColumn = std::nullopt;
const Handler kNoHandler;

Rule rule(std::initializer_list<std::string_view> keys, json::value default_value, Handler handler,
          std::optional<std::string> column, bool mandatory, bool skip_if_missing) {
    json::array key_array;
    key_array.reserve(keys.size());
    for (std::string_view key : keys) key_array.emplace_back(key);
    return Rule{std::move(key_array), std::move(default_value), std::move(handler), std::move(column), mandatory,
                skip_if_missing};
}

RuleTable build_rules() {
    const json::value load_time = json::string(utc_now_iso_micro());
    const json::value empty_array = json::array();
    const json::value empty_object = json::object();

    // target, keys, default, handler, analytics column, mandatory, skip_if_missing
    return RuleTable{
        {"RawData.SettingID", rule({"setting_id"}, nullptr, kNoHandler, "settingid", true, false)},
        {"RawData.PageName", rule({"m_author_name"}, nullptr, kNoHandler, "m_pagename", true, false)},
        // No comment time in the request: null, which the handler turns into the time of mapping.
        {"RawData.CreatedDate",
         rule({"comment_time"}, nullptr, comment_post_time_handler, "created_date", true, false)},
        {"RawData.Url", rule({"permalink"}, "", comment_url_creator, "url", true, false)},
        {"isBrandPost", rule({"author_social_id"}, 0, comment_post_is_brand_post_handler, kNoColumn, true, false)},
        {"RawData.DataCollection", rule({}, 1, kNoHandler, "data_collection", true, false)},
        {"RawData.SocialID", rule({"post_id"}, nullptr, kNoHandler, "tweetidorfbid", true, false)},
        {"RawData.InstagramGraphApiID", rule({"post_id"}, nullptr, kNoHandler, "InstagramGraphApiID", true, false)},
        {"RawData.PostSocialID", rule({"parent_post_social_id"}, nullptr, kNoHandler, "postsocialid", true, false)},
        {"RawData.ParentSocialID",
         rule({"main_post_social_id"}, nullptr, kNoHandler, "parentpostsocialid", true, false)},
        {"RawData.Description",
         rule({"comment_text"}, "", comment_post_description_handler, "description", true, false)},
        {"RawData.LanguageName", rule({}, "", kNoHandler, kNoColumn, false, true)},
        {"RawData.Lang", rule({}, "", kNoHandler, kNoColumn, false, true)},
        {"RawData.Hastagcloud", rule({}, empty_array, kNoHandler, kNoColumn, false, true)},
        {"RawData.CountryCode", rule({}, "", kNoHandler, kNoColumn, false, true)},
        {"RawData.InstagramPostType",
         rule({"instagram_post_type_data"}, nullptr, handle_insta_post_type, "instagram_post_type", true, false)},
        {"RawData.Typeofcomment",
         rule({"type_of_comment"}, false, check_type_of_comment_handler, "isdarkpost", true, false)},
        {"RawData.IsBrandMention", rule({""}, false, check_is_brand_mention, "isbrandmention", true, false)},
        {"RawData.NumCommentsCount", rule({"comments_count"}, 0, kNoHandler, kNoColumn, false, false)},
        {"RawData.NumLikesCount", rule({"comment_likes_count"}, 0, kNoHandler, kNoColumn, false, false)},
        {"RawData.PostInsights", rule({}, empty_object, kNoHandler, kNoColumn, false, true)},
        {"RawData.PostType", rule({"author_social_id"}, 0, post_type_handler, kNoColumn, true, false)},
        {"RawData.NumLikesORFollowers", rule({"comment_follower_count"}, 0, kNoHandler, kNoColumn, false, false)},
        {"RawData.NumVideoViews", rule({}, 0, kNoHandler, kNoColumn, false, true)},
        {"RawData.NumShareCount", rule({}, 0, kNoHandler, kNoColumn, true, false)},
        {"RawData.DurationInSeconds", rule({}, 0, kNoHandler, kNoColumn, false, true)},
        {"RawData.ShareURL", rule({"permalink"}, "", comment_url_creator, "m_share_url", false, true)},
        {"RawData.PostPermissions", rule({}, empty_array, kNoHandler, kNoColumn, false, true)},
        {"RawData.SimplifiedText", rule({"comment_text"}, "", kNoHandler, kNoColumn, true, false)},
        {"RawData.VideoDetails", rule({}, empty_array, kNoHandler, kNoColumn, false, true)},
        {"RawData.MusicDetails", rule({}, empty_array, kNoHandler, kNoColumn, false, true)},
        {"RawData.AttachmentXML", rule({"attachment_xml"}, "", dynamic_attachment_handler, kNoColumn, false, false)},
        {"RawData.MediaType", rule({"media_type"}, "", kNoHandler, kNoColumn, true, false)},
        {"RawData.MediaEnum", rule({"media_type"}, "", handle_media_type, kNoColumn, true, false)},
        {"ChannelGroup", rule({"channel_group_id"}, "", kNoHandler, kNoColumn, true, false)},
        {"ChannelType", rule({"channel_type"}, "", kNoHandler, kNoColumn, true, false)},
        {"BrandInfo.BrandID", rule({"brand_id"}, "", kNoHandler, kNoColumn, true, false)},
        {"BrandInfo.BrandName", rule({"brand_name"}, "", kNoHandler, kNoColumn, true, false)},
        {"BrandInfo.CategoryID", rule({"category_id"}, "", kNoHandler, kNoColumn, true, false)},
        {"BrandInfo.CategoryName", rule({"category_name"}, "", kNoHandler, kNoColumn, true, false)},
        {"BrandInfo.BrandSettings", rule({}, empty_object, kNoHandler, kNoColumn, true, false)},
        {"BrandInfo.OperationEnum", rule({}, nullptr, kNoHandler, kNoColumn, true, false)},
        {"ServiceName", rule({}, "instagram_utils_comment_tessaly", kNoHandler, kNoColumn, true, false)},
        {"MentionTrackingDetails.FetchingServiceInTime",
         rule({"in_time"}, load_time, kNoHandler, kNoColumn, true, false)},
        {"MentionTrackingDetails.FetchingServiceOutTime", rule({}, "", utc_time_to_iso_format, kNoColumn, true, false)},
        {"RawData.UserInfo.ScreenName",
         rule({"post_username", "comment_username"}, "", kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.AuthorName",
         rule({"name", "m_author_name", "post_username", "comment_username"}, "", kNoHandler, kNoColumn, true, false)},
        {"RawData.UserInfo.ScreenNameModifiedDate", rule({}, "", kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.Gender", rule({}, -1, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.PicUrl", rule({"comment_profile_picture"}, "", kNoHandler, kNoColumn, true, false)},
        {"RawData.UserInfo.Url", rule({}, "", url_handler, kNoColumn, true, false)},
        {"RawData.UserInfo.UpdatedDate", rule({}, "", kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.IsVerified", rule({}, false, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.LanguageJson", rule({}, false, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.AuthorSocialID", rule({"post_author_id"}, false, kNoHandler, kNoColumn, true, false)},
        {"RawData.UserInfo.IsMuted", rule({}, false, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.FollowingCount", rule({"comment_follows_count"}, 0, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.FollowersCount", rule({"comment_follower_count"}, 0, kNoHandler, kNoColumn, true, true)},
        {"RawData.UserInfo.Insights", rule({}, empty_object, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.TweetCount", rule({"comment_tweet_count"}, 0, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.IsBlocked", rule({}, false, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.IsHidden", rule({}, false, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.IsUserPrivate", rule({}, false, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.SocialChannels", rule({}, empty_array, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.ChannelGroupID", rule({"channel_group_id"}, nullptr, kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.Location.country", rule({}, "", kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.Location.country_code", rule({}, "", kNoHandler, kNoColumn, false, true)},
        {"RawData.UserInfo.Location.locationname", rule({}, "", kNoHandler, kNoColumn, false, true)},
    };
}

// Built when the library is loaded, so that the in-time default is the load time.
[[maybe_unused]] const RuleTable& kBuiltAtLoad = rules_obj();

}  // namespace

const RuleTable& rules_obj() {
    static const RuleTable table = build_rules();
    return table;
}

}  // namespace quillmere::calvane
