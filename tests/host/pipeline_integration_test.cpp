// The road of a comment end to end: the pipeline against real redis-server and
// clickhouse-server, the fake Graph API (through the real client), with the ClickHouse
// sink in between deliveries.

#include "host_fixture.hpp"

#include "quillmere/sendrum/parent_post_cache.hpp"

namespace quillmere::testing {
namespace {

TEST_F(HostPipeline, ParentPostAndOwnerFromTheCache) {
    admin.command({"SET", sendrum::parent_post_cache_key("1861", "13011", "20", "1780001"),
                   R"({"URL": "https://www.instagram.com/p/CACHED/", "SocialID": "1780001", "IsBrandPost": 1,)"
                   R"( "UserInfo": {"FollowersCount": 321, "FollowingCount": 7, "TweetCount": 42}})"});
    admin.command({"SET", std::string("Tessaly:Instagram:OwnerDetails:") + kAccount, R"({"followers_count": 1})"});
    auto pipeline = make_pipeline();
    const auto envelopes = process(*pipeline, delivery({comment_change("1790001", "1780001")}));
    ASSERT_EQ(envelopes.size(), 1u);
    const json::object& e = envelopes[0];
    EXPECT_TRUE(e.at("error").is_null()) << e.at("error");
    EXPECT_FALSE(e.contains("skipped"));
    const auto& records = e.at("records").as_array();
    ASSERT_EQ(records.size(), 1u);
    const json::object raw = raw_of(records[0].at("record").as_object());
    EXPECT_EQ(raw.at("Url"), json::value("https://www.instagram.com/p/CACHED/c/1790001"));
    EXPECT_EQ(raw.at("ParentSocialID"), json::value("1780001"));
    EXPECT_EQ(raw.at("NumLikesORFollowers"), json::value(321));
    EXPECT_EQ(raw.at("IsBrandMention"), json::value(true));
    EXPECT_EQ(graph().requests().size(), 0u);  // nothing asked of the Graph API
}

TEST_F(HostPipeline, ParentPostFoundInClickHouse) {
    store_parent_row("1780002", "STORED");
    auto pipeline = make_pipeline();
    const auto envelopes = process(*pipeline, delivery({comment_change("1790002", "1780002")}));
    ASSERT_EQ(envelopes.size(), 1u);
    EXPECT_TRUE(envelopes[0].at("error").is_null()) << envelopes[0].at("error");
    const json::object raw = raw_of(envelopes[0].at("records").at(0).at("record").as_object());
    EXPECT_EQ(raw.at("Url"), json::value("https://www.instagram.com/p/STORED/c/1790002"));
    EXPECT_EQ(raw.at("PostSocialID"), json::value("1780002"));
    EXPECT_EQ(raw.at("Typeofcomment"), json::value(1));  // the stored post is the brand's
    EXPECT_EQ(graph().requests_to("/v21.0/1780002"), 0u);
}

// The first comment's parent comes from the Graph API and is stored with the records; the
// second comment on the same post finds it in ClickHouse, with no second request. The
// owner's details are fetched once and cached for twelve hours.
TEST_F(HostPipeline, GraphApiThenClickHouseForTheNextComment) {
    graph().answer("/v21.0/1780003", post_json("1780003", "FETCHED"));
    auto pipeline = make_pipeline();
    auto sink = host::open_sink(config);

    const auto first = process_and_store(*pipeline, *sink, delivery({comment_change("1790031", "1780003")}), 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(first[0].at("error").is_null()) << first[0].at("error");
    const auto& records = first[0].at("records").as_array();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].at("table"), json::value("comment"));
    EXPECT_EQ(records[1].at("table"), json::value("parent"));
    const json::object parent = records[1].at("record").as_object();
    EXPECT_EQ(parent.at("ServiceName"), json::value("instagram_utils_parent_tessaly"));
    const json::object parent_raw = raw_of(parent);
    EXPECT_EQ(parent_raw.at("SocialID"), json::value("1780003"));
    EXPECT_EQ(parent_raw.at("UserInfo").at("FollowersCount"), json::value(1200));  // owner details merged in
    EXPECT_EQ(raw_of(records[0].at("record").as_object()).at("Url"),
              json::value("https://www.instagram.com/p/FETCHED/c/1790031"));
    EXPECT_EQ(graph().requests_to("/v21.0/1780003"), 1u);
    EXPECT_EQ(graph().requests_to(std::string("/v21.0/") + kAccount), 1u);
    const auto post_request = graph().requests().at(0);
    EXPECT_EQ(post_request.param("access_token"), std::optional<std::string>(kPostToken));

    // Owner details cached after the first fetch, without "id", for 12 hours.
    const std::string owner_key = std::string("Tessaly:Instagram:OwnerDetails:") + kAccount;
    EXPECT_EQ(parse_json(admin.command({"GET", owner_key})),
              parse_json(R"({"followers_count":1200,"follows_count":15,"media_count":88,)"
                         R"("profile_picture_url":"https://pic/brand","username":"brand"})"));
    EXPECT_GE(std::stoi(admin.command({"TTL", owner_key})), 43000);

    const auto second = process_and_store(*pipeline, *sink, delivery({comment_change("1790032", "1780003")}), 2);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].at("error").is_null()) << second[0].at("error");
    ASSERT_EQ(second[0].at("records").as_array().size(), 1u);  // no parent record: it was stored already
    EXPECT_EQ(raw_of(second[0].at("records").at(0).at("record").as_object()).at("Url"),
              json::value("https://www.instagram.com/p/FETCHED/c/1790032"));
    EXPECT_EQ(graph().requests_to("/v21.0/1780003"), 1u);                   // found in ClickHouse
    EXPECT_EQ(graph().requests_to(std::string("/v21.0/") + kAccount), 1u);  // owner from the cache

    // The JSONL file holds both envelopes, one per line.
    std::ifstream lines(config.output.jsonl);
    std::string line;
    int n = 0;
    while (std::getline(lines, line) && n < 10) {
        EXPECT_EQ(parse_json(line).at("delivery"), json::value(n + 1));
        ++n;
    }
    EXPECT_EQ(n, 2);
}

TEST_F(HostPipeline, RedisStoppedTheNextStepIsUsed) {
    RedisServer redis;
    const int port = redis.port();
    redis.stop();
    config.redis.url = "redis://127.0.0.1:" + std::to_string(port) + "/0";
    store_parent_row("1780004", "FROMDB");
    auto pipeline = make_pipeline();
    const auto envelopes = process(*pipeline, delivery({comment_change("1790004", "1780004")}));
    ASSERT_EQ(envelopes.size(), 1u);
    const json::object& e = envelopes[0];
    EXPECT_TRUE(e.at("error").is_null()) << e.at("error");
    const auto skipped = strings(e.at("skipped"));
    EXPECT_TRUE(any_starts_with(skipped, "redis: parent-post cache: ")) << json::serialize(e.at("skipped"));
    EXPECT_TRUE(any_starts_with(skipped, "redis: owner details: ")) << json::serialize(e.at("skipped"));
    EXPECT_EQ(std::prev(e.end())->key(), "skipped");  // the last member
    EXPECT_EQ(raw_of(e.at("records").at(0).at("record").as_object()).at("Url"),
              json::value("https://www.instagram.com/p/FROMDB/c/1790004"));
    EXPECT_EQ(graph().requests_to(std::string("/v21.0/") + kAccount), 1u);  // owner fetched without the cache
}

TEST_F(HostPipeline, ClickHouseStoppedTheGraphApiIsUsed) {
    ClickHouseServer stopped;
    config.clickhouse.url = stopped.url();
    stopped.stop();
    config.output.clickhouse = false;
    graph().answer("/v21.0/1780005", post_json("1780005", "LIVE"));
    auto pipeline = make_pipeline();
    const auto envelopes = process(*pipeline, delivery({comment_change("1790005", "1780005")}));
    ASSERT_EQ(envelopes.size(), 1u);
    const json::object& e = envelopes[0];
    EXPECT_TRUE(e.at("error").is_null()) << e.at("error");
    const auto skipped = strings(e.at("skipped"));
    ASSERT_EQ(skipped.size(), 1u) << json::serialize(e.at("skipped"));
    EXPECT_EQ(skipped[0].rfind("clickhouse: ", 0), 0u) << skipped[0];
    EXPECT_EQ(e.at("records").as_array().size(), 2u);
    EXPECT_EQ(graph().requests_to("/v21.0/1780005"), 1u);
}

TEST_F(HostPipeline, BrandWithoutSettings) {
    auto pipeline = make_pipeline();
    const auto envelopes = process(*pipeline, delivery({comment_change("1790006", "1780006")}, "17841499999999999"));
    ASSERT_EQ(envelopes.size(), 1u);
    EXPECT_EQ(envelopes[0].at("error"), json::value("no brand settings for account 17841499999999999"));
    EXPECT_EQ(envelopes[0].at("kind"), json::value("COMMENT_ON_FEED"));
    EXPECT_EQ(envelopes[0].at("records"), json::array());
    EXPECT_EQ(graph().requests().size(), 0u);
}

// Fifty comments on five posts in one delivery: every item has its envelope in order, each
// post is asked for once, the owner once, and one parent-post record per post comes out.
TEST_F(HostPipeline, BatchedDeliveryOfFiftyItems) {
    std::vector<std::string> changes;
    for (int post = 0; post < 5; ++post)
        graph().answer("/v21.0/178010" + std::to_string(post),
                       post_json("178010" + std::to_string(post), "B" + std::to_string(post)));
    for (int i = 0; i < 50; ++i)
        changes.push_back(comment_change("17920" + std::to_string(100 + i), "178010" + std::to_string(i % 5),
                                         std::to_string(1000 + i), i % 2 ? "REELS" : "FEED"));
    auto pipeline = make_pipeline();
    auto sink = host::open_sink(config);
    const auto envelopes = process_and_store(*pipeline, *sink, delivery(changes));
    ASSERT_EQ(envelopes.size(), 50u);
    std::size_t parents = 0;
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(envelopes[i].at("item"), json::value(i));
        EXPECT_TRUE(envelopes[i].at("error").is_null()) << envelopes[i].at("error");
        EXPECT_EQ(envelopes[i].at("kind"), json::value(i % 2 ? "COMMENT_ON_REEL" : "COMMENT_ON_FEED"));
        const auto& records = envelopes[i].at("records").as_array();
        ASSERT_GE(records.size(), 1u);
        EXPECT_EQ(raw_of(records[0].at("record").as_object()).at("SocialID"),
                  json::value("17920" + std::to_string(100 + i)));
        parents += records.size() - 1;
    }
    EXPECT_EQ(parents, 5u);
    for (int post = 0; post < 5; ++post) EXPECT_EQ(graph().requests_to("/v21.0/178010" + std::to_string(post)), 1u);
    EXPECT_EQ(graph().requests_to(std::string("/v21.0/") + kAccount), 1u);
    EXPECT_EQ(count_final("record_table = 'comment'"), 50);
    EXPECT_EQ(count_final("record_table = 'parent'"), 5);
    const host::PipelineStats stats = pipeline->stats();
    EXPECT_EQ(stats.items, 50u);
    EXPECT_EQ(stats.records, 55u);
    EXPECT_EQ(stats.graph_api_requests, 6u);
    EXPECT_EQ(stats.graph_api_answered, 6u);
    EXPECT_EQ(stats.graph_api_unanswered + stats.graph_api_failed, 0u);
    EXPECT_EQ(stats.graph_api_in_flight, 0u);
}

// The Graph API reports 95% of the app's calls used: from the next request on, the pipeline
// starts its requests one per interval and counts them; once the figures fall below the
// threshold, requests go out at once again.
TEST_F(HostPipeline, HighReportedUsageSlowsTheGraphApiRequestsDown) {
    constexpr auto interval = std::chrono::milliseconds(60);
    config.graph_api.usage_threshold = 90;
    config.graph_api.usage_interval = interval;
    config.graph_api.max_in_flight = 8;
    for (int post = 0; post < 4; ++post)
        graph().answer("/v21.0/178020" + std::to_string(post), post_json("178020" + std::to_string(post), "U"));
    graph().app_usage(R"({"call_count": 95, "total_cputime": 10, "total_time": 12})");
    auto pipeline = make_pipeline();
    // The first request learns the figures (the owner's details are asked for with it).
    process(*pipeline, delivery({comment_change("1792000", "1780200")}));
    ASSERT_TRUE(pipeline->stats().graph_api_usage.has_value());
    EXPECT_EQ(pipeline->stats().graph_api_usage->app->call_count, 95);
    const auto slowed_before = pipeline->stats().graph_api_slowed;
    graph().clear_requests();

    process(*pipeline, delivery({comment_change("1792001", "1780201"), comment_change("1792002", "1780202"),
                                 comment_change("1792003", "1780203")}));
    const auto requests = graph().requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(pipeline->stats().graph_api_slowed - slowed_before, 3u);
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_GE(requests[i].received - requests[0].received, interval * static_cast<int>(i) / 2)
            << i;  // at once: well under 1 ms

    // Figures below the threshold: nothing is held back (and the process-wide client's
    // figures are low again for the tests that follow).
    graph().app_usage(R"({"call_count": 3, "total_cputime": 1, "total_time": 1})");
    graph().answer("/v21.0/1780205", post_json("1780205", "U"));
    process(*pipeline, delivery({comment_change("1792004", "1780205")}));  // learns the low figures
    const auto slowed_after = pipeline->stats().graph_api_slowed;
    graph().answer("/v21.0/1780204", post_json("1780204", "U"));
    process(*pipeline, delivery({comment_change("1792005", "1780204")}));
    graph().app_usage("");
    EXPECT_EQ(pipeline->stats().graph_api_slowed, slowed_after);
    EXPECT_EQ(pipeline->stats().graph_api_usage->app->call_count, 3);
}

TEST_F(HostPipeline, ARedeliveredWebhookIsStoredOnce) {
    graph().answer("/v21.0/1780007", post_json("1780007", "TWICE"));
    auto pipeline = make_pipeline();
    auto sink = host::open_sink(config);
    const std::string body = delivery({comment_change("1790007", "1780007")});
    process_and_store(*pipeline, *sink, body, 1);
    process_and_store(*pipeline, *sink, body, 2);
    EXPECT_EQ(count_final("tweetidorfbid = '1790007'"), 1);
    EXPECT_EQ(count_final("tweetidorfbid = '1780007'"), 1);
    EXPECT_EQ(count_final("1"), 2);
}

// A failed source is reported without its secrets: neither token appears in any envelope
// or log line.
TEST_F(HostPipeline, NoTokenInEnvelopesOrLogs) {
    auto pipeline = make_pipeline();  // the post is unknown to the Graph API: 404
    const auto envelopes = process(*pipeline, delivery({comment_change("1790008", "1780008")}));
    ASSERT_EQ(envelopes.size(), 1u);
    const auto skipped = strings(envelopes[0].at("skipped"));
    EXPECT_TRUE(any_starts_with(skipped, "graph_api: no answer for post 1780008")) << json::serialize(envelopes[0]);
    EXPECT_GE(pipeline->stats().graph_api_unanswered, 1u) << "a request that got no answer counted as answered";
    const std::string text = json::serialize(envelopes[0]);
    EXPECT_EQ(text.find(kPostToken), std::string::npos);
    EXPECT_EQ(text.find(kDmToken), std::string::npos);
    for (const auto& line : logger->lines()) {
        EXPECT_EQ(line.message.find(kPostToken), std::string::npos) << line.message;
        EXPECT_EQ(line.message.find(kDmToken), std::string::npos) << line.message;
    }
}

}  // namespace
}  // namespace quillmere::testing
