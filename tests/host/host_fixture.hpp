#pragma once
// What the host's integration tests share: the brand settings, the Graph API of the tests
// (the fake, answering posts and users by id through the real client), deliveries built
// from comments, and a fixture whose configuration names every source: the Redis and
// ClickHouse servers of the test program, the fake Graph API, the ClickHouse sink.

#include "host/clickhouse_sink.hpp"
#include "host/pipeline.hpp"
#include "host/sink.hpp"

#include "fake_graph_api/fake_graph_api.hpp"
#include "quillmere/adapters/clickhouse_client.hpp"
#include "quillmere/common/value.hpp"
#include "support/recording_logger.hpp"
#include "support/servers.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json/serialize.hpp>

#include <fstream>
#include <map>
#include <mutex>

namespace quillmere::testing {

namespace asio = boost::asio;
namespace json = boost::json;
using host::Config;
using host::Pipeline;
using host::PipelineClients;

constexpr const char* kAccount = "17841400000000001";
constexpr const char* kPostToken = "post-token-Secret-123";
constexpr const char* kDmToken = "dm-token-Secret-456";

inline const char* kBrands = R"([
  {"BrandID": 13011, "BrandName": "Brand", "CategoryID": 1861, "CategoryName": "Cat", "AccountID": 55,
   "InstagramGraphApiID": "17841400000000001", "ProfilePic": "https://pic", "ScreenName": "brand",
   "AuthorName": "The Brand"}
])";

// The Graph API of these tests: posts and users by id, every request recorded.
class GraphWorld {
public:
    GraphWorld() {
        fake_.set_handler([this](const RecordedRequest& r) { return respond(r); });
    }
    void answer(const std::string& path, std::string body) {
        std::lock_guard lock(mutex_);
        answers_[path] = std::move(body);
    }
    // Every answer from now on carries this X-App-Usage header (empty: none).
    void app_usage(std::string header) {
        std::lock_guard lock(mutex_);
        app_usage_ = std::move(header);
    }
    std::size_t requests_to(const std::string& path) const {
        std::size_t n = 0;
        for (const auto& r : fake_.requests()) n += r.path == path ? 1 : 0;
        return n;
    }
    std::vector<RecordedRequest> requests() const { return fake_.requests(); }
    std::string base_url() const { return fake_.base_url(); }
    void clear_requests() {
        // reset() also drops the handler: set it again.
        fake_.reset();
        fake_.set_handler([this](const RecordedRequest& r) { return respond(r); });
    }

private:
    FakeResponse respond(const RecordedRequest& r) {
        std::lock_guard lock(mutex_);
        auto it = answers_.find(r.path);
        FakeResponse response = it == answers_.end()
                                    ? FakeResponse::with_status(404, R"({"error":{"message":"unknown"}})")
                                    : FakeResponse::ok(it->second);
        if (!app_usage_.empty()) response.headers.emplace_back("X-App-Usage", app_usage_);
        return response;
    }

    FakeGraphApi fake_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> answers_;
    std::string app_usage_;
};

inline GraphWorld& graph() {
    static GraphWorld world;
    return world;
}

inline std::string post_json(const std::string& id, const std::string& shortcode, const std::string& owner = kAccount) {
    return R"({"permalink":"https://www.instagram.com/p/)" + shortcode + R"(/","id":")" + id +
           R"(","caption":"Summer #sale","comments_count":3,"like_count":10,"media_type":"IMAGE",)"
           R"("owner":{"id":")" +
           owner +
           R"(","username":"brand"},"username":"brand",)"
           R"("timestamp":"2024-04-30T08:00:00+0000"})";
}

inline const char* kOwnerAnswer =
    R"({"id":"17841400000000001","followers_count":1200,"follows_count":15,"media_count":88,)"
    R"("profile_picture_url":"https://pic/brand","username":"brand"})";

inline std::string comment_change(const std::string& comment_id, const std::string& media_id,
                                  const std::string& author = "991", const std::string& product = "FEED") {
    return R"({"field":"comments","value":{"id":")" + comment_id + R"(","text":"Love it","from":{"id":")" + author +
           R"(","username":"user)" + author + R"("},"media":{"id":")" + media_id + R"(","media_product_type":")" +
           product + R"("}}})";
}

inline std::string delivery(const std::vector<std::string>& changes, const std::string& account = kAccount) {
    std::string out = R"({"object":"instagram","entry":[{"id":")" + account + R"(","time":1714557600,"changes":[)";
    for (std::size_t i = 0; i < changes.size(); ++i) out += (i ? "," : "") + changes[i];
    return out + "]}]}";
}

inline json::object raw_of(const json::object& record) {
    return parse_json(record.at("RawData").as_string()).as_object();
}

inline std::vector<std::string> strings(const json::value& v) {
    std::vector<std::string> out;
    if (const json::array* a = v.if_array())
        for (const auto& s : *a) out.emplace_back(s.as_string());
    return out;
}

inline bool any_starts_with(const std::vector<std::string>& texts, std::string_view prefix) {
    for (const auto& t : texts)
        if (t.rfind(prefix, 0) == 0) return true;
    return false;
}

class HostPipeline : public ::testing::Test {
protected:
    HostPipeline() {
        std::ofstream(dir.path() / "brands.json") << kBrands;
        config.settings.file = dir.path() / "brands.json";
        config.settings.channel_group_id = 3;
        config.redis.configured = true;
        config.redis.url = "redis://127.0.0.1:" + std::to_string(Servers::redis().port()) + "/0";
        config.clickhouse.configured = true;
        config.clickhouse.url = Servers::clickhouse().url();
        config.graph_api.configured = true;
        config.graph_api.base_url = graph().base_url();
        config.graph_api.version = "v21.0";
        config.graph_api.access_token.value = kPostToken;
        config.graph_api.dm_access_token.value = kDmToken;
        config.graph_api.max_in_flight = 8;
        config.output.jsonl = dir.path() / "out.jsonl";
        config.output.clickhouse = true;

        admin.command({"FLUSHALL"});
        clickhouse.execute("CREATE DATABASE IF NOT EXISTS orbenix");
        clickhouse.execute("DROP TABLE IF EXISTS orbenix.mentiondetails");
        graph().clear_requests();
        graph().answer(std::string("/v21.0/") + kAccount, kOwnerAnswer);
    }

    std::vector<json::object> process(Pipeline& pipeline, const std::string& body, int line = 1) {
        auto result = asio::co_spawn(io, pipeline.process(body, json::value(line)), asio::use_future);
        io.restart();
        io.run();
        return result.get();
    }

    // Processes a delivery and hands its envelopes to the configured sinks, as `process` does.
    std::vector<json::object> process_and_store(Pipeline& pipeline, host::Sink& sink, const std::string& body,
                                                int line = 1) {
        auto envelopes = process(pipeline, body, line);
        sink.write(envelopes);
        return envelopes;
    }

    std::unique_ptr<Pipeline> make_pipeline() {
        return std::make_unique<Pipeline>(config, io.get_executor(), PipelineClients{.logger = logger});
    }

    std::int64_t count_final(const std::string& where) {
        clickhouse.execute("SELECT count() FROM orbenix.mentiondetails FINAL WHERE " + where);
        auto table = clickhouse.fetch_df();
        return table.row(0)["count()"].as_int64();
    }

    void store_parent_row(const std::string& media_id, const std::string& shortcode) {
        for (const auto& statement : host::records_table_ddl()) clickhouse.execute(statement);
        clickhouse.execute(
            "INSERT INTO orbenix.mentiondetails (tweetidorfbid, url, instagramgraphapiid, u_followerscount, "
            "u_followingcount, u_tweetcount, u_authorid, isbrandpost, categoryid, brandid, channelgroupid, "
            "record_table, record) VALUES ('" +
            media_id + "', 'https://www.instagram.com/p/" + shortcode + "/', '" + media_id + "', 500, 4, 70, '" +
            kAccount + "', 1, 1861, 13011, 3, 'parent', '{}')");
    }

    TempDir dir{"quillmere-host"};
    Config config;
    asio::io_context io;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    RedisAdmin admin{Servers::redis().port()};
    adapters::ClickHouseClient clickhouse{adapters::ClickHouseOptions{.url = Servers::clickhouse().url()}};
};

}  // namespace quillmere::testing
