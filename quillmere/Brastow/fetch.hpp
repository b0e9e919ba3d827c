#pragma once
// The plain HTTP GET that fetches content given as an address, handing the body on as it
// arrives.

#include "quillmere/Brastow/export.hpp"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmere::brastow {

struct FetchLimits {
    // The whole exchange, redirects included: a generous cap (1 hour) for a fetch that
    // keeps moving; stall_timeout is what ends a dead one.
    std::chrono::milliseconds timeout{std::chrono::hours(1)};
    // Largest body accepted, in bytes (200 MiB).
    std::uint64_t max_bytes = 200ull * 1024 * 1024;
    // The fetch fails once no byte has arrived for this long (30 s; checked about once a
    // second). Also bounds connecting. 0: no stall limit.
    std::chrono::milliseconds stall_timeout{30'000};
};

// A fetch that gave no content to store: transport failure, stall, time-out, a body over
// the size limit, or an answer whose status is not 2xx. The message names the address
// without its credentials, query and fragment (they may hold tokens).
class QUILLMERE_BRASTOW_API FetchError : public std::runtime_error {
public:
    FetchError(const std::string& message, long http_status = 0)
        : std::runtime_error(message), http_status_(http_status) {}
    // The final answer's status; 0 when there was no answer.
    long http_status() const noexcept { return http_status_; }

private:
    long http_status_;
};

// Where a fetched body goes.
class QUILLMERE_BRASTOW_API FetchSink {
public:
    virtual ~FetchSink();
    // Called once, before any write, when the final answer is known to be a 2xx: with its
    // Content-Type, or "" when it has none (or one that is not printable ASCII).
    virtual void begin(std::string_view content_type) = 0;
    virtual void write(std::string_view bytes) = 0;
};

// One GET of `url` (http or https, redirects followed up to 10 times, no headers of our
// own, no content decoding); the body's raw bytes go to `sink` as they arrive. Throws
// FetchError, or what the sink throws (the transfer stops there). After a failure the sink
// may have received part of the body.
QUILLMERE_BRASTOW_API void fetch_content(std::string_view url, const FetchLimits& limits, FetchSink& sink);

// `url` reduced to scheme, host, port and path, for messages; "the address" when it
// cannot be parsed.
QUILLMERE_BRASTOW_API std::string address_for_message(std::string_view url);

}  // namespace quillmere::brastow
