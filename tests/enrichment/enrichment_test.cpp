// The settings, cache and database operations end to end against redis-server and
// clickhouse-server, through the real adapters.

#include "query_log.hpp"
#include "quillmere/adapters/clickhouse_client.hpp"
#include "quillmere/adapters/redis_cache.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/ludrake/owner_details.hpp"
#include "quillmere/ludrake/parent_post_details.hpp"
#include "quillmere/sendrum/parent_post_cache.hpp"
#include "support/graph_api_double.hpp"
#include "support/recording_logger.hpp"
#include "support/run_awaitable.hpp"
#include "support/servers.hpp"

#include <gtest/gtest.h>

namespace quillmere::testing {
namespace {

using adapters::ClickHouseClient;
using adapters::ClickHouseError;
using adapters::ClickHouseOptions;
using adapters::RedisCache;
using ludrake::testing::GraphApiDouble;

// ---------------------------------------------------------------- cache (Redis)

struct CacheEnrichment : ::testing::Test {
    RedisCache cache{"127.0.0.1", Servers::redis().port()};
    RedisAdmin admin{Servers::redis().port()};
    RecordingLogger log;
    GraphApiDouble api;
};

TEST_F(CacheEnrichment, ParentPostSummariesHitUndecodableAndMiss) {
    admin.command({"SET", sendrum::parent_post_cache_key("1861", "13011", "20", "555"),
                   R"({"URL": "https://www.instagram.com/p/A/", "SocialID": "555", "IsBrandPost": true,)"
                   R"( "UserInfo": {"FollowersCount": 9007199254740993, "FollowingCount": null, "TweetCount": 12}})"});
    admin.command({"SET", sendrum::parent_post_cache_key("1862", "13012", "20", "555"), "{\"URL\": "});
    const std::string missing = sendrum::parent_post_cache_key("1863", "13013", "20", "555");
    json::value r = run_awaitable(
        sendrum::get_parent_post_from_cached("1861,1862,1863", "13011,13012,13013", 20, "555", cache, log));
    EXPECT_EQ(
        to_json_text(r),
        R"([{"url": "https://www.instagram.com/p/A/", "parent_post_social_id": "555", "is_parent_brand_post": true, )"
        R"("comment_follower_count": 9007199254740993, "comment_follows_count": 0, "comment_tweet_count": 12}])");
    EXPECT_EQ(
        log.lines(),
        (std::vector<LogLine>{
            {"error",
             "Error while fetching parent post data from redis: invalid JSON text: incomplete JSON at offset 8", true},
            {"info",
             "Cache miss for parent post data with key: " + missing +
                 " and social_id: 555 brand_id: 13013 category_id: 1863",
             false}}));
}

TEST_F(CacheEnrichment, ParentPostEntryWithoutUserInfoGivesNull) {
    admin.command({"SET", sendrum::parent_post_cache_key("1", "10", "20", "556"), R"({"URL": "u", "UserInfo": {}})"});
    admin.command({"SET", sendrum::parent_post_cache_key("2", "20", "20", "556"), R"({"URL": "u"})"});
    json::value r = run_awaitable(sendrum::get_parent_post_from_cached("1,2", "10,20", "20", "556", cache, log));
    EXPECT_TRUE(r.is_null());
    EXPECT_EQ(
        log.lines(),
        (std::vector<LogLine>{{"error", "Error while creating the md5: cached entry has no member 'UserInfo'", true}}));
}

TEST_F(CacheEnrichment, OwnerDetailsMissWritesWithTwelveHourExpiryThenHits) {
    admin.command({"DEL", "Tessaly:Instagram:OwnerDetails:1789"});
    api.answer = "{\"id\": \"1789\", \"username\": \"brand\", \"followers_count\": 10, \"biography\": \"Caf\xc3\xa9\"}";
    const std::string stored = R"({"username": "brand", "followers_count": 10, "biography": "Caf\u00e9"})";
    json::value first = run_awaitable(ludrake::check_owner_details_in_redis("1789", "dm-token", cache, api, log));
    EXPECT_EQ(to_json_text(first), stored);
    EXPECT_EQ(admin.command({"GET", "Tessaly:Instagram:OwnerDetails:1789"}), stored);
    const int ttl = std::stoi(admin.command({"TTL", "Tessaly:Instagram:OwnerDetails:1789"}));
    EXPECT_LE(ttl, 43200);
    EXPECT_GE(ttl, 43198);

    json::value second = run_awaitable(ludrake::check_owner_details_in_redis("1789", "dm-token", cache, api, log));
    EXPECT_EQ(second, first);
    EXPECT_EQ(api.calls.size(), 1u);
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "cache miss for owner details", false},
                                                 {"info", "cache hit for owner details", false}}));
}

TEST_F(CacheEnrichment, OwnerDetailsFailedLookupIsNotCached) {
    admin.command({"DEL", "Tessaly:Instagram:OwnerDetails:1790"});
    api.answer = R"({"error": {"message": "Invalid OAuth access token", "code": 190}})";
    EXPECT_TRUE(run_awaitable(ludrake::check_owner_details_in_redis("1790", "dm-token", cache, api, log)).is_null());
    EXPECT_EQ(admin.command({"EXISTS", "Tessaly:Instagram:OwnerDetails:1790"}), "0");
}

// ---------------------------------------------------------------- database (ClickHouse)

ClickHouseOptions clickhouse_options() {
    ClickHouseOptions o;
    o.url = Servers::clickhouse().url();
    return o;
}

class DatabaseEnrichment : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ClickHouseClient ch(clickhouse_options());
        ch.execute("CREATE DATABASE IF NOT EXISTS orbenix");
        ch.execute("DROP TABLE IF EXISTS orbenix.mentiondetails");
        ch.execute(
            "CREATE TABLE orbenix.mentiondetails (categoryid Int64, brandid Int64, channelgroupid Int64, "
            "tweetidorfbid String, url String, instagramgraphapiid String, u_followerscount UInt64, u_followingcount "
            "Int32, "
            "u_tweetcount Nullable(Int64), u_authorid String, isbrandpost UInt8, version UInt64) "
            "ENGINE = ReplacingMergeTree(version) ORDER BY (categoryid, brandid, channelgroupid, tweetidorfbid)");
        // Separate inserts give separate parts: the older version of the first row is still
        // stored next to the newer one, and only `final` folds them.
        ch.execute("SYSTEM STOP MERGES");
        ch.execute(
            "INSERT INTO orbenix.mentiondetails VALUES "
            "(11, 7, 3, '1790', 'https://www.instagram.com/p/A/', 'g1790', 100, 5, NULL, '99', 1, 1)");
        ch.execute(
            "INSERT INTO orbenix.mentiondetails VALUES "
            "(11, 7, 3, '1790', 'https://www.instagram.com/p/A/', 'g1790', 9007199254740993, 5, NULL, '99', 1, 2), "
            "(12, 7, 3, '1790', 'https://www.instagram.com/p/A/', 'g1790', 50, 6, 7, '42', 0, 1), "
            "(11, 8, 3, '1790', 'https://www.instagram.com/p/A/', 'g1790', 1, 1, 1, '99', 1, 1), "
            "(11, 7, 4, '1790', 'https://www.instagram.com/p/A/', 'g1790', 1, 1, 1, '99', 1, 1), "
            "(11, 7, 3, '1791', 'https://www.instagram.com/p/B/', 'g1791', 1, 1, 1, '99', 1, 1)");
    }

    json::value extract(ClickHouseClient& client, json::value post, json::value author = "99",
                        json::value categories = "11,12", json::value brands = "7", json::value group = 3) {
        return run_awaitable(
            ludrake::extracting_parent_post_for_comments(client, post, author, categories, brands, group));
    }

    // Parent-post queries the server has seen (its query log), counted by a text that
    // this counting query itself does not contain.
    std::int64_t parent_post_queries_seen() {
        flush_query_log(ch);
        ch.execute(
            "SELECT count() AS n FROM system.query_log WHERE type = 1 AND "
            "position(query, concat('FROM orbenix.mention', 'details  final')) > 0");
        return ch.fetch_df().row(0)["n"].to_number<std::int64_t>();
    }

    ClickHouseClient ch{clickhouse_options()};
};

TEST_F(DatabaseEnrichment, AuthorRowFullOtherRowsReduced) {
    EXPECT_EQ(
        to_json_text(extract(ch, "1790")),
        R"([{"parent_post_social_id": "1790", "parent_post_url": "https://www.instagram.com/p/A/", )"
        R"("comment_follower_count": 9007199254740993, "comment_follows_count": 5, "comment_tweet_count": null, )"
        R"("is_parent_brand_post": 1, "is_brand_post": true}, )"
        R"({"parent_post_url": "https://www.instagram.com/p/A/", "parent_post_social_id": "1790", "is_parent_brand_post": 0}])");
    // Another author: both rows reduced.
    json::value other = extract(ch, "1790", "42");
    ASSERT_TRUE(other.is_array());
    EXPECT_EQ(other.get_array().at(0).as_object().size(), 3u);
    EXPECT_EQ(other.get_array().at(1).as_object().size(), 7u);
    // The number 99 is not the text '99'.
    json::value numeric = extract(ch, "1790", 99);
    EXPECT_EQ(numeric.get_array().at(0).as_object().size(), 3u);
}

TEST_F(DatabaseEnrichment, FinalFoldsOlderVersions) {
    ch.execute(
        "SELECT count() AS n FROM orbenix.mentiondetails WHERE categoryid = 11 AND brandid = 7 "
        "AND channelgroupid = 3 AND tweetidorfbid = '1790'");
    EXPECT_EQ(ch.fetch_df().row(0)["n"].to_number<std::int64_t>(), 2);  // both versions stored
    EXPECT_EQ(extract(ch, "1790").get_array().size(), 2u);              // one per (category, brand)
}

TEST_F(DatabaseEnrichment, EmptyResultIsNull) {
    EXPECT_TRUE(extract(ch, "9999").is_null());
    EXPECT_TRUE(extract(ch, "1790", "99", "13", "7").is_null());
}

TEST_F(DatabaseEnrichment, DatabaseErrorReachesTheCaller) {
    ClickHouseOptions o = clickhouse_options();
    o.settings = {{"max_result_rows", "1"}};
    ClickHouseClient limited(o);
    try {
        extract(limited, "1790");
        FAIL() << "no error";
    } catch (const ClickHouseError& e) {
        EXPECT_NE(std::string(e.what()).find("Limit for result exceeded"), std::string::npos) << e.what();
    }
}

TEST_F(DatabaseEnrichment, InjectionAttemptsNeverReachTheServer) {
    const std::int64_t before = parent_post_queries_seen();
    struct Case {
        const char* name;
        json::value post, categories, brands, group;
    };
    Case cases[] = {
        {"parent_post_id", "1790' OR '1'='1", "11,12", "7", 3},
        {"parent_post_id backslash", "1790\\' OR 1=1 --", "11,12", "7", 3},
        {"category_ids", "1790", "11) OR (1=1", "7", 3},
        {"brand_ids", "1790", "11,12", "7) OR 1=1 OR brandid IN (7", 3},
        {"channel_group_id", "1790", "11,12", "7", "3 OR 1=1"},
    };
    for (auto& c : cases) {
        try {
            extract(ch, c.post, "99", c.categories, c.brands, c.group);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const ValueError&) {
        } catch (const TypeError&) {}
    }
    EXPECT_EQ(parent_post_queries_seen(), before);
    // The count does move for a query that is sent, and the server saw the text as built
    // (it logs a statement without its trailing blanks).
    extract(ch, "1790");
    EXPECT_EQ(parent_post_queries_seen(), before + 1);
    ch.execute(
        "SELECT query FROM system.query_log WHERE type = 1 AND "
        "position(query, concat('FROM orbenix.mention', 'details  final')) > 0 ORDER BY event_time DESC LIMIT 1");
    std::string sent = ludrake::build_parent_post_query("1790", "11,12", "7", 3);
    ASSERT_TRUE(sent.ends_with("'\n    "));
    sent.resize(sent.size() - 5);
    EXPECT_EQ(ch.fetch_df().row(0)["query"], json::value(sent));
}

}  // namespace
}  // namespace quillmere::testing
