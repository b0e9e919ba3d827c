#pragma once
// The webhook receiver: what `quillmere serve` answers on its listener.
//
//   GET  <path>?hub.mode=subscribe&hub.verify_token=T&hub.challenge=C
//        200 with C as text/plain when T is the verify token (compared in constant time),
//        else 403.
//   POST <path>  a delivery: its X-Hub-Signature-256 must be the HMAC-SHA256 of the exact
//        body with the app secret (401 otherwise, nothing stored); it is stored in the queue
//        under its hex SHA-256 digest, on a thread of the blocking pool, and answered 200 only
//        once the queue holds it (a redelivery: 200, not stored again); 503 when the queue
//        cannot take it, so that Meta delivers it again. Bodies beyond the limit: 413.
//   GET  /healthz  200 while the process runs.
//   GET  /readyz   200 when the queue can be reached and the service is not shutting down.
//   GET  /metrics  the Prometheus text of Metrics.
//   Other paths 404; other methods on these paths 405.
//
//   Receiver receiver(config.webhook, *queue, metrics, blocking_pool);
//   HttpServer server(io.get_executor(), server_options(config.webhook), receiver, &metrics);

#include "host/config.hpp"
#include "host/http_server.hpp"
#include "host/metrics.hpp"
#include "host/queue.hpp"

#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace spdlog {
class logger;
}

namespace quillmere::host {

// The paths the receiver serves beside the webhook path.
inline constexpr std::string_view health_path = "/healthz";
inline constexpr std::string_view readiness_path = "/readyz";
inline constexpr std::string_view metrics_path = "/metrics";

class Receiver final : public HttpHandler {
public:
    // `queue`, `metrics` and `blocking` must outlive the receiver. Throws ConfigError when the
    // app secret or verify token is empty or the path is not usable.
    Receiver(const WebhookConfig& config, Queue& queue, Metrics& metrics, boost::asio::thread_pool& blocking);
    ~Receiver() override;

    boost::asio::awaitable<HttpResponse> handle(HttpRequest& request,
                                                const boost::asio::ip::tcp::endpoint& peer) override;
    HttpResponse refuse(http::status status, const HttpRequest* header,
                        const boost::asio::ip::tcp::endpoint& peer) override;

    // From now on /readyz answers 503 (the service is shutting down).
    void drain() noexcept { draining_ = true; }
    bool draining() const noexcept { return draining_; }

    // What a request asks for, decided without the queue: the routes, the handshake and the
    // signature. handle() acts on it; tests and fuzzing read it directly.
    enum class Action {
        answer,     // send `response`
        enqueue,    // a verified delivery: store the body under `digest`, then answer
        readiness,  // ask the queue whether it can be reached
        metrics,    // the metrics text
    };
    enum class Kind { other, verification, delivery };
    struct Verdict {
        Action action = Action::answer;
        Kind kind = Kind::other;
        HttpResponse response;               // for Action::answer
        std::string digest;                  // for Action::enqueue
        std::optional<Rejection> rejection;  // a delivery refused, and why
    };
    Verdict examine(const HttpRequest& request) const;

private:
    WebhookConfig config_;
    Queue& queue_;
    Metrics& metrics_;
    boost::asio::thread_pool& blocking_;
    std::shared_ptr<spdlog::logger> log_;
    std::atomic<bool> draining_{false};
};

}  // namespace quillmere::host
