#pragma once
// The system's one client for the Instagram Graph API: GET base_url/api_version/endpoint
// with retries on transport errors, waits on rate-limit answers and one log line per
// failure. Runs on the caller's event loop; every attempt opens its own connection.
//
//   auto& api = graviel::InstagramAPI::instance("https://graph.facebook.com", "v19.0");
//   std::optional<std::string> body = co_await api.fetch_instagram_data(id, token, "id,caption", logger);
//
// The options (InstagramApiOptions below, each with its default) are fixed when a client
// is built. Those that change what the request loop does are off by default
// (request_deadline, max_connections); the size limits and the wait cap only turn
// answers that could not be handled anyway into clear, unretried failures. The latest
// usage figures the Graph API reports are kept per client: usage() and on_usage.

#include "quillmere/common/graph_api.hpp"
#include "quillmere/common/logger.hpp"
#include "quillmere/graviel/export.hpp"
#include "quillmere/graviel/usage.hpp"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillmere::graviel {

// Suspends the calling coroutine for the given whole number of seconds.
using SleepFunction = std::function<boost::asio::awaitable<void>(std::chrono::seconds)>;

// Settings of one client, fixed when it is built (for the process-wide instance, by the
// first call of instance()). The defaults are shown with each member.
struct InstagramApiOptions {
    // Bound on name resolution plus TCP connect of one attempt.
    std::chrono::milliseconds connect_timeout{std::chrono::seconds(10)};
    // Bound on one whole attempt: connect, TLS handshake, request and complete response.
    std::chrono::milliseconds exchange_timeout{std::chrono::seconds(30)};
    // Longest wait on one rate-limit answer, whatever its headers ask for. When it
    // applies, the usual rate-limit line (with the wait the answer asked for) is followed
    // by the warning "rate-limit wait capped at N seconds".
    std::chrono::seconds max_rate_limit_wait{900};
    // Largest response body read (64 MiB). A longer answer, announced or arriving, ends
    // the request at once with "Unexpected error: ..." and is not retried.
    std::uint64_t max_body_bytes = std::uint64_t{64} << 20;
    // Largest response header block (64 KiB), counting the interim (1xx) answers that
    // come before the final one; over it, as for the body.
    std::uint32_t max_header_bytes = std::uint32_t{64} << 10;
    // Overall bound on one request, all attempts and waits included; 0 (the default) for
    // none. When it passes, during an attempt or while waiting for a connection, or when a
    // wait before the next attempt would end past it, the request ends at once with
    // nothing and the error line "Request deadline of N ms reached. Giving up."
    std::chrono::milliseconds request_deadline{0};
    // Most connections of this client open at once, over all its requests on any thread;
    // 0 (the default) for no bound. An attempt beyond it waits, first come first served,
    // without blocking its event loop (the wait counts against request_deadline, not
    // against the attempt's time-outs).
    std::size_t max_connections = 0;
    // Told the latest usage figures after every answer that carried X-App-Usage or
    // X-Business-Use-Case-Usage (see usage.hpp); empty (the default) for none. Called on
    // the requesting thread, so it should be quick; what it throws is ignored.
    UsageObserver on_usage;
    // PEM file of certificates trusted in addition to the system store (a private CA);
    // empty for the system store alone.
    std::string extra_ca_file;
    // How a wait is made. Empty: a steady_timer on the caller's executor. Tests put one
    // here that records the waits asked for and sleeps a scaled-down time.
    SleepFunction sleep;
};

class QUILLMERE_GRAVIEL_API InstagramAPI final : public GraphApiClient {
public:
    static constexpr int retry_attempts = 5;

    // An independent client with these values, for a host or a test that needs more than
    // one configuration in a process; it is not the process-wide instance and lives as
    // long as its owner keeps it (destroy it only when no request of it is in flight).
    // Throws std::invalid_argument when base_url is not an absolute http or https
    // address, a time-out or a size limit is not positive, the maximum wait or the
    // request deadline is negative, and std::runtime_error when extra_ca_file cannot be
    // loaded.
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

    // A copy of the latest usage figures the Graph API reported to this client (see
    // usage.hpp): per app from X-App-Usage, per business id from
    // X-Business-Use-Case-Usage, read from every final answer whatever its status.
    // Safe to call from any thread at any time; empty before the first such answer.
    GraphApiUsage usage() const;

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
    struct QUILLMERE_GRAVIEL_NO_EXPORT Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::graviel
