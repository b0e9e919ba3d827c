#pragma once
// The pieces the pipeline runs its enrichment with: blocking calls moved to a thread
// pool, a bound on Graph API requests in flight, one lookup shared by concurrent callers,
// and cache reads batched per delivery.
//
// Everything here except the thread pool's work runs on one strand (the pipeline's): the
// semaphore, the single-flight table and the delivery cache are not locked.

#include "quillmere/common/cache.hpp"
#include "quillmere/common/graph_api.hpp"

#include "host/grouped_calls.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillmere::host {

namespace asio = boost::asio;

// Runs `f()` on `pool` and resumes the caller on its own executor with the result (or
// the exception it threw).
template <class F>
asio::awaitable<std::invoke_result_t<F&>> on_pool(asio::thread_pool& pool, F f) {
    using R = std::invoke_result_t<F&>;
    co_return co_await asio::co_spawn(
        pool, [f = std::move(f)]() mutable -> asio::awaitable<R> { co_return f(); }, asio::use_awaitable);
}

// Runs an operation that never suspends (its blocking calls made inline) on `pool`.
template <class T>
asio::awaitable<T> awaitable_on_pool(asio::thread_pool& pool, asio::awaitable<T> op) {
    co_return co_await asio::co_spawn(pool, std::move(op), asio::use_awaitable);
}

// A counting semaphore for coroutines of one strand; waiters are served in order.
class AsyncSemaphore {
public:
    explicit AsyncSemaphore(std::size_t count) : available_(count == 0 ? 1 : count) {}
    asio::awaitable<void> acquire();
    void release();

private:
    std::size_t available_;
    std::deque<std::shared_ptr<asio::steady_timer>> waiters_;
};

// Concurrent callers of the same key share one run of the operation: the first runs it,
// the others wait for its result (or its failure).
template <class T>
class SingleFlight {
public:
    // `make` returns the awaitable that computes the value. Returns the value and whether
    // this caller was the one that ran it. The key is kept by value: the awaitable may be
    // awaited after the caller's key (a temporary such as "records") is gone.
    template <class Make>
    asio::awaitable<std::pair<T, bool>> run(std::string key, Make make) {
        if (auto it = calls_.find(key); it != calls_.end()) {
            auto call = it->second;
            auto timer = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor,
                                                              asio::steady_timer::time_point::max());
            call->waiters.push_back(timer);
            boost::system::error_code ec;
            co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
            if (call->error) std::rethrow_exception(call->error);
            co_return std::pair<T, bool>(*call->value, false);
        }
        auto call = std::make_shared<Call>();
        calls_.emplace(key, call);
        try {
            call->value = co_await make();
        } catch (...) {
            call->error = std::current_exception();
        }
        calls_.erase(key);
        for (auto& waiter : call->waiters) waiter->cancel();
        if (call->error) std::rethrow_exception(call->error);
        co_return std::pair<T, bool>(*call->value, true);
    }

    std::size_t in_flight() const noexcept { return calls_.size(); }

private:
    struct Call {
        std::optional<T> value;
        std::exception_ptr error;
        std::vector<std::shared_ptr<asio::steady_timer>> waiters;
    };
    std::unordered_map<std::string, std::shared_ptr<Call>> calls_;
};

// Figures of the Graph API traffic, readable from any thread.
struct GraphApiCounters {
    std::atomic<std::size_t> in_flight{0};
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> slowed{0};  // requests that started while the usage was high
    // How requests ended: an answer, none (the client gave up after its retries and logged
    // why), or a failure thrown.
    std::atomic<std::uint64_t> answered{0}, unanswered{0}, failed{0};
};

// Slows the Graph API work down before Meta starts refusing it: while `level()` (the
// highest usage figure the Graph API reported, in percent) is at or above `threshold`,
// at most one request starts per `interval`.
struct UsageBrake {
    std::function<double()> level;
    double threshold = 80.0;
    std::chrono::milliseconds interval{1000};
};

// The Graph API client as the modules receive it from the pipeline: every request waits
// for one of `max_in_flight` places first (and, with a usage brake, for its turn while
// the usage is high), and is counted.
class BoundedGraphApi final : public GraphApiClient {
public:
    BoundedGraphApi(GraphApiClient& inner, AsyncSemaphore& places, GraphApiCounters& counters,
                    std::optional<UsageBrake> brake = std::nullopt)
        : inner_(inner), places_(places), counters_(counters), brake_(std::move(brake)) {}
    asio::awaitable<std::optional<std::string>> fetch_instagram_data(
        std::string endpoint, std::string access_token, std::string fields, Logger& logger,
        std::optional<QueryParams> extra_params = std::nullopt) override;

private:
    asio::awaitable<void> wait_for_turn();

    GraphApiClient& inner_;
    AsyncSemaphore& places_;
    GraphApiCounters& counters_;
    std::optional<UsageBrake> brake_;
    // While braking: when the next request may start.
    std::chrono::steady_clock::time_point next_start_{};
};

// A Graph API that gives nothing: for a lookup that may use the cache alone.
class NoGraphApi final : public GraphApiClient {
public:
    asio::awaitable<std::optional<std::string>> fetch_instagram_data(std::string, std::string, std::string, Logger&,
                                                                     std::optional<QueryParams>) override {
        co_return std::nullopt;
    }
};

// Cache reads of concurrent deliveries, grouped: the reads asked for while one group is on
// its way to the cache go together in the next, one round trip on the pool for many
// deliveries (RedisCache::get_many; other clients one get per key).
class GroupedCacheReads {
public:
    GroupedCacheReads(CacheClient& backend, asio::thread_pool& pool);
    // The values of `keys`, in their order; throws what the cache threw (for the whole group).
    asio::awaitable<std::vector<std::optional<std::string>>> get(std::vector<std::string> keys) {
        return calls_.call(std::move(keys));
    }
    // Round trips made so far.
    std::uint64_t groups() const noexcept { return calls_.groups(); }

private:
    GroupedCalls<std::vector<std::string>, std::vector<std::optional<std::string>>> calls_;
};

// The cache entries one delivery reads, fetched together before its items run.
class DeliveryCache {
public:
    explicit DeliveryCache(CacheClient& backend) : backend_(backend) {}

    // Reads the keys not read yet. A failure of the cache is kept: every later read of
    // this delivery fails with it, without another attempt.
    asio::awaitable<void> prefetch(GroupedCacheReads& reads, std::vector<std::string> keys);

    // The value read for `key` (the cache as it was at the prefetch, with this delivery's
    // own writes); a key that was not prefetched is read from the cache itself.
    std::optional<std::string> get(std::string_view key);
    void remember(std::string_view key, std::string_view value);

    const std::optional<std::string>& failure() const noexcept { return failure_; }
    CacheClient& backend() noexcept { return backend_; }
    // Keys read one at a time because they had not been prefetched (should stay 0).
    std::size_t unbatched_reads() const noexcept { return unbatched_reads_; }

private:
    CacheClient& backend_;
    std::unordered_map<std::string, std::optional<std::string>> values_;
    std::optional<std::string> failure_;
    std::size_t unbatched_reads_ = 0;
};

// The cache as one lookup of one item sees it: reads come from the delivery's batch,
// writes are kept to be stored afterwards on the pool (flush), and a failure of the
// cache is noted so that the envelope can say the cache was skipped.
class ItemCacheView final : public CacheClient {
public:
    explicit ItemCacheView(DeliveryCache& delivery) : delivery_(delivery) {}

    std::optional<std::string> get(std::string_view key) override;
    void set(std::string_view key, std::string_view value, std::chrono::seconds ex) override;

    // Stores the writes on the pool; a failure is noted (and not thrown).
    asio::awaitable<void> flush(asio::thread_pool& pool);

    const std::optional<std::string>& failure() const noexcept { return failure_; }

private:
    struct Write {
        std::string key, value;
        std::chrono::seconds ex;
    };
    DeliveryCache& delivery_;
    std::vector<Write> writes_;
    std::optional<std::string> failure_;
};

}  // namespace quillmere::host
