#include "host/metrics.hpp"

#include "host/pipeline.hpp"
#include "host/worker.hpp"

#include "support/prometheus_text.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace quillmere::host {
namespace {

using quillmere::testing::parse_prometheus_text;

TEST(Metrics, TextParsesAndCounts) {
    Metrics metrics;
    for (int i = 0; i < 3; ++i) metrics.delivery_received();
    metrics.delivery_rejected(Rejection::wrong_signature);
    metrics.delivery_rejected(Rejection::wrong_signature);
    metrics.delivery_rejected(Rejection::too_large);
    metrics.delivery_duplicate();
    metrics.delivery_enqueued();
    metrics.verification(true);
    metrics.verification(false);
    metrics.verification(false);
    metrics.queue_depth(42);
    metrics.connection_opened();
    metrics.connection_opened();
    metrics.connection_closed();
    metrics.request_served(200, std::chrono::microseconds(300));
    metrics.request_served(401, std::chrono::milliseconds(3));
    metrics.request_served(418, std::chrono::seconds(20));

    auto scrape = parse_prometheus_text(metrics.text());
    struct Expected {
        std::string series;
        double value;
    };
    const Expected expected[] = {
        {"quillmere_deliveries_received_total", 3},
        {"quillmere_deliveries_rejected_total{reason=\"wrong_signature\"}", 2},
        {"quillmere_deliveries_rejected_total{reason=\"too_large\"}", 1},
        {"quillmere_deliveries_rejected_total{reason=\"missing_signature\"}", 0},
        {"quillmere_deliveries_rejected_total{reason=\"queue_unavailable\"}", 0},
        {"quillmere_deliveries_duplicate_total", 1},
        {"quillmere_deliveries_enqueued_total", 1},
        {"quillmere_verifications_total{outcome=\"accepted\"}", 1},
        {"quillmere_verifications_total{outcome=\"refused\"}", 2},
        {"quillmere_queue_depth", 42},
        {"quillmere_http_connections", 1},
        {"quillmere_http_requests_total{code=\"200\"}", 1},
        {"quillmere_http_requests_total{code=\"401\"}", 1},
        {"quillmere_http_requests_total{code=\"418\"}", 1},
        {"quillmere_http_request_duration_seconds_count", 3},
        {"quillmere_http_request_duration_seconds_bucket{le=\"0.00025\"}", 0},
        {"quillmere_http_request_duration_seconds_bucket{le=\"0.0005\"}", 1},
        {"quillmere_http_request_duration_seconds_bucket{le=\"0.005\"}", 2},
        {"quillmere_http_request_duration_seconds_bucket{le=\"10\"}", 2},
        {"quillmere_http_request_duration_seconds_bucket{le=\"+Inf\"}", 3},
    };
    for (const auto& e : expected) {
        ASSERT_TRUE(scrape.has(e.series)) << e.series;
        EXPECT_DOUBLE_EQ(scrape.value(e.series), e.value) << e.series;
    }
    EXPECT_NEAR(scrape.value("quillmere_http_request_duration_seconds_sum"), 20.0033, 1e-9);
    EXPECT_EQ(scrape.types.at("quillmere_deliveries_received_total"), "counter");
    EXPECT_EQ(scrape.types.at("quillmere_queue_depth"), "gauge");
    EXPECT_EQ(scrape.types.at("quillmere_http_request_duration_seconds"), "histogram");
}

TEST(Metrics, CountsFromManyThreads) {
    Metrics metrics;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                metrics.delivery_received();
                metrics.request_served(200, std::chrono::microseconds(i));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    auto scrape = parse_prometheus_text(metrics.text());
    EXPECT_EQ(scrape.value("quillmere_deliveries_received_total"), 4000);
    EXPECT_EQ(scrape.value("quillmere_http_request_duration_seconds_count"), 4000);
}

TEST(Metrics, WorkerFiguresAreReadAtEachScrape) {
    Metrics metrics;
    WorkerCounters counters;
    PipelineStats stats;
    metrics.add_workers(counters, [&] { return stats; });
    counters.deliveries_leased = 7;
    counters.deliveries_acknowledged = 5;
    counters.items_by_kind.add("COMMENT_ON_FEED", 4);
    counters.items_by_kind.add("MENTION_IN_COMMENT");
    counters.records_by_table.add("comment", 4);
    counters.records_by_table.add("parent", 2);
    counters.retries = 3;
    counters.dead_letters = 1;
    counters.in_flight = 2;
    stats.graph_api_requests = 9;
    stats.graph_api_answered = 6;
    stats.graph_api_unanswered = 2;
    stats.graph_api_in_flight = 1;
    stats.graph_api_slowed = 6;
    stats.graph_api_usage.emplace();
    stats.graph_api_usage->app = graviel::AppUsage{.call_count = 91, .total_cputime = 12, .total_time = 30};
    stats.graph_api_usage->businesses["1784"] = {{.type = "instagram",
                                                  .call_count = 5,
                                                  .total_cputime = 6,
                                                  .total_time = 7,
                                                  .estimated_time_to_regain_access = 3}};
    auto scrape = parse_prometheus_text(metrics.text());
    struct Expected {
        const char* series;
        double value;
    };
    const Expected expected[] = {
        {"quillmere_worker_deliveries_leased_total", 7},
        {"quillmere_worker_deliveries_acknowledged_total", 5},
        {"quillmere_worker_items_total{kind=\"COMMENT_ON_FEED\"}", 4},
        {"quillmere_worker_items_total{kind=\"MENTION_IN_COMMENT\"}", 1},
        {"quillmere_worker_records_total{table=\"comment\"}", 4},
        {"quillmere_worker_records_total{table=\"parent\"}", 2},
        {"quillmere_worker_retries_total", 3},
        {"quillmere_worker_dead_letters_total", 1},
        {"quillmere_worker_in_flight", 2},
        {"quillmere_graph_api_requests_total", 9},
        {"quillmere_graph_api_requests_ended_total{outcome=\"answered\"}", 6},
        {"quillmere_graph_api_requests_ended_total{outcome=\"unanswered\"}", 2},
        {"quillmere_graph_api_requests_ended_total{outcome=\"failed\"}", 0},
        {"quillmere_graph_api_in_flight", 1},
        {"quillmere_graph_api_slowed_total", 6},
        {"quillmere_graph_api_usage_percent{figure=\"call_count\",scope=\"app\"}", 91},
        {"quillmere_graph_api_usage_percent{figure=\"total_cputime\",scope=\"app\"}", 12},
        {"quillmere_graph_api_usage_percent{figure=\"total_time\",scope=\"app\"}", 30},
        {"quillmere_graph_api_usage_percent{business_id=\"1784\",figure=\"call_count\",scope=\"business\","
         "type=\"instagram\"}",
         5},
        {"quillmere_graph_api_usage_percent{business_id=\"1784\",figure=\"total_time\",scope=\"business\","
         "type=\"instagram\"}",
         7},
        {"quillmere_graph_api_regain_access_minutes{business_id=\"1784\",type=\"instagram\"}", 3},
        {"quillmere_deliveries_received_total", 0},
    };
    for (const auto& e : expected) EXPECT_EQ(scrape.value(e.series), e.value) << e.series;
    EXPECT_EQ(scrape.types.at("quillmere_worker_in_flight"), "gauge");
    EXPECT_EQ(scrape.types.at("quillmere_worker_retries_total"), "counter");

    counters.retries = 4;
    EXPECT_EQ(parse_prometheus_text(metrics.text()).value("quillmere_worker_retries_total"), 4);
}

TEST(PrometheusText, ReaderRefusesBadLines) {
    const char* bad[] = {
        "no_type 1\n",           "# TYPE a counter\na{x=\"1\" 1\n", "# TYPE a counter\na one\n",
        "# TYPE a counter\na 1", "# TYPE a frobnicator\n",          "# TYPE a counter\na 1\na 2\n",
    };
    for (const char* text : bad) EXPECT_THROW(parse_prometheus_text(text), std::runtime_error) << text;
}

}  // namespace
}  // namespace quillmere::host
