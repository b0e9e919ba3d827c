// Owner details and parent-post details through the real Graph API client, against the
// fake Graph API on loopback, with the owner details cached in redis-server.

#include "graph_api/client_fixture.hpp"
#include "quillmere/adapters/redis_cache.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/ludrake/owner_details.hpp"
#include "quillmere/ludrake/parent_post_details.hpp"
#include "support/servers.hpp"

#include <gtest/gtest.h>

namespace quillmere::testing {
namespace {

constexpr const char* kOwnerKey = "Tessaly:Instagram:OwnerDetails:17841400000000001";
constexpr const char* kOwnerId = "17841400000000001";

class GraphApiEnrichment : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        admin.command({"DEL", kOwnerKey});
    }
    json::value owner() {
        return run_awaitable(ludrake::check_owner_details_in_redis(kOwnerId, "dm-token", cache, api(), log));
    }
    json::value post(FakeResponse answer) {
        fake().enqueue(std::move(answer));
        return run_awaitable(
            ludrake::call_api_to_get_parent_post_details("17900", api(), "post-token", "id,permalink", log));
    }

    adapters::RedisCache cache{"127.0.0.1", Servers::redis().port()};
    RedisAdmin admin{Servers::redis().port()};
    RecordingLogger log;
};

TEST_F(GraphApiEnrichment, OwnerDetailsFetchedOnceThenCached) {
    fake().enqueue(FakeResponse::ok(
        R"({"followers_count":1200,"follows_count":3,"media_count":40,"username":"brand","biography":"\u00c9t\u00e9 \ud83c\udf1e","id":"17841400000000001"})"));
    const std::string stored =
        R"({"followers_count": 1200, "follows_count": 3, "media_count": 40, "username": "brand", "biography": "\u00c9t\u00e9 \ud83c\udf1e"})";
    EXPECT_EQ(to_json_text(owner()), stored);
    EXPECT_EQ(to_json_text(owner()), stored);  // the second read is a hit

    ASSERT_EQ(fake().request_count(), 1u);
    const RecordedRequest r = fake().requests().at(0);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, std::string("/") + kApiVersion + "/" + kOwnerId);
    EXPECT_EQ(r.query,
              (Fields{{"access_token", "dm-token"},
                      {"fields",
                       "followers_count,follows_count,media_count,profile_picture_url,username,biography,website"}}));
    EXPECT_EQ(admin.command({"GET", kOwnerKey}), stored);
    const int ttl = std::stoi(admin.command({"TTL", kOwnerKey}));
    EXPECT_GE(ttl, 43198);
    EXPECT_LE(ttl, 43200);
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "cache miss for owner details", false},
                                                 {"info", "cache hit for owner details", false}}));
}

TEST_F(GraphApiEnrichment, OwnerLookupFailuresAreNotCached) {
    struct Case {
        const char* name;
        FakeResponse answer;
        std::vector<LogLine> lines;
    };
    const LogLine miss{"info", "cache miss for owner details", false};
    Case cases[] = {
        {"error status",
         FakeResponse::with_status(400, R"({"error":{"message":"Invalid user id","code":100}})"),
         {miss, {"error", R"(Error 400: {"error":{"message":"Invalid user id","code":100}})", false}}},
        {"error answer with status 200",
         FakeResponse::ok(R"({"error":{"message":"Unsupported get request","code":100}})"),
         {miss}},
        {"not JSON",
         FakeResponse::ok("<html>busy</html>"),
         {miss,
          {"error", "Error while fetching brand post owner details: invalid JSON text: syntax error at offset 0",
           false}}},
        {"empty body", FakeResponse::ok(""), {miss}},
    };
    for (auto& c : cases) {
        fake().reset();
        log.clear();
        fake().enqueue(c.answer);
        EXPECT_TRUE(owner().is_null()) << c.name;
        EXPECT_EQ(admin.command({"EXISTS", kOwnerKey}), "0") << c.name;
        EXPECT_EQ(log.lines(), c.lines) << c.name;
        EXPECT_EQ(fake().request_count(), 1u) << c.name;
    }
}

TEST_F(GraphApiEnrichment, ParentPostDetails) {
    EXPECT_EQ(to_json_text(post(FakeResponse::ok(R"({"id":"17900","permalink":"https://www.instagram.com/p/A/"})"))),
              R"({"id": "17900", "permalink": "https://www.instagram.com/p/A/"})");
    const RecordedRequest r = fake().requests().at(0);
    EXPECT_EQ(r.path, std::string("/") + kApiVersion + "/17900");
    EXPECT_EQ(r.query, (Fields{{"access_token", "post-token"}, {"fields", "id,permalink"}}));

    EXPECT_TRUE(post(FakeResponse::with_status(404, "not here")).is_null());
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", "Error 404: not here", false}}));

    json::value empty = post(FakeResponse::ok(""));
    ASSERT_TRUE(empty.is_string());
    EXPECT_TRUE(empty.get_string().empty());

    EXPECT_THROW(post(FakeResponse::ok("{oops")), ValueError);
}

}  // namespace
}  // namespace quillmere::testing
