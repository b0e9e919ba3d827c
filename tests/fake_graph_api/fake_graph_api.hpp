#pragma once
// A scriptable stand-in for the Graph API: a real HTTP (or HTTPS) server on 127.0.0.1,
// served by a thread of its own. Tests script the answers per request (status, body,
// headers, delay, connection dropped before or during the answer) and read back every
// request it received (method, path, query in order).
//
//   quillmere::testing::FakeGraphApi fake;
//   fake.enqueue(FakeResponse::ok(R"({"id":"17"})"));
//   ... point the client at fake.base_url() ...
//   EXPECT_EQ(fake.requests().at(0).param("fields"), "id");

#include "support/run_awaitable.hpp"  // run_awaitable, used with the fake

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere::testing {

using Fields = std::vector<std::pair<std::string, std::string>>;

// What the fake does with one request.
struct FakeResponse {
    enum class Drop {
        none,
        before_answer,  // read the request, then close without answering
        during_answer,  // send the head and part of the body, then close
    };

    // An interim (1xx) answer sent before the final one.
    struct Interim {
        unsigned status = 100;
        Fields headers{};
        std::string reason{};  // empty: the status's usual reason phrase
    };

    unsigned status = 200;
    std::string body;
    Fields headers;                      // sent in this order, after the fake's own
    std::chrono::milliseconds delay{0};  // waited (without blocking the fake) before answering
    Drop drop = Drop::none;
    std::vector<Interim> interim;  // sent in order after the delay, before the answer
    bool chunked = false;          // body in chunked transfer coding, without Content-Length

    static FakeResponse ok(std::string body);
    static FakeResponse with_status(unsigned status, std::string body);
    // 429; each header only when given.
    static FakeResponse rate_limited(std::optional<std::string> reset, std::optional<std::string> timestamp = {});
    static FakeResponse dropped(Drop when);

    FakeResponse&& after(std::chrono::milliseconds d) && {
        delay = d;
        return std::move(*this);
    }
};

struct RecordedRequest {
    std::string method;
    std::string target;  // as received
    std::string path;    // percent-decoded
    Fields query;        // decoded ("+" is a blank), in the order received
    Fields headers;
    std::string server_name;                           // TLS server name indication; empty for plain HTTP or none sent
    std::size_t connection = 0;                        // number of the connection it came on (1, 2, ...)
    std::chrono::steady_clock::time_point received{};  // when its head had been read

    // The first value of a query parameter, if any.
    std::optional<std::string> param(std::string_view key) const;
};

class FakeGraphApi {
public:
    // Chooses the answer when nothing is queued. Called on the fake's thread, one call at
    // a time; it must not call the fake.
    using Handler = std::function<FakeResponse(const RecordedRequest&)>;

    struct Tls {
        std::filesystem::path certificate_chain;  // PEM
        std::filesystem::path private_key;        // PEM
    };

    FakeGraphApi();  // plain HTTP
    explicit FakeGraphApi(Tls tls);
    ~FakeGraphApi();
    FakeGraphApi(const FakeGraphApi&) = delete;
    FakeGraphApi& operator=(const FakeGraphApi&) = delete;

    unsigned short port() const { return port_; }
    // "http://127.0.0.1:<port>", or "https://localhost:<port>" with TLS.
    std::string base_url() const;

    // Answers are taken from the queue first, in order; then from the handler; without
    // either the fake answers 500 "no scripted response".
    void enqueue(FakeResponse response);
    void set_handler(Handler handler);
    // Clears the queue, the handler, the records and the peak of open connections.
    void reset();

    std::vector<RecordedRequest> requests() const;
    std::size_t request_count() const;
    std::size_t connections_accepted() const;
    std::size_t connections_open() const;
    // The most connections open at one moment since construction or the last reset().
    std::size_t connections_open_peak() const;

    // Closes / reopens the listening socket (same port): connections are then refused.
    void stop_listening();
    void start_listening();

    // TLS only: the certificate chain and key offered to new connections from now on.
    void use_certificate(const Tls& tls);

private:
    struct State;
    struct Server;
    std::shared_ptr<State> state_;
    std::unique_ptr<Server> server_;
    unsigned short port_ = 0;
    bool tls_ = false;
};

// Records the waits a client asks for and sleeps a scaled-down time on a timer of the
// caller's executor, so that waits of seconds take milliseconds. Its sleep_function()
// has the shape of InstagramApiOptions::sleep.
class RecordedWaits {
public:
    std::function<boost::asio::awaitable<void>(std::chrono::seconds)> sleep_function();
    std::vector<long long> waits() const;  // in seconds, in the order asked
    void clear();
    // Real time slept per second asked for (default 1 ms).
    void set_scale(std::chrono::microseconds per_second);

    struct State {
        mutable std::mutex mutex;
        std::vector<long long> waits;
        std::chrono::microseconds per_second{1000};
    };

private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace quillmere::testing
