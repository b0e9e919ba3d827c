// The bounded Graph API client's usage brake: while the reported usage is at or above the
// threshold, requests start one per interval; below it, or when the figures cannot be
// read, they start at once, as many as there are places. The grouped cache reads of
// concurrent deliveries.

#include "host/enrichment.hpp"

#include "support/memory_cache.hpp"
#include "support/recording_logger.hpp"

#include <gtest/gtest.h>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <stdexcept>
#include <vector>

namespace quillmere::host {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// Answers at once and notes when each request reached it.
class StartRecorder final : public GraphApiClient {
public:
    std::vector<Steady::time_point> starts;
    asio::awaitable<std::optional<std::string>> fetch_instagram_data(std::string, std::string, std::string, Logger&,
                                                                     std::optional<QueryParams>) override {
        starts.push_back(Steady::now());
        co_return std::string("{}");
    }
};

struct Starts {
    std::vector<Steady::time_point> starts;
    std::uint64_t slowed = 0;
};

// Sends `count` requests at once through a bounded client with this brake.
Starts send(std::size_t count, std::optional<UsageBrake> brake) {
    asio::io_context io;
    StartRecorder inner;
    AsyncSemaphore places(count);
    GraphApiCounters counters;
    BoundedGraphApi api(inner, places, counters, std::move(brake));
    quillmere::testing::RecordingLogger logger;
    std::size_t answered = 0;
    for (std::size_t i = 0; i < count; ++i) {
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                if (co_await api.fetch_instagram_data("1", "token", "id", logger)) ++answered;
            },
            asio::detached);
    }
    io.run();
    EXPECT_EQ(answered, count);
    EXPECT_EQ(counters.requests, count);
    EXPECT_EQ(counters.answered, count);
    return {inner.starts, counters.slowed};
}

TEST(UsageBrake, AboveTheThresholdRequestsStartOnePerInterval) {
    constexpr auto interval = 40ms;
    const Starts run = send(4, UsageBrake{[] { return 95.0; }, 80.0, interval});
    ASSERT_EQ(run.starts.size(), 4u);
    EXPECT_EQ(run.slowed, 4u);
    // Each start is planned one interval after the one before (a late timer does not move
    // the plan): the i-th starts at least i intervals after the first.
    for (std::size_t i = 1; i < run.starts.size(); ++i)
        EXPECT_GE(run.starts[i] - run.starts[0], interval * static_cast<int>(i))
            << "request " << i << " started too soon";
}

TEST(UsageBrake, BelowTheThresholdOrWithoutFiguresNothingIsHeldBack) {
    const struct {
        const char* name;
        std::optional<UsageBrake> brake;
    } cases[] = {
        {"below", UsageBrake{[] { return 79.9; }, 80.0, 10s}},
        {"figures unreadable", UsageBrake{[]() -> double { throw std::runtime_error("no figures"); }, 80.0, 10s}},
        {"no brake", std::nullopt},
    };
    for (const auto& c : cases) {
        // A request held back would wait 10 s for its turn: the count of those is what is checked.
        const Starts run = send(8, c.brake);
        EXPECT_EQ(run.starts.size(), 8u) << c.name;
        EXPECT_EQ(run.slowed, 0u) << c.name;
    }
}

TEST(UsageBrake, AtTheThresholdExactlyRequestsAreHeldBack) {
    const Starts run = send(2, UsageBrake{[] { return 80.0; }, 80.0, 1ms});
    EXPECT_EQ(run.slowed, 2u);
}

// Reads asked for at once share round trips, and each caller gets the values of its own
// keys in its order; a failing cache fails every caller of the group.
TEST(GroupedCacheReads, ConcurrentReadsShareRoundTripsAndEachGetsItsOwnValues) {
    for (const bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "failing cache" : "cache up");
        quillmere::testing::MemoryCache cache;
        for (int i = 0; i < 20; ++i) cache.entries["k" + std::to_string(i)] = "v" + std::to_string(i);
        cache.fail = fail;
        asio::io_context io;
        asio::thread_pool pool(2);
        GroupedCacheReads reads(cache, pool);
        std::vector<std::vector<std::optional<std::string>>> got(10);
        int failed = 0;
        for (int c = 0; c < 10; ++c) {
            asio::co_spawn(
                io,
                [&, c]() -> asio::awaitable<void> {
                    try {
                        // Caller c asks for k(2c+1), k(2c), and a key the cache lacks.
                        std::vector<std::string> keys = {"k" + std::to_string(2 * c + 1), "k" + std::to_string(2 * c),
                                                         std::string("none")};
                        got[c] = co_await reads.get(std::move(keys));
                    } catch (const std::runtime_error&) {
                        ++failed;
                    }
                },
                asio::detached);
        }
        io.run();
        EXPECT_LT(reads.groups(), 10u) << "one round trip per caller";
        if (fail) {
            EXPECT_EQ(failed, 10);
            continue;
        }
        EXPECT_EQ(failed, 0);
        for (int c = 0; c < 10; ++c) {
            const std::vector<std::optional<std::string>> expected = {"v" + std::to_string(2 * c + 1),
                                                                      "v" + std::to_string(2 * c), std::nullopt};
            EXPECT_EQ(got[c], expected) << "caller " << c;
        }
    }
}

}  // namespace
}  // namespace quillmere::host
