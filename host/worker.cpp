#include "host/worker.hpp"

#include "host/logging.hpp"

#include "host/grouped_calls.hpp"
#include "host/pipeline.hpp"

#include <spdlog/logger.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <type_traits>

namespace quillmere::host {

namespace asio = boost::asio;
namespace json = boost::json;

void LabelledCounter::add(std::string_view label, std::uint64_t n) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(label);
    if (it == values_.end()) it = values_.emplace(std::string(label), 0).first;
    it->second += n;
}

std::uint64_t LabelledCounter::get(std::string_view label) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(label);
    return it == values_.end() ? 0 : it->second;
}

std::vector<std::pair<std::string, std::uint64_t>> LabelledCounter::snapshot() const {
    std::lock_guard lock(mutex_);
    return {values_.begin(), values_.end()};
}

std::optional<std::string> transient_failure(std::span<const json::object> envelopes) {
    static constexpr std::string_view kPassing[] = {"graph_api: no answer", "graph_api: post "};
    for (const auto& e : envelopes) {
        const auto* skipped = e.if_contains("skipped");
        if (!skipped || !skipped->is_array()) continue;
        for (const auto& s : skipped->get_array()) {
            if (!s.is_string()) continue;
            const std::string_view text = s.get_string();
            for (auto prefix : kPassing)
                if (text.substr(0, prefix.size()) == prefix)
                    return "item " + json::serialize(e.contains("item") ? e.at("item") : json::value()) + ": " +
                           std::string(text);
        }
    }
    return std::nullopt;
}

std::chrono::milliseconds retry_delay(const WorkerOptions& options, std::size_t attempt) {
    auto delay = options.retry_base;
    for (std::size_t i = 1; i < attempt && delay < options.retry_max; ++i) delay *= 2;
    return std::min(delay, options.retry_max);
}

std::string redact_secrets(std::string_view text) {
    static constexpr std::string_view kKeys[] = {
        "access_token=", "client_secret=", "appsecret_proof=", "input_token=", "password=", "Bearer "};
    std::string out(text);
    for (auto key : kKeys) {
        for (std::size_t at = out.find(key); at != std::string::npos; at = out.find(key, at)) {
            const std::size_t start = at + key.size();
            std::size_t end = start;
            while (end < out.size() && out[end] != '&' && out[end] != '"' && out[end] != '\'' && out[end] != ' ' &&
                   out[end] != '\n' && out[end] != ')' && out[end] != ',')
                ++end;
            out.replace(start, end - start, "<redacted>");
            at = start + 10;
        }
    }
    return out;
}

struct Worker::Impl : std::enable_shared_from_this<Impl> {
    Impl(Queue& q, ProcessDelivery p, Sink& s, WorkerCounters& c, WorkerOptions o)
        : queue(q),
          process(std::move(p)),
          sink(s),
          counters(c),
          options(checked(o)),
          pool(static_cast<std::size_t>(std::min<std::size_t>(options.concurrency, 8) + 1)) {}

    static WorkerOptions checked(WorkerOptions o) {
        o.concurrency = std::max<std::size_t>(o.concurrency, 1);
        o.max_deliveries = std::max<std::size_t>(o.max_deliveries, 1);
        o.retry_max = std::max(o.retry_max, o.retry_base);
        return o;
    }

    // Runs a blocking call on the worker's threads; resumes on the caller's executor.
    template <class F>
    asio::awaitable<std::invoke_result_t<F&>> offload(F f) {
        using R = std::invoke_result_t<F&>;
        co_return co_await asio::co_spawn(
            pool, [f = std::move(f)]() mutable -> asio::awaitable<R> { co_return f(); }, asio::use_awaitable);
    }

    // Sleeps until woken (a delivery finished, stop) or `until`.
    asio::awaitable<void> sleep(asio::steady_timer::time_point until = asio::steady_timer::time_point::max()) {
        wake->expires_at(until);
        boost::system::error_code ignored;
        co_await wake->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

    asio::awaitable<void> loop() {
        auto self = shared_from_this();
        auto executor = co_await asio::this_coro::executor;
        while (!stopping) {
            const std::size_t free = options.concurrency - in_flight;
            if (free == 0) {
                co_await sleep();
                continue;
            }
            std::vector<LeasedDelivery> batch;
            std::optional<std::string> refused;
            try {
                batch = co_await offload([this, free] { return queue.lease(free, options.lease_wait); });
            } catch (const std::exception& e) {
                refused = e.what();
            }
            if (refused) {
                counters.queue_errors.fetch_add(1, std::memory_order_relaxed);
                host_logger()->warn("work: the queue gave no deliveries: {}; trying again in {} ms", *refused,
                                    options.unavailable_pause.count());
                co_await sleep(asio::steady_timer::clock_type::now() + options.unavailable_pause);
                continue;
            }
            counters.deliveries_leased.fetch_add(batch.size(), std::memory_order_relaxed);
            for (auto& d : batch) {
                ++in_flight;
                counters.in_flight.fetch_add(1, std::memory_order_relaxed);
                asio::co_spawn(executor, handle(std::move(d)), asio::detached);
            }
        }
        while (in_flight > 0) co_await sleep();
    }

    // One delivery: pipeline, sink, acknowledgement; a failure offers it again or buries it.
    asio::awaitable<void> handle(LeasedDelivery d) {
        auto self = shared_from_this();
        std::optional<std::string> failure;
        bool permanent = false;
        std::vector<json::object> envelopes;
        try {
            envelopes = co_await process(d.body, json::value(d.digest));
        } catch (const DeliveryError& e) {
            failure = e.what();
            permanent = true;
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (!failure && options.retry_when) {
            if (auto reason = options.retry_when(envelopes)) failure = std::move(*reason);
        }
        if (!failure) {
            if (auto refused = co_await write_to_sink(envelopes))
                failure = "the sink did not take the envelopes: " + *refused;
        }
        if (!failure) {
            count(envelopes);
            std::optional<std::string> refused;
            try {
                co_await offload([this, &d] { queue.ack(d); });
            } catch (const std::exception& e) {
                refused = e.what();
            }
            if (!refused) {
                counters.deliveries_acknowledged.fetch_add(1, std::memory_order_relaxed);
            } else {
                counters.queue_errors.fetch_add(1, std::memory_order_relaxed);
                host_logger()->warn(
                    "work: delivery {} is in the sink but its acknowledgement failed ({}); it will be "
                    "offered again",
                    d.digest, *refused);
            }
        } else {
            co_await give_back(d, redact_secrets(*failure), permanent);
        }
        --in_flight;
        counters.in_flight.fetch_sub(1, std::memory_order_relaxed);
        wake->cancel();
    }

    // Hands a delivery's envelopes to the sink; returns why the sink refused them, or
    // nothing once it holds them. Deliveries that finish while a write runs wait for the
    // next one, which takes them all at once: one write(2) and one ClickHouse insert for
    // the group rather than one per delivery. A failed write fails every delivery of its
    // group (each is then offered again).
    asio::awaitable<std::optional<std::string>> write_to_sink(std::vector<json::object>& envelopes) {
        try {
            envelopes = co_await sink_writes.call(std::move(envelopes));
        } catch (const std::exception& e) {
            co_return std::string(e.what());
        }
        co_return std::nullopt;
    }

    // One write of a group's envelopes, handed back to their deliveries afterwards.
    asio::awaitable<std::vector<std::vector<json::object>>> write_group(std::vector<std::vector<json::object>>& group) {
        std::vector<json::object> all;
        for (auto& envelopes : group) std::move(envelopes.begin(), envelopes.end(), std::back_inserter(all));
        co_await offload([this, &all] { sink.write(all); });
        auto from = all.begin();
        for (auto& envelopes : group) {
            const auto n = static_cast<std::ptrdiff_t>(envelopes.size());
            std::move(from, from + n, envelopes.begin());
            from += n;
        }
        co_return std::move(group);
    }

    asio::awaitable<void> give_back(const LeasedDelivery& d, const std::string& error, bool permanent) {
        const bool bury = permanent || d.attempts >= options.max_deliveries;
        const auto delay = jittered(retry_delay(options, d.attempts));
        std::optional<std::string> refused;
        try {
            if (bury)
                co_await offload([this, &d, &error] { queue.dead_letter(d, error); });
            else
                co_await offload([this, &d, &error, delay] { queue.retry(d, error, delay); });
        } catch (const std::exception& e) {
            refused = e.what();
        }
        if (refused) {
            counters.queue_errors.fetch_add(1, std::memory_order_relaxed);
            host_logger()->error(
                "work: delivery {} failed ({}) and the queue refused it back ({}); its lease will run out", d.digest,
                error, *refused);
        } else if (bury) {
            counters.dead_letters.fetch_add(1, std::memory_order_relaxed);
            host_logger()->error("work: delivery {} moved to the dead letters after {} attempt{}: {}", d.digest,
                                 d.attempts, d.attempts == 1 ? "" : "s", error);
        } else {
            counters.retries.fetch_add(1, std::memory_order_relaxed);
            host_logger()->warn("work: delivery {} attempt {} failed: {}; offered again in {} ms", d.digest, d.attempts,
                                error, delay.count());
        }
    }

    std::chrono::milliseconds jittered(std::chrono::milliseconds delay) {
        thread_local std::minstd_rand random{std::random_device{}()};
        std::uniform_real_distribution<double> factor(0.8, 1.2);
        return std::chrono::milliseconds(
            static_cast<std::int64_t>(static_cast<double>(delay.count()) * factor(random)));
    }

    void count(const std::vector<json::object>& envelopes) {
        counters.items.fetch_add(envelopes.size(), std::memory_order_relaxed);
        for (const auto& e : envelopes) {
            const auto* kind = e.if_contains("kind");
            counters.items_by_kind.add(kind && kind->is_string() ? std::string_view(kind->get_string()) : "");
            if (const auto* error = e.if_contains("error"); error && !error->is_null())
                counters.item_errors.fetch_add(1, std::memory_order_relaxed);
            if (const auto* records = e.if_contains("records"); records && records->is_array())
                for (const auto& r : records->get_array())
                    if (const auto* table = r.is_object() ? r.get_object().if_contains("table") : nullptr;
                        table && table->is_string())
                        counters.records_by_table.add(table->get_string());
        }
    }

    void stop() {
        std::lock_guard lock(run_mutex);
        stopping = true;
        if (strand)
            asio::post(*strand, [self = shared_from_this()] {
                if (self->wake) self->wake->cancel();
            });
    }

    Queue& queue;
    ProcessDelivery process;
    Sink& sink;
    WorkerCounters& counters;
    WorkerOptions options;
    asio::thread_pool pool;
    // The sink writes of the deliveries (on the strand).
    GroupedCalls<std::vector<json::object>, std::vector<json::object>> sink_writes{
        [this](std::vector<std::vector<json::object>>& group) { return write_group(group); }};
    std::atomic<bool> stopping{false};

    std::mutex run_mutex;  // guards strand against stop() from other threads
    std::optional<asio::strand<asio::any_io_executor>> strand;
    std::unique_ptr<asio::steady_timer> wake;  // on the strand
    std::size_t in_flight = 0;                 // on the strand
};

Worker::Worker(Queue& queue, ProcessDelivery process, Sink& sink, WorkerCounters& counters, WorkerOptions options)
    : impl_(std::make_shared<Impl>(queue, std::move(process), sink, counters, options)) {}

Worker::~Worker() {
    impl_->stop();
    impl_->pool.join();
}

asio::awaitable<void> Worker::run() {
    auto impl = impl_;
    auto executor = co_await asio::this_coro::executor;
    {
        std::lock_guard lock(impl->run_mutex);
        impl->strand.emplace(asio::make_strand(executor));
        impl->wake = std::make_unique<asio::steady_timer>(*impl->strand);
    }
    co_await asio::co_spawn(*impl->strand, impl->loop(), asio::use_awaitable);
    std::lock_guard lock(impl->run_mutex);
    impl->strand.reset();
}

void Worker::stop() { impl_->stop(); }

}  // namespace quillmere::host
