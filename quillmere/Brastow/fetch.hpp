#pragma once
// The plain HTTP GET that fetches content given as an address.

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmere::brastow {

struct FetchLimits {
    // The whole exchange, redirects included.
    std::chrono::milliseconds timeout{60'000};
    // Largest body accepted, in bytes (200 MiB).
    std::uint64_t max_bytes = 200ull * 1024 * 1024;
};

// A fetch that gave no content to store: transport failure, time-out, a body over the
// size limit, or an answer whose status is not 2xx. The message names the address without
// its credentials, query and fragment (they may hold tokens).
class FetchError : public std::runtime_error {
public:
    FetchError(const std::string& message, long http_status = 0)
        : std::runtime_error(message), http_status_(http_status) {}
    // The final answer's status; 0 when there was no answer.
    long http_status() const noexcept { return http_status_; }

private:
    long http_status_;
};

// One GET of `url` (http or https, redirects followed up to 10 times, no headers of our
// own, no content decoding); returns the body's raw bytes.
std::string fetch_content(std::string_view url, const FetchLimits& limits);

// `url` reduced to scheme, host, port and path, for messages; "the address" when it
// cannot be parsed.
std::string address_for_message(std::string_view url);

}  // namespace quillmere::brastow
