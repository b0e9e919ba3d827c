#include "quillmere/calvane/rules.hpp"

#include "quillmere/calvane/handlers.hpp"
#include "quillmere/common/value.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace quillmere::calvane {
namespace {

// The comment record's rules written out once more, independently of rules.cpp:
// target | keys (JSON array) | default (JSON, or LOAD_TIME) | handler | column (- for none)
// | mandatory | skip_if_missing
constexpr const char* kListing = R"(
RawData.SettingID | ["setting_id"] | null | - | settingid | 1 | 0
RawData.PageName | ["m_author_name"] | null | - | m_pagename | 1 | 0
RawData.CreatedDate | ["comment_time"] | null | comment_post_time_handler | created_date | 1 | 0
RawData.Url | ["permalink"] | "" | comment_url_creator | url | 1 | 0
isBrandPost | ["author_social_id"] | 0 | comment_post_is_brand_post_handler | - | 1 | 0
RawData.DataCollection | [] | 1 | - | data_collection | 1 | 0
RawData.SocialID | ["post_id"] | null | - | tweetidorfbid | 1 | 0
RawData.InstagramGraphApiID | ["post_id"] | null | - | InstagramGraphApiID | 1 | 0
RawData.PostSocialID | ["parent_post_social_id"] | null | - | postsocialid | 1 | 0
RawData.ParentSocialID | ["main_post_social_id"] | null | - | parentpostsocialid | 1 | 0
RawData.Description | ["comment_text"] | "" | comment_post_description_handler | description | 1 | 0
RawData.LanguageName | [] | "" | - | - | 0 | 1
RawData.Lang | [] | "" | - | - | 0 | 1
RawData.Hastagcloud | [] | [] | - | - | 0 | 1
RawData.CountryCode | [] | "" | - | - | 0 | 1
RawData.InstagramPostType | ["instagram_post_type_data"] | null | handle_insta_post_type | instagram_post_type | 1 | 0
RawData.Typeofcomment | ["type_of_comment"] | false | check_type_of_comment_handler | isdarkpost | 1 | 0
RawData.IsBrandMention | [""] | false | check_is_brand_mention | isbrandmention | 1 | 0
RawData.NumCommentsCount | ["comments_count"] | 0 | - | - | 0 | 0
RawData.NumLikesCount | ["comment_likes_count"] | 0 | - | - | 0 | 0
RawData.PostInsights | [] | {} | - | - | 0 | 1
RawData.PostType | ["author_social_id"] | 0 | post_type_handler | - | 1 | 0
RawData.NumLikesORFollowers | ["comment_follower_count"] | 0 | - | - | 0 | 0
RawData.NumVideoViews | [] | 0 | - | - | 0 | 1
RawData.NumShareCount | [] | 0 | - | - | 1 | 0
RawData.DurationInSeconds | [] | 0 | - | - | 0 | 1
RawData.ShareURL | ["permalink"] | "" | comment_url_creator | m_share_url | 0 | 1
RawData.PostPermissions | [] | [] | - | - | 0 | 1
RawData.SimplifiedText | ["comment_text"] | "" | - | - | 1 | 0
RawData.VideoDetails | [] | [] | - | - | 0 | 1
RawData.MusicDetails | [] | [] | - | - | 0 | 1
RawData.AttachmentXML | ["attachment_xml"] | "" | dynamic_attachment_handler | - | 0 | 0
RawData.MediaType | ["media_type"] | "" | - | - | 1 | 0
RawData.MediaEnum | ["media_type"] | "" | handle_media_type | - | 1 | 0
ChannelGroup | ["channel_group_id"] | "" | - | - | 1 | 0
ChannelType | ["channel_type"] | "" | - | - | 1 | 0
BrandInfo.BrandID | ["brand_id"] | "" | - | - | 1 | 0
BrandInfo.BrandName | ["brand_name"] | "" | - | - | 1 | 0
BrandInfo.CategoryID | ["category_id"] | "" | - | - | 1 | 0
BrandInfo.CategoryName | ["category_name"] | "" | - | - | 1 | 0
BrandInfo.BrandSettings | [] | {} | - | - | 1 | 0
BrandInfo.OperationEnum | [] | null | - | - | 1 | 0
ServiceName | [] | "instagram_utils_comment_tessaly" | - | - | 1 | 0
MentionTrackingDetails.FetchingServiceInTime | ["in_time"] | LOAD_TIME | - | - | 1 | 0
MentionTrackingDetails.FetchingServiceOutTime | [] | "" | utc_time_to_iso_format | - | 1 | 0
RawData.UserInfo.ScreenName | ["post_username", "comment_username"] | "" | - | - | 0 | 1
RawData.UserInfo.AuthorName | ["name", "m_author_name", "post_username", "comment_username"] | "" | - | - | 1 | 0
RawData.UserInfo.ScreenNameModifiedDate | [] | "" | - | - | 0 | 1
RawData.UserInfo.Gender | [] | -1 | - | - | 0 | 1
RawData.UserInfo.PicUrl | ["comment_profile_picture"] | "" | - | - | 1 | 0
RawData.UserInfo.Url | [] | "" | url_handler | - | 1 | 0
RawData.UserInfo.UpdatedDate | [] | "" | - | - | 0 | 1
RawData.UserInfo.IsVerified | [] | false | - | - | 0 | 1
RawData.UserInfo.LanguageJson | [] | false | - | - | 0 | 1
RawData.UserInfo.AuthorSocialID | ["post_author_id"] | false | - | - | 1 | 0
RawData.UserInfo.IsMuted | [] | false | - | - | 0 | 1
RawData.UserInfo.FollowingCount | ["comment_follows_count"] | 0 | - | - | 0 | 1
RawData.UserInfo.FollowersCount | ["comment_follower_count"] | 0 | - | - | 1 | 1
RawData.UserInfo.Insights | [] | {} | - | - | 0 | 1
RawData.UserInfo.TweetCount | ["comment_tweet_count"] | 0 | - | - | 0 | 1
RawData.UserInfo.IsBlocked | [] | false | - | - | 0 | 1
RawData.UserInfo.IsHidden | [] | false | - | - | 0 | 1
RawData.UserInfo.IsUserPrivate | [] | false | - | - | 0 | 1
RawData.UserInfo.SocialChannels | [] | [] | - | - | 0 | 1
RawData.UserInfo.ChannelGroupID | ["channel_group_id"] | null | - | - | 0 | 1
RawData.UserInfo.Location.country | [] | "" | - | - | 0 | 1
RawData.UserInfo.Location.country_code | [] | "" | - | - | 0 | 1
RawData.UserInfo.Location.locationname | [] | "" | - | - | 0 | 1
)";

using HandlerFn = json::value (*)(const json::value&, const json::value*);

const std::map<std::string, HandlerFn>& handlers_by_name() {
    static const std::map<std::string, HandlerFn> m{
        {"check_is_brand_mention", check_is_brand_mention},
        {"check_type_of_comment_handler", check_type_of_comment_handler},
        {"post_type_handler", post_type_handler},
        {"handle_insta_post_type", handle_insta_post_type},
        {"handle_media_type", handle_media_type},
        {"url_handler", url_handler},
        {"handle_post_type_for_comment", handle_post_type_for_comment},
        {"comment_url_creator", comment_url_creator},
        {"dynamic_attachment_handler", dynamic_attachment_handler},
        {"comment_post_time_handler", comment_post_time_handler},
        {"utc_time_to_iso_format", utc_time_to_iso_format},
        {"comment_post_description_handler", comment_post_description_handler},
        {"comment_post_is_brand_post_handler", comment_post_is_brand_post_handler},
    };
    return m;
}

struct Row {
    std::string target, keys, default_value, handler, column;
    bool mandatory = false, skip_if_missing = false;
};

std::string trim(std::string s) {
    auto b = s.find_first_not_of(' ');
    auto e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<Row> listing() {
    std::vector<Row> rows;
    std::istringstream in(kListing);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        std::vector<std::string> cells;
        std::size_t start = 0;
        for (std::size_t bar; (bar = line.find(" | ", start)) != std::string::npos; start = bar + 3)
            cells.push_back(trim(line.substr(start, bar - start)));
        cells.push_back(trim(line.substr(start)));
        EXPECT_EQ(cells.size(), 7u) << line;
        if (cells.size() != 7) continue;
        rows.push_back({cells[0], cells[1], cells[2], cells[3], cells[4], cells[5] == "1", cells[6] == "1"});
    }
    return rows;
}

TEST(CalvaneRules, EveryRowAsListed) {
    const auto& table = rules_obj();
    const auto rows = listing();
    ASSERT_EQ(rows.size(), 68u);
    ASSERT_EQ(table.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& want = rows[i];
        const auto& [target, rule] = table[i];
        SCOPED_TRACE("row " + std::to_string(i + 1) + " " + want.target);
        EXPECT_EQ(target, want.target);

        json::value keys = parse_json(want.keys);
        EXPECT_EQ(rule.keys, keys);
        ASSERT_TRUE(rule.keys.is_array());

        if (want.default_value != "LOAD_TIME") {
            json::value def = parse_json(want.default_value);
            EXPECT_EQ(rule.default_value, def);
            EXPECT_EQ(rule.default_value.kind(), def.kind());
        }

        if (want.handler == "-") {
            EXPECT_FALSE(rule.handler_function) << "unexpected handler";
        } else {
            auto named = handlers_by_name().find(want.handler);
            ASSERT_NE(named, handlers_by_name().end()) << want.handler;
            const HandlerFn* fn = rule.handler_function.target<HandlerFn>();
            ASSERT_NE(fn, nullptr) << "no plain handler function";
            EXPECT_EQ(*fn, named->second) << "expected " << want.handler;
        }

        if (want.column == "-")
            EXPECT_FALSE(rule.clickhouse_column_name.has_value()) << *rule.clickhouse_column_name;
        else
            EXPECT_EQ(rule.clickhouse_column_name.value_or("(none)"), want.column);

        EXPECT_EQ(rule.mandatory, want.mandatory);
        EXPECT_EQ(rule.skip_if_missing, want.skip_if_missing);
    }
}

// Counts the table's description states, taken from the table itself.
TEST(CalvaneRules, Shape) {
    const auto& table = rules_obj();
    EXPECT_EQ(table.front().first, "RawData.SettingID");
    EXPECT_EQ(table.back().first, "RawData.UserInfo.Location.locationname");
    std::vector<std::size_t> with_column, no_keys, no_keys_written, both_flags;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto& rule = table[i].second;
        if (rule.clickhouse_column_name) with_column.push_back(i + 1);
        if (rule.keys.as_array().empty()) {
            no_keys.push_back(i + 1);
            if (!rule.skip_if_missing) no_keys_written.push_back(i + 1);
        }
        if (rule.mandatory && rule.skip_if_missing) both_flags.push_back(i + 1);
    }
    EXPECT_EQ(with_column, (std::vector<std::size_t>{1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 16, 17, 18, 27}));
    EXPECT_EQ(no_keys.size(), 31u);
    EXPECT_EQ(no_keys_written, (std::vector<std::size_t>{6, 25, 41, 42, 43, 45, 51}));
    EXPECT_EQ(both_flags, (std::vector<std::size_t>{58}));
}

// Row 44 defaults to the time at which the library was loaded: fixed for the process,
// earlier than anything the test does.
TEST(CalvaneRules, InTimeDefaultIsTheLoadTime) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto& table = rules_obj();
    const auto& rule = table[43].second;
    ASSERT_EQ(table[43].first, "MentionTrackingDetails.FetchingServiceInTime");
    ASSERT_TRUE(rule.default_value.is_string());
    std::string text(rule.default_value.get_string());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?)"))) << text;
    EXPECT_NE(m[1].str(), ".000000");
    std::tm tm{};
    ASSERT_NE(strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
    auto at = system_clock::from_time_t(timegm(&tm));
    EXPECT_LE(at, now);
    EXPECT_GT(at, now - minutes(10));
    EXPECT_EQ(&rules_obj(), &table);
    EXPECT_EQ(rules_obj()[43].second.default_value, rule.default_value);
}

}  // namespace
}  // namespace quillmere::calvane
