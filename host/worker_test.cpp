// The work loop on the real SQLite queue: acknowledgement only after the sink, retries that
// do not hold up other deliveries, dead letters, many in flight, draining on stop.

#include "host/worker.hpp"

#include "host/logging.hpp"
#include "host/pipeline.hpp"
#include "host/queue_redis.hpp"
#include "host/queue_sqlite.hpp"

#include "support/process.hpp"

#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <map>
#include <thread>
#include <utility>

namespace quillmere::host {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using namespace std::chrono_literals;
using quillmere::testing::TempDir;

// A sink that keeps what it was given, and can be told to refuse the next writes.
class KeepingSink : public Sink {
public:
    void write(std::span<const json::object> envelopes) override {
        std::lock_guard lock(mutex_);
        if (on_write) on_write();
        writes_.push_back({envelopes.size(), refusals_ == 0});
        if (refusals_ > 0) {
            --refusals_;
            throw std::runtime_error("disk full");
        }
        kept_.insert(kept_.end(), envelopes.begin(), envelopes.end());
    }
    struct Write {
        std::size_t envelopes;
        bool taken;
    };
    std::vector<Write> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    void refuse_next(int n) { refusals_ = n; }
    std::vector<json::object> kept() const {
        std::lock_guard lock(mutex_);
        return kept_;
    }
    std::function<void()> on_write;

private:
    mutable std::mutex mutex_;
    int refusals_ = 0;
    std::vector<json::object> kept_;
    std::vector<Write> writes_;
};

// The body says what the delivery gives: {"items": ["comment", ...], "fail": N, "wait_ms": M}
// gives one envelope per item (a comment one with a comment record), after failing the
// first N attempts.
class ScriptedPipeline {
public:
    asio::awaitable<std::vector<json::object>> operator()(std::string_view body, json::value delivery) {
        json::value parsed;
        try {
            parsed = json::parse(body);
        } catch (const std::exception&) {
            throw DeliveryError("the delivery is not JSON");
        }
        const auto& spec = parsed.as_object();
        const std::string digest(delivery.as_string());
        {
            std::lock_guard lock(mutex_);
            const int attempt = ++attempts_[digest];
            ++running_;
            max_running_ = std::max(max_running_, running_);
            if (auto* fail = spec.if_contains("fail"); fail && attempt <= fail->as_int64()) {
                --running_;
                throw std::runtime_error("graph api unreachable: https://graph.test/?access_token=S3CRET-TOKEN&x=1");
            }
        }
        if (started) started();
        if (auto* wait = spec.if_contains("wait_ms")) {
            asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(wait->as_int64()));
            co_await timer.async_wait(asio::use_awaitable);
        }
        const int attempt = attempts(digest);
        std::vector<json::object> out;
        std::int64_t item = 0;
        for (const auto& kind : spec.at("items").as_array()) {
            json::object e{{"delivery", delivery}, {"item", item++}, {"kind", kind}};
            json::array records;
            if (kind == "COMMENT_ON_FEED") records.push_back(json::object{{"table", "comment"}, {"record", {}}});
            e["records"] = std::move(records);
            e["error"] = nullptr;
            if (auto* skip = spec.if_contains("skip"); skip && attempt <= spec.at("skip_attempts").as_int64())
                e["skipped"] = json::array{*skip};
            out.push_back(std::move(e));
        }
        std::lock_guard lock(mutex_);
        --running_;
        co_return out;
    }
    int attempts(const std::string& digest) {
        std::lock_guard lock(mutex_);
        return attempts_[digest];
    }
    int max_running() {
        std::lock_guard lock(mutex_);
        return max_running_;
    }
    std::function<void()> started;

private:
    std::mutex mutex_;
    std::map<std::string, int> attempts_;
    int running_ = 0, max_running_ = 0;
};

struct Fixture {
    TempDir dir;
    SqliteQueue queue{{.path = dir.path() / "queue.db", .max_deliveries = 3, .claim_idle = 10s}};
    KeepingSink sink;
    ScriptedPipeline pipeline;
    WorkerCounters counters;

    // Runs a worker until `done` holds (or 20 s pass), then stops it and waits for the drain.
    void run(WorkerOptions options, const std::function<bool()>& done) {
        asio::io_context io;
        Worker worker(
            queue, [this](std::string_view body, json::value d) { return pipeline(body, std::move(d)); }, sink,
            counters, options);
        auto finished = asio::co_spawn(io, worker.run(), asio::use_future);
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                asio::steady_timer timer(io);
                const auto deadline = std::chrono::steady_clock::now() + 20s;
                while (!done() && std::chrono::steady_clock::now() < deadline) {
                    timer.expires_after(10ms);
                    co_await timer.async_wait(asio::use_awaitable);
                }
                worker.stop();
            },
            asio::detached);
        io.run();
        finished.get();
    }
    std::vector<std::string> digests_in_sink() const {
        std::vector<std::string> out;
        for (const auto& e : sink.kept())
            if (e.at("item") == 0) out.emplace_back(e.at("delivery").as_string());
        return out;
    }
};

WorkerOptions fast(std::size_t concurrency) {
    return {.concurrency = concurrency,
            .lease_wait = 50ms,
            .retry_base = 20ms,
            .retry_max = 100ms,
            .max_deliveries = 3,
            .unavailable_pause = 50ms};
}

TEST(Worker, ProcessesEveryDeliveryAndAcknowledgesOnlyOnceTheSinkHoldsIt) {
    Fixture f;
    constexpr int kDeliveries = 12;
    for (int i = 0; i < kDeliveries; ++i)
        f.queue.enqueue("d" + std::to_string(i), R"({"items": ["COMMENT_ON_FEED", "MENTION"]})");
    std::vector<std::size_t> depth_at_write;
    f.sink.on_write = [&] { depth_at_write.push_back(f.queue.depth()); };

    f.run(fast(1), [&] { return f.counters.deliveries_acknowledged == kDeliveries; });

    EXPECT_EQ(f.queue.depth(), 0u);
    ASSERT_EQ(depth_at_write.size(), static_cast<std::size_t>(kDeliveries));
    for (int i = 0; i < kDeliveries; ++i)
        EXPECT_EQ(depth_at_write[i], static_cast<std::size_t>(kDeliveries - i)) << "acknowledged before the sink";
    const auto kept = f.sink.kept();
    ASSERT_EQ(kept.size(), 2u * kDeliveries);
    EXPECT_EQ(kept[0].at("delivery"), "d0");
    EXPECT_EQ(kept[1].at("item"), 1);
    EXPECT_EQ(f.counters.items, 2u * kDeliveries);
    EXPECT_EQ(f.counters.items_by_kind.get("COMMENT_ON_FEED"), static_cast<std::uint64_t>(kDeliveries));
    EXPECT_EQ(f.counters.items_by_kind.get("MENTION"), static_cast<std::uint64_t>(kDeliveries));
    EXPECT_EQ(f.counters.records_by_table.get("comment"), static_cast<std::uint64_t>(kDeliveries));
    EXPECT_EQ(f.counters.deliveries_leased, static_cast<std::uint64_t>(kDeliveries));
    EXPECT_EQ(f.counters.retries, 0u);
    EXPECT_EQ(f.counters.in_flight, 0);
}

// Warnings and errors logged while it lives.
class CapturedLog {
public:
    CapturedLog() : sink_(std::make_shared<Sink>()) { quillmere::host::host_logger()->sinks().push_back(sink_); }
    ~CapturedLog() {
        auto& sinks = quillmere::host::host_logger()->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    std::string text() const {
        std::lock_guard lock(sink_->text_mutex);
        return sink_->text;
    }

private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        void sink_it_(const spdlog::details::log_msg& m) override {
            std::lock_guard lock(text_mutex);
            text.append(m.payload.data(), m.payload.size()).append("\n");
        }
        void flush_() override {}
        mutable std::mutex text_mutex;
        std::string text;
    };
    std::shared_ptr<Sink> sink_;
};

TEST(Worker, AFailureIsRetriedAfterABackOffWithoutHoldingUpTheOthers) {
    Fixture f;
    f.queue.enqueue("flaky", R"({"items": ["COMMENT_ON_FEED"], "fail": 2})");
    for (int i = 0; i < 5; ++i) f.queue.enqueue("ok" + std::to_string(i), R"({"items": ["MENTION"]})");
    CapturedLog log;
    auto options = fast(1);
    options.retry_base = 300ms;  // one worker: a back-off slept in place would hold up every other delivery
    options.retry_max = 300ms;
    f.run(options, [&] { return f.counters.deliveries_acknowledged == 6; });

    const auto order = f.digests_in_sink();
    ASSERT_EQ(order.size(), 6u) << "a delivery is missing or written twice";
    EXPECT_EQ(order.back(), "flaky");
    EXPECT_EQ(f.pipeline.attempts("flaky"), 3);
    EXPECT_EQ(f.counters.retries, 2u);
    EXPECT_EQ(f.counters.dead_letters, 0u);
    EXPECT_EQ(f.queue.depth(), 0u);
    const std::string text = log.text();
    EXPECT_NE(text.find("graph api unreachable"), std::string::npos) << text;
    EXPECT_EQ(text.find("S3CRET-TOKEN"), std::string::npos) << "a token reached the log";
}

TEST(Worker, DeliveriesThatCannotSucceedBecomeDeadLettersWhileTheOthersFlow) {
    const struct {
        const char* what;
        const char* body;
        std::size_t attempts;
        const char* error;
    } cases[] = {
        {"keeps failing", R"({"items": ["MENTION"], "fail": 100})", 3, "graph api unreachable"},
        {"not JSON", "not json at all", 1, "the delivery is not JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        f.queue.enqueue("poison", c.body);
        for (int i = 0; i < 4; ++i) f.queue.enqueue("ok" + std::to_string(i), R"({"items": ["MENTION"]})");
        f.run(fast(2), [&] { return f.counters.dead_letters == 1 && f.counters.deliveries_acknowledged == 4; });

        EXPECT_EQ(f.counters.dead_letters, 1u);
        EXPECT_EQ(f.counters.deliveries_acknowledged, 4u);
        EXPECT_EQ(f.queue.depth(), 0u);
        auto dead = f.queue.dead_letters(10);
        ASSERT_EQ(dead.size(), 1u);
        EXPECT_EQ(dead[0].digest, "poison");
        EXPECT_EQ(dead[0].attempts, c.attempts);
        EXPECT_NE(dead[0].last_error.find(c.error), std::string::npos) << dead[0].last_error;
        EXPECT_EQ(dead[0].last_error.find("S3CRET-TOKEN"), std::string::npos);
    }
}

TEST(Worker, ASourceThatMayComeBackIsWaitedForAndOneSkippedForGoodIsNot) {
    const struct {
        const char* skip;
        int skip_attempts;
        std::uint64_t retries, dead_letters;
    } cases[] = {
        {"graph_api: no answer for post 18034517722057436 (see the log)", 1, 1, 0},
        {"graph_api: post 18034517722057436: connection refused", 2, 2, 0},
        {"graph_api: no answer for post 18034517722057436 (see the log)", 100, 2, 1},
        {"graph_api: no access token for the account's posts", 100, 0, 0},
        {"redis: parent-post cache: connection refused", 100, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.skip) + " x" + std::to_string(c.skip_attempts));
        Fixture f;
        json::object body{
            {"items", json::array{"COMMENT_ON_FEED"}}, {"skip", c.skip}, {"skip_attempts", c.skip_attempts}};
        f.queue.enqueue("d", json::serialize(body));
        f.run(fast(1), [&] { return f.counters.deliveries_acknowledged + f.counters.dead_letters == 1; });
        EXPECT_EQ(f.counters.retries, c.retries);
        EXPECT_EQ(f.counters.dead_letters, c.dead_letters);
        const auto kept = f.sink.kept();
        if (c.dead_letters == 0) {
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_EQ(kept[0].contains("skipped"), c.retries == 0) << "envelopes of a retried attempt were written";
        } else {
            EXPECT_TRUE(kept.empty());
            auto dead = f.queue.dead_letters(1);
            ASSERT_EQ(dead.size(), 1u);
            EXPECT_NE(dead[0].last_error.find(c.skip), std::string::npos) << dead[0].last_error;
        }
    }
}

TEST(Worker, ADeliveryTheSinkRefusedIsNotAcknowledgedAndComesAgain) {
    Fixture f;
    for (int i = 0; i < 3; ++i) f.queue.enqueue("d" + std::to_string(i), R"({"items": ["COMMENT_ON_FEED"]})");
    f.sink.refuse_next(2);
    f.run(fast(1), [&] { return f.counters.deliveries_acknowledged == 3; });
    auto order = f.digests_in_sink();
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<std::string>{"d0", "d1", "d2"}));
    EXPECT_EQ(f.counters.retries, 2u);
    EXPECT_EQ(f.counters.records_by_table.get("comment"), 3u) << "records of a refused write were counted";
    EXPECT_EQ(f.queue.depth(), 0u);
}

// Deliveries that finish while the sink writes go to it together in the next write (one
// insert for many); when that write is refused, every delivery of it comes again, and in
// the end each is in the sink once.
TEST(Worker, DeliveriesThatFinishDuringAWriteGoToTheSinkTogether) {
    Fixture f;
    constexpr int kDeliveries = 16;
    for (int i = 0; i < kDeliveries; ++i)
        f.queue.enqueue("d" + std::to_string(i), R"({"items": ["COMMENT_ON_FEED", "MENTION"]})");
    bool first = true;
    f.sink.on_write = [&] {
        if (std::exchange(first, false)) std::this_thread::sleep_for(200ms);  // the others finish meanwhile
    };
    f.run(fast(kDeliveries), [&] { return f.counters.deliveries_acknowledged == kDeliveries; });
    const auto writes = f.sink.writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_LT(writes.size(), static_cast<std::size_t>(kDeliveries) / 2) << "one write per delivery";
    auto order = f.digests_in_sink();
    EXPECT_EQ(order.size(), static_cast<std::size_t>(kDeliveries)) << "a delivery is missing or written twice";
    EXPECT_EQ(f.sink.kept().size(), 2u * kDeliveries);
    EXPECT_EQ(f.counters.records_by_table.get("comment"), static_cast<std::uint64_t>(kDeliveries));
    EXPECT_EQ(f.queue.depth(), 0u);
}

TEST(Worker, ARefusedGroupWriteOffersEachOfItsDeliveriesAgain) {
    Fixture f;
    constexpr int kDeliveries = 12;
    for (int i = 0; i < kDeliveries; ++i) f.queue.enqueue("d" + std::to_string(i), R"({"items": ["MENTION"]})");
    int calls = 0;
    f.sink.on_write = [&] {
        if (++calls == 1) std::this_thread::sleep_for(200ms);  // the others finish meanwhile
        if (calls == 2) f.sink.refuse_next(1);                 // the group that waited: refused
    };
    f.run(fast(kDeliveries), [&] { return f.counters.deliveries_acknowledged == kDeliveries; });
    const auto writes = f.sink.writes();
    std::size_t refused = 0;
    for (const auto& w : writes) refused += w.taken ? 0 : w.envelopes;
    EXPECT_GT(refused, 1u) << "the refused write held one delivery only";
    EXPECT_EQ(f.counters.retries, refused) << "each delivery of the refused write is offered again";
    auto order = f.digests_in_sink();
    std::sort(order.begin(), order.end());
    EXPECT_EQ(std::unique(order.begin(), order.end()) - order.begin(), kDeliveries);
    EXPECT_EQ(order.size(), static_cast<std::size_t>(kDeliveries));
    EXPECT_EQ(f.queue.depth(), 0u);
}

TEST(Worker, ManyDeliveriesAreInFlightAtOnce) {
    Fixture f;
    for (int i = 0; i < 24; ++i) f.queue.enqueue("d" + std::to_string(i), R"({"items": ["MENTION"], "wait_ms": 50})");
    f.run(fast(8), [&] { return f.counters.deliveries_acknowledged == 24; });
    EXPECT_EQ(f.counters.deliveries_acknowledged, 24u);
    EXPECT_EQ(f.pipeline.max_running(), 8);
}

TEST(Worker, StopFinishesTheDeliveriesInFlightAndLeasesNoMore) {
    Fixture f;
    for (int i = 0; i < 20; ++i) f.queue.enqueue("d" + std::to_string(i), R"({"items": ["MENTION"], "wait_ms": 300})");
    std::atomic<int> started{0};
    f.pipeline.started = [&] { started.fetch_add(1); };
    f.run(fast(4), [&] { return started > 0; });  // stop as soon as the first one is under way

    const auto acknowledged = f.counters.deliveries_acknowledged.load();
    EXPECT_GE(acknowledged, 1u);
    EXPECT_LE(acknowledged, 4u);
    EXPECT_EQ(f.counters.deliveries_leased.load(), acknowledged) << "a leased delivery was left unfinished";
    EXPECT_EQ(f.queue.depth(), 20u - acknowledged);
    EXPECT_EQ(f.digests_in_sink().size(), acknowledged);
}

TEST(Worker, AQueueThatCannotBeReachedIsWaitedFor) {
    RedisQueue down({.url = "redis://127.0.0.1:" + std::to_string(quillmere::testing::free_loopback_port()) + "/0",
                     .command_timeout = 200ms});
    KeepingSink sink;
    WorkerCounters counters;
    asio::io_context io;
    Worker worker(
        down,
        [](std::string_view, json::value) -> asio::awaitable<std::vector<json::object>> {
            co_return std::vector<json::object>{};
        },
        sink, counters, fast(2));
    auto finished = asio::co_spawn(io, worker.run(), asio::use_future);
    asio::steady_timer later(io, 400ms);
    later.async_wait([&](auto) { worker.stop(); });
    io.run();
    finished.get();
    EXPECT_GE(counters.queue_errors.load(), 2u);
    EXPECT_EQ(counters.deliveries_leased.load(), 0u);
}

TEST(Worker, BackOffDoublesUpToItsBoundAndSecretsAreRedacted) {
    const WorkerOptions options{.retry_base = 1000ms, .retry_max = 5000ms};
    const std::pair<std::size_t, std::chrono::milliseconds> delays[] = {
        {1, 1000ms}, {2, 2000ms}, {3, 4000ms}, {4, 5000ms}, {40, 5000ms}};
    for (const auto& [attempt, delay] : delays) EXPECT_EQ(retry_delay(options, attempt), delay) << attempt;

    const std::pair<const char*, const char*> texts[] = {
        {"GET /v21.0/1?fields=a&access_token=EAAB123&x=1 failed",
         "GET /v21.0/1?fields=a&access_token=<redacted>&x=1 failed"},
        {"Authorization: Bearer abc.def", "Authorization: Bearer <redacted>"},
        {"client_secret=zz password=pw", "client_secret=<redacted> password=<redacted>"},
        {"nothing secret here", "nothing secret here"},
    };
    for (const auto& [in, out] : texts) EXPECT_EQ(redact_secrets(in), out);
}

}  // namespace
}  // namespace quillmere::host
