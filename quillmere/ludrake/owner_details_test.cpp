#include "quillmere/ludrake/owner_details.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"
#include "support/graph_api_double.hpp"
#include "support/memory_cache.hpp"
#include "support/recording_logger.hpp"
#include "support/run_awaitable.hpp"

#include <gtest/gtest.h>

namespace quillmere::ludrake {
namespace {

using quillmere::testing::LogLine;
using quillmere::testing::MemoryCache;
using quillmere::testing::RecordingLogger;
using quillmere::testing::run_awaitable;
using testing::GraphApiDouble;

const LogLine kMiss{"info", "cache miss for owner details", false};
const LogLine kHit{"info", "cache hit for owner details", false};

struct OwnerDetails : ::testing::Test {
    MemoryCache cache;
    GraphApiDouble api;
    RecordingLogger log;
    json::value check(json::value id = "1789") {
        return run_awaitable(check_owner_details_in_redis(id, "dm-token", cache, api, log));
    }
};

TEST_F(OwnerDetails, HitIsDecodedWithoutCallingTheGraphApi) {
    cache.entries["Tessaly:Instagram:OwnerDetails:1789"] = R"({"username": "brand", "followers_count": 10})";
    EXPECT_EQ(to_json_text(check()), R"({"username": "brand", "followers_count": 10})");
    EXPECT_TRUE(api.calls.empty());
    EXPECT_TRUE(cache.writes.empty());
    EXPECT_EQ(log.lines(), std::vector<LogLine>{kHit});
}

TEST_F(OwnerDetails, MissFetchesWritesWithoutIdAndReturns) {
    api.answer = R"({"id": "1789", "username": "brand", "followers_count": 10})";
    EXPECT_EQ(to_json_text(check()), R"({"username": "brand", "followers_count": 10})");
    EXPECT_EQ(api.calls,
              (std::vector<GraphApiDouble::Call>{
                  {"1789", "dm-token",
                   "followers_count,follows_count,media_count,profile_picture_url,username,biography,website",
                   std::nullopt}}));
    EXPECT_EQ(cache.reads, std::vector<std::string>{"Tessaly:Instagram:OwnerDetails:1789"});
    EXPECT_EQ(cache.writes, (std::vector<MemoryCache::Write>{{"Tessaly:Instagram:OwnerDetails:1789",
                                                              R"({"username": "brand", "followers_count": 10})",
                                                              std::chrono::seconds(43200)}}));
    EXPECT_EQ(log.lines(), std::vector<LogLine>{kMiss});
}

TEST_F(OwnerDetails, RemovingIdKeepsTheOrderOfTheOtherMembers) {
    api.answer =
        "{\"username\": \"b\", \"id\": \"1\", \"followers_count\": 10, \"biography\": \"caf\xc3\xa9 "
        "\xf0\x9f\x8e\x89\", \"media_count\": 2.5}";
    const std::string expected =
        R"({"username": "b", "followers_count": 10, "biography": "caf\u00e9 \ud83c\udf89", "media_count": 2.5})";
    EXPECT_EQ(to_json_text(check()), expected);
    ASSERT_EQ(cache.writes.size(), 1u);
    EXPECT_EQ(cache.writes[0].value, expected);
}

TEST_F(OwnerDetails, EmptyCachedTextIsAMiss) {
    cache.entries["Tessaly:Instagram:OwnerDetails:1789"] = "";
    api.answer = R"({"username": "brand"})";
    EXPECT_EQ(to_json_text(check()), R"({"username": "brand"})");
    EXPECT_EQ(api.calls.size(), 1u);
    EXPECT_EQ(log.lines(), std::vector<LogLine>{kMiss});
}

TEST_F(OwnerDetails, NothingUsableGivesNullAndWritesNothing) {
    struct Case {
        const char* name;
        std::optional<std::string> answer;
        std::vector<LogLine> lines;
    };
    const std::string prefix = "Error while fetching brand post owner details: ";
    Case cases[] = {
        {"error answer", R"({"error": {"message": "bad token", "code": 190}})", {kMiss}},
        {"no answer", std::nullopt, {kMiss, {"error", "Error 404: {\"error\": {}}", false}}},
        {"empty body", "", {kMiss}},
        {"not JSON", "<html>", {kMiss, {"error", prefix + "invalid JSON text: syntax error at offset 0", false}}},
        {"a list", "[1]", {kMiss, {"error", prefix + "the Graph API answer is not a JSON object but a list", false}}},
        {"a text", "\"x\"", {kMiss, {"error", prefix + "the Graph API answer is not a JSON object but a str", false}}},
        {"empty object", "{}", {kMiss}},
    };
    for (const auto& c : cases) {
        cache = MemoryCache{};
        api.calls.clear();
        log.clear();
        api.answer = c.answer;
        api.on_call =
            c.answer ? std::function<void(Logger&)>() : [](Logger& l) { l.error("Error 404: {\"error\": {}}"); };
        EXPECT_TRUE(check().is_null()) << c.name;
        EXPECT_TRUE(cache.writes.empty()) << c.name;
        EXPECT_EQ(api.calls.size(), 1u) << c.name;
        EXPECT_EQ(log.lines(), c.lines) << c.name;
    }
}

TEST_F(OwnerDetails, EmptyErrorMemberCountsAsSuccess) {
    for (const char* error : {"null", "\"\"", "{}", "0", "[]"}) {
        cache = MemoryCache{};
        api.answer = std::string(R"({"id": "1", "error": )") + error + R"(, "username": "u"})";
        EXPECT_EQ(to_json_text(check()), std::string(R"({"error": )") + error + R"(, "username": "u"})") << error;
        EXPECT_EQ(cache.writes.size(), 1u) << error;
    }
}

TEST_F(OwnerDetails, NumericUserIdBuildsTheKeyButTheRequestIsRefused) {
    EXPECT_TRUE(check(1789).is_null());
    EXPECT_EQ(cache.reads, std::vector<std::string>{"Tessaly:Instagram:OwnerDetails:1789"});
    EXPECT_TRUE(api.calls.empty());
    EXPECT_EQ(
        log.lines(),
        (std::vector<LogLine>{
            kMiss,
            {"error", "Error while fetching brand post owner details: author_id must be a str, not 'int'", false}}));
}

TEST_F(OwnerDetails, CacheFailuresAndBadCachedTextReachTheCaller) {
    cache.fail = true;
    EXPECT_THROW(check(), std::runtime_error);
    cache.fail = false;
    cache.entries["Tessaly:Instagram:OwnerDetails:1789"] = "{broken";
    EXPECT_THROW(check(), ValueError);
    EXPECT_TRUE(api.calls.empty());
}

TEST_F(OwnerDetails, FetchReturnsTheAnswerWithItsId) {
    api.answer = R"({"id": "5", "username": "u"})";
    json::object details = run_awaitable(fetch_brand_post_owner_details("5", "tok", api, log));
    EXPECT_EQ(to_json_text(details), R"({"id": "5", "username": "u"})");
    EXPECT_TRUE(log.lines().empty());
    // A token that is not a text is refused before any request, and logged.
    EXPECT_TRUE(run_awaitable(fetch_brand_post_owner_details("5", nullptr, api, log)).empty());
    EXPECT_EQ(api.calls.size(), 1u);
    EXPECT_EQ(log.lines(),
              (std::vector<LogLine>{
                  {"error", "Error while fetching brand post owner details: dm_access_token must be a str, not 'null'",
                   false}}));
}

}  // namespace
}  // namespace quillmere::ludrake
