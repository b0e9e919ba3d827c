#pragma once
// The service's figures in the Prometheus text format, served on the webhook listener's
// GET /metrics: deliveries received, rejected by reason, duplicates, enqueued, the queue's
// depth, the open connections, requests by status and their latency; further families
// (the workers' figures) join through add_collectable.
//
//   Metrics metrics;
//   metrics.delivery_rejected(Rejection::wrong_signature);
//   std::string text = metrics.text();

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace prometheus {
class Collectable;
}

namespace quillmere::host {

struct WorkerCounters;
struct PipelineStats;

// Why a delivery (a POST to the webhook path) was not taken.
enum class Rejection {
    missing_signature,
    malformed_signature,
    wrong_signature,
    too_large,
    bad_request,
    queue_unavailable,
};
inline constexpr Rejection all_rejections[] = {Rejection::missing_signature, Rejection::malformed_signature,
                                               Rejection::wrong_signature,   Rejection::too_large,
                                               Rejection::bad_request,       Rejection::queue_unavailable};
// The label value of a rejection ("wrong_signature").
std::string_view to_string(Rejection rejection) noexcept;

class Metrics {
public:
    Metrics();
    ~Metrics();
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    // Every call is safe from any thread.
    void delivery_received();
    void delivery_rejected(Rejection rejection);
    void delivery_duplicate();
    void delivery_enqueued();
    void verification(bool accepted);
    void connection_opened();
    void connection_closed();
    // One request answered with `status`, `elapsed` after its first byte arrived.
    void request_served(unsigned status, std::chrono::nanoseconds elapsed);
    void queue_depth(std::size_t depth);

    // Families collected at every scrape after the service's own.
    void add_collectable(std::weak_ptr<prometheus::Collectable> collectable);
    // The figures of the workers in this process, read at every scrape: deliveries leased
    // and acknowledged, items by kind, records by table, retries, dead letters, queue
    // errors, deliveries in flight, and the pipeline's Graph API requests. `counters` and
    // whatever `pipeline_stats` reads must outlive the metrics.
    void add_workers(const WorkerCounters& counters, std::function<PipelineStats()> pipeline_stats);

    // Everything in the Prometheus text exposition format (version 0.0.4).
    std::string text() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The Content-Type of Metrics::text().
inline constexpr std::string_view metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace quillmere::host
