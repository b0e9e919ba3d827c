#include "host/metrics.hpp"

#include "host/pipeline.hpp"
#include "host/worker.hpp"

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <array>
#include <mutex>
#include <vector>

namespace quillmere::host {
namespace {

// Request latencies from a tenth of a millisecond to ten seconds.
const prometheus::Histogram::BucketBoundaries latency_buckets = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0};

// The statuses the listener answers, kept ready; any other is added when first seen.
constexpr std::array<unsigned, 13> usual_statuses = {200, 400, 401, 403, 404, 405, 408, 413, 431, 500, 503, 501, 505};

prometheus::ClientMetric sample(double value, prometheus::MetricType type,
                                std::vector<prometheus::ClientMetric::Label> labels = {}) {
    prometheus::ClientMetric metric;
    metric.label = std::move(labels);
    if (type == prometheus::MetricType::Counter) {
        metric.counter.value = value;
    } else {
        metric.gauge.value = value;
    }
    return metric;
}

prometheus::MetricFamily family(std::string name, std::string help, prometheus::MetricType type) {
    prometheus::MetricFamily out;
    out.name = std::move(name);
    out.help = std::move(help);
    out.type = type;
    return out;
}

// The usage figures the Graph API last reported: per app, and per business id and type;
// and per business id and type the minutes until access is regained.
std::vector<prometheus::MetricFamily> usage_families(const graviel::GraphApiUsage& usage) {
    using prometheus::MetricType;
    auto f = family("quillmere_graph_api_usage_percent",
                    "Usage of the Graph API rate limits last reported (X-App-Usage, X-Business-Use-Case-Usage)",
                    MetricType::Gauge);
    auto regain = family("quillmere_graph_api_regain_access_minutes",
                         "Minutes until a business id regains Graph API access, as last reported", MetricType::Gauge);
    auto add = [&f](std::vector<prometheus::ClientMetric::Label> labels, const char* figure, std::int64_t value) {
        labels.push_back({"figure", figure});
        f.metric.push_back(sample(static_cast<double>(value), MetricType::Gauge, std::move(labels)));
    };
    if (usage.app) {
        add({{"scope", "app"}}, "call_count", usage.app->call_count);
        add({{"scope", "app"}}, "total_cputime", usage.app->total_cputime);
        add({{"scope", "app"}}, "total_time", usage.app->total_time);
    }
    for (const auto& [business, entries] : usage.businesses) {
        for (const auto& e : entries) {
            const std::vector<prometheus::ClientMetric::Label> labels = {
                {"scope", "business"}, {"business_id", business}, {"type", e.type}};
            add(labels, "call_count", e.call_count);
            add(labels, "total_cputime", e.total_cputime);
            add(labels, "total_time", e.total_time);
            regain.metric.push_back(sample(static_cast<double>(e.estimated_time_to_regain_access), MetricType::Gauge,
                                           {{"business_id", business}, {"type", e.type}}));
        }
    }
    std::vector<prometheus::MetricFamily> out;
    out.push_back(std::move(f));
    if (!regain.metric.empty()) out.push_back(std::move(regain));
    return out;
}

// The workers' counters as metric families, read when scraped.
class WorkerFigures final : public prometheus::Collectable {
public:
    WorkerFigures(const WorkerCounters& counters, std::function<PipelineStats()> pipeline_stats)
        : counters_(counters), pipeline_stats_(std::move(pipeline_stats)) {}

    std::vector<prometheus::MetricFamily> Collect() const override {
        using prometheus::MetricType;
        std::vector<prometheus::MetricFamily> out;
        auto single = [&](std::string name, std::string help, MetricType type, double value) {
            auto f = family(std::move(name), std::move(help), type);
            f.metric.push_back(sample(value, type));
            out.push_back(std::move(f));
        };
        auto labelled = [&](std::string name, std::string help, const std::string& label,
                            const LabelledCounter& counter) {
            auto f = family(std::move(name), std::move(help), MetricType::Counter);
            for (const auto& [value, count] : counter.snapshot()) {
                f.metric.push_back(sample(static_cast<double>(count), MetricType::Counter, {{label, value}}));
            }
            out.push_back(std::move(f));
        };
        auto number = [](const auto& atomic) { return static_cast<double>(atomic.load()); };
        single("quillmere_worker_deliveries_leased_total", "Deliveries leased from the queue by the workers",
               MetricType::Counter, number(counters_.deliveries_leased));
        single("quillmere_worker_deliveries_acknowledged_total",
               "Deliveries whose envelopes the sink holds, acknowledged to the queue", MetricType::Counter,
               number(counters_.deliveries_acknowledged));
        labelled("quillmere_worker_items_total", "Items processed, by event kind", "kind", counters_.items_by_kind);
        single("quillmere_worker_item_errors_total", "Items whose envelope reports an error", MetricType::Counter,
               number(counters_.item_errors));
        labelled("quillmere_worker_records_total", "Records written, by table", "table", counters_.records_by_table);
        single("quillmere_worker_retries_total", "Deliveries offered again after a failure", MetricType::Counter,
               number(counters_.retries));
        single("quillmere_worker_dead_letters_total", "Deliveries moved to the dead letters", MetricType::Counter,
               number(counters_.dead_letters));
        single("quillmere_worker_queue_errors_total", "Leases, acknowledgements or retries the queue refused",
               MetricType::Counter, number(counters_.queue_errors));
        single("quillmere_worker_in_flight", "Deliveries being processed now", MetricType::Gauge,
               number(counters_.in_flight));
        if (pipeline_stats_) {
            PipelineStats stats = pipeline_stats_();
            single("quillmere_graph_api_requests_total", "Graph API requests made by the pipeline", MetricType::Counter,
                   static_cast<double>(stats.graph_api_requests));
            auto outcomes = family("quillmere_graph_api_requests_ended_total",
                                   "Graph API requests ended, by outcome (answered; unanswered: the client gave up "
                                   "after its retries; failed)",
                                   MetricType::Counter);
            for (const auto& [outcome, n] :
                 {std::pair{"answered", stats.graph_api_answered}, std::pair{"unanswered", stats.graph_api_unanswered},
                  std::pair{"failed", stats.graph_api_failed}}) {
                outcomes.metric.push_back(sample(static_cast<double>(n), MetricType::Counter, {{"outcome", outcome}}));
            }
            out.push_back(std::move(outcomes));
            single("quillmere_graph_api_in_flight", "Graph API requests in flight now", MetricType::Gauge,
                   static_cast<double>(stats.graph_api_in_flight));
            single("quillmere_graph_api_slowed_total",
                   "Graph API requests held back because a usage figure was above the threshold", MetricType::Counter,
                   static_cast<double>(stats.graph_api_slowed));
            if (stats.graph_api_usage) {
                for (auto& f : usage_families(*stats.graph_api_usage)) out.push_back(std::move(f));
            }
        }
        return out;
    }

private:
    const WorkerCounters& counters_;
    std::function<PipelineStats()> pipeline_stats_;
};

}  // namespace

std::string_view to_string(Rejection rejection) noexcept {
    switch (rejection) {
        case Rejection::missing_signature:
            return "missing_signature";
        case Rejection::malformed_signature:
            return "malformed_signature";
        case Rejection::wrong_signature:
            return "wrong_signature";
        case Rejection::too_large:
            return "too_large";
        case Rejection::bad_request:
            return "bad_request";
        case Rejection::queue_unavailable:
            return "queue_unavailable";
    }
    return "unknown";
}

struct Metrics::Impl {
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();

    prometheus::Counter& received = prometheus::BuildCounter()
                                        .Name("quillmere_deliveries_received_total")
                                        .Help("Deliveries (POST to the webhook path) received")
                                        .Register(*registry)
                                        .Add({});
    prometheus::Family<prometheus::Counter>& rejected_family = prometheus::BuildCounter()
                                                                   .Name("quillmere_deliveries_rejected_total")
                                                                   .Help("Deliveries not taken, by reason")
                                                                   .Register(*registry);
    std::array<prometheus::Counter*, std::size(all_rejections)> rejected{};
    prometheus::Counter& duplicates = prometheus::BuildCounter()
                                          .Name("quillmere_deliveries_duplicate_total")
                                          .Help("Redeliveries answered 200 and not stored again")
                                          .Register(*registry)
                                          .Add({});
    prometheus::Counter& enqueued = prometheus::BuildCounter()
                                        .Name("quillmere_deliveries_enqueued_total")
                                        .Help("Deliveries stored in the queue")
                                        .Register(*registry)
                                        .Add({});
    prometheus::Family<prometheus::Counter>& verifications_family = prometheus::BuildCounter()
                                                                        .Name("quillmere_verifications_total")
                                                                        .Help("Subscription handshakes, by outcome")
                                                                        .Register(*registry);
    prometheus::Counter& verified = verifications_family.Add({{"outcome", "accepted"}});
    prometheus::Counter& refused = verifications_family.Add({{"outcome", "refused"}});
    prometheus::Gauge& depth = prometheus::BuildGauge()
                                   .Name("quillmere_queue_depth")
                                   .Help("Deliveries stored and not yet acknowledged by a worker")
                                   .Register(*registry)
                                   .Add({});
    prometheus::Gauge& connections = prometheus::BuildGauge()
                                         .Name("quillmere_http_connections")
                                         .Help("Open connections to the listener")
                                         .Register(*registry)
                                         .Add({});
    prometheus::Family<prometheus::Counter>& requests_family = prometheus::BuildCounter()
                                                                   .Name("quillmere_http_requests_total")
                                                                   .Help("Requests answered, by status code")
                                                                   .Register(*registry);
    std::array<prometheus::Counter*, usual_statuses.size()> requests{};
    prometheus::Histogram& latency = prometheus::BuildHistogram()
                                         .Name("quillmere_http_request_duration_seconds")
                                         .Help("Time from a request's first byte to its answer written")
                                         .Register(*registry)
                                         .Add({}, latency_buckets);

    mutable std::mutex collectables_mutex;
    std::vector<std::weak_ptr<prometheus::Collectable>> collectables;
    std::vector<std::shared_ptr<prometheus::Collectable>> owned;

    Impl() {
        for (std::size_t i = 0; i < std::size(all_rejections); ++i) {
            rejected[i] = &rejected_family.Add({{"reason", std::string(to_string(all_rejections[i]))}});
        }
        for (std::size_t i = 0; i < usual_statuses.size(); ++i) {
            requests[i] = &requests_family.Add({{"code", std::to_string(usual_statuses[i])}});
        }
    }
};

Metrics::Metrics() : impl_(std::make_unique<Impl>()) {}
Metrics::~Metrics() = default;

void Metrics::delivery_received() { impl_->received.Increment(); }

void Metrics::delivery_rejected(Rejection rejection) {
    impl_->rejected[static_cast<std::size_t>(rejection)]->Increment();
}

void Metrics::delivery_duplicate() { impl_->duplicates.Increment(); }
void Metrics::delivery_enqueued() { impl_->enqueued.Increment(); }
void Metrics::verification(bool accepted) { (accepted ? impl_->verified : impl_->refused).Increment(); }
void Metrics::connection_opened() { impl_->connections.Increment(); }
void Metrics::connection_closed() { impl_->connections.Decrement(); }
void Metrics::queue_depth(std::size_t depth) { impl_->depth.Set(static_cast<double>(depth)); }

void Metrics::request_served(unsigned status, std::chrono::nanoseconds elapsed) {
    impl_->latency.Observe(std::chrono::duration<double>(elapsed).count());
    for (std::size_t i = 0; i < usual_statuses.size(); ++i) {
        if (usual_statuses[i] == status) {
            impl_->requests[i]->Increment();
            return;
        }
    }
    impl_->requests_family.Add({{"code", std::to_string(status)}}).Increment();
}

void Metrics::add_collectable(std::weak_ptr<prometheus::Collectable> collectable) {
    std::lock_guard lock(impl_->collectables_mutex);
    impl_->collectables.push_back(std::move(collectable));
}

void Metrics::add_workers(const WorkerCounters& counters, std::function<PipelineStats()> pipeline_stats) {
    auto figures = std::make_shared<WorkerFigures>(counters, std::move(pipeline_stats));
    std::lock_guard lock(impl_->collectables_mutex);
    impl_->collectables.push_back(figures);
    impl_->owned.push_back(std::move(figures));
}

std::string Metrics::text() const {
    std::vector<prometheus::MetricFamily> families = impl_->registry->Collect();
    {
        std::lock_guard lock(impl_->collectables_mutex);
        for (const auto& weak : impl_->collectables) {
            if (auto collectable = weak.lock()) {
                auto more = collectable->Collect();
                families.insert(families.end(), std::make_move_iterator(more.begin()),
                                std::make_move_iterator(more.end()));
            }
        }
    }
    return prometheus::TextSerializer().Serialize(families);
}

}  // namespace quillmere::host
