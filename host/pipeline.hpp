#pragma once
// The pipeline of one delivery: fan-out into items, classification, the brand's settings,
// enrichment of comments (cache, ClickHouse, Graph API, owner details), the rule tables,
// media to object storage, one envelope per item. `process`, `serve --workers N` and `work`
// all run this one object; only the source of deliveries and the acknowledgement differ.
//
//   quillmere::host::Pipeline pipeline(config, io.get_executor());
//   auto envelopes = co_await pipeline.process(body, boost::json::value(1));

#include "host/config.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace quillmere::host {

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
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // One envelope per item, in item order. `delivery` is what the envelopes carry as
    // "delivery" (the input line number for `process`, the body's hex SHA-256 digest for the
    // service). Throws DeliveryError when the body is not a JSON object; every other failure
    // of an item is reported in its envelope's "error".
    boost::asio::awaitable<std::vector<boost::json::object>> process(std::string_view body,
                                                                     boost::json::value delivery);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::host
