#pragma once
// The pipeline of one delivery: fan-out into items, classification, the brand's settings,
// enrichment of comments (cache, ClickHouse, Graph API, owner details), the rule tables,
// media to object storage, one envelope per item. `process`, `serve --workers N` and `work`
// all run this one object; only the source of deliveries and the acknowledgement differ.
//
//   quillmere::host::Pipeline pipeline(config, io.get_executor());
//   auto envelopes = co_await pipeline.process(body, boost::json::value(1));

#include "host/config.hpp"
#include "quillmere/graviel/usage.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace quillmere {
class CacheClient;
class GraphApiClient;
class Logger;
namespace ludrake {
class AnalyticsClient;
}
namespace brastow {
class Brastow;
}
}  // namespace quillmere

namespace quillmere::host {

// Clients handed in by the caller instead of those the configuration describes (a host
// with clients of its own, tests). A member left empty is built from the configuration,
// or not used when its section is not configured; a client given here is used whatever
// the configuration says.
struct PipelineClients {
    std::shared_ptr<CacheClient> cache{};                   // [redis]
    std::shared_ptr<ludrake::AnalyticsClient> analytics{};  // [clickhouse]
    std::shared_ptr<GraphApiClient> graph_api{};            // [graph_api]
    std::shared_ptr<brastow::Brastow> storage{};            // [storage]
    std::shared_ptr<Logger> logger{};  // the modules' log lines; default: spdlog logger "quillmere"
};

// Running totals, readable from any thread (the progress line, metrics).
struct PipelineStats {
    std::uint64_t deliveries = 0;
    std::uint64_t items = 0;
    std::uint64_t records = 0;
    std::uint64_t errors = 0;   // envelopes with an error
    std::uint64_t skipped = 0;  // envelopes that name a skipped source
    std::uint64_t graph_api_requests = 0;
    // Of those ended: with an answer, with none (after the client's retries), failed.
    std::uint64_t graph_api_answered = 0, graph_api_unanswered = 0, graph_api_failed = 0;
    std::size_t graph_api_in_flight = 0;
    std::uint64_t graph_api_slowed = 0;  // requests held back while the usage was high
    // The usage figures the Graph API last reported (the library's own client only).
    std::optional<graviel::GraphApiUsage> graph_api_usage{};
};

// The delivery is not a JSON text (or not an object): no item can be read from it.
class DeliveryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Pipeline {
public:
    // Builds the configured clients (Redis, ClickHouse, Graph API, object storage) and
    // indexes the brand settings. Throws ConfigError when a configured source cannot be used.
    Pipeline(const Config& config, boost::asio::any_io_executor executor);
    Pipeline(const Config& config, boost::asio::any_io_executor executor, PipelineClients clients);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // One envelope per item, in item order. `delivery` is what the envelopes carry as
    // "delivery" (the input line number for `process`, the body's hex SHA-256 digest for the
    // service). Throws DeliveryError when the body is not a JSON object; every other failure
    // of an item is reported in its envelope's "error".
    //
    // Items run concurrently on the pipeline's strand (many calls of process may be in
    // progress at once too); the blocking clients run on a small thread pool of the
    // pipeline's, so a slow cache or database never holds the Graph API requests in flight.
    // The body is copied before the first suspension: the caller's text need not outlive
    // the call.
    boost::asio::awaitable<std::vector<boost::json::object>> process(std::string_view body,
                                                                     boost::json::value delivery);

    PipelineStats stats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::host
