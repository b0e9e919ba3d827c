#pragma once
// The work loop of the service: lease deliveries from the durable queue, run the pipeline
// on each, hand the envelopes to the sink, and only then acknowledge. Many deliveries are
// in flight at once; one that fails is offered again after a back-off, without holding up
// the others, and goes to the dead letters when it keeps failing (at once when it can
// never succeed: a body that is not a JSON object). stop() drains: no new leases, the
// deliveries in flight are finished.
//
//   quillmere::host::Worker worker(*queue, process, *sink, counters, {.concurrency = 32});
//   boost::asio::co_spawn(io, worker.run(), boost::asio::detached);   // later: worker.stop()

#include "host/queue.hpp"
#include "host/sink.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere::host {

// A count per label (items by kind, records by table), safe from many threads.
class LabelledCounter {
public:
    void add(std::string_view label, std::uint64_t n = 1);
    std::uint64_t get(std::string_view label) const;
    std::vector<std::pair<std::string, std::uint64_t>> snapshot() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::uint64_t, std::less<>> values_;
};

// What the workers did, for the service's metrics. Counts only grow, except in_flight.
struct WorkerCounters {
    std::atomic<std::uint64_t> deliveries_leased{0};
    std::atomic<std::uint64_t> deliveries_acknowledged{0};  // their envelopes are in the sink
    std::atomic<std::uint64_t> items{0};                    // envelopes written
    std::atomic<std::uint64_t> item_errors{0};              // envelopes written with an error
    LabelledCounter items_by_kind;                          // envelope "kind" ("" when none)
    LabelledCounter records_by_table;                       // envelope records[].table
    std::atomic<std::uint64_t> retries{0};                  // deliveries offered again after a failure
    std::atomic<std::uint64_t> dead_letters{0};
    std::atomic<std::uint64_t> queue_errors{0};  // lease, ack or retry refused by the queue
    std::atomic<std::int64_t> in_flight{0};
};

struct WorkerOptions {
    std::size_t concurrency = 16;  // deliveries in flight at most
    std::chrono::milliseconds lease_wait{1000};
    // Back-off of a failed delivery: retry_base * 2^(attempt - 1), at most retry_max, +-20%.
    std::chrono::milliseconds retry_base{1000};
    std::chrono::milliseconds retry_max{60000};
    // The queue's max_deliveries: a failure of the last allowed attempt is a dead letter.
    std::size_t max_deliveries = 5;
    // Pause after the queue refused a lease (down, locked).
    std::chrono::milliseconds unavailable_pause{1000};
};

// The pipeline of one delivery: its envelopes, with `delivery` as their "delivery" member.
// Throws DeliveryError when the body can never give items; any other exception is a failure
// that may pass (a source down) and is retried.
using ProcessDelivery = std::function<boost::asio::awaitable<std::vector<boost::json::object>>(
    std::string_view body, boost::json::value delivery)>;

class Worker {
public:
    // The queue, sink and counters must outlive the worker. The sink is called by one
    // delivery at a time.
    Worker(Queue& queue, ProcessDelivery process, Sink& sink, WorkerCounters& counters, WorkerOptions options = {});
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs until stop() and every delivery leased is finished. Blocking calls of the queue
    // and the sink run on threads of the worker's own, never on the caller's executor.
    boost::asio::awaitable<void> run();
    // From any thread, also before run(): leases no more, lets run() finish the deliveries
    // in flight and return.
    void stop();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// The back-off before attempt `attempt + 1`, without the jitter (tests, documentation).
std::chrono::milliseconds retry_delay(const WorkerOptions& options, std::size_t attempt);

// An error text fit for logs and dead letters: values of access tokens and secrets in it
// (access_token=..., client_secret=..., appsecret_proof=...) are replaced by "<redacted>".
std::string redact_secrets(std::string_view text);

}  // namespace quillmere::host
