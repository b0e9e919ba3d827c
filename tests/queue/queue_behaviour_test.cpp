// What the durable queue promises, the same tests for both engines (SQLite in a file,
// Redis Streams on a real redis-server with the settings the guarantee needs), then what
// only the Redis engine does (consumer group, trimming, settings check).

#include "host/queue_redis.hpp"
#include "host/queue_sqlite.hpp"

#include "support/process.hpp"
#include "support/redis_server.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

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
using quillmere::testing::RedisAdmin;
using quillmere::testing::RedisServer;
using quillmere::testing::TempDir;
using Steady = std::chrono::steady_clock;

// One redis-server for the whole program, configured as docs/deploy.md asks.
class RedisEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        server_ = std::make_unique<RedisServer>(std::vector<std::string>{"--appendonly", "yes", "--appendfsync",
                                                                         "always", "--maxmemory-policy", "noeviction"});
    }
    void TearDown() override { server_.reset(); }
    static RedisServer& server() { return *server_; }

private:
    static inline std::unique_ptr<RedisServer> server_;
};
::testing::Environment* const redis_environment = ::testing::AddGlobalTestEnvironment(new RedisEnvironment);

struct Settings {
    std::chrono::milliseconds window = std::chrono::hours(48);
    std::size_t max_deliveries = 5;
    std::chrono::milliseconds claim_idle = 300ms;
    std::string consumer = "tester";
};

class SqliteEngine {
public:
    static constexpr const char* kName = "sqlite";
    std::unique_ptr<Queue> open(const Settings& s = {}) {
        return std::make_unique<SqliteQueue>(SqliteQueueOptions{.path = path(),
                                                                .redelivery_window = s.window,
                                                                .max_deliveries = s.max_deliveries,
                                                                .claim_idle = s.claim_idle,
                                                                .poll_interval = 50ms});
    }
    std::string where() const { return path().string(); }
    std::string stream() const { return "unused"; }
    // The storage itself going down and up again: nothing to do for a file.
    void restart_storage() {}

private:
    std::filesystem::path path() const { return dir_.path() / "queue.db"; }
    TempDir dir_{"quillmere-queue"};
};

class RedisEngine {
public:
    static constexpr const char* kName = "redis";
    RedisEngine() : stream_("t" + std::to_string(next_stream()) + ":intake") {}
    std::unique_ptr<Queue> open(const Settings& s = {}) {
        return std::make_unique<RedisQueue>(RedisQueueOptions{.url = where(),
                                                              .stream = stream_,
                                                              .consumer = s.consumer,
                                                              .redelivery_window = s.window,
                                                              .max_deliveries = s.max_deliveries,
                                                              .claim_idle = s.claim_idle});
    }
    std::string where() const { return RedisEnvironment::server().url(); }
    std::string stream() const { return stream_; }
    // redis-server killed with SIGKILL and started again: what it holds comes from its
    // append-only file.
    void restart_storage() {
        RedisEnvironment::server().kill();
        RedisEnvironment::server().start();
    }

private:
    static int next_stream() {
        static std::atomic<int> n{0};
        return ++n;
    }
    std::string stream_;
};

template <class Engine>
class QueueBehaviour : public ::testing::Test {
protected:
    Engine engine;
};

struct EngineNames {
    template <class T>
    static std::string GetName(int) {
        return T::kName;
    }
};
using Engines = ::testing::Types<SqliteEngine, RedisEngine>;
TYPED_TEST_SUITE(QueueBehaviour, Engines, EngineNames);

// Leases until `count` deliveries came or `within` passed (each lease waits a little).
std::vector<LeasedDelivery> lease_up_to(Queue& queue, std::size_t count, std::chrono::milliseconds within = 5s) {
    std::vector<LeasedDelivery> out;
    const auto deadline = Steady::now() + within;
    while (out.size() < count && Steady::now() < deadline) {
        auto got = queue.lease(count - out.size(), 200ms);
        std::move(got.begin(), got.end(), std::back_inserter(out));
    }
    return out;
}

std::string body_of(const std::string& digest) { return "{\"object\":\"instagram\",\"d\":\"" + digest + "\"}"; }

TYPED_TEST(QueueBehaviour, DeliveriesAreLeasedOnceInOrderAndGoneAfterTheirAck) {
    auto queue = this->engine.open();
    for (const char* d : {"d1", "d2", "d3"}) EXPECT_EQ(queue->enqueue(d, body_of(d)), EnqueueResult::enqueued);
    EXPECT_EQ(queue->depth(), 3u);

    auto leased = queue->lease(10, 0ms);
    ASSERT_EQ(leased.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string d = "d" + std::to_string(i + 1);
        EXPECT_EQ(leased[i].digest, d);
        EXPECT_EQ(leased[i].body, body_of(d));
        EXPECT_EQ(leased[i].attempts, 1u);
        EXPECT_EQ(leased[i].last_error, "");
    }
    EXPECT_TRUE(queue->lease(10, 0ms).empty()) << "a leased delivery was offered twice";
    EXPECT_EQ(queue->depth(), 3u) << "leased but not acknowledged still counts";
    for (const auto& d : leased) queue->ack(d);
    EXPECT_EQ(queue->depth(), 0u);
    EXPECT_TRUE(queue->lease(10, 0ms).empty());
    EXPECT_TRUE(queue->ready());
}

TYPED_TEST(QueueBehaviour, ALeaseWaitsForTheFirstDeliveryToArrive) {
    auto queue = this->engine.open();
    std::thread later([&] {
        std::this_thread::sleep_for(200ms);
        queue->enqueue("late", body_of("late"));
    });
    const auto start = Steady::now();
    auto leased = queue->lease(5, 5s);
    later.join();
    ASSERT_EQ(leased.size(), 1u);
    EXPECT_EQ(leased[0].digest, "late");
    EXPECT_LT(Steady::now() - start, 4s) << "the lease did not return when the delivery arrived";
}

TYPED_TEST(QueueBehaviour, ARedeliveryWithinTheWindowIsNotStoredAgain) {
    const struct {
        const char* what;
        std::chrono::milliseconds window;
        std::chrono::milliseconds pause;
        bool acked_between;
        EnqueueResult second;
    } cases[] = {
        {"at once", 48h, 0ms, false, EnqueueResult::duplicate},
        {"after it was processed", 48h, 0ms, true, EnqueueResult::duplicate},
        {"after the window", 300ms, 900ms, false, EnqueueResult::enqueued},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TypeParam engine;
        auto queue = engine.open({.window = c.window});
        EXPECT_EQ(queue->enqueue("same", body_of("same")), EnqueueResult::enqueued);
        EXPECT_EQ(queue->enqueue("other", body_of("other")), EnqueueResult::enqueued);
        if (c.acked_between)
            for (const auto& d : queue->lease(10, 0ms)) queue->ack(d);
        std::this_thread::sleep_for(c.pause);
        EXPECT_EQ(queue->enqueue("same", body_of("same")), c.second);
        const std::size_t stored = (c.acked_between ? 0 : 2) + (c.second == EnqueueResult::enqueued ? 1 : 0);
        EXPECT_EQ(queue->depth(), stored);
    }
}

TYPED_TEST(QueueBehaviour, ConcurrentEnqueuesAreAllKeptAndADuplicateOnlyOnce) {
    auto queue = this->engine.open();
    constexpr int kThreads = 8, kEach = 100;
    std::atomic<int> shared_enqueued{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const std::string d = "t" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(queue->enqueue(d, body_of(d)), EnqueueResult::enqueued);
                if (i == kEach / 2 && queue->enqueue("shared", body_of("shared")) == EnqueueResult::enqueued)
                    shared_enqueued.fetch_add(1);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(shared_enqueued.load(), 1);
    const std::size_t total = kThreads * kEach + 1;
    EXPECT_EQ(queue->depth(), total);
    auto leased = lease_up_to(*queue, total);
    std::set<std::string> digests;
    for (const auto& d : leased) {
        EXPECT_EQ(d.body, body_of(d.digest));
        digests.insert(d.digest);
    }
    EXPECT_EQ(digests.size(), total);
}

TYPED_TEST(QueueBehaviour, ALeaseNotAcknowledgedWithinClaimIdleIsOfferedAgain) {
    auto first = this->engine.open({.claim_idle = 300ms, .consumer = "first"});
    auto second = this->engine.open({.claim_idle = 300ms, .consumer = "second"});
    first->enqueue("d", body_of("d"));
    auto a = first->lease(1, 0ms);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(second->lease(1, 0ms).empty()) << "offered again before claim_idle";

    auto b = second->lease(1, 5s);
    ASSERT_EQ(b.size(), 1u) << "never offered again";
    EXPECT_EQ(b[0].digest, "d");
    EXPECT_EQ(b[0].attempts, 2u);

    // The first lease is stale now: its late retry must not disturb the current one.
    first->retry(a[0], "late failure", 0ms);
    EXPECT_TRUE(second->lease(1, 0ms).empty()) << "a stale lease put the delivery back";
    second->ack(b[0]);
    EXPECT_EQ(second->depth(), 0u);
}

TYPED_TEST(QueueBehaviour, ARetryIsOfferedAgainAfterItsDelayWithItsError) {
    auto queue = this->engine.open();
    queue->enqueue("d", body_of("d"));
    queue->enqueue("other", body_of("other"));
    auto leased = queue->lease(1, 0ms);
    ASSERT_EQ(leased.size(), 1u);
    ASSERT_EQ(leased[0].digest, "d");
    queue->retry(leased[0], "graph api unreachable", 400ms);

    // The other delivery is not held up; the retried one is not offered before its time.
    auto next = queue->lease(5, 0ms);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].digest, "other");
    queue->ack(next[0]);

    auto again = queue->lease(1, 5s);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].digest, "d");
    EXPECT_EQ(again[0].attempts, 2u);
    EXPECT_EQ(again[0].last_error, "graph api unreachable");
    EXPECT_EQ(queue->depth(), 1u);
}

TYPED_TEST(QueueBehaviour, ADeliveryThatKeepsFailingBecomesADeadLetterAndCanBeReplayed) {
    auto queue = this->engine.open({.max_deliveries = 3});
    queue->enqueue("poison", body_of("poison"));
    for (int attempt = 1; attempt <= 3; ++attempt) {
        auto leased = lease_up_to(*queue, 1);
        ASSERT_EQ(leased.size(), 1u) << "attempt " << attempt;
        EXPECT_EQ(leased[0].attempts, static_cast<std::size_t>(attempt));
        queue->retry(leased[0], "failure " + std::to_string(attempt), 0ms);
    }
    EXPECT_EQ(queue->depth(), 0u);
    EXPECT_TRUE(queue->lease(1, 300ms).empty()) << "offered a fourth time";

    auto dead = queue->dead_letters(10);
    ASSERT_EQ(dead.size(), 1u);
    EXPECT_EQ(dead[0].digest, "poison");
    EXPECT_EQ(dead[0].body, body_of("poison"));
    EXPECT_EQ(dead[0].attempts, 3u);
    EXPECT_EQ(dead[0].last_error, "failure 3");
    EXPECT_GT(dead[0].failed_at.time_since_epoch().count(), 0);

    const std::vector<std::string> not_dead{"12345", "0-1", "not an id"};
    EXPECT_EQ(queue->replay(not_dead), 0u);
    const std::vector<std::string> ids{dead[0].id};
    EXPECT_EQ(queue->replay(ids), 1u);
    EXPECT_TRUE(queue->dead_letters(10).empty());
    EXPECT_EQ(queue->depth(), 1u);
    auto replayed = lease_up_to(*queue, 1);
    ASSERT_EQ(replayed.size(), 1u);
    EXPECT_EQ(replayed[0].digest, "poison");
    EXPECT_EQ(replayed[0].attempts, 1u);
}

TYPED_TEST(QueueBehaviour, AnExplicitDeadLetterAndReplayOfAll) {
    auto queue = this->engine.open();
    for (const char* d : {"a", "b", "c"}) queue->enqueue(d, body_of(d));
    for (const auto& d : queue->lease(3, 0ms)) queue->dead_letter(d, "not a JSON object: " + d.digest);
    EXPECT_EQ(queue->depth(), 0u);
    auto dead = queue->dead_letters(10);
    ASSERT_EQ(dead.size(), 3u);
    EXPECT_EQ(dead[1].last_error, "not a JSON object: b");
    EXPECT_EQ(dead[1].attempts, 1u);
    EXPECT_EQ(queue->dead_letters(2).size(), 2u);
    EXPECT_EQ(queue->replay({}), 3u);
    EXPECT_EQ(queue->depth(), 3u);
    EXPECT_TRUE(queue->dead_letters(10).empty());
}

TYPED_TEST(QueueBehaviour, ADeliveryNeverAcknowledgedGoesToTheDeadLettersAfterMaxDeliveries) {
    auto queue = this->engine.open({.max_deliveries = 2, .claim_idle = 200ms});
    queue->enqueue("crasher", body_of("crasher"));
    queue->enqueue("fine", body_of("fine"));
    auto first = queue->lease(1, 0ms);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(first[0].digest, "crasher");
    // The worker holding it dies each time: the lease runs out, twice.
    auto second = lease_up_to(*queue, 2);  // "fine" and the second delivery of "crasher"
    ASSERT_EQ(second.size(), 2u);
    for (const auto& d : second)
        if (d.digest == "fine") queue->ack(d);
    EXPECT_TRUE(lease_up_to(*queue, 1, 1500ms).empty()) << "delivered a third time";
    auto dead = queue->dead_letters(10);
    ASSERT_EQ(dead.size(), 1u);
    EXPECT_EQ(dead[0].digest, "crasher");
    EXPECT_NE(dead[0].last_error.find("not acknowledged"), std::string::npos) << dead[0].last_error;
    EXPECT_EQ(queue->depth(), 0u);
}

TYPED_TEST(QueueBehaviour, WhatWasStoredSurvivesARestart) {
    {
        auto queue = this->engine.open();
        for (int i = 0; i < 5; ++i) queue->enqueue("r" + std::to_string(i), body_of("r" + std::to_string(i)));
        ASSERT_EQ(queue->lease(2, 0ms).size(), 2u);  // leased, never acknowledged
    }
    this->engine.restart_storage();
    auto queue = this->engine.open();
    EXPECT_EQ(queue->depth(), 5u);
    auto leased = lease_up_to(*queue, 5);
    std::map<std::string, std::size_t> attempts;
    for (const auto& d : leased) attempts[d.digest] = d.attempts;
    ASSERT_EQ(attempts.size(), 5u);
    EXPECT_EQ(attempts["r0"], 2u);
    EXPECT_EQ(attempts["r1"], 2u);
    EXPECT_EQ(attempts["r4"], 1u);
    EXPECT_EQ(queue->enqueue("r3", body_of("r3")), EnqueueResult::duplicate) << "the redelivery window was lost";
}

// Lines of a file that are complete (the last one may be half written when the writer died).
std::vector<std::string> complete_lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void kill_now(ChildProcess& process) {
    ASSERT_TRUE(process.running());
    ::kill(process.pid(), SIGKILL);
}

TYPED_TEST(QueueBehaviour, EveryEnqueueThatReturnedSurvivesASigkillOfTheEnqueuer) {
    TempDir out_dir;
    const auto out = out_dir.path() / "returned.txt";
    auto probe = std::make_unique<ChildProcess>(
        std::vector<std::string>{QUEUE_PROBE, "enqueue", TypeParam::kName, this->engine.where(), this->engine.stream(),
                                 "8", "100000"},
        out);
    const auto deadline = Steady::now() + 30s;
    while (complete_lines(out).size() < 300 && Steady::now() < deadline && probe->running())
        std::this_thread::sleep_for(20ms);
    kill_now(*probe);
    probe.reset();
    this->engine.restart_storage();

    const auto returned = complete_lines(out);
    ASSERT_GE(returned.size(), 300u) << "the enqueuer did not get going";
    auto queue = this->engine.open();
    const std::size_t stored = queue->depth();
    EXPECT_GE(stored, returned.size());
    std::set<std::string> found;
    for (const auto& d : lease_up_to(*queue, stored, 30s)) found.insert(d.digest);
    std::size_t missing = 0;
    for (const auto& d : returned) missing += found.count(d) ? 0 : 1;
    EXPECT_EQ(missing, 0u) << "of " << returned.size() << " enqueues that returned";
}

TYPED_TEST(QueueBehaviour, ADeliveryOfAWorkerKilledMidwayIsDeliveredAgain) {
    {
        auto queue = this->engine.open();
        queue->enqueue("midway", body_of("midway"));
        queue->enqueue("untouched", body_of("untouched"));
    }
    TempDir out_dir;
    const auto out = out_dir.path() / "leased.txt";
    ChildProcess worker(
        {QUEUE_PROBE, "lease", TypeParam::kName, this->engine.where(), this->engine.stream(), "tester", "300"}, out);
    const auto deadline = Steady::now() + 20s;
    while (complete_lines(out).empty() && Steady::now() < deadline && worker.running())
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(complete_lines(out), std::vector<std::string>{"leased midway"});
    kill_now(worker);

    auto queue = this->engine.open({.claim_idle = 300ms});  // the worker started again
    auto leased = lease_up_to(*queue, 2);
    ASSERT_EQ(leased.size(), 2u);
    for (const auto& d : leased) {
        EXPECT_EQ(d.attempts, d.digest == "midway" ? 2u : 1u) << d.digest;
        queue->ack(d);
    }
    EXPECT_EQ(queue->depth(), 0u);
}

// ---- Redis Streams only ----

// Warnings logged while it lives.
class CapturedWarnings {
public:
    CapturedWarnings() : sink_(std::make_shared<Sink>()), saved_(spdlog::default_logger()) {
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("captured", sink_));
    }
    ~CapturedWarnings() { spdlog::set_default_logger(saved_); }
    std::string text() const {
        std::lock_guard lock(sink_->lines_mutex);
        return sink_->text;
    }

private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        void sink_it_(const spdlog::details::log_msg& m) override {
            if (m.level < spdlog::level::warn) return;
            std::lock_guard lock(lines_mutex);
            text.append(m.payload.data(), m.payload.size()).append("\n");
        }
        void flush_() override {}
        mutable std::mutex lines_mutex;
        std::string text;
    };
    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> saved_;
};

RedisQueueOptions options_for(const RedisServer& server, const std::string& stream) {
    return {.url = server.url(), .stream = stream, .group = "workers", .consumer = "tester", .claim_idle = 300ms};
}

TEST(RedisQueue, AMissingConsumerGroupIsCreatedAgainAndNothingIsLost) {
    auto& server = RedisEnvironment::server();
    RedisAdmin admin(server.port());
    RedisQueue queue(options_for(server, "group-gone"));
    queue.enqueue("g1", body_of("g1"));
    queue.enqueue("g2", body_of("g2"));
    ASSERT_EQ(admin.command({"XGROUP", "DESTROY", "group-gone", "workers"}), "1");
    auto leased = lease_up_to(queue, 2);
    ASSERT_EQ(leased.size(), 2u);
    for (const auto& d : leased) queue.ack(d);

    // The whole stream deleted: enqueues and leases go on.
    ASSERT_EQ(admin.command({"DEL", "group-gone"}), "1");
    EXPECT_EQ(queue.enqueue("g3", body_of("g3")), EnqueueResult::enqueued);
    auto after = lease_up_to(queue, 1);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].digest, "g3");
}

TEST(RedisQueue, TrimmingNeverDropsAnEntryStillPendingOrUnread) {
    auto& server = RedisEnvironment::server();
    RedisAdmin admin(server.port());
    auto options = options_for(server, "trimmed");
    options.trim_every = 1000000;  // only when asked
    RedisQueue queue(options);
    for (int i = 0; i < 10; ++i) queue.enqueue("e" + std::to_string(i), body_of("e" + std::to_string(i)));
    auto leased = queue.lease(4, 0ms);  // e0..e3 pending, e4..e9 unread
    ASSERT_EQ(leased.size(), 4u);
    queue.ack(leased[1]);
    queue.ack(leased[2]);
    EXPECT_EQ(queue.trim(), 0u) << "e0 is still pending";
    queue.ack(leased[0]);
    EXPECT_EQ(queue.trim(), 3u) << "e0, e1 and e2 are done";
    EXPECT_EQ(admin.command({"XLEN", "trimmed"}), "7");

    // A second group that has read nothing needs everything the stream still holds.
    ASSERT_EQ(admin.command({"XGROUP", "CREATE", "trimmed", "audit", "0"}), "OK");
    queue.ack(leased[3]);
    auto rest = queue.lease(10, 0ms);
    ASSERT_EQ(rest.size(), 6u);
    for (const auto& d : rest) queue.ack(d);
    EXPECT_EQ(queue.depth(), 0u);
    EXPECT_EQ(queue.trim(), 0u) << "trimmed what the other group has not read";
    ASSERT_EQ(admin.command({"XGROUP", "DESTROY", "trimmed", "audit"}), "1");
    EXPECT_EQ(queue.trim(), 6u);
    EXPECT_EQ(admin.command({"XLEN", "trimmed"}), "1") << "only the last entry read is kept";
}

TEST(RedisQueue, TheSettingsTheGuaranteeNeedsAreCheckedAtStart) {
    RedisServer server;  // its own, to change its settings
    RedisAdmin admin(server.port());
    const struct {
        const char* appendonly;
        const char* policy;
        std::vector<std::string> warned;
    } cases[] = {
        {"yes", "noeviction", {}},
        {"no", "noeviction", {"appendonly"}},
        {"yes", "allkeys-lru", {"maxmemory-policy"}},
        {"no", "volatile-lru", {"appendonly", "maxmemory-policy"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.appendonly) + " " + c.policy);
        ASSERT_EQ(admin.command({"CONFIG", "SET", "appendonly", c.appendonly}), "OK");
        ASSERT_EQ(admin.command({"CONFIG", "SET", "maxmemory-policy", c.policy}), "OK");
        CapturedWarnings warnings;
        RedisQueue queue(options_for(server, "settings" + std::to_string(++n)));
        const std::string text = warnings.text();
        for (const char* name : {"appendonly", "maxmemory-policy"}) {
            const bool expected = std::find(c.warned.begin(), c.warned.end(), name) != c.warned.end();
            EXPECT_EQ(text.find(std::string("Redis ") + name) != std::string::npos, expected) << text;
        }
    }
}

TEST(RedisQueue, UnreachableOrFullRedisIsUnavailableAndNothingIsRemembered) {
    const int port = quillmere::testing::free_loopback_port();
    auto options = options_for(RedisEnvironment::server(), "later");
    options.url = "redis://127.0.0.1:" + std::to_string(port) + "/0";
    options.command_timeout = 500ms;
    RedisQueue queue(options);  // Redis not there yet
    EXPECT_FALSE(queue.ready());
    EXPECT_THROW(queue.enqueue("x", body_of("x")), QueueUnavailable);
    EXPECT_THROW(queue.lease(1, 0ms), QueueUnavailable);

    RedisServer server({}, port);
    EXPECT_TRUE(queue.ready());
    RedisAdmin admin(port);
    ASSERT_EQ(admin.command({"CONFIG", "SET", "maxmemory", "1"}), "OK");  // full
    EXPECT_THROW(queue.enqueue("x", body_of("x")), QueueUnavailable);
    ASSERT_EQ(admin.command({"CONFIG", "SET", "maxmemory", "0"}), "OK");
    EXPECT_EQ(queue.enqueue("x", body_of("x")), EnqueueResult::enqueued) << "a refused delivery was remembered";
    EXPECT_EQ(queue.depth(), 1u);
}

TEST(RedisQueue, OptionsThatCannotWorkAreConfigErrors) {
    const struct {
        const char* what;
        RedisQueueOptions options;
    } cases[] = {
        {"no url", {.url = ""}},     {"not redis", {.url = "http://127.0.0.1:6379"}}, {"no stream", {.stream = ""}},
        {"no group", {.group = ""}}, {"no deliveries", {.max_deliveries = 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(RedisQueue{c.options}, ConfigError);
    }
}

}  // namespace
}  // namespace quillmere::host
