#pragma once
// The system's one client for the Instagram Graph API: GET base_url/api_version/endpoint
// with retries on transport errors, waits on rate-limit answers and one log line per
// failure. Runs on the caller's event loop; every attempt opens its own connection.

#include "quillmere/common/graph_api.hpp"
#include "quillmere/common/logger.hpp"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillmere::graviel {

// Suspends the calling coroutine for the given whole number of seconds.
using SleepFunction = std::function<boost::asio::awaitable<void>(std::chrono::seconds)>;

// Settings fixed by the first construction of the instance.
struct InstagramApiOptions {
    // Bound on name resolution plus TCP connect of one attempt.
    std::chrono::milliseconds connect_timeout{std::chrono::seconds(10)};
    // Bound on one whole attempt: connect, TLS handshake, request and complete response.
    std::chrono::milliseconds exchange_timeout{std::chrono::seconds(30)};
    // Longest wait on one rate-limit answer, whatever its headers ask for.
    std::chrono::seconds max_rate_limit_wait{900};
    // PEM file of certificates trusted in addition to the system store (a private CA);
    // empty for the system store alone.
    std::string extra_ca_file;
    // How a wait is made. Empty: a steady_timer on the caller's executor. Tests put one
    // here that records the waits asked for and sleeps a scaled-down time.
    SleepFunction sleep;
};

class InstagramAPI final : public GraphApiClient {
public:
    static constexpr int retry_attempts = 5;

    // An independent client with these values, for a host or a test that needs more than
    // one configuration in a process; it is not the process-wide instance and lives as
    // long as its owner keeps it (destroy it only when no request of it is in flight).
    // Throws std::invalid_argument when base_url is not an absolute http or https
    // address, a time-out is not positive or the maximum wait is negative, and
    // std::runtime_error when extra_ca_file cannot be loaded.
    InstagramAPI(const std::string& base_url, const std::string& api_version, InstagramApiOptions options = {});

    // The process-wide instance, a thin convenience over the constructor. The first call
    // creates it with these values (throwing as the constructor does, and then creating
    // nothing); every later call returns the same instance unchanged, whatever it is given.
    static InstagramAPI& instance(const std::string& base_url, const std::string& api_version,
                                  InstagramApiOptions options = {});
    // The process-wide instance if one has been created, otherwise null.
    static InstagramAPI* existing() noexcept;

    InstagramAPI(const InstagramAPI&) = delete;
    InstagramAPI& operator=(const InstagramAPI&) = delete;
    ~InstagramAPI() override;

    const std::string& base_url() const noexcept;
    const std::string& api_version() const noexcept;
    const InstagramApiOptions& options() const noexcept;

    // GET base_url + "/" + api_version + "/" + endpoint with `params` as the query, in
    // order, each key and value percent-encoded (a query already in `endpoint` comes
    // first). Up to five attempts, each on a new connection. Returns the body on status
    // 200, otherwise nothing; every failure is logged to `logger` and never thrown. Only
    // cancellation by the caller ends the operation with an exception. No log line holds
    // the value of an "access_token" parameter.
    boost::asio::awaitable<std::optional<std::string>> make_get_request(std::string endpoint, QueryParams params,
                                                                        Logger& logger);

    // make_get_request with the query access_token, fields, then extra_params merged in
    // (a key already present keeps its place and takes the new value; new keys follow in
    // order).
    boost::asio::awaitable<std::optional<std::string>> fetch_instagram_data(
        std::string endpoint, std::string access_token, std::string fields, Logger& logger,
        std::optional<QueryParams> extra_params = std::nullopt) override;

    // The query fetch_instagram_data sends.
    static QueryParams build_query(std::string access_token, std::string fields,
                                   const std::optional<QueryParams>& extra_params);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::graviel
