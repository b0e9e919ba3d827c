#pragma once
// The analytics-database client against ClickHouse, through its HTTP interface (libcurl).
// execute sends the query text exactly as given; the result format (JSONCompact, 64-bit
// integers unquoted) is chosen by request settings, never by editing the query. fetch_df
// returns the table of the query that execute last ran on the calling thread, with values
// in the types ClickHouse reports: integers (64-bit ones too) as integers, floats and
// decimals as floats, strings as strings, Nullable nulls as null (NaN and infinities too).
// Safe to share between threads; connections are kept and reused.

#include "quillmere/adapters/export.hpp"
#include "quillmere/ludrake/analytics.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

struct curl_slist;

namespace quillmere::adapters {

struct ClickHouseOptions {
    // Address of the HTTP interface. A user and password written in it are used (and
    // taken out of the address) unless `user`/`password` are given.
    std::string url = "http://127.0.0.1:8123/";
    std::string user{};      // empty: the server's default user
    std::string password{};  // sent with HTTP basic authentication, never in the address
    std::string database{};  // empty: the user's default database
    std::chrono::milliseconds connect_timeout{5000};
    // Whole request, result included; 0 for none. Also sent to the server as the query's
    // max_execution_time (in whole seconds, rounded up) unless `settings` names one.
    std::chrono::milliseconds timeout{60000};
    // Further ClickHouse settings sent with every query (max_result_rows, ...).
    std::vector<std::pair<std::string, std::string>> settings{};
};

// A failed request: the server unreachable or too slow (http_status 0), or an error
// answer, whose message is ClickHouse's own. Messages never hold the password.
class QUILLMERE_ADAPTERS_API ClickHouseError : public std::runtime_error {
public:
    ClickHouseError(const std::string& message, long http_status)
        : std::runtime_error(message), http_status_(http_status) {}
    long http_status() const noexcept { return http_status_; }

private:
    long http_status_;
};

class QUILLMERE_ADAPTERS_API ClickHouseClient : public ludrake::AnalyticsClient {
public:
    explicit ClickHouseClient(ClickHouseOptions options);
    ~ClickHouseClient() override;
    ClickHouseClient(const ClickHouseClient&) = delete;
    ClickHouseClient& operator=(const ClickHouseClient&) = delete;

    void execute(std::string_view query) override;
    // The result of this thread's last successful execute; std::logic_error when there is
    // none (no execute yet, or the last one failed).
    ludrake::ResultTable fetch_df() override;

    // The result table of a JSONCompact answer body (empty body: empty table).
    static ludrake::ResultTable parse_result(std::string_view body);

private:
    struct QUILLMERE_ADAPTERS_NO_EXPORT Connection;
    std::unique_ptr<Connection> acquire();
    void release(std::unique_ptr<Connection> c) noexcept;
    std::string post(std::string_view query);

    ClickHouseOptions options_;
    std::string request_url_;  // with the format settings; no credentials
    std::string origin_;       // scheme://host:port, for messages
    curl_slist* headers_ = nullptr;

    std::mutex pool_mutex_;
    std::vector<std::unique_ptr<Connection>> idle_;

    std::mutex results_mutex_;
    std::unordered_map<std::thread::id, ludrake::ResultTable> results_;
};

}  // namespace quillmere::adapters
