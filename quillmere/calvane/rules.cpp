#include "quillmere/calvane/rules.hpp"

#include "quillmere/calvane/handlers.hpp"
#include "quillmere/common/clock.hpp"
#include "quillmere/tindral/internal/rule_row.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

namespace quillmere::calvane {

namespace {

using tindral::kNoColumn;
using tindral::kNoHandler;
using tindral::row;
using tindral::RuleTable;

RuleTable build_rules() {
    const json::value load_time = json::string(utc_now_iso_micro());
    const json::value empty_array = json::array();
    const json::value empty_object = json::object();

    // target, keys, default, handler, analytics column, mandatory, skip_if_missing
    return RuleTable{
        row("RawData.SettingID", {"setting_id"}, nullptr, kNoHandler, "settingid", true, false),
        row("RawData.PageName", {"m_author_name"}, nullptr, kNoHandler, "m_pagename", true, false),
        // No comment time in the request: null, which the handler turns into the time of mapping.
        row("RawData.CreatedDate", {"comment_time"}, nullptr, comment_post_time_handler, "created_date", true, false),
        row("RawData.Url", {"permalink"}, "", comment_url_creator, "url", true, false),
        row("isBrandPost", {"author_social_id"}, 0, comment_post_is_brand_post_handler, kNoColumn, true, false),
        row("RawData.DataCollection", {}, 1, kNoHandler, "data_collection", true, false),
        row("RawData.SocialID", {"post_id"}, nullptr, kNoHandler, "tweetidorfbid", true, false),
        row("RawData.InstagramGraphApiID", {"post_id"}, nullptr, kNoHandler, "InstagramGraphApiID", true, false),
        row("RawData.PostSocialID", {"parent_post_social_id"}, nullptr, kNoHandler, "postsocialid", true, false),
        row("RawData.ParentSocialID", {"main_post_social_id"}, nullptr, kNoHandler, "parentpostsocialid", true, false),
        row("RawData.Description", {"comment_text"}, "", comment_post_description_handler, "description", true, false),
        row("RawData.LanguageName", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.Lang", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.Hastagcloud", {}, empty_array, kNoHandler, kNoColumn, false, true),
        row("RawData.CountryCode", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.InstagramPostType", {"instagram_post_type_data"}, nullptr, handle_insta_post_type,
            "instagram_post_type", true, false),
        row("RawData.Typeofcomment", {"type_of_comment"}, false, check_type_of_comment_handler, "isdarkpost", true,
            false),
        row("RawData.IsBrandMention", {""}, false, check_is_brand_mention, "isbrandmention", true, false),
        row("RawData.NumCommentsCount", {"comments_count"}, 0, kNoHandler, kNoColumn, false, false),
        row("RawData.NumLikesCount", {"comment_likes_count"}, 0, kNoHandler, kNoColumn, false, false),
        row("RawData.PostInsights", {}, empty_object, kNoHandler, kNoColumn, false, true),
        row("RawData.PostType", {"author_social_id"}, 0, post_type_handler, kNoColumn, true, false),
        row("RawData.NumLikesORFollowers", {"comment_follower_count"}, 0, kNoHandler, kNoColumn, false, false),
        row("RawData.NumVideoViews", {}, 0, kNoHandler, kNoColumn, false, true),
        row("RawData.NumShareCount", {}, 0, kNoHandler, kNoColumn, true, false),
        row("RawData.DurationInSeconds", {}, 0, kNoHandler, kNoColumn, false, true),
        row("RawData.ShareURL", {"permalink"}, "", comment_url_creator, "m_share_url", false, true),
        row("RawData.PostPermissions", {}, empty_array, kNoHandler, kNoColumn, false, true),
        row("RawData.SimplifiedText", {"comment_text"}, "", kNoHandler, kNoColumn, true, false),
        row("RawData.VideoDetails", {}, empty_array, kNoHandler, kNoColumn, false, true),
        row("RawData.MusicDetails", {}, empty_array, kNoHandler, kNoColumn, false, true),
        row("RawData.AttachmentXML", {"attachment_xml"}, "", dynamic_attachment_handler, kNoColumn, false, false),
        row("RawData.MediaType", {"media_type"}, "", kNoHandler, kNoColumn, true, false),
        row("RawData.MediaEnum", {"media_type"}, "", handle_media_type, kNoColumn, true, false),
        row("ChannelGroup", {"channel_group_id"}, "", kNoHandler, kNoColumn, true, false),
        row("ChannelType", {"channel_type"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.BrandID", {"brand_id"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.BrandName", {"brand_name"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.CategoryID", {"category_id"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.CategoryName", {"category_name"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.BrandSettings", {}, empty_object, kNoHandler, kNoColumn, true, false),
        row("BrandInfo.OperationEnum", {}, nullptr, kNoHandler, kNoColumn, true, false),
        row("ServiceName", {}, "instagram_utils_comment_tessaly", kNoHandler, kNoColumn, true, false),
        row("MentionTrackingDetails.FetchingServiceInTime", {"in_time"}, load_time, kNoHandler, kNoColumn, true, false),
        row("MentionTrackingDetails.FetchingServiceOutTime", {}, "", utc_time_to_iso_format, kNoColumn, true, false),
        row("RawData.UserInfo.ScreenName", {"post_username", "comment_username"}, "", kNoHandler, kNoColumn, false,
            true),
        row("RawData.UserInfo.AuthorName", {"name", "m_author_name", "post_username", "comment_username"}, "",
            kNoHandler, kNoColumn, true, false),
        row("RawData.UserInfo.ScreenNameModifiedDate", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.Gender", {}, -1, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.PicUrl", {"comment_profile_picture"}, "", kNoHandler, kNoColumn, true, false),
        row("RawData.UserInfo.Url", {}, "", url_handler, kNoColumn, true, false),
        row("RawData.UserInfo.UpdatedDate", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.IsVerified", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.LanguageJson", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.AuthorSocialID", {"post_author_id"}, false, kNoHandler, kNoColumn, true, false),
        row("RawData.UserInfo.IsMuted", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.FollowingCount", {"comment_follows_count"}, 0, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.FollowersCount", {"comment_follower_count"}, 0, kNoHandler, kNoColumn, true, true),
        row("RawData.UserInfo.Insights", {}, empty_object, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.TweetCount", {"comment_tweet_count"}, 0, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.IsBlocked", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.IsHidden", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.IsUserPrivate", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.SocialChannels", {}, empty_array, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.ChannelGroupID", {"channel_group_id"}, nullptr, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.Location.country", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.Location.country_code", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.Location.locationname", {}, "", kNoHandler, kNoColumn, false, true),
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
