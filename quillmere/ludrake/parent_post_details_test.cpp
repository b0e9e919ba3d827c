#include "quillmere/ludrake/parent_post_details.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"
#include "support/graph_api_double.hpp"
#include "support/recording_logger.hpp"
#include "support/run_awaitable.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quillmere::ludrake {
namespace {

using quillmere::testing::LogLine;
using quillmere::testing::RecordingLogger;
using quillmere::testing::run_awaitable;
using testing::GraphApiDouble;

// Hands out a prepared table and records the queries it is given (the ClickHouse adapter
// itself is tested against clickhouse-server in tests/enrichment).
class TableSource : public AnalyticsClient {
public:
    std::vector<std::string> queries;
    ResultTable table;
    void execute(std::string_view query) override {
        queries.emplace_back(query);
        if (query.find("fail") != std::string_view::npos) throw std::runtime_error("Code: 60, table does not exist");
    }
    ResultTable fetch_df() override { return table; }
};

const std::vector<std::string> kColumns{"tweetidorfbid",    "url",          "instagramgraphapiid", "u_followerscount",
                                        "u_followingcount", "u_tweetcount", "u_authorid",          "isbrandpost"};

json::value extract(TableSource& db, json::value author, json::value post = "1790", json::value categories = "11,12",
                    json::value brands = "7", json::value group = 3) {
    return run_awaitable(extracting_parent_post_for_comments(db, post, author, categories, brands, group));
}

TEST(ParentPostQuery, ExactText) {
    const std::string q = build_parent_post_query("1790", "11,12", "7", 3);
    EXPECT_EQ(
        q,
        "\n        SELECT tweetidorfbid, url, instagramgraphapiid, u_followerscount, u_followingcount, u_tweetcount, "
        "u_authorid, isbrandpost\n"
        "        FROM orbenix.mentiondetails  final\n"
        "        PREWHERE categoryid IN (11,12) AND brandid IN (7) \n"
        "        WHERE channelgroupid=3 AND tweetidorfbid='1790'\n"
        "    ");
    // Values pass unchanged, blanks included.
    EXPECT_NE(build_parent_post_query("17_90 x", " 1 ,\t-2 ", "7", json::value(std::uint64_t{18446744073709551615u}))
                  .find("PREWHERE categoryid IN ( 1 ,\t-2 ) AND brandid IN (7) \n        WHERE "
                        "channelgroupid=18446744073709551615 "
                        "AND tweetidorfbid='17_90 x'"),
              std::string::npos);
}

TEST(ParentPostQuery, UnsafeValuesAreRejectedBeforeAnyQuery) {
    struct Case {
        json::value post, categories, brands;
        const char* message;
    };
    const char* post_msg = "parent_post_id must not contain a single quote or a backslash";
    const char* cat_msg = "category_ids must be comma-separated integers";
    const char* brand_msg = "brand_ids must be comma-separated integers";
    Case cases[] = {
        {"1790' OR '1'='1", "1", "7", post_msg},
        {"1790\\", "1", "7", post_msg},
        {"'", "1", "7", post_msg},
        {"1", "1) OR (1=1", "7", cat_msg},
        {"1", "", "7", cat_msg},
        {"1", " ", "7", cat_msg},
        {"1", "1,", "7", cat_msg},
        {"1", ",1", "7", cat_msg},
        {"1", "1,,2", "7", cat_msg},
        {"1", "1 2", "7", cat_msg},
        {"1", "0x1F", "7", cat_msg},
        {"1", "1.5", "7", cat_msg},
        {"1", "-", "7", cat_msg},
        {"1", "1\n", "7", cat_msg},
        {"1", "1", "7) --", brand_msg},
        {"1", "1", "7;DROP TABLE x", brand_msg},
        {"1", "1", "a", brand_msg},
    };
    for (const auto& c : cases) {
        TableSource db;
        try {
            extract(db, "99", c.post, c.categories, c.brands);
            ADD_FAILURE() << to_json_text(c.post) << " " << to_json_text(c.categories) << " " << to_json_text(c.brands);
        } catch (const ValueError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_TRUE(db.queries.empty());
    }
}

TEST(ParentPostQuery, ArgumentKinds) {
    struct Case {
        json::value post, categories, brands, group;
        const char* message;
    };
    Case cases[] = {
        {1790, "1", "7", 3, "parent_post_id must be a str, not 'int'"},
        {"1", json::array{1}, "7", 3, "category_ids must be a str, not 'list'"},
        {"1", "1", nullptr, 3, "brand_ids must be a str, not 'null'"},
        {"1", "1", "7", "3", "channel_group_id must be an int, not 'str'"},
        {"1", "1", "7", true, "channel_group_id must be an int, not 'bool'"},
        {"1", "1", "7", 3.0, "channel_group_id must be an int, not 'float'"},
    };
    for (const auto& c : cases) {
        TableSource db;
        try {
            extract(db, "99", c.post, c.categories, c.brands, c.group);
            ADD_FAILURE() << c.message;
        } catch (const TypeError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_TRUE(db.queries.empty());
    }
}

TEST(ParentPostRows, AuthorRowGetsFullRecordOthersReduced) {
    TableSource db;
    db.table = ResultTable(kColumns, {json::array{"1790", "https://p/1790", nullptr, 10, 20, 30, "99", 1},
                                      json::array{"1790", "https://p/1790", "g", 11, 21, 31, "42", 0}});
    EXPECT_EQ(
        to_json_text(extract(db, "99")),
        R"([{"parent_post_social_id": "1790", "parent_post_url": "https://p/1790", "comment_follower_count": 10, )"
        R"("comment_follows_count": 20, "comment_tweet_count": 30, "is_parent_brand_post": 1, "is_brand_post": true}, )"
        R"({"parent_post_url": "https://p/1790", "parent_post_social_id": "1790", "is_parent_brand_post": 0}])");
    EXPECT_EQ(db.queries, std::vector<std::string>{build_parent_post_query("1790", "11,12", "7", 3)});
}

TEST(ParentPostRows, BrandPostFlag) {
    struct Case {
        json::value raw;
        const char* flag;
    };
    Case cases[] = {{1, "true"},
                    {0, "false"},
                    {nullptr, "false"},
                    {"", "false"},
                    {"1", "\"1\""},
                    {"0", "\"0\""},
                    {2.5, "2.5"},
                    {0.0, "0.0"},
                    {true, "true"},
                    {false, "false"},
                    {json::value(std::uint64_t{18446744073709551615u}), "true"},
                    {-1, "true"}};
    for (const auto& c : cases) {
        TableSource db;
        db.table = ResultTable(kColumns, {json::array{"1", "u", nullptr, 1, 2, 3, "99", c.raw}});
        json::value r = extract(db, "99");
        const json::object& rec = r.at(0).as_object();
        EXPECT_EQ(to_json_text(rec.at("is_brand_post")), c.flag) << to_json_text(c.raw);
        EXPECT_EQ(rec.at("is_parent_brand_post"), c.raw) << to_json_text(c.raw);
    }
    // Without the column the flag is false and the full record has no is_parent_brand_post.
    TableSource db;
    db.table = ResultTable({"u_authorid", "url", "tweetidorfbid"}, {json::array{"99", "u", "1"}});
    EXPECT_EQ(to_json_text(extract(db, "99")),
              R"([{"parent_post_url": "u", "parent_post_social_id": "1", "is_brand_post": false}])");
}

TEST(ParentPostRows, AuthorEqualityHasNoTextNumberConversion) {
    struct Case {
        json::value row_author, post_author;
        bool full;
    };
    Case cases[] = {{"99", 99, false},        {99, "99", false},      {99, 99, true},
                    {99, 99.0, true},         {"99", "99", true},     {json::value(std::uint64_t{99}), 99, true},
                    {nullptr, nullptr, true}, {"99", nullptr, false}, {1, true, true},
                    {"a", "A", false}};
    for (const auto& c : cases) {
        TableSource db;
        db.table = ResultTable(kColumns, {json::array{"1", "u", nullptr, 1, 2, 3, c.row_author, 1}});
        json::value r = extract(db, c.post_author);
        EXPECT_EQ(r.at(0).as_object().size(), c.full ? 7u : 3u)
            << to_json_text(c.row_author) << " vs " << to_json_text(c.post_author);
    }
}

TEST(ParentPostRows, EmptyResultAndFailures) {
    TableSource db;
    db.table = ResultTable(kColumns, {});
    EXPECT_TRUE(extract(db, "99").is_null());
    EXPECT_EQ(db.queries.size(), 1u);
    db.table = ResultTable({"url", "isbrandpost"}, {json::array{"u", 1}});
    EXPECT_THROW(extract(db, "99"), KeyError);  // no u_authorid column
    EXPECT_THROW(extract(db, "99", "fail"), std::runtime_error);
}

struct ParentPostApi : ::testing::Test {
    GraphApiDouble api;
    RecordingLogger log;
    json::value call(json::value post = "1790") {
        return run_awaitable(
            call_api_to_get_parent_post_details(post, api, "post-token", "id,permalink,owner{id}", log));
    }
};

TEST_F(ParentPostApi, DecodesTheAnswer) {
    api.answer = R"({"id": "1790", "error": {"message": "kept as it is"}})";
    EXPECT_EQ(to_json_text(call()), R"({"id": "1790", "error": {"message": "kept as it is"}})");
    EXPECT_EQ(api.calls,
              (std::vector<GraphApiDouble::Call>{{"1790", "post-token", "id,permalink,owner{id}", std::nullopt}}));
}

TEST_F(ParentPostApi, NothingEmptyAndBadAnswers) {
    api.answer = std::nullopt;
    EXPECT_TRUE(call().is_null());
    api.answer = "";
    json::value empty = call();
    ASSERT_TRUE(empty.is_string());
    EXPECT_TRUE(empty.get_string().empty());
    api.answer = "not json";
    EXPECT_THROW(call(), ValueError);
    EXPECT_EQ(api.calls.size(), 3u);
    EXPECT_THROW(call(1790), TypeError);
    EXPECT_THROW(run_awaitable(call_api_to_get_parent_post_details("1", api, nullptr, "id", log)), TypeError);
    EXPECT_THROW(run_awaitable(call_api_to_get_parent_post_details("1", api, "t", json::array{}, log)), TypeError);
    EXPECT_EQ(api.calls.size(), 3u);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace quillmere::ludrake
