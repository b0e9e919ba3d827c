// The comment table applied by the rule engine, end to end.

#include "quillmere/calvane/rules.hpp"

#include "quillmere/common/value.hpp"
#include "quillmere/tindral/engine.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

namespace quillmere::calvane {
namespace {

// A comment by a follower under a brand's own post, as the host prepares it: the
// comment's members, the common details and the parent post's members in one object.
constexpr const char* kRequest = R"({
  "in_time": "2024-05-01T10:00:05",
  "channel_group_id": 4,
  "channel_type": "29",
  "category_id": 1001,
  "category_name": "Retail & Fashion",
  "brand_id": 2001,
  "brand_name": "Acm\u00e9",
  "setting_id": 3001,
  "author_social_id": "17841400000000001",
  "user_profile_pic": "https://cdn.example.com/acme.jpg",
  "author_user_name": "acme.store",
  "m_author_name": "Acme Store",
  "post_id": "17858893269000042",
  "comment_text": "Love it \ud83d\ude0d\r\nWhere to buy? \"today\"\t#summer",
  "comment_time": "2024-05-01T09:59:58+0000",
  "permalink": "https://www.instagram.com/p/C6xYz_1-aB/",
  "comment_username": "jane.doe",
  "comment_profile_picture": "https://scontent.cdninstagram.com/v/jane.jpg?_nc=1&oh=ab",
  "comment_follower_count": 1520,
  "comment_follows_count": 310,
  "comment_likes_count": 3,
  "comments_count": 12,
  "comment_author_id": "17841400000000099",
  "post_author_id": "17841400000000099",
  "name": "Jane Doe",
  "parent_post_url": "https://www.instagram.com/p/C6xYz_1-aB/",
  "parent_post_social_id": "17900000000000001",
  "main_post_social_id": "17900000000000001",
  "type_of": 0,
  "media_type": "image",
  "attachment_xml": {"type": "image", "ratio": 1.0, "scale": 0.5625, "payload": {"url": "https://cdn.example.com/a.jpg", "sizes": [1080, 1350]}},
  "is_parent_brand_post": true,
  "is_brand_post": true,
  "is_for_stories": false,
  "is_mention_post": false,
  "is_stories_mention": false,
  "instagram_post_type_data": null,
  "type_of_comment": null
})";

// The record's RawData text, byte for byte.
constexpr std::string_view kRawData =
    R"({"SettingID": 3001, "PageName": "Acme Store", "CreatedDate": "2024-05-01T09:59:58+0000", )"
    R"("Url": "https://www.instagram.com/p/C6xYz_1-aB/c/17858893269000042", "DataCollection": 1, )"
    R"("SocialID": "17858893269000042", "InstagramGraphApiID": "17858893269000042", )"
    R"("PostSocialID": "17900000000000001", "ParentSocialID": "17900000000000001", )"
    R"("Description": "Love it \ud83d\ude0d  Where to buy? \"today\"\t#summer", )"
    R"("InstagramPostType": 1, "Typeofcomment": 1, "IsBrandMention": true, )"
    R"("NumCommentsCount": 12, "NumLikesCount": 3, "PostType": 4, "NumLikesORFollowers": 1520, )"
    R"("NumShareCount": 0, "ShareURL": "https://www.instagram.com/p/C6xYz_1-aB/c/17858893269000042", )"
    R"("SimplifiedText": "Love it \ud83d\ude0d\r\nWhere to buy? \"today\"\t#summer", )"
    R"("AttachmentXML": {"type": "image", "ratio": 1.0, "scale": 0.5625, )"
    R"("payload": {"url": "https://cdn.example.com/a.jpg", "sizes": [1080, 1350]}}, )"
    R"("MediaType": "image", "MediaEnum": 2, )"
    R"("UserInfo": {"ScreenName": "jane.doe", "AuthorName": "Jane Doe", )"
    R"("PicUrl": "https://scontent.cdninstagram.com/v/jane.jpg?_nc=1&oh=ab", )"
    R"("Url": "https://www.instagram.com/jane.doe/", "AuthorSocialID": "17841400000000099", )"
    R"("FollowingCount": 310, "FollowersCount": 1520, "ChannelGroupID": 4}})";

json::value J(std::string_view text) { return parse_json(text); }

json::object apply(const json::value& request) {
    auto record = tindral::apply_rules(rules_obj(), request);
    if (!record) throw std::runtime_error("apply_rules returned no record");
    return *record;
}

bool is_iso_micro(const json::value& v) {
    static const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?)");
    return v.is_string() && std::regex_match(std::string(v.get_string()), form);
}

TEST(CommentRecord, FullRequest) {
    json::object record = apply(J(kRequest));

    // The out time is read at every record; check its form and take it out.
    json::object& tracking = record.at("MentionTrackingDetails").as_object();
    EXPECT_TRUE(is_iso_micro(tracking.at("FetchingServiceOutTime"))) << tracking;
    tracking["FetchingServiceOutTime"] = "OUT";

    json::value expected = J(R"({
      "RawData": "",
      "isBrandPost": false,
      "ChannelGroup": 4,
      "ChannelType": "29",
      "BrandInfo": {"BrandID": 2001, "BrandName": "Acm\u00e9", "CategoryID": 1001,
                    "CategoryName": "Retail & Fashion", "BrandSettings": {}, "OperationEnum": null},
      "ServiceName": "instagram_utils_comment_tessaly",
      "MentionTrackingDetails": {"FetchingServiceInTime": "2024-05-01T10:00:05",
                                 "FetchingServiceOutTime": "OUT"}
    })");
    expected.as_object()["RawData"] = kRawData;
    EXPECT_EQ(record, expected.as_object()) << record;

    // Member order is part of the record.
    std::vector<std::string> top;
    for (const auto& m : record) top.emplace_back(m.key());
    EXPECT_EQ(top, (std::vector<std::string>{"RawData", "isBrandPost", "ChannelGroup", "ChannelType", "BrandInfo",
                                             "ServiceName", "MentionTrackingDetails"}));
    ASSERT_TRUE(record.at("RawData").is_string());
    EXPECT_EQ(std::string_view(record.at("RawData").get_string()), kRawData);
}

// The table is shared read-only: records made on many threads at once are all exact.
TEST(CommentRecord, ManyThreads) {
    const json::value request = J(kRequest);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto record = tindral::apply_rules(rules_obj(), request);
                if (!record || record->at("RawData").as_string() != kRawData) ++wrong;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// The smallest request still gives a whole record: every member falls back to its default
// and the handlers work from an empty request.
TEST(CommentRecord, EmptyRequest) {
    const auto before = std::chrono::system_clock::now();
    json::object record = apply(json::object());
    json::object raw = J(record.at("RawData").as_string()).as_object();

    const std::string created(raw.at("CreatedDate").as_string());
    EXPECT_TRUE(std::regex_match(created, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+0000)"))) << created;
    std::tm tm{};
    ASSERT_NE(strptime(created.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
    EXPECT_GE(std::chrono::system_clock::from_time_t(timegm(&tm)), std::chrono::floor<std::chrono::seconds>(before));
    raw["CreatedDate"] = "NOW";

    EXPECT_EQ(raw, J(R"({"SettingID": null, "PageName": null, "CreatedDate": "NOW",
        "Url": "https://www.instagram.com/p/0000000000000/", "DataCollection": 1,
        "SocialID": null, "InstagramGraphApiID": null, "PostSocialID": null, "ParentSocialID": null,
        "Description": "", "InstagramPostType": 1, "Typeofcomment": 0, "IsBrandMention": false,
        "NumCommentsCount": 0, "NumLikesCount": 0, "PostType": 3, "NumLikesORFollowers": 0,
        "NumShareCount": 0, "SimplifiedText": "", "AttachmentXML": "", "MediaType": "", "MediaEnum": 1,
        "UserInfo": {"AuthorName": "", "PicUrl": "", "Url": "https://www.instagram.com/None/",
                     "AuthorSocialID": false}})")
                       .as_object());
    EXPECT_EQ(record.at("isBrandPost"), json::value(true));
    EXPECT_EQ(record.at("ServiceName"), json::value("instagram_utils_comment_tessaly"));
    EXPECT_EQ(record.at("MentionTrackingDetails").at("FetchingServiceInTime"), rules_obj()[43].second.default_value);
}

// Without in_time two records made apart share the load-time in-time; the out time moves.
TEST(CommentRecord, InTimeFixedOutTimeMoves) {
    json::object first = apply(json::object());
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    json::object second = apply(json::object());
    const auto& t1 = first.at("MentionTrackingDetails").as_object();
    const auto& t2 = second.at("MentionTrackingDetails").as_object();
    EXPECT_EQ(t1.at("FetchingServiceInTime"), t2.at("FetchingServiceInTime"));
    EXPECT_TRUE(is_iso_micro(t1.at("FetchingServiceInTime")));
    EXPECT_NE(t1.at("FetchingServiceOutTime"), t2.at("FetchingServiceOutTime"));
}

// A reply under a comment of a brand's story mention, by the brand itself, with an
// anonymous author and a few request members holding null.
TEST(CommentRecord, BrandReplyAnonymous) {
    json::value request = J(R"({
      "author_social_id": 555, "post_author_id": "555", "post_id": "180",
      "type_of": 1, "parent_post_url": "https://www.instagram.com/p/XyZ",
      "parent_post_social_id": 179, "name": "Anonymous", "post_username": "someone",
      "comment_username": "other", "is_stories_mention": 1, "media_type": "VIDEO",
      "comment_time": null, "in_time": null, "comment_follower_count": null,
      "channel_group_id": null, "comment_text": "a\nb"
    })");
    json::object record = apply(request);
    json::object raw = J(record.at("RawData").as_string()).as_object();
    EXPECT_EQ(record.at("isBrandPost"), json::value(true));
    EXPECT_EQ(raw.at("PostType"), json::value(3));
    EXPECT_EQ(raw.at("Url"), json::value("https://www.instagram.com/p/XyZ/c/179"));
    // No permalink: the share address, which may be left out, is.
    EXPECT_FALSE(raw.contains("ShareURL"));
    EXPECT_EQ(raw.at("InstagramPostType"), json::value(11));
    EXPECT_EQ(raw.at("MediaEnum"), json::value(3));
    EXPECT_EQ(raw.at("Description"), json::value("a b"));
    EXPECT_EQ(raw.at("SimplifiedText"), json::value("a\nb"));
    const auto& user = raw.at("UserInfo").as_object();
    EXPECT_EQ(user.at("ScreenName"), json::value("someone"));
    EXPECT_EQ(user.at("AuthorName"), json::value("Anonymous"));
    EXPECT_EQ(user.at("AuthorSocialID"), json::value("0"));
    EXPECT_EQ(user.at("Url"), json::value("https://www.instagram.com/other/"));
    EXPECT_FALSE(user.contains("FollowersCount"));
    EXPECT_FALSE(user.contains("ChannelGroupID"));
    EXPECT_TRUE(raw.at("CreatedDate").as_string().ends_with("+0000"));
    EXPECT_EQ(record.at("MentionTrackingDetails").at("FetchingServiceInTime"), rules_obj()[43].second.default_value);
    EXPECT_EQ(record.at("ChannelGroup"), json::value(""));
}

// A handler failure costs the record, with the engine's one error line.
class CommentRecordFailure : public ::testing::Test {
protected:
    void SetUp() override {
        logger_ = spdlog::get(std::string(tindral::kLoggerName));
        ASSERT_TRUE(logger_);
        saved_ = logger_->sinks();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
        sink->set_pattern("%l|%v");
        logger_->sinks() = {sink};
    }
    void TearDown() override {
        if (logger_) logger_->sinks() = saved_;
    }
    std::ostringstream out_;
    std::shared_ptr<spdlog::logger> logger_;
    std::vector<spdlog::sink_ptr> saved_;
};

TEST_F(CommentRecordFailure, BadValuesLoseTheRecord) {
    const char* requests[] = {
        R"({"comment_time": 1714557600})",  // a time that is not text
        R"({"author_social_id": ""})",      // an id that is not a number
        R"({"media_type": 2})",             // a media type that is not text
        R"({"comment_text": ["a"]})",       // a description that is not text
        R"({"type_of": 1, "url": null})",   // a reply without a text address
        R"({"post_author_id": "x", "author_social_id": 1})",
    };
    for (const char* text : requests) {
        out_.str("");
        EXPECT_FALSE(tindral::apply_rules(rules_obj(), J(text)).has_value()) << text;
        std::string log = out_.str();
        EXPECT_TRUE(log.starts_with("error|Error in apply_rules: ")) << text << ": " << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
}

}  // namespace
}  // namespace quillmere::calvane
