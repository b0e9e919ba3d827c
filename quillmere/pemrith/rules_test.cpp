#include "quillmere/pemrith/rules.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/site.hpp"
#include "quillmere/pemrith/handlers.hpp"
#include "quillmere/tindral/engine.hpp"

#include <boost/json.hpp>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace json = boost::json;
using namespace quillmere::pemrith;
using quillmere::parse_json;
using quillmere::tindral::apply_rules;

namespace {

// The table written out independently of rules.cpp, one rule a line:
// target | keys | default | handler | column | mandatory | skip_if_missing.
// "-" is no handler or no column; LOAD_TIME is the time the table was built.
constexpr const char* kListing = R"(RawData.SettingID|["setting_id"]|null|-|"settingid"|true|false
isBrandPost|["author_social_id"]|0|parent_post_is_brand_post_handler|-|true|false
RawData.PageName|["m_author_name", "setting_id"]|null|-|"m_pagename"|true|false
RawData.InstagramPostType|["instagram_post_type_data"]|null|handle_insta_post_type|"instagram_post_type"|true|false
RawData.DataCollection|[]|1|-|"data_collection"|true|false
RawData.CreatedDate|["timestamp"]|null|parent_post_time_handler|"created_date"|true|false
RawData.Url|["permalink"]|""|-|"url"|true|false
RawData.InstagramGraphApiID|["post_id"]|null|-|"InstagramGraphApiID"|true|false
RawData.SocialID|["post_id_with_ig_id", "post_id"]|null|-|"tweetidorfbid"|true|false
RawData.IsDarkPost|["is_dark_post"]|false|-|"isdarkpost"|true|false
RawData.Typeofcomment|["type_of_comment"]|false|check_type_of_comment_handler|"isdarkpost"|true|false
RawData.IsBrandMention|[""]|false|check_is_brand_mention|"isbrandmention"|true|false
RawData.Description|["caption"]|""|parent_post_description_handler|"description"|true|false
RawData.LanguageName|[]|""|-|-|false|true
RawData.Lang|[]|""|-|-|false|true
RawData.Hastagcloud|["caption"]|[]|get_hashtags|"Hastagcloud"|true|false
RawData.CountryCode|[]|""|-|-|false|true
RawData.NumCommentsCount|["comments_count"]|0|-|-|false|false
RawData.NumLikesCount|["like_count"]|0|-|-|false|false
RawData.PostInsights|[]|{}|-|-|false|true
RawData.NumLikesORFollowers|["owner.followers_count"]|0|-|-|false|false
RawData.NumVideoViews|[]|0|-|-|false|true
RawData.NumShareCount|[]|0|-|-|true|false
RawData.DurationInSeconds|[]|0|-|-|false|true
RawData.ShareURL|[]|""|-|"m_share_url"|false|true
RawData.PostPermissions|[]|[]|-|-|false|true
RawData.SimplifiedText|["caption"]|""|-|-|true|false
RawData.PostType|["author_social_id"]|0|post_type_handler|-|true|false
RawData.VideoDetails|[]|[]|-|-|false|true
RawData.MusicDetails|[]|[]|-|-|false|true
RawData.AttachmentXML|["attachment_xml"]|""|-|-|false|false
RawData.MediaType|["media_type"]|""|-|-|true|false
RawData.MediaEnum|["media_type"]|""|handle_media_type|-|true|false
ChannelGroup|["channel_group_id"]|3|-|-|true|false
ChannelType|["channel_type"]|""|parent_chanel_handler|-|true|false
BrandInfo.BrandID|["brand_id"]|""|-|-|true|false
BrandInfo.BrandName|["brand_name"]|""|-|-|true|false
BrandInfo.CategoryID|["category_id"]|""|-|-|true|false
BrandInfo.CategoryName|["category_name"]|""|-|-|true|false
BrandInfo.BrandSettings|[]|{}|-|-|true|false
BrandInfo.OperationEnum|[]|null|-|-|true|false
ServiceName|[]|"instagram_utils_parent_tessaly"|-|-|true|false
MentionTrackingDetails.FetchingServiceInTime|["in_time"]|LOAD_TIME|-|-|true|false
MentionTrackingDetails.FetchingServiceOutTime|[]|""|utc_time_to_iso_format|-|true|false
RawData.UserInfo.ScreenName|["username"]|""|-|-|false|true
RawData.UserInfo.AuthorName|["m_author_name", "username"]|""|-|-|true|false
RawData.UserInfo.ScreenNameModifiedDate|[]|""|-|-|false|true
RawData.UserInfo.Gender|[]|-1|-|-|false|true
RawData.UserInfo.PicUrl|["owner.profile_picture_url"]|""|-|-|true|false
RawData.UserInfo.Url|["owner"]|""|url_handler|-|true|false
RawData.UserInfo.UpdatedDate|[]|""|-|-|false|true
RawData.UserInfo.IsVerified|[]|false|-|-|false|true
RawData.UserInfo.LanguageJson|[]|false|-|-|false|true
RawData.UserInfo.AuthorSocialID|["owner.id", "post_author_id"]|false|-|-|true|false
RawData.UserInfo.IsMuted|[]|false|-|-|false|true
RawData.UserInfo.FollowingCount|["owner.follows_count"]|0|-|-|false|true
RawData.UserInfo.FollowersCount|["owner.followers_count"]|0|-|-|false|true
RawData.UserInfo.Insights|[]|{}|-|-|false|true
RawData.UserInfo.TweetCount|["owner.media_count"]|0|-|-|false|true
RawData.UserInfo.IsBlocked|[]|false|-|-|false|true
RawData.UserInfo.IsHidden|[]|false|-|-|false|true
RawData.UserInfo.IsUserPrivate|[]|false|-|-|false|true
RawData.UserInfo.SocialChannels|[]|[]|-|-|false|true
RawData.UserInfo.ChannelGroupID|["channel_group_id"]|null|-|-|false|true
RawData.UserInfo.Location.country|[]|""|-|-|false|true
RawData.UserInfo.Location.country_code|[]|""|-|-|false|true
RawData.UserInfo.Location.locationname|[]|""|-|-|false|true
)";

using HandlerFn = json::value (*)(const json::value&, const json::value*);

const std::map<std::string, HandlerFn>& handlers_by_name() {
    static const std::map<std::string, HandlerFn> m = {
        {"check_is_brand_mention", check_is_brand_mention},
        {"check_type_of_comment_handler", check_type_of_comment_handler},
        {"url_handler", url_handler},
        {"handle_insta_post_type", handle_insta_post_type},
        {"get_hashtags", get_hashtags},
        {"handle_media_type", handle_media_type},
        {"parent_chanel_handler", parent_chanel_handler},
        {"parent_post_time_handler", parent_post_time_handler},
        {"utc_time_to_iso_format", utc_time_to_iso_format},
        {"parent_post_description_handler", parent_post_description_handler},
        {"parent_post_is_brand_post_handler", parent_post_is_brand_post_handler},
        {"post_type_handler", post_type_handler},
    };
    return m;
}

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(line);
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

const std::regex kIsoMicro(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?)");

TEST(RulesObj, MatchesListingRowByRow) {
    std::istringstream in(kListing);
    std::string line;
    std::size_t row = 0;
    while (std::getline(in, line)) {
        auto cells = split(line, '|');
        ASSERT_EQ(cells.size(), 7u) << line;
        ASSERT_LT(row, rules_obj().size()) << "table ends before " << cells[0];
        const auto& [target, rule] = rules_obj()[row];
        SCOPED_TRACE("row " + std::to_string(row + 1) + " " + cells[0]);
        ++row;
        EXPECT_EQ(target, cells[0]);

        json::value keys = parse_json(cells[1]);
        EXPECT_EQ(rule.keys, keys);
        EXPECT_TRUE(rule.keys.is_array());

        if (cells[2] == "LOAD_TIME") {
            ASSERT_TRUE(rule.default_value.is_string());
            std::string t(rule.default_value.get_string());
            EXPECT_TRUE(std::regex_match(t, kIsoMicro)) << t;
            EXPECT_LE(t.substr(0, 19), quillmere::utc_now_formatted("%Y-%m-%dT%H:%M:%S"));
        } else {
            json::value expected = parse_json(cells[2]);
            EXPECT_EQ(rule.default_value, expected);
            EXPECT_EQ(rule.default_value.kind(), expected.kind());
        }

        if (cells[3] == "-") {
            EXPECT_FALSE(rule.handler_function);
        } else {
            ASSERT_TRUE(handlers_by_name().count(cells[3])) << cells[3];
            const HandlerFn* fn = rule.handler_function.target<HandlerFn>();
            ASSERT_NE(fn, nullptr) << "handler is not one of the module's functions";
            EXPECT_EQ(*fn, handlers_by_name().at(cells[3])) << cells[3];
        }

        if (cells[4] == "-")
            EXPECT_FALSE(rule.clickhouse_column_name.has_value());
        else
            EXPECT_EQ(json::value(rule.clickhouse_column_name.value_or("<absent>")), parse_json(cells[4]));

        EXPECT_EQ(rule.mandatory, cells[5] == "true");
        EXPECT_EQ(rule.skip_if_missing, cells[6] == "true");
    }
    EXPECT_EQ(row, 67u);
    EXPECT_EQ(rules_obj().size(), 67u);
}

TEST(RulesObj, LoadTimeDefaultIsFixed) {
    const auto& in_time = rules_obj()[42];
    ASSERT_EQ(in_time.first, "MentionTrackingDetails.FetchingServiceInTime");
    json::value first = in_time.second.default_value;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(rules_obj()[42].second.default_value, first);
}

// ---- applying the table -----------------------------------------------------------------

// Captures the rule engine's log lines while a test runs.
class Applied : public ::testing::Test {
protected:
    void SetUp() override {
        logger_ = spdlog::get(std::string(quillmere::tindral::kLoggerName));
        ASSERT_TRUE(logger_);
        saved_ = logger_->sinks();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log_);
        sink->set_pattern("%l|%v");
        logger_->sinks() = {sink};
    }
    void TearDown() override { logger_->sinks() = saved_; }

    std::ostringstream log_;
    std::shared_ptr<spdlog::logger> logger_;
    std::vector<spdlog::sink_ptr> saved_;
};

// A brand's carousel post as the Graph API returns it for the parent-post field list,
// with the common details and the members the host adds.
constexpr const char* kBrandPost = R"({
  "permalink": "https://www.instagram.com/p/C6aBcDeFgHi/",
  "id": "17998877665544332",
  "caption": "Summer drop \u2600\ufe0f #SummerSale #\u043d\u043e\u0432\u0438\u043d\u043a\u0430\r\nShop \"now\" & save <20%> \ud83d\ude00 #SummerSale",
  "comments_count": 12,
  "like_count": 345,
  "media_type": "CAROUSEL_ALBUM",
  "media_url": "https://scontent.cdninstagram.com/v/t51.29350-15/abc.jpg?_nc_cat=1&ccb=1-7",
  "owner": {
    "name": "Acme Shop",
    "username": "acme.shop",
    "ig_id": 1234567890,
    "id": "17841400000000001",
    "followers_count": 10500,
    "follows_count": 120,
    "media_count": 890,
    "biography": "Official account",
    "profile_picture_url": "https://scontent.cdninstagram.com/v/pp/acme.jpg",
    "website": "https://acme.example/"
  },
  "ig_id": 3300000000000000001,
  "username": "acme.shop",
  "shortcode": "C6aBcDeFgHi",
  "media_product_type": "FEED",
  "is_comment_enabled": true,
  "timestamp": "2024-05-01T10:15:30+0000",
  "children": {"data": [
    {"media_type": "IMAGE", "media_url": "https://scontent.cdninstagram.com/v/1.jpg", "id": "18011"},
    {"media_type": "VIDEO", "media_url": "https://scontent.cdninstagram.com/v/2.mp4",
     "thumbnail_url": "https://scontent.cdninstagram.com/v/2.jpg", "id": "18012"}
  ]},
  "in_time": "2024-05-01T10:16:00",
  "channel_group_id": 3,
  "channel_type": "15",
  "category_id": 501,
  "category_name": "Retail",
  "brand_id": 9001,
  "brand_name": "Acme",
  "setting_id": 77,
  "author_social_id": "17841400000000001",
  "m_author_name": "Acme Shop",
  "post_id": "17998877665544332",
  "post_id_with_ig_id": "3300000000000000001_17841400000000001",
  "is_dark_post": false,
  "instagram_post_type_data": 1,
  "type_of_comment": 2,
  "post_author_id": "17841400000000001",
  "is_brand_post": true
})";

// Takes the time of mapping out of a record, after checking its form.
std::string take_out_time(json::object& record) {
    json::value* out = record.find("MentionTrackingDetails") == record.end()
                           ? nullptr
                           : record["MentionTrackingDetails"].as_object().if_contains("FetchingServiceOutTime");
    if (out == nullptr || !out->is_string()) return "<missing>";
    std::string t(out->get_string());
    *out = "OUT";
    return t;
}

TEST_F(Applied, BrandPostGivesExactRecord) {
    json::value request = parse_json(kBrandPost);
    const json::value before = request;
    auto record = apply_rules(rules_obj(), request);
    ASSERT_TRUE(record) << log_.str();
    EXPECT_EQ(request, before) << "the request is not changed";
    EXPECT_TRUE(std::regex_match(take_out_time(*record), kIsoMicro));

    const std::string root(quillmere::morvish::public_site_root());
    const std::string raw_data =
        R"({"SettingID": 77, "PageName": "Acme Shop", "InstagramPostType": 1, "DataCollection": 1, )"
        R"("CreatedDate": "2024-05-01T10:15:30", "Url": "https://www.instagram.com/p/C6aBcDeFgHi/", )"
        R"("InstagramGraphApiID": "17998877665544332", )"
        R"("SocialID": "3300000000000000001_17841400000000001", "IsDarkPost": false, )"
        R"("Typeofcomment": 2, "IsBrandMention": true, )"
        R"("Description": "Summer drop \u2600\ufe0f #SummerSale #\u043d\u043e\u0432\u0438\u043d\u043a\u0430  Shop \"now\" & save <20%> \ud83d\ude00 #SummerSale", )"
        R"("Hastagcloud": ["SummerSale", "\u043d\u043e\u0432\u0438\u043d\u043a\u0430", "SummerSale"], )"
        R"("NumCommentsCount": 12, "NumLikesCount": 345, "NumLikesORFollowers": 10500, "NumShareCount": 0, )"
        R"("SimplifiedText": "Summer drop \u2600\ufe0f #SummerSale #\u043d\u043e\u0432\u0438\u043d\u043a\u0430\r\nShop \"now\" & save <20%> \ud83d\ude00 #SummerSale", )"
        R"("PostType": 1, "AttachmentXML": "", "MediaType": "CAROUSEL_ALBUM", "MediaEnum": 2, )"
        R"("UserInfo": {"ScreenName": "acme.shop", "AuthorName": "Acme Shop", )"
        R"("PicUrl": "https://scontent.cdninstagram.com/v/pp/acme.jpg", )"
        R"("Url": ")" +
        root +
        R"(acme.shop/", "AuthorSocialID": "17841400000000001", )"
        R"("FollowingCount": 120, "FollowersCount": 10500, "TweetCount": 890, "ChannelGroupID": 3}})";

    json::object expected;
    expected["RawData"] = raw_data;
    expected["isBrandPost"] = true;
    expected["ChannelGroup"] = 3;
    expected["ChannelType"] = 20;
    expected["BrandInfo"] = parse_json(
        R"({"BrandID": 9001, "BrandName": "Acme", "CategoryID": 501, "CategoryName": "Retail",
            "BrandSettings": {}, "OperationEnum": null})");
    expected["ServiceName"] = "instagram_utils_parent_tessaly";
    expected["MentionTrackingDetails"] =
        parse_json(R"({"FetchingServiceInTime": "2024-05-01T10:16:00", "FetchingServiceOutTime": "OUT"})");

    ASSERT_TRUE((*record)["RawData"].is_string());
    EXPECT_EQ(std::string((*record)["RawData"].get_string()), raw_data);
    EXPECT_EQ(json::serialize(*record), json::serialize(expected)) << "members, values and order";
    EXPECT_EQ(log_.str(), "");
}

TEST_F(Applied, UserPostWithoutTimesOrOwner) {
    json::value request = parse_json(R"({
      "permalink": "https://www.instagram.com/p/XYZ/", "caption": "", "media_type": "video",
      "username": "someone", "author_social_id": "5", "setting_id": 8, "post_id": "991",
      "is_dark_post": null, "channel_group_id": null, "comments_count": null})");
    auto before = quillmere::utc_now_formatted("%Y-%m-%dT%H:%M:%S");
    auto record = apply_rules(rules_obj(), request);
    auto after = quillmere::format_utc(quillmere::UtcClock::now() + std::chrono::seconds(1), "%Y-%m-%dT%H:%M:%S");
    ASSERT_TRUE(record) << log_.str();
    take_out_time(*record);

    json::value raw = parse_json((*record)["RawData"].as_string());
    std::string created(raw.at("CreatedDate").as_string());
    EXPECT_TRUE(std::regex_match(created, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)"))) << created;
    EXPECT_GE(created, before);
    EXPECT_LE(created, after);
    raw.as_object()["CreatedDate"] = "NOW";

    const std::string root(quillmere::morvish::public_site_root());
    EXPECT_EQ(raw, parse_json(R"({"SettingID": 8, "PageName": 8, "InstagramPostType": null,
        "DataCollection": 1, "CreatedDate": "NOW", "Url": "https://www.instagram.com/p/XYZ/",
        "InstagramGraphApiID": "991", "SocialID": "991", "IsDarkPost": false, "Typeofcomment": 2,
        "IsBrandMention": false, "Description": "", "Hastagcloud": "", "NumCommentsCount": 0,
        "NumLikesCount": 0, "NumLikesORFollowers": 0, "NumShareCount": 0, "SimplifiedText": "",
        "PostType": 2, "AttachmentXML": "", "MediaType": "video", "MediaEnum": 3,
        "UserInfo": {"ScreenName": "someone", "AuthorName": "someone", "PicUrl": "",
                     "Url": ")" +
                              root + R"(someone/", "AuthorSocialID": false}})"));

    json::object rest = *record;
    rest.erase("RawData");
    json::object expected_rest = parse_json(R"({"isBrandPost": false, "ChannelGroup": 3,
        "ChannelType": 20, "BrandInfo": {"BrandID": "", "BrandName": "", "CategoryID": "",
        "CategoryName": "", "BrandSettings": {}, "OperationEnum": null},
        "ServiceName": "instagram_utils_parent_tessaly",
        "MentionTrackingDetails": {"FetchingServiceOutTime": "OUT"}})")
                                     .as_object();
    // Without in_time the record carries the time the table was built.
    expected_rest["MentionTrackingDetails"].as_object().emplace("FetchingServiceInTime",
                                                                rules_obj()[42].second.default_value);
    EXPECT_EQ(json::value(rest), json::value(expected_rest));
    EXPECT_EQ(log_.str(), "");
}

TEST_F(Applied, ManyThreadsShareTheTable) {
    const json::value request = parse_json(kBrandPost);
    auto reference = apply_rules(rules_obj(), request);
    ASSERT_TRUE(reference);
    take_out_time(*reference);
    const std::string expected = json::serialize(*reference);

    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto record = apply_rules(rules_obj(), request);
                if (!record) {
                    ++mismatches[t];
                    continue;
                }
                take_out_time(*record);
                if (json::serialize(*record) != expected) ++mismatches[t];
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST_F(Applied, HandlerFailuresLoseTheRecordWithOneLine) {
    struct Case {
        const char* change;  // members replacing those of the brand post
        const char* message_part;
    };
    const std::vector<Case> cases = {
        {R"({"timestamp": 1714558530})", "timestamp must be str"},
        {R"({"timestamp": "2024-05-01T10:15:30"})", "does not match format"},
        {R"({"is_brand_post": null, "owner": "acme"})", "owner must be a dict"},
        {R"({"is_brand_post": null, "author_social_id": "abc"})", "invalid literal"},
        {R"({"media_type": 2})", "media_type"},
        {R"({"caption": 5})", "str"},
    };
    for (const auto& c : cases) {
        json::value request = parse_json(kBrandPost);
        json::value change = parse_json(c.change);
        for (const auto& [k, v] : change.as_object()) request.as_object()[k] = v;
        log_.str("");
        auto record = apply_rules(rules_obj(), request);
        EXPECT_FALSE(record) << c.change;
        std::string log = log_.str();
        EXPECT_EQ(log.rfind("error|Error in apply_rules: ", 0), 0u) << log;
        EXPECT_NE(log.find(c.message_part), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
}

}  // namespace
