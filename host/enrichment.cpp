#include "host/enrichment.hpp"

#include "quillmere/adapters/redis_cache.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace quillmere::host {

asio::awaitable<void> AsyncSemaphore::acquire() {
    if (available_ > 0) {
        --available_;
        co_return;
    }
    auto timer =
        std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor, asio::steady_timer::time_point::max());
    waiters_.push_back(timer);
    boost::system::error_code ec;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    // Woken by release(), which handed its place over to this waiter.
}

void AsyncSemaphore::release() {
    if (waiters_.empty()) {
        ++available_;
        return;
    }
    auto next = std::move(waiters_.front());
    waiters_.pop_front();
    next->cancel();
}

asio::awaitable<std::optional<std::string>> BoundedGraphApi::fetch_instagram_data(
    std::string endpoint, std::string access_token, std::string fields, Logger& logger,
    std::optional<QueryParams> extra_params) {
    co_await places_.acquire();
    if (brake_) co_await wait_for_turn();
    counters_.in_flight.fetch_add(1, std::memory_order_relaxed);
    counters_.requests.fetch_add(1, std::memory_order_relaxed);
    std::optional<std::string> result;
    std::exception_ptr failure;
    try {
        result = co_await inner_.fetch_instagram_data(std::move(endpoint), std::move(access_token), std::move(fields),
                                                      logger, std::move(extra_params));
    } catch (...) {
        failure = std::current_exception();
    }
    counters_.in_flight.fetch_sub(1, std::memory_order_relaxed);
    (failure  ? counters_.failed
     : result ? counters_.answered
              : counters_.unanswered)
        .fetch_add(1, std::memory_order_relaxed);
    places_.release();
    if (failure) std::rethrow_exception(failure);
    co_return result;
}

asio::awaitable<void> BoundedGraphApi::wait_for_turn() {
    double level = 0;
    try {
        level = brake_->level();
    } catch (const std::exception&) {
        co_return;  // figures that cannot be read do not stop the work
    }
    if (!(level >= brake_->threshold)) co_return;
    counters_.slowed.fetch_add(1, std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    const auto start = std::max(now, next_start_);
    next_start_ = start + brake_->interval;
    if (start > now) {
        asio::steady_timer timer(co_await asio::this_coro::executor, start - now);
        boost::system::error_code ec;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
}

GroupedCacheReads::GroupedCacheReads(CacheClient& backend, asio::thread_pool& pool)
    : calls_([&backend, &pool](std::vector<std::vector<std::string>>& group)
                 -> asio::awaitable<std::vector<std::vector<std::optional<std::string>>>> {
          std::vector<std::string> all;
          for (const auto& keys : group) all.insert(all.end(), keys.begin(), keys.end());
          auto values = co_await on_pool(pool, [&backend, &all] {
              if (auto* redis = dynamic_cast<adapters::RedisCache*>(&backend)) return redis->get_many(all);
              std::vector<std::optional<std::string>> out;
              out.reserve(all.size());
              for (const auto& key : all) out.push_back(backend.get(key));
              return out;
          });
          if (values.size() != all.size()) throw std::runtime_error("the cache answered a different number of keys");
          std::vector<std::vector<std::optional<std::string>>> out;
          out.reserve(group.size());
          auto from = values.begin();
          for (const auto& keys : group) {
              const auto to = from + static_cast<std::ptrdiff_t>(keys.size());
              out.emplace_back(std::make_move_iterator(from), std::make_move_iterator(to));
              from = to;
          }
          co_return out;
      }) {}

asio::awaitable<void> DeliveryCache::prefetch(GroupedCacheReads& reads, std::vector<std::string> keys) {
    if (failure_) co_return;
    std::vector<std::string> missing;
    missing.reserve(keys.size());
    for (auto& key : keys)
        if (!values_.contains(key)) missing.push_back(std::move(key));
    if (missing.empty()) co_return;
    try {
        auto values = co_await reads.get(missing);
        for (std::size_t i = 0; i < missing.size() && i < values.size(); ++i)
            values_.insert_or_assign(std::move(missing[i]), std::move(values[i]));
    } catch (const std::exception& e) {
        failure_ = e.what();
    }
}

std::optional<std::string> DeliveryCache::get(std::string_view key) {
    if (failure_) throw std::runtime_error(*failure_);
    if (auto it = values_.find(std::string(key)); it != values_.end()) return it->second;
    ++unbatched_reads_;
    try {
        auto value = backend_.get(key);
        values_.emplace(std::string(key), value);
        return value;
    } catch (const std::exception& e) {
        failure_ = e.what();
        throw;
    }
}

void DeliveryCache::remember(std::string_view key, std::string_view value) {
    values_.insert_or_assign(std::string(key), std::optional<std::string>(std::string(value)));
}

std::optional<std::string> ItemCacheView::get(std::string_view key) {
    try {
        return delivery_.get(key);
    } catch (const std::exception& e) {
        failure_ = e.what();
        throw;
    }
}

void ItemCacheView::set(std::string_view key, std::string_view value, std::chrono::seconds ex) {
    writes_.push_back({std::string(key), std::string(value), ex});
    delivery_.remember(key, value);
}

asio::awaitable<void> ItemCacheView::flush(asio::thread_pool& pool) {
    if (writes_.empty()) co_return;
    auto writes = std::move(writes_);
    writes_.clear();
    CacheClient& backend = delivery_.backend();
    try {
        co_await on_pool(pool, [&backend, &writes] {
            for (const auto& w : writes) backend.set(w.key, w.value, w.ex);
        });
    } catch (const std::exception& e) {
        failure_ = e.what();
    }
}

}  // namespace quillmere::host
