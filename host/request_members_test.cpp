#include "host/request_members.hpp"

#include "quillmere/common/value.hpp"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <fstream>
#include <set>
#include <sstream>

namespace quillmere::host {
namespace {

namespace json = boost::json;

json::object obj(const char* text) { return parse_json(text).as_object(); }

TEST(RequestMembers, FirstNonNullSourceWinsAndAbsentMembersAreLeftOut) {
    const json::object details = obj(R"({"in_time":"T","channel_type":"29","brand_id":7,"m_author_name":null})");
    const json::object host = obj(R"({"entry_time":"2024-01-02T03:04:05+0000","type_of":0})");
    const struct {
        const char* name;
        const char* item;
        const char* parent;
        const char* author;
        const char* expected;
    } cases[] = {
        {"comment with no parent: the post id from the webhook",
         R"({"id":"c1","text":"hi","from":{"id":"u1","username":"ann"},"media":{"id":"m1"}})", nullptr, nullptr,
         R"({"in_time":"T","channel_type":"29","brand_id":7,"m_author_name":null,"post_id":"c1","comment_text":"hi",)"
         R"("comment_time":"2024-01-02T03:04:05+0000","type_of":0,"post_author_id":"u1","comment_author_id":"u1",)"
         R"("comment_username":"ann","name":"ann","parent_post_social_id":"m1","main_post_social_id":"m1"})"},
        {"cached summary", R"({"id":"c1","timestamp":"2024-05-01T10:00:00+0000","media":{"id":"m1"}})",
         R"({"url":"https://www.instagram.com/p/X/","parent_post_social_id":"s9","is_parent_brand_post":1,)"
         R"("comment_follower_count":5,"comment_follows_count":0,"comment_tweet_count":2})",
         R"({"followers_count":99})",
         R"({"in_time":"T","channel_type":"29","brand_id":7,"m_author_name":null,"post_id":"c1",)"
         R"("comment_time":"2024-05-01T10:00:00+0000","type_of":0,"parent_post_social_id":"s9",)"
         R"("main_post_social_id":"s9","parent_post_url":"https://www.instagram.com/p/X/",)"
         R"("permalink":"https://www.instagram.com/p/X/","is_parent_brand_post":1,"comment_follower_count":5,)"
         R"("comment_follows_count":0,"comment_tweet_count":2})"},
        {"Graph API post and the author's details",
         R"({"id":"c1","from":{"id":"17841","username":"brand"},"media":{"id":"m1"}})",
         R"({"id":"m1","permalink":"https://www.instagram.com/p/Y/","owner":{"id":"17841"}})",
         R"({"followers_count":10,"follows_count":3,"media_count":8,"profile_picture_url":"https://pic"})",
         R"({"in_time":"T","channel_type":"29","brand_id":7,"m_author_name":null,"post_id":"c1",)"
         R"("comment_time":"2024-01-02T03:04:05+0000","type_of":0,"post_author_id":"17841",)"
         R"("comment_author_id":"17841","comment_username":"brand","name":"brand","parent_post_social_id":"m1",)"
         R"("main_post_social_id":"m1","parent_post_url":"https://www.instagram.com/p/Y/",)"
         R"("permalink":"https://www.instagram.com/p/Y/","comment_follower_count":10,"comment_follows_count":3,)"
         R"("comment_tweet_count":8,"comment_profile_picture":"https://pic"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const json::object item = obj(c.item);
        const json::object parent = c.parent ? obj(c.parent) : json::object();
        const json::object author = c.author ? obj(c.author) : json::object();
        RequestSources sources{&details, &item, &host, c.parent ? &parent : nullptr, c.author ? &author : nullptr};
        EXPECT_EQ(json::serialize(build_request(comment_request_members(), sources)), c.expected);
    }
}

TEST(RequestMembers, AReplyNamesTheRepliedComment) {
    const json::object details;
    const json::object host = obj(R"({"type_of":1,"replied_comment_id":"c0"})");
    const json::object item = obj(R"({"id":"c1","parent_id":"c0","media":{"id":"m1"}})");
    const json::object parent =
        obj(R"({"parent_post_social_id":"m1","parent_post_url":"https://www.instagram.com/p/Z/"})");
    RequestSources sources{&details, &item, &host, &parent, nullptr};
    const json::object request = build_request(comment_request_members(), sources);
    EXPECT_EQ(request.at("type_of"), json::value(1));
    EXPECT_EQ(request.at("parent_post_social_id"), json::value("c0"));
    EXPECT_EQ(request.at("main_post_social_id"), json::value("m1"));
}

TEST(RequestMembers, ParentRequestIsThePostWithDetailsAndHostMembers) {
    const json::object details = obj(R"({"in_time":"T","brand_id":7})");
    const json::object post = obj(R"({"id":"m1","caption":"c","owner":{"id":"17841"},"brand_id":"from the post"})");
    const json::object host =
        obj(R"({"account_id":"17841","parent_owned_by_account":true,"owner":{"id":"17841","followers_count":4}})");
    RequestSources sources{&details, nullptr, &host, &post, nullptr};
    EXPECT_EQ(json::serialize(build_request(parent_request_members(), sources)),
              R"({"id":"m1","caption":"c","owner":{"id":"17841","followers_count":4},"brand_id":7,"in_time":"T",)"
              R"("post_id":"m1","post_author_id":"17841","is_brand_post":true})");
}

TEST(RequestMembers, EveryRowHasASourceAndNoMemberRepeats) {
    for (auto table : {comment_request_members(), parent_request_members()}) {
        std::set<std::string> seen;
        for (const RequestMember& row : table) {
            EXPECT_FALSE(row.sources.empty()) << row.member;
            if (row.member != "*") {
                EXPECT_TRUE(seen.insert(row.member).second) << row.member;
            }
        }
    }
}

// docs/host.md shows both tables exactly as the code has them.
TEST(RequestMembers, DocumentedAsInTheCode) {
    std::ifstream in(std::string(QUILLMERE_DOCS_DIR) + "/host.md");
    ASSERT_TRUE(in) << "docs/host.md";
    std::stringstream text;
    text << in.rdbuf();
    for (auto table : {comment_request_members(), parent_request_members()}) {
        const std::string rows = table_markdown(table);
        EXPECT_NE(text.str().find(rows), std::string::npos) << "docs/host.md lacks these rows:\n" << rows;
    }
}

}  // namespace
}  // namespace quillmere::host
