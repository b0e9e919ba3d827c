#pragma once
// The durable queue between the webhook receiver and the workers: one interface, two
// engines (SQLite in one file for one machine, Redis Streams for many).
//
//   auto queue = quillmere::host::open_queue(config.queue);
//   if (queue->enqueue(digest, body) == EnqueueResult::enqueued) { /* answer 200 */ }

#include "host/config.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::host {

// The queue cannot take or give deliveries now (server down, disk full, queue full): the
// receiver answers 503 so that Meta retries.
class QueueUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class EnqueueResult { enqueued, duplicate };

struct LeasedDelivery {
    std::string id;      // the engine's id of this entry
    std::string digest;  // lower-case hex SHA-256 of the body as received
    std::string body;
    std::size_t attempts = 0;  // deliveries to a worker so far, this one included
    std::string last_error;
};

// A delivery that kept failing, kept with the reason of its last failure.
struct DeadLetter {
    std::string id;  // the engine's id of the dead letter (what replay takes)
    std::string digest;
    std::string body;
    std::size_t attempts = 0;
    std::string last_error;
    std::chrono::system_clock::time_point failed_at;
};

class Queue {
public:
    virtual ~Queue() = default;
    // Stores the delivery durably and returns after the commit that holds it; a body whose
    // digest was enqueued within the redelivery window is a duplicate and is not stored
    // again. Safe from many threads. Throws QueueUnavailable.
    virtual EnqueueResult enqueue(std::string_view digest, std::string_view body) = 0;
    // Up to `max` deliveries for this worker, waiting at most `wait` for the first.
    virtual std::vector<LeasedDelivery> lease(std::size_t max, std::chrono::milliseconds wait) = 0;
    // The sink holds the delivery's envelopes: it is done.
    virtual void ack(const LeasedDelivery& delivery) = 0;
    // Processing failed: offer it again after `delay`, or, past the configured number of
    // deliveries, move it to the dead letters with its last error.
    virtual void retry(const LeasedDelivery& delivery, std::string_view error, std::chrono::milliseconds delay) = 0;
    virtual void dead_letter(const LeasedDelivery& delivery, std::string_view error) = 0;
    // Deliveries stored and not yet acknowledged.
    virtual std::size_t depth() = 0;
    // The queue can be reached now.
    virtual bool ready() = 0;
    // Up to `max` dead letters, oldest first.
    virtual std::vector<DeadLetter> dead_letters(std::size_t max);
    // Offers the dead letters with these ids (all of them when `ids` is empty) to the
    // workers again, as new deliveries; returns how many were re-queued. Ids that are not
    // dead letters are skipped.
    virtual std::size_t replay(std::span<const std::string> ids);
};

// What the engines take besides the [queue] section.
struct QueueOptions {
    // A body whose digest was enqueued this recently is a redelivery ([webhook] redelivery_window).
    std::chrono::seconds redelivery_window = std::chrono::hours(48);
    // Redis: this process's consumer name in the group; empty: the host name. A consumer
    // reads its own unacknowledged entries first when it starts again.
    std::string consumer{};
};

// Opens the engine the configuration names ("sqlite" or "redis"). Throws ConfigError for
// a configuration that cannot be used, QueueUnavailable when the queue cannot be reached.
std::unique_ptr<Queue> open_queue(const QueueConfig& config, const QueueOptions& options = {});

}  // namespace quillmere::host
