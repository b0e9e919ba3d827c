// The records the pipeline writes equal what the modules give when the test calls them
// step by step on the same inputs: the settings, the common details, each enrichment
// source in turn, the requests written out member by member, the rule tables.

#include "host_fixture.hpp"

#include "quillmere/adapters/redis_cache.hpp"
#include "quillmere/calvane/rules.hpp"
#include "quillmere/graviel/instagram_api.hpp"
#include "quillmere/ludrake/owner_details.hpp"
#include "quillmere/ludrake/parent_post_details.hpp"
#include "quillmere/morvish/details.hpp"
#include "quillmere/pemrith/rules.hpp"
#include "quillmere/sendrum/parent_post_cache.hpp"
#include "quillmere/sendrum/settings.hpp"
#include "quillmere/tindral/engine.hpp"
#include "support/run_awaitable.hpp"

namespace quillmere::testing {
namespace {

// A record with its two clock readings (the time of intake, to the second, and the time of
// mapping, to the microsecond) blanked: the pipeline and the test read the clock apart.
json::object without_clock(json::object record) {
    if (auto* tracking = record.if_contains("MentionTrackingDetails"))
        if (auto* o = tracking->if_object())
            for (auto& m : *o) m.value() = "";
    return record;
}

class StepByStep : public HostPipeline {};

TEST_F(StepByStep, RecordsEqualTheModulesCalledOneByOne) {
    const std::string media_id = "1780900";
    const json::value post_id(media_id);
    graph().answer("/v21.0/" + media_id, post_json(media_id, "STEPS"));
    const std::string user_comment = comment_change("1790901", media_id, "991");
    const std::string brand_reply = comment_change("1790902", media_id, kAccount);
    const std::string body = delivery({user_comment, brand_reply});

    // What the pipeline gives, with every source configured and nothing cached or stored.
    auto pipeline = make_pipeline();
    const auto envelopes = process(*pipeline, body);
    ASSERT_EQ(envelopes.size(), 2u);
    admin.command({"FLUSHALL"});  // the owner's details again from the Graph API below

    // The same steps through the public functions.
    adapters::RedisCache cache("127.0.0.1", Servers::redis().port());
    adapters::ClickHouseClient db(adapters::ClickHouseOptions{.url = Servers::clickhouse().url()});
    graviel::InstagramAPI& api = graviel::InstagramAPI::instance(graph().base_url(), "v21.0");
    RecordingLogger log;

    const json::value settings = parse_json(kBrands);
    const auto table = sendrum::build_single_key_lookup_table(settings, "InstagramGraphApiID");
    const json::array* found = sendrum::get_setting_by_single_key(table, kAccount);
    ASSERT_NE(found, nullptr);
    const json::object details = morvish::extracting_common_details(found->at(0), "29", 3);
    const auto [categories, brands] = morvish::extract_brand_ids_and_category_ids(json::value(*found));
    EXPECT_EQ(categories, "1861");
    EXPECT_EQ(brands, "13011");
    const json::value category_ids(categories), brand_ids(brands);

    // Nothing cached, nothing stored: the post comes from the Graph API.
    for (const auto& statement : host::records_table_ddl()) db.execute(statement);
    EXPECT_TRUE(run_awaitable(sendrum::get_parent_post_from_cached(category_ids, brand_ids, 20, post_id, cache, log))
                    .is_null());
    EXPECT_TRUE(
        run_awaitable(ludrake::extracting_parent_post_for_comments(db, post_id, "991", category_ids, brand_ids, 3))
            .is_null());
    const json::value post = run_awaitable(ludrake::call_api_to_get_parent_post_details(
        post_id, api, kPostToken, json::value(morvish::kParentPostFields), log));
    ASSERT_TRUE(post.is_object());
    const json::value owner =
        run_awaitable(ludrake::check_owner_details_in_redis(post.at("owner").at("id"), kDmToken, cache, api, log));
    ASSERT_TRUE(owner.is_object());

    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const json::object change = parse_json(i == 0 ? user_comment : brand_reply).as_object();
        const json::object& value = change.at("value").as_object();
        json::object request = details;
        request["post_id"] = value.at("id");
        request["comment_text"] = value.at("text");
        request["comment_time"] = "2024-05-01T10:00:00+0000";  // the entry's time, 1714557600
        request["type_of"] = 0;
        request["post_author_id"] = value.at("from").at("id");
        request["comment_author_id"] = value.at("from").at("id");
        request["comment_username"] = value.at("from").at("username");
        request["name"] = value.at("from").at("username");
        request["parent_post_social_id"] = post.at("id");
        request["main_post_social_id"] = post.at("id");
        request["parent_post_url"] = post.at("permalink");
        request["permalink"] = post.at("permalink");
        request["is_parent_brand_post"] = true;  // the post's owner is the account
        if (i == 1) {                            // the brand's own comment: its counters are the owner's
            request["comment_follower_count"] = owner.at("followers_count");
            request["comment_follows_count"] = owner.at("follows_count");
            request["comment_tweet_count"] = owner.at("media_count");
            request["comment_profile_picture"] = owner.at("profile_picture_url");
        }
        const auto expected = tindral::apply_rules(calvane::rules_obj(), request);
        ASSERT_TRUE(expected.has_value());
        const auto& records = envelopes[i].at("records").as_array();
        ASSERT_GE(records.size(), 1u);
        EXPECT_EQ(records[0].at("table"), json::value("comment"));
        EXPECT_EQ(json::serialize(without_clock(records[0].at("record").as_object())),
                  json::serialize(without_clock(*expected)));
    }

    // One parent-post record, from the post, the details and the owner's details.
    json::object parent_request = post.as_object();
    for (const auto& m : details) parent_request[m.key()] = m.value();
    parent_request["post_id"] = post.at("id");
    parent_request["post_author_id"] = post.at("owner").at("id");
    parent_request["is_brand_post"] = true;
    json::object merged_owner = post.at("owner").as_object();
    for (const auto& m : owner.as_object())
        if (!merged_owner.contains(m.key())) merged_owner[m.key()] = m.value();
    parent_request["owner"] = merged_owner;
    const auto expected_parent = tindral::apply_rules(pemrith::rules_obj(), parent_request);
    ASSERT_TRUE(expected_parent.has_value());
    std::vector<json::object> parents;
    for (const auto& e : envelopes)
        for (const auto& r : e.at("records").as_array())
            if (r.at("table") == json::value("parent")) parents.push_back(r.at("record").as_object());
    ASSERT_EQ(parents.size(), 1u);
    EXPECT_EQ(json::serialize(without_clock(parents[0])), json::serialize(without_clock(*expected_parent)));
}

}  // namespace
}  // namespace quillmere::testing
