// `quillmere work` into ClickHouse on both queue engines: a worker killed with SIGKILL in
// the middle of a stream of 2,000 comment deliveries, then a new worker: every comment's
// record is in the table exactly once when read with FINAL, and no delivery is in the dead
// letters. The test program starts redis-server and clickhouse-server itself.

#include "host/queue.hpp"

#include "quillmere/adapters/clickhouse_client.hpp"
#include "support/process.hpp"
#include "support/servers.hpp"

#include "work_support.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace quillmere::host {
namespace {

using namespace std::chrono_literals;
using quillmere::testing::ChildProcess;
using quillmere::testing::deliveries_in;
using quillmere::testing::Servers;
using quillmere::testing::sha256_hex;
using quillmere::testing::TempDir;
using Steady = std::chrono::steady_clock;

constexpr const char* kAccount = "17841400000000001";
constexpr const char* kBrands = R"([
  {"BrandID": 13011, "BrandName": "Brand", "CategoryID": 1861, "CategoryName": "Cat", "AccountID": 55,
   "InstagramGraphApiID": "17841400000000001", "ProfilePic": "https://pic", "ScreenName": "brand",
   "AuthorName": "The Brand"}
])";

std::string comment_delivery(int n) {
    const std::string id = std::to_string(1790000000 + n);
    return std::string(R"({"object":"instagram","entry":[{"id":")") + kAccount +
           R"(","time":1714557600,"changes":[{"field":"comments","value":{"id":")" + id +
           R"(","text":"Love it","from":{"id":"991","username":"user991"},"media":{"id":"1780000001",)"
           R"("media_product_type":"FEED"}}}]}]})";
}

class WorkIntoClickHouse : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        static std::atomic<int> n{0};
        stream_ = "ch" + std::to_string(++n) + ":intake";
        clickhouse_.execute("CREATE DATABASE IF NOT EXISTS orbenix");
        clickhouse_.execute("DROP TABLE IF EXISTS orbenix.mentiondetails");
        std::ofstream(dir_.path() / "brands.json") << kBrands;
        std::ofstream config(config_file_);
        config << "[settings]\nfile = \"" << (dir_.path() / "brands.json").string() << "\"\nchannel_group_id = 3\n"
               << "[clickhouse]\nurl = \"" << Servers::clickhouse().url() << "\"\n"
               << "[output]\nclickhouse = true\njsonl = \"" << out_.string() << "\"\n"
               << "[queue]\nengine = \"" << GetParam() << "\"\n";
        if (GetParam() == "sqlite")
            config << "path = \"" << (dir_.path() / "queue.db").string() << "\"\n";
        else
            config << "url = \"" << redis_url() << "\"\n";
        config << "stream = \"" << stream_ << "\"\nclaim_idle_ms = 1000\n";
    }

    static std::string redis_url() { return "redis://127.0.0.1:" + std::to_string(Servers::redis().port()) + "/0"; }

    std::unique_ptr<Queue> open() const {
        QueueConfig q;
        q.engine = GetParam();
        q.path = dir_.path() / "queue.db";
        q.url = redis_url();
        q.stream = stream_;
        q.claim_idle = 1000ms;
        QueueOptions options;
        options.consumer = "verifier";
        return open_queue(q, options);
    }

    std::unique_ptr<ChildProcess> start_worker(int concurrency) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{QUILLMERE_CLI, "work", "--config", config_file_.string(), "--concurrency",
                                     std::to_string(concurrency), "--consumer", "worker-1"},
            log_);
    }

    std::map<std::string, int> wait_for_output(std::size_t count, std::chrono::milliseconds within) {
        const auto deadline = Steady::now() + within;
        auto seen = deliveries_in(out_);
        while (seen.size() < count && Steady::now() < deadline) {
            std::this_thread::sleep_for(5ms);
            seen = deliveries_in(out_);
        }
        return seen;
    }

    std::int64_t count(const std::string& query) {
        clickhouse_.execute(query);
        return clickhouse_.fetch_df().row(0)["c"].as_int64();
    }

    std::string log_text() const {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TempDir dir_{"quillmere-work-ch"};
    std::filesystem::path config_file_ = dir_.path() / "quillmere.toml";
    std::filesystem::path out_ = dir_.path() / "envelopes.jsonl";
    std::filesystem::path log_ = dir_.path() / "work.log";
    std::string stream_;
    static adapters::ClickHouseOptions clickhouse_options() {
        adapters::ClickHouseOptions options;
        options.url = Servers::clickhouse().url();
        return options;
    }
    adapters::ClickHouseClient clickhouse_{clickhouse_options()};
};

TEST_P(WorkIntoClickHouse, AWorkerKilledMidStreamThenANewOneStoreEveryRecordExactlyOnce) {
    constexpr int kDeliveries = 2000;
    {
        auto queue = open();
        for (int i = 0; i < kDeliveries; ++i) {
            const std::string body = comment_delivery(i);
            ASSERT_EQ(queue->enqueue(sha256_hex(body), body), EnqueueResult::enqueued);
        }
    }
    auto worker = start_worker(2);
    ASSERT_GE(wait_for_output(100, 120s).size(), 100u) << log_text();
    ::kill(worker->pid(), SIGKILL);
    EXPECT_EQ(worker->wait(10s), 128 + SIGKILL);
    ASSERT_LT(deliveries_in(out_).size(), static_cast<std::size_t>(kDeliveries)) << "over before the kill";

    auto second = start_worker(16);
    const auto done = wait_for_output(kDeliveries, 180s);
    ::kill(second->pid(), SIGTERM);
    EXPECT_EQ(second->wait(30s), 0) << log_text();
    ASSERT_EQ(done.size(), static_cast<std::size_t>(kDeliveries)) << log_text();

    EXPECT_EQ(count("SELECT count() AS c FROM orbenix.mentiondetails FINAL WHERE record_table = 'comment'"),
              kDeliveries);
    EXPECT_EQ(count("SELECT uniqExact(tweetidorfbid) AS c FROM orbenix.mentiondetails FINAL "
                    "WHERE record_table = 'comment'"),
              kDeliveries);
    auto queue = open();
    EXPECT_EQ(queue->depth(), 0u);
    EXPECT_TRUE(queue->dead_letters(10).empty());
}

INSTANTIATE_TEST_SUITE_P(Engines, WorkIntoClickHouse, ::testing::Values("sqlite", "redis"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace quillmere::host
