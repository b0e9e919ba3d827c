// `quillmere work` as users run it, on both queue engines: a worker killed with SIGKILL in
// the middle of a stream, then a new one: every delivery is processed, none lost, none in
// the dead letters; SIGTERM finishes what is in flight and exits 0; a configuration that
// cannot be used exits 2 naming the key.

#include "host/queue.hpp"

#include "support/process.hpp"

#include "redis_environment.hpp"
#include "run_command.hpp"
#include "work_support.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <boost/json/parse.hpp>

#include <atomic>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace quillmere::host {
namespace {

using namespace std::chrono_literals;
using quillmere::testing::ChildProcess;
using quillmere::testing::deliveries_in;
using quillmere::testing::RedisEnvironment;
using quillmere::testing::sha256_hex;
using quillmere::testing::TempDir;
using Steady = std::chrono::steady_clock;

// A mention delivery, different for each n.
std::string mention(int n) {
    return R"({"object": "instagram", "entry": [{"id": "17841405822304914", "time": 1718000000, "changes": [)"
           R"({"field": "mentions", "value": {"media_id": "18300000000)" +
           std::to_string(100000 + n) + R"(", "comment_id": "18400000000)" + std::to_string(100000 + n) + R"("}}]}]})";
}

class WorkCommand : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        static std::atomic<int> n{0};
        stream_ = "work" + std::to_string(++n) + ":intake";
        std::ofstream config(config_file_);
        config << "[queue]\nengine = \"" << GetParam() << "\"\n";
        if (GetParam() == "sqlite")
            config << "path = \"" << (dir_.path() / "queue.db").string() << "\"\n";
        else
            config << "url = \"" << RedisEnvironment::server().url() << "\"\n";
        config << "stream = \"" << stream_ << "\"\nclaim_idle_ms = 1000\n"
               << "[output]\njsonl = \"" << out_.string() << "\"\n";
    }

    std::unique_ptr<Queue> open() const {
        QueueConfig q;
        q.engine = GetParam();
        q.path = dir_.path() / "queue.db";
        q.url = RedisEnvironment::server().url();
        q.stream = stream_;
        q.claim_idle = 1000ms;
        QueueOptions options;
        options.consumer = "verifier";
        return open_queue(q, options);
    }

    // Enqueues `count` deliveries; returns their digests.
    std::set<std::string> enqueue(int count) {
        auto queue = open();
        std::set<std::string> digests;
        for (int i = 0; i < count; ++i) {
            const std::string body = mention(i);
            digests.insert(sha256_hex(body));
            EXPECT_EQ(queue->enqueue(sha256_hex(body), body), EnqueueResult::enqueued);
        }
        return digests;
    }

    std::unique_ptr<ChildProcess> start_worker(int concurrency) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{QUILLMERE_CLI, "work", "--config", config_file_.string(), "--concurrency",
                                     std::to_string(concurrency), "--consumer", "worker-1"},
            log_);
    }

    // Waits until the output holds at least `count` distinct deliveries or `within` passed.
    std::map<std::string, int> wait_for_output(std::size_t count, std::chrono::milliseconds within) {
        const auto deadline = Steady::now() + within;
        auto seen = deliveries_in(out_);
        while (seen.size() < count && Steady::now() < deadline) {
            std::this_thread::sleep_for(5ms);
            seen = deliveries_in(out_);
        }
        return seen;
    }

    std::string log_text() const {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TempDir dir_{"quillmere-work"};
    std::filesystem::path config_file_ = dir_.path() / "quillmere.toml";
    std::filesystem::path out_ = dir_.path() / "envelopes.jsonl";
    std::filesystem::path log_ = dir_.path() / "work.log";
    std::string stream_;
};

TEST_P(WorkCommand, AWorkerKilledMidStreamLosesNothingAndANewOneFinishesTheStream) {
    constexpr int kDeliveries = 2000;
    const auto digests = enqueue(kDeliveries);
    auto worker = start_worker(1);
    const auto before = wait_for_output(100, 60s);
    ASSERT_GE(before.size(), 100u) << log_text();
    ::kill(worker->pid(), SIGKILL);
    EXPECT_EQ(worker->wait(10s), 128 + SIGKILL);
    const auto at_kill = deliveries_in(out_);
    ASSERT_LT(at_kill.size(), static_cast<std::size_t>(kDeliveries)) << "the stream was over before the kill";

    auto second = start_worker(8);
    const auto after = wait_for_output(kDeliveries, 120s);
    ::kill(second->pid(), SIGTERM);
    EXPECT_EQ(second->wait(30s), 0) << log_text();

    std::size_t missing = 0;
    for (const auto& d : digests) missing += after.count(d) ? 0 : 1;
    EXPECT_EQ(missing, 0u) << log_text();
    EXPECT_EQ(after.size(), static_cast<std::size_t>(kDeliveries)) << "an envelope names a delivery never enqueued";
    auto queue = open();
    EXPECT_EQ(queue->depth(), 0u);
    EXPECT_TRUE(queue->dead_letters(10).empty());
}

TEST_P(WorkCommand, SigtermFinishesTheDeliveriesInFlightAndExitsZero) {
    constexpr int kDeliveries = 400;
    enqueue(kDeliveries);
    auto worker = start_worker(4);
    ASSERT_GE(wait_for_output(20, 60s).size(), 20u) << log_text();
    ::kill(worker->pid(), SIGTERM);
    EXPECT_EQ(worker->wait(30s), 0) << log_text();

    const auto done = deliveries_in(out_);
    for (const auto& [digest, times] : done) EXPECT_EQ(times, 1) << digest << " written twice";
    // Whatever was not written is still in the queue and not leased by anyone: it can be
    // taken at once.
    auto queue = open();
    EXPECT_EQ(queue->depth(), kDeliveries - done.size());
    std::size_t available = 0;
    for (int i = 0; i < 10 && available < kDeliveries - done.size(); ++i) available += queue->lease(1000, 0ms).size();
    EXPECT_EQ(available, kDeliveries - done.size()) << "a delivery was left leased by the stopped worker";
    EXPECT_NE(log_text().find("SIGTERM received"), std::string::npos);
}

// `dlq list` shows what kept failing and why; `dlq replay` offers it again, from the first
// attempt, and names ids that are not dead letters with exit status 1.
TEST_P(WorkCommand, DlqListsTheDeadLettersAndReplaysThem) {
    auto queue = open();
    for (int i = 0; i < 2; ++i) {
        const std::string body = mention(i);
        ASSERT_EQ(queue->enqueue(sha256_hex(body), body), EnqueueResult::enqueued);
    }
    auto leased = queue->lease(2, 1000ms);
    ASSERT_EQ(leased.size(), 2u);
    for (const auto& d : leased) queue->dead_letter(d, "graph_api: answer 500\nsecond line");

    auto dlq = [&](std::vector<std::string> args) {
        quillmere::testing::Command command;
        command.argv = {QUILLMERE_CLI, "dlq"};
        command.argv.insert(command.argv.end(), args.begin(), args.end());
        command.argv.insert(command.argv.begin() + 3, {"--config", config_file_.string()});
        command.deadline = 30s;
        return quillmere::testing::run_command(command);
    };

    auto listed = dlq({"list", "--bodies"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const auto lines = quillmere::testing::split_lines(listed.out);
    ASSERT_EQ(lines.size(), 2u) << listed.out;
    std::vector<std::string> ids;
    std::set<std::string> digests;
    std::map<std::string, std::string> digest_of;
    for (const auto& line : lines) {
        const auto letter = boost::json::parse(line).as_object();
        ids.emplace_back(letter.at("id").as_string());
        digests.emplace(letter.at("digest").as_string());
        digest_of[ids.back()] = letter.at("digest").as_string();
        EXPECT_EQ(letter.at("last_error"), "graph_api: answer 500\nsecond line");
        EXPECT_EQ(letter.at("attempts").to_number<int>(), 1);
        EXPECT_EQ(sha256_hex(std::string(letter.at("body").as_string())), letter.at("digest").as_string());
        EXPECT_EQ(letter.at("bytes").to_number<std::size_t>(), letter.at("body").as_string().size());
        EXPECT_EQ(letter.at("failed_at").as_string().size(), 20u) << line;  // 2026-12-11T09:30:00Z
    }
    EXPECT_EQ(digests, (std::set<std::string>{sha256_hex(mention(0)), sha256_hex(mention(1))}));
    auto limited = dlq({"list", "--limit", "1"});
    EXPECT_EQ(quillmere::testing::split_lines(limited.out).size(), 1u);
    EXPECT_EQ(limited.out.find("\"body\""), std::string::npos) << "bodies only when asked for";

    auto replayed = dlq({"replay", ids[0], "no-such-id"});
    EXPECT_EQ(replayed.status, 1) << replayed.err;
    EXPECT_NE(replayed.out.find("1 dead letter re-queued"), std::string::npos) << replayed.out;
    EXPECT_NE(replayed.err.find("1 of the ids given is not a dead letter"), std::string::npos) << replayed.err;
    auto again = queue->lease(2, 1000ms);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].digest, digest_of[ids[0]]);
    EXPECT_EQ(again[0].attempts, 1u) << "a replayed delivery starts from its first attempt";
    queue->ack(again[0]);

    auto rest = dlq({"replay"});
    EXPECT_EQ(rest.status, 0) << rest.err;
    EXPECT_NE(rest.out.find("1 dead letter re-queued"), std::string::npos) << rest.out;
    EXPECT_EQ(dlq({"list"}).out, "");
    EXPECT_EQ(queue->lease(2, 1000ms).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, WorkCommand, ::testing::Values("sqlite", "redis"),
                         [](const auto& info) { return info.param; });

TEST(WorkCommandConfiguration, AConfigurationThatCannotBeUsedExits2NamingTheKey) {
    TempDir dir;
    const struct {
        const char* toml;
        const char* key;
    } cases[] = {
        {"[queue]\nengine = \"kafka\"\n", "queue.engine"},
        {"[queue]\nengine = \"redis\"\n", "queue.url"},
        {"[queue]\nmax_deliveries = 0\n", "queue.max_deliveries"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.toml);
        const auto file = dir.path() / "bad.toml";
        std::ofstream(file) << c.toml;
        quillmere::testing::Command command;
        command.argv = {QUILLMERE_CLI, "work", "--config", file.string()};
        command.deadline = 30s;
        auto result = quillmere::testing::run_command(command);
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_NE(result.err.find(c.key), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace quillmere::host
