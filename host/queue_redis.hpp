#pragma once
// The distributed queue: a Redis stream read through a consumer group, for receivers and
// workers on many machines. Receivers add to the intake stream (a redelivery, same body
// digest within the window, is not added again); workers lease with XREADGROUP, read their
// own unacknowledged entries first when they start again, claim entries idle longer than
// claim_idle from workers that went away, acknowledge only after the sink holds the
// records, and move an entry delivered more than max_deliveries times to the dead-letter
// stream with its last error. The stream is trimmed below its oldest pending entry, never
// past one. A missing consumer group is created again.
//
//   quillmere::host::RedisQueue queue({.url = "redis://127.0.0.1:6379/0"});
//   queue.enqueue(digest, body);   // on return the entry is in Redis
//
// The guarantee needs Redis with `appendonly yes` and `maxmemory-policy noeviction`; both
// are checked when the queue first reaches Redis (a warning when not so).
//
// Keys: the stream itself, "<stream>:dead" (dead letters), "<stream>:retry" (entries
// waiting for their retry time), "<stream>:errors" (last error of each failing entry) and
// "<stream>:seen:<digest>" (the redelivery window).

#include "host/queue.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace quillmere::host {

struct RedisQueueOptions {
    std::string url = "redis://127.0.0.1:6379/0";
    std::string stream = "quillmere:intake";
    std::string group = "quillmere";
    std::string consumer{};  // empty: the host name
    std::chrono::milliseconds redelivery_window = std::chrono::hours(48);
    std::size_t max_deliveries = 5;
    std::chrono::milliseconds claim_idle{300000};
    std::chrono::milliseconds command_timeout{2000};
    std::size_t trim_every = 1000;  // acknowledgements between two trims of the stream

    static RedisQueueOptions from(const QueueConfig& config, const QueueOptions& options);
};

class RedisQueue final : public Queue {
public:
    // Throws ConfigError for options that cannot work (a URL that is not redis://...).
    // Redis need not be up yet: until it is, every call throws QueueUnavailable and
    // ready() is false.
    explicit RedisQueue(RedisQueueOptions options);
    ~RedisQueue() override;
    RedisQueue(const RedisQueue&) = delete;
    RedisQueue& operator=(const RedisQueue&) = delete;

    EnqueueResult enqueue(std::string_view digest, std::string_view body) override;
    std::vector<LeasedDelivery> lease(std::size_t max, std::chrono::milliseconds wait) override;
    void ack(const LeasedDelivery& delivery) override;
    void retry(const LeasedDelivery& delivery, std::string_view error, std::chrono::milliseconds delay) override;
    void dead_letter(const LeasedDelivery& delivery, std::string_view error) override;
    std::size_t depth() override;
    bool ready() override;
    std::vector<DeadLetter> dead_letters(std::size_t max) override;
    std::size_t replay(std::span<const std::string> ids) override;

    // Removes the entries below the oldest one that some group has not acknowledged (or not
    // yet read); returns how many. Runs by itself every trim_every acknowledgements.
    std::size_t trim();
    const std::string& consumer() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::host
