#pragma once
// The webhook listener: HTTP/1.1 with keep-alive over plain TCP, or over TLS with a
// certificate and key, on the caller's event loop. Each connection has a time-out for
// reading a request (from its first byte to its last; the TLS handshake too), for writing an
// answer, and for waiting idle for the next request. Open connections are bounded: at the
// bound the listener stops accepting until one closes, and new connections wait in the
// kernel's backlog rather than being refused. Shutdown stops accepting, closes idle
// connections, lets the requests in flight finish (their answers say Connection: close) and
// cuts what is left at a deadline.
//
//   HttpServer server(io.get_executor(), server_options(config.webhook), receiver, &metrics);
//   server.start();                                   // ... later, on the same loop:
//   std::size_t cut = co_await server.shutdown(config.webhook.shutdown_deadline);

#include "host/config.hpp"
#include "host/http_message.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string_view>

namespace quillmere::host {

class Metrics;

// What the listener serves.
class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // Answers one request read whole. The listener sets the answer's version and keep-alive.
    virtual boost::asio::awaitable<HttpResponse> handle(HttpRequest& request,
                                                        const boost::asio::ip::tcp::endpoint& peer) = 0;
    // Answers a request that could not be read whole (`status` 400, 413 or 431); `header` is
    // the request's header when it was read, else null. The connection closes after it.
    virtual HttpResponse refuse(http::status status, const HttpRequest* header,
                                const boost::asio::ip::tcp::endpoint& peer) = 0;
};

struct HttpServerOptions {
    boost::asio::ip::tcp::endpoint endpoint;
    HttpLimits limits;
    std::chrono::milliseconds read_timeout{10000};
    std::chrono::milliseconds write_timeout{10000};
    std::chrono::milliseconds idle_timeout{60000};
    std::size_t max_connections = 1024;
    std::shared_ptr<boost::asio::ssl::context> tls;  // null: plain TCP
};

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:8080", "localhost:8080". Throws ConfigError
// naming webhook.listen.
boost::asio::ip::tcp::endpoint parse_listen(std::string_view listen);

// A TLS server context (TLS 1.2 and later) with the certificate chain and key of these PEM
// files. Throws ConfigError naming the key of the file that cannot be used.
std::shared_ptr<boost::asio::ssl::context> make_tls_context(const std::filesystem::path& certificate_chain,
                                                            const std::filesystem::path& key);

// The listener's options from the webhook section (TLS when both files are set). Throws
// ConfigError.
HttpServerOptions server_options(const WebhookConfig& config);

class HttpServer {
public:
    // `executor` must run its handlers one at a time (an io_context run by one thread, or a
    // strand). `handler` and `metrics` (may be null) must outlive the last connection, which
    // ends after shutdown() completes or the object is destroyed, once the loop has run on.
    HttpServer(boost::asio::any_io_executor executor, HttpServerOptions options, HttpHandler& handler,
               Metrics* metrics = nullptr);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds, listens and starts accepting on the loop. Throws std::system_error when the
    // address cannot be bound.
    void start();
    // The bound address (its port when the options asked for port 0).
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    // Set once shutdown has begun.
    bool draining() const noexcept;
    // Open connections now (read on the loop).
    std::size_t connections() const noexcept;

    // Stops accepting, closes idle connections and waits for the requests in flight to be
    // answered. Connections still open after `deadline` are closed; returns how many were.
    boost::asio::awaitable<std::size_t> shutdown(std::chrono::milliseconds deadline);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace quillmere::host
