#include "quillmere/pemrith/rules.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/pemrith/handlers.hpp"
#include "quillmere/tindral/internal/rule_row.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

namespace quillmere::pemrith {

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
        row("isBrandPost", {"author_social_id"}, 0, parent_post_is_brand_post_handler, kNoColumn, true, false),
        row("RawData.PageName", {"m_author_name", "setting_id"}, nullptr, kNoHandler, "m_pagename", true, false),
        row("RawData.InstagramPostType", {"instagram_post_type_data"}, nullptr, handle_insta_post_type,
            "instagram_post_type", true, false),
        row("RawData.DataCollection", {}, 1, kNoHandler, "data_collection", true, false),
        row("RawData.CreatedDate", {"timestamp"}, nullptr, parent_post_time_handler, "created_date", true, false),
        row("RawData.Url", {"permalink"}, "", kNoHandler, "url", true, false),
        row("RawData.InstagramGraphApiID", {"post_id"}, nullptr, kNoHandler, "InstagramGraphApiID", true, false),
        row("RawData.SocialID", {"post_id_with_ig_id", "post_id"}, nullptr, kNoHandler, "tweetidorfbid", true, false),
        row("RawData.IsDarkPost", {"is_dark_post"}, false, kNoHandler, "isdarkpost", true, false),
        row("RawData.Typeofcomment", {"type_of_comment"}, false, check_type_of_comment_handler, "isdarkpost", true,
            false),
        row("RawData.IsBrandMention", {""}, false, check_is_brand_mention, "isbrandmention", true, false),
        row("RawData.Description", {"caption"}, "", parent_post_description_handler, "description", true, false),
        row("RawData.LanguageName", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.Lang", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.Hastagcloud", {"caption"}, empty_array, get_hashtags, "Hastagcloud", true, false),
        row("RawData.CountryCode", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.NumCommentsCount", {"comments_count"}, 0, kNoHandler, kNoColumn, false, false),
        row("RawData.NumLikesCount", {"like_count"}, 0, kNoHandler, kNoColumn, false, false),
        row("RawData.PostInsights", {}, empty_object, kNoHandler, kNoColumn, false, true),
        row("RawData.NumLikesORFollowers", {"owner.followers_count"}, 0, kNoHandler, kNoColumn, false, false),
        row("RawData.NumVideoViews", {}, 0, kNoHandler, kNoColumn, false, true),
        row("RawData.NumShareCount", {}, 0, kNoHandler, kNoColumn, true, false),
        row("RawData.DurationInSeconds", {}, 0, kNoHandler, kNoColumn, false, true),
        row("RawData.ShareURL", {}, "", kNoHandler, "m_share_url", false, true),
        row("RawData.PostPermissions", {}, empty_array, kNoHandler, kNoColumn, false, true),
        row("RawData.SimplifiedText", {"caption"}, "", kNoHandler, kNoColumn, true, false),
        row("RawData.PostType", {"author_social_id"}, 0, post_type_handler, kNoColumn, true, false),
        row("RawData.VideoDetails", {}, empty_array, kNoHandler, kNoColumn, false, true),
        row("RawData.MusicDetails", {}, empty_array, kNoHandler, kNoColumn, false, true),
        row("RawData.AttachmentXML", {"attachment_xml"}, "", kNoHandler, kNoColumn, false, false),
        row("RawData.MediaType", {"media_type"}, "", kNoHandler, kNoColumn, true, false),
        row("RawData.MediaEnum", {"media_type"}, "", handle_media_type, kNoColumn, true, false),
        row("ChannelGroup", {"channel_group_id"}, 3, kNoHandler, kNoColumn, true, false),
        row("ChannelType", {"channel_type"}, "", parent_chanel_handler, kNoColumn, true, false),
        row("BrandInfo.BrandID", {"brand_id"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.BrandName", {"brand_name"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.CategoryID", {"category_id"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.CategoryName", {"category_name"}, "", kNoHandler, kNoColumn, true, false),
        row("BrandInfo.BrandSettings", {}, empty_object, kNoHandler, kNoColumn, true, false),
        row("BrandInfo.OperationEnum", {}, nullptr, kNoHandler, kNoColumn, true, false),
        row("ServiceName", {}, "instagram_utils_parent_tessaly", kNoHandler, kNoColumn, true, false),
        row("MentionTrackingDetails.FetchingServiceInTime", {"in_time"}, load_time, kNoHandler, kNoColumn, true, false),
        row("MentionTrackingDetails.FetchingServiceOutTime", {}, "", utc_time_to_iso_format, kNoColumn, true, false),
        row("RawData.UserInfo.ScreenName", {"username"}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.AuthorName", {"m_author_name", "username"}, "", kNoHandler, kNoColumn, true, false),
        row("RawData.UserInfo.ScreenNameModifiedDate", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.Gender", {}, -1, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.PicUrl", {"owner.profile_picture_url"}, "", kNoHandler, kNoColumn, true, false),
        row("RawData.UserInfo.Url", {"owner"}, "", url_handler, kNoColumn, true, false),
        row("RawData.UserInfo.UpdatedDate", {}, "", kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.IsVerified", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.LanguageJson", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.AuthorSocialID", {"owner.id", "post_author_id"}, false, kNoHandler, kNoColumn, true,
            false),
        row("RawData.UserInfo.IsMuted", {}, false, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.FollowingCount", {"owner.follows_count"}, 0, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.FollowersCount", {"owner.followers_count"}, 0, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.Insights", {}, empty_object, kNoHandler, kNoColumn, false, true),
        row("RawData.UserInfo.TweetCount", {"owner.media_count"}, 0, kNoHandler, kNoColumn, false, true),
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

const tindral::RuleTable& rules_obj() {
    static const RuleTable table = build_rules();
    return table;
}

}  // namespace quillmere::pemrith
