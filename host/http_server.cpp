#include "host/http_server.hpp"

#include "host/logging.hpp"
#include "host/metrics.hpp"

#include <spdlog/logger.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <charconv>
#include <list>
#include <optional>
#include <system_error>

namespace quillmere::host {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using clock = std::chrono::steady_clock;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

// At shutdown, how long a connection that has not sent its first request yet may take to.
constexpr std::chrono::milliseconds fresh_grace_time{1000};

constexpr std::string_view continue_line = "HTTP/1.1 100 Continue\r\n\r\n";

// One open connection, as the listener sees it.
struct Connection {
    // fresh: waiting for its first request; idle: waiting for the next one; busy: a request
    // is being read, handled or answered.
    enum class State { fresh, idle, busy } state = State::fresh;
    beast::tcp_stream* tcp = nullptr;  // its socket, to close it at shutdown
};

// Wakes whoever waits on it (a timer that never expires by itself).
void wake(asio::steady_timer& event) { event.cancel(); }

asio::awaitable<void> wait(asio::steady_timer& event) {
    event.expires_at(asio::steady_timer::time_point::max());
    co_await event.async_wait(use_tuple);
}

bool expects_continue(const HttpRequest& header) {
    auto expect = header[http::field::expect];
    return beast::iequals(expect, "100-continue");
}

}  // namespace

asio::ip::tcp::endpoint parse_listen(std::string_view listen) {
    auto fail = [&](const std::string& why) -> ConfigError {
        return ConfigError("webhook.listen: " + why + " in \"" + std::string(listen) + "\" (expected HOST:PORT)");
    };
    auto colon = listen.rfind(':');
    if (colon == std::string_view::npos) throw fail("no port");
    std::string_view host = listen.substr(0, colon);
    std::string_view port_text = listen.substr(colon + 1);
    unsigned port = 0;
    auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() || port > 65535) {
        throw fail("bad port");
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host == "localhost") host = "127.0.0.1";
    boost::system::error_code error;
    auto address = asio::ip::make_address(std::string(host), error);
    if (host.empty() || error) throw fail("not an IP address");
    return {address, static_cast<unsigned short>(port)};
}

std::shared_ptr<asio::ssl::context> make_tls_context(const std::filesystem::path& certificate_chain,
                                                     const std::filesystem::path& key) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                         asio::ssl::context::single_dh_use);
    boost::system::error_code error;
    context->use_certificate_chain_file(certificate_chain.string(), error);
    if (error) {
        throw ConfigError("webhook.tls_certificate: cannot use " + certificate_chain.string() + ": " + error.message());
    }
    context->use_private_key_file(key.string(), asio::ssl::context::pem, error);
    if (error) throw ConfigError("webhook.tls_key: cannot use " + key.string() + ": " + error.message());
    return context;
}

HttpServerOptions server_options(const WebhookConfig& config) {
    HttpServerOptions options;
    options.endpoint = parse_listen(config.listen);
    options.limits.max_body = config.max_body;
    options.read_timeout = config.read_timeout;
    options.write_timeout = config.write_timeout;
    options.idle_timeout = config.idle_timeout;
    options.max_connections = config.max_connections;
    if (options.max_connections == 0) throw ConfigError("webhook.max_connections: must be at least 1");
    if (config.tls_certificate.empty() != config.tls_key.empty()) {
        throw ConfigError(config.tls_key.empty() ? "webhook.tls_key: must be set with webhook.tls_certificate"
                                                 : "webhook.tls_certificate: must be set with webhook.tls_key");
    }
    if (!config.tls_certificate.empty()) options.tls = make_tls_context(config.tls_certificate, config.tls_key);
    return options;
}

struct HttpServer::Impl : std::enable_shared_from_this<Impl> {
    asio::any_io_executor executor;
    HttpServerOptions options;
    HttpHandler& handler;
    Metrics* metrics;
    std::shared_ptr<spdlog::logger> log = host_logger();
    tcp::acceptor acceptor{executor};
    std::list<Connection> open;
    asio::steady_timer slot_freed{executor};   // a connection closed
    asio::steady_timer all_closed{executor};   // draining, and the last connection closed
    asio::steady_timer fresh_grace{executor};  // draining: the end of new connections' grace
    bool draining = false;

    Impl(asio::any_io_executor ex, HttpServerOptions opts, HttpHandler& h, Metrics* m)
        : executor(std::move(ex)), options(std::move(opts)), handler(h), metrics(m) {}

    asio::awaitable<void> accept_loop() {
        auto self = shared_from_this();
        asio::steady_timer pause{executor};
        while (acceptor.is_open() && !draining) {
            if (open.size() >= options.max_connections) {
                co_await wait(slot_freed);
                continue;
            }
            auto [error, socket] = co_await acceptor.async_accept(use_tuple);
            if (draining || !acceptor.is_open()) break;
            if (error) {
                if (error == asio::error::operation_aborted) break;
                // Out of descriptors or memory: the connection stays in the backlog; try again
                // shortly rather than spinning.
                log->warn("accepting a connection failed: {}", error.message());
                pause.expires_after(std::chrono::milliseconds(100));
                co_await pause.async_wait(use_tuple);
                continue;
            }
            boost::system::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            auto entry = open.emplace(open.end());
            if (metrics) metrics->connection_opened();
            asio::co_spawn(executor, run_connection(std::move(socket), entry), asio::detached);
        }
    }

    asio::awaitable<void> run_connection(tcp::socket socket, std::list<Connection>::iterator entry) {
        auto self = shared_from_this();
        boost::system::error_code error;
        tcp::endpoint peer = socket.remote_endpoint(error);
        try {
            if (options.tls) {
                beast::ssl_stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), *options.tls);
                auto& tcp = beast::get_lowest_layer(stream);
                entry->tcp = &tcp;
                tcp.expires_after(options.read_timeout);
                auto [handshake_error] = co_await stream.async_handshake(asio::ssl::stream_base::server, use_tuple);
                if (!handshake_error) {
                    if (co_await serve(stream, peer, *entry)) {
                        tcp.expires_after(options.write_timeout);
                        co_await stream.async_shutdown(use_tuple);
                    }
                } else {
                    log->debug("TLS handshake with {} failed: {}", peer.address().to_string(),
                               handshake_error.message());
                }
            } else {
                beast::tcp_stream stream(std::move(socket));
                entry->tcp = &stream;
                if (co_await serve(stream, peer, *entry)) {
                    stream.socket().shutdown(tcp::socket::shutdown_send, error);
                }
            }
        } catch (const std::exception& failure) {
            log->error("connection from {} failed: {}", peer.address().to_string(), failure.what());
        }
        open.erase(entry);
        if (metrics) metrics->connection_closed();
        wake(slot_freed);
        if (draining && open.empty()) wake(all_closed);
    }

    // Serves requests until the connection ends. True when it ended in good order (the
    // stream may be closed politely), false after an error or a time-out.
    template <class Stream>
    asio::awaitable<bool> serve(Stream& stream, const tcp::endpoint& peer, Connection& connection) {
        auto& tcp = beast::get_lowest_layer(stream);
        beast::flat_buffer buffer;
        for (bool served = false;; served = true) {
            // A connection that has had its answers is closed at shutdown; a new one may
            // still send the request it was opened for.
            connection.state = served ? Connection::State::idle : Connection::State::fresh;
            if (draining && served) co_return true;
            if (buffer.size() == 0) {
                tcp.expires_after(options.idle_timeout);
                auto [error, n] = co_await stream.async_read_some(buffer.prepare(4096), use_tuple);
                if (error) co_return false;
                buffer.commit(n);
            }
            connection.state = Connection::State::busy;
            auto started = clock::now();
            tcp.expires_after(options.read_timeout);
            RequestParser parser;
            apply_limits(parser, options.limits);
            auto [header_error, header_bytes] = co_await http::async_read_header(stream, buffer, parser, use_tuple);
            if (header_error) {
                // A body announced beyond the limit is found once the fields are read.
                const HttpRequest* header = header_error == http::error::body_limit ? &parser.get() : nullptr;
                co_await refuse(stream, header_error, header, peer, started);
                co_return false;
            }
            if (announces_too_large(parser, options.limits)) {
                co_await refuse(stream, http::error::body_limit, &parser.get(), peer, started);
                co_return false;
            }
            if (expects_continue(parser.get()) && !parser.is_done()) {
                auto [continue_error, sent] = co_await asio::async_write(
                    stream, asio::buffer(continue_line.data(), continue_line.size()), use_tuple);
                if (continue_error) co_return false;
            }
            auto [body_error, body_bytes] = co_await http::async_read(stream, buffer, parser, use_tuple);
            if (body_error) {
                co_await refuse(stream, body_error, &parser.get(), peer, started);
                co_return false;
            }
            // Shutdown closes idle connections; one whose request had already arrived (read
            // whole from the buffer) is closed under it. That request is not handled: it
            // could not be answered, and what is not answered must not be stored.
            if (!tcp.socket().is_open()) co_return false;
            HttpRequest request = parser.release();
            bool keep_alive = request.keep_alive();
            HttpResponse response;
            try {
                response = co_await handler.handle(request, peer);
            } catch (const std::exception& failure) {
                // The target is not logged: its query may hold the verify token.
                log->error("{} request from {} failed: {}", std::string_view(request.method_string()),
                           peer.address().to_string(), failure.what());
                response = text_response(http::status::internal_server_error, "internal error\n");
                keep_alive = false;
            }
            response.version(request.version());
            response.keep_alive(keep_alive && !draining);
            tcp.expires_after(options.write_timeout);
            auto [write_error, written] = co_await http::async_write(stream, response, use_tuple);
            if (metrics) metrics->request_served(response.result_int(), clock::now() - started);
            if (write_error) co_return false;
            if (!response.keep_alive()) co_return true;
        }
    }

    // Answers a request that could not be read, when the failure is the request's own.
    template <class Stream>
    asio::awaitable<void> refuse(Stream& stream, const boost::system::error_code& error, const HttpRequest* header,
                                 const tcp::endpoint& peer, clock::time_point started) {
        http::status status = refusal_status(error);
        if (status == http::status::unknown) co_return;  // time-out, end of stream, reset
        HttpResponse response = handler.refuse(status, header, peer);
        response.version(header ? header->version() : 11);
        response.keep_alive(false);
        beast::get_lowest_layer(stream).expires_after(options.write_timeout);
        co_await http::async_write(stream, response, use_tuple);
        if (metrics) metrics->request_served(response.result_int(), clock::now() - started);
    }

    // Closes the connections in `state`, or all of them.
    void close_connections(std::optional<Connection::State> state) {
        for (auto& connection : open) {
            if (connection.tcp && (!state || connection.state == *state)) connection.tcp->close();
        }
    }
};

HttpServer::HttpServer(asio::any_io_executor executor, HttpServerOptions options, HttpHandler& handler,
                       Metrics* metrics)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(options), handler, metrics)) {}

HttpServer::~HttpServer() {
    // The loop may not run again: close what is open so that nothing waits on this server.
    boost::system::error_code ignored;
    impl_->draining = true;
    impl_->acceptor.close(ignored);
    impl_->close_connections(std::nullopt);
    wake(impl_->slot_freed);
}

void HttpServer::start() {
    auto& acceptor = impl_->acceptor;
    const auto& endpoint = impl_->options.endpoint;
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    if (endpoint.address().is_v6()) acceptor.set_option(asio::ip::v6_only(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    asio::co_spawn(impl_->executor, impl_->accept_loop(), asio::detached);
}

asio::ip::tcp::endpoint HttpServer::local_endpoint() const { return impl_->acceptor.local_endpoint(); }

bool HttpServer::draining() const noexcept { return impl_->draining; }

std::size_t HttpServer::connections() const noexcept { return impl_->open.size(); }

asio::awaitable<std::size_t> HttpServer::shutdown(std::chrono::milliseconds deadline) {
    auto impl = impl_;
    impl->draining = true;
    boost::system::error_code ignored;
    impl->acceptor.close(ignored);
    wake(impl->slot_freed);
    impl->close_connections(Connection::State::idle);
    // A connection accepted just before has a moment to send its request.
    impl->fresh_grace.expires_after(std::min(impl->options.read_timeout, fresh_grace_time));
    impl->fresh_grace.async_wait(
        [impl](const boost::system::error_code&) { impl->close_connections(Connection::State::fresh); });
    if (!impl->open.empty()) {
        // Woken early by the last connection to close.
        impl->all_closed.expires_after(deadline);
        co_await impl->all_closed.async_wait(use_tuple);
    }
    impl->fresh_grace.cancel();
    std::size_t cut = impl->open.size();
    if (cut > 0) impl->close_connections(std::nullopt);
    co_return cut;
}

}  // namespace quillmere::host
