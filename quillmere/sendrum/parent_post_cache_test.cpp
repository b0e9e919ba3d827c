#include "quillmere/sendrum/parent_post_cache.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"
#include "support/memory_cache.hpp"
#include "support/recording_logger.hpp"
#include "support/run_awaitable.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace quillmere::sendrum {
namespace {

using quillmere::testing::LogLine;
using quillmere::testing::RecordingLogger;
using quillmere::testing::run_awaitable;

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(encode_in_sha256(std::string_view("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(encode_in_sha256(std::string_view("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(encode_in_sha256(json::value("\xc3\xa9")),
              "4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c");
    try {
        encode_in_sha256(json::value(5));
        ADD_FAILURE() << "no error";
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), "input_string must be a str, not 'int'");
    }
}

TEST(CacheKey, IsPrefixAndDigestOfLowerCasedBase) {
    EXPECT_EQ(parent_post_cache_key("1861", "13011", "20", "555"),
              "sng:1ee98edf53cf4d001bde7402fdcdd779a11daf7dcf7756deef96562e57960bc1");
    EXPECT_EQ(parent_post_cache_key("1", "10", "20", "ABCD"),
              "sng:" + encode_in_sha256(std::string_view("1:10:20:abcd")));
    // Unicode default (full) case mapping: dotted capital I becomes i + combining dot;
    // a final capital sigma becomes the final small sigma.
    EXPECT_EQ(parent_post_cache_key("1", "10", "20", "\xc4\xb0X"),
              "sng:ed24ac7459c3dba1108f93b174fa9dfb870583ddc7822b1ddd208d1f0c875934");
    EXPECT_EQ(parent_post_cache_key("1", "10", "20", "\xce\xa3\xce\x91\xce\xa3"),
              "sng:" + encode_in_sha256(std::string_view("1:10:20:\xcf\x83\xce\xb1\xcf\x82")));
    EXPECT_EQ(parent_post_cache_key("C", "B", "X", "S").size(), 68u);
}

struct Fixture : ::testing::Test {
    quillmere::testing::MemoryCache cache;
    RecordingLogger log;
    json::value read(json::value categories, json::value brands, json::value channel = "20",
                     json::value social = "555") {
        return run_awaitable(get_parent_post_from_cached(categories, brands, channel, social, cache, log));
    }
    std::string key(std::string_view c, std::string_view b) { return parent_post_cache_key(c, b, "20", "555"); }
    static LogLine miss(const std::string& key, std::string_view b, std::string_view c) {
        return {"info",
                "Cache miss for parent post data with key: " + key + " and social_id: 555 brand_id: " + std::string(b) +
                    " category_id: " + std::string(c),
                false};
    }
};

constexpr const char* kEntry = R"({"URL":"https://p/1","SocialID":"1790","IsBrandPost":true,
  "UserInfo":{"FollowersCount":10,"FollowingCount":"12","TweetCount":3}})";

TEST_F(Fixture, PairsByPositionAndLogsEachMiss) {
    EXPECT_TRUE(read("1,2,3", "10,20").is_null());
    ASSERT_EQ(cache.reads, (std::vector<std::string>{key("1", "10"), key("2", "20")}));
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{miss(key("1", "10"), "10", "1"), miss(key("2", "20"), "20", "2")}));
}

TEST_F(Fixture, EmptyListsAndBlanksAreKeptAsPieces) {
    read("", "");
    EXPECT_EQ(cache.reads,
              (std::vector<std::string>{"sng:083cedeee22540578c3ebd8329a24527a9e8cdbcddf8644bdd29afadd0702519"}));
    cache.reads.clear();
    read("1,,2", "10, 10,x");
    EXPECT_EQ(cache.reads, (std::vector<std::string>{key("1", "10"), key("", " 10"), key("2", "x")}));
    EXPECT_NE(key("", " 10"), key("", "10"));
}

TEST_F(Fixture, ChannelTypeInTextForm) {
    cache.entries[key("1", "10")] = kEntry;
    EXPECT_FALSE(read("1", "10", 20).is_null());
    EXPECT_FALSE(read("1", "10", "20").is_null());
}

TEST_F(Fixture, HitGivesSummaryInFixedOrder) {
    cache.entries[key("1", "10")] = kEntry;
    cache.entries[key("2", "20")] =
        R"({"UserInfo":{"FollowersCount":null,"FollowingCount":0,"TweetCount":""},"IsBrandPost":null})";
    cache.entries[key("3", "30")] = R"({"UserInfo":{"FollowersCount":[],"FollowingCount":{}}})";
    EXPECT_EQ(to_json_text(read("1,2,3", "10,20,30")),
              R"([{"url": "https://p/1", "parent_post_social_id": "1790", "is_parent_brand_post": true, )"
              R"("comment_follower_count": 10, "comment_follows_count": "12", "comment_tweet_count": 3}, )"
              R"({"url": null, "parent_post_social_id": null, "is_parent_brand_post": null, )"
              R"("comment_follower_count": 0, "comment_follows_count": 0, "comment_tweet_count": 0}, )"
              R"({"url": null, "parent_post_social_id": null, "is_parent_brand_post": false, )"
              R"("comment_follower_count": 0, "comment_follows_count": 0, "comment_tweet_count": 0}])");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(cache.writes.empty());
}

TEST_F(Fixture, EmptyTextIsAMiss) {
    cache.entries[key("1", "10")] = "";
    EXPECT_TRUE(read("1", "10").is_null());
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{miss(key("1", "10"), "10", "1")}));
}

TEST_F(Fixture, UndecodableEntryIsSkipped) {
    cache.entries[key("1", "10")] = kEntry;
    cache.entries[key("2", "20")] = "{not json";
    cache.entries[key("3", "30")] = "\"\xff\"";
    json::value r = read("1,2,3", "10,20,30");
    ASSERT_TRUE(r.is_array());
    EXPECT_EQ(r.get_array().size(), 1u);
    EXPECT_EQ(
        log.lines(),
        (std::vector<LogLine>{
            {"error", "Error while fetching parent post data from redis: invalid JSON text: syntax error at offset 1",
             true},
            {"error", "Error while fetching parent post data from redis: invalid JSON text: syntax error at offset 1",
             true}}));
}

TEST_F(Fixture, FailuresDiscardEverythingAndGiveNull) {
    struct Case {
        const char* name;
        std::function<json::value(Fixture&)> run;
        std::string message;
        std::size_t reads;
    };
    Case cases[] = {
        {"entry without UserInfo",
         [](Fixture& f) {
             f.cache.entries[f.key("2", "20")] = R"({"URL":"u"})";
             return f.read("1,2", "10,20");
         },
         "Error while creating the md5: cached entry has no member 'UserInfo'", 2},
        {"UserInfo not an object",
         [](Fixture& f) {
             f.cache.entries[f.key("2", "20")] = R"({"UserInfo":null})";
             return f.read("1,2", "10,20");
         },
         "Error while creating the md5: member \"UserInfo\" of the entry under " +
             parent_post_cache_key("2", "20", "20", "555") + " is not a JSON object but a null",
         2},
        {"entry not an object",
         [](Fixture& f) {
             f.cache.entries[f.key("2", "20")] = "[1]";
             return f.read("1,2", "10,20");
         },
         "Error while creating the md5: entry under " + parent_post_cache_key("2", "20", "20", "555") +
             " is not a JSON object but a list",
         2},
        {"cache failure",
         [](Fixture& f) {
             f.cache.fail = true;
             return f.read("1,2", "10,20");
         },
         "Error while creating the md5: connection refused", 1},
        {"empty social_id", [](Fixture& f) { return f.read("1", "10", "20", ""); },
         "Error while creating the md5: social_id is empty", 0},
        {"null social_id", [](Fixture& f) { return f.read("1", "10", "20", nullptr); },
         "Error while creating the md5: social_id is empty", 0},
        {"social_id not a text", [](Fixture& f) { return f.read("1", "10", "20", 555); },
         "Error while creating the md5: social_id must be a str, not 'int'", 0},
        {"category_ids not a text", [](Fixture& f) { return f.read(1, "10"); },
         "Error while creating the md5: category_ids must be a str, not 'int'", 0},
        {"brand_ids not a text", [](Fixture& f) { return f.read("1", nullptr); },
         "Error while creating the md5: brand_ids must be a str, not 'null'", 0},
    };
    for (auto& c : cases) {
        cache.entries.clear();
        cache.reads.clear();
        cache.fail = false;
        log.clear();
        cache.entries[key("1", "10")] = kEntry;  // a hit before the failure is discarded
        EXPECT_TRUE(c.run(*this).is_null()) << c.name;
        EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", c.message, true}})) << c.name;
        EXPECT_EQ(cache.reads.size(), c.reads) << c.name;
    }
}

}  // namespace
}  // namespace quillmere::sendrum
