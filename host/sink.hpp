#pragma once
// Where envelopes go: a JSONL file (standard output by default) and, optionally, the
// records into ClickHouse.
//
//   auto sink = quillmere::host::open_sink(config);
//   sink->write(envelopes);   // returns once the sink holds them

#include "host/config.hpp"

#include <boost/json/object.hpp>

#include <memory>
#include <span>

namespace quillmere::host {

class Sink {
public:
    virtual ~Sink() = default;
    // Returns only when the sink holds the envelopes: for a file, written to it (write(2)
    // done, nothing left in a buffer of ours); for ClickHouse, the insert answered. Throws
    // std::runtime_error when they could not be stored, so the delivery is not acknowledged.
    virtual void write(std::span<const boost::json::object> envelopes) = 0;
};

// The sinks the configuration names, as one.
std::unique_ptr<Sink> open_sink(const Config& config);

}  // namespace quillmere::host
