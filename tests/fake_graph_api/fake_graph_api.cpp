#include "fake_graph_api/fake_graph_api.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <future>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quillmere::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
namespace urls = boost::urls;
using tcp = asio::ip::tcp;

std::shared_ptr<ssl::context> make_tls_context(const FakeGraphApi::Tls& tls) {
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->use_certificate_chain_file(tls.certificate_chain.string());
    ctx->use_private_key_file(tls.private_key.string(), ssl::context::pem);
    return ctx;
}

RecordedRequest record(const http::request<http::string_body>& req, std::string server_name, std::size_t connection) {
    RecordedRequest r;
    r.method = std::string(req.method_string());
    r.target = std::string(req.target());
    r.server_name = std::move(server_name);
    r.connection = connection;
    r.received = std::chrono::steady_clock::now();
    for (const auto& field : req) r.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    auto parsed = urls::parse_origin_form(req.target());
    if (parsed) {
        r.path = parsed->path();
        for (auto param : parsed->params(urls::encoding_opts(true))) r.query.emplace_back(param.key, param.value);
    } else {
        r.path = r.target;
    }
    return r;
}

}  // namespace

FakeResponse FakeResponse::ok(std::string body) { return with_status(200, std::move(body)); }

FakeResponse FakeResponse::with_status(unsigned status, std::string body) {
    FakeResponse r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

FakeResponse FakeResponse::rate_limited(std::optional<std::string> reset, std::optional<std::string> timestamp) {
    FakeResponse r = with_status(429, R"({"error":{"message":"Application request limit reached","code":4}})");
    if (reset) r.headers.emplace_back("X-RateLimit-Reset", *reset);
    if (timestamp) r.headers.emplace_back("X-Timestamp", *timestamp);
    return r;
}

FakeResponse FakeResponse::dropped(Drop when) {
    FakeResponse r = ok(R"({"id":"dropped","padding":"................................"})");
    r.drop = when;
    return r;
}

std::optional<std::string> RecordedRequest::param(std::string_view key) const {
    for (const auto& [k, v] : query) {
        if (k == key) return v;
    }
    return std::nullopt;
}

struct FakeGraphApi::State {
    mutable std::mutex mutex;
    std::deque<FakeResponse> queue;
    Handler handler;
    std::vector<RecordedRequest> requests;
    std::size_t accepted = 0;
    std::size_t open = 0;
    std::size_t open_peak = 0;

    FakeResponse next(RecordedRequest rec) {
        Handler h;
        {
            std::lock_guard lock(mutex);
            requests.push_back(rec);
            if (!queue.empty()) {
                FakeResponse r = std::move(queue.front());
                queue.pop_front();
                return r;
            }
            h = handler;
        }
        if (h) return h(rec);
        return FakeResponse::with_status(500, "no scripted response");
    }
};

struct FakeGraphApi::Server {
    std::shared_ptr<State> state;
    std::shared_ptr<ssl::context> tls;  // read and replaced on the fake's thread only
    asio::io_context ioc;
    std::optional<tcp::acceptor> acceptor;
    std::thread thread;

    // Runs f on the fake's thread and waits for it.
    template <class F>
    void run_here(F f) {
        std::promise<void> done;
        asio::post(ioc, [&] {
            try {
                f();
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
        done.get_future().get();
    }

    void listen(unsigned short port) {
        acceptor.emplace(ioc);
        tcp::endpoint ep(asio::ip::make_address_v4("127.0.0.1"), port);
        acceptor->open(ep.protocol());
        acceptor->set_option(asio::socket_base::reuse_address(true));
        acceptor->bind(ep);
        acceptor->listen(asio::socket_base::max_listen_connections);
        asio::co_spawn(ioc, accept_loop(), asio::detached);
    }

    asio::awaitable<void> accept_loop() {
        tcp::acceptor& acc = *acceptor;
        for (;;) {
            auto [ec, socket] = co_await acc.async_accept(asio::as_tuple(asio::use_awaitable));
            if (ec == asio::error::operation_aborted || !acc.is_open()) co_return;
            if (ec) {
                asio::steady_timer pause(ioc, std::chrono::milliseconds(10));
                co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
                continue;
            }
            std::size_t number;
            {
                std::lock_guard lock(state->mutex);
                number = ++state->accepted;
            }
            asio::co_spawn(ioc, session(state, std::move(socket), tls, number), asio::detached);
        }
    }

    struct OpenGuard {
        std::shared_ptr<State> state;
        explicit OpenGuard(std::shared_ptr<State> s) : state(std::move(s)) {
            std::lock_guard lock(state->mutex);
            state->open_peak = std::max(state->open_peak, ++state->open);
        }
        ~OpenGuard() {
            std::lock_guard lock(state->mutex);
            --state->open;
        }
    };

    static asio::awaitable<void> session(std::shared_ptr<State> state, tcp::socket socket,
                                         std::shared_ptr<ssl::context> tls, std::size_t number) {
        OpenGuard guard(state);
        try {
            if (tls) {
                beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *tls);
                co_await stream.async_handshake(ssl::stream_base::server, asio::use_awaitable);
                const char* name = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
                co_await serve(stream, *state, name ? name : "", number);
            } else {
                beast::tcp_stream stream(std::move(socket));
                co_await serve(stream, *state, "", number);
                beast::error_code ignored;
                stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
            }
        } catch (const std::exception&) {
            // The client went away; nothing to answer.
        }
    }

    template <class Stream>
    static asio::awaitable<void> serve(Stream& stream, State& state, std::string server_name, std::size_t number) {
        beast::flat_buffer buffer;
        http::request<http::string_body> req;
        co_await http::async_read(stream, buffer, req, asio::use_awaitable);
        FakeResponse script = state.next(record(req, std::move(server_name), number));
        if (script.delay.count() > 0) {
            // Wait, but notice a client that goes away meanwhile (its connection then
            // counts as closed at once).
            using namespace asio::experimental::awaitable_operators;
            asio::steady_timer timer(co_await asio::this_coro::executor, script.delay);
            char byte;
            auto waited =
                co_await (timer.async_wait(asio::as_tuple(asio::use_awaitable)) ||
                          stream.async_read_some(asio::buffer(&byte, 1), asio::as_tuple(asio::use_awaitable)));
            if (waited.index() == 1) co_return;
        }
        if (script.drop == FakeResponse::Drop::before_answer) co_return;

        for (const auto& interim : script.interim) {
            std::string reason = interim.reason.empty()
                                     ? std::string(http::obsolete_reason(static_cast<http::status>(interim.status)))
                                     : interim.reason;
            std::string head = "HTTP/1.1 " + std::to_string(interim.status) + " " + reason + "\r\n";
            for (const auto& [name, value] : interim.headers) head += name + ": " + value + "\r\n";
            head += "\r\n";
            co_await asio::async_write(stream, asio::buffer(head), asio::use_awaitable);
        }

        http::response<http::string_body> res{static_cast<http::status>(script.status), 11};
        res.set(http::field::server, "fake-graph-api");
        res.set(http::field::content_type, "application/json; charset=UTF-8");
        for (const auto& [name, value] : script.headers) res.insert(name, value);
        res.body() = std::move(script.body);
        res.keep_alive(false);
        if (script.chunked) {
            res.chunked(true);
        } else {
            res.prepare_payload();
        }

        if (script.drop == FakeResponse::Drop::during_answer) {
            std::ostringstream head;
            head << res.base();
            std::string wire = head.str();
            if (res.body().empty()) {
                wire.resize(wire.size() / 2);
            } else {
                wire.append(res.body(), 0, res.body().size() / 2);
            }
            co_await asio::async_write(stream, asio::buffer(wire), asio::use_awaitable);
            co_return;
        }
        co_await http::async_write(stream, res, asio::use_awaitable);
    }
};

FakeGraphApi::FakeGraphApi() : state_(std::make_shared<State>()), server_(std::make_unique<Server>()) {
    server_->state = state_;
    server_->listen(0);
    port_ = server_->acceptor->local_endpoint().port();
    server_->thread = std::thread([s = server_.get()] {
        auto guard = asio::make_work_guard(s->ioc);
        s->ioc.run();
    });
}

FakeGraphApi::FakeGraphApi(Tls tls) : state_(std::make_shared<State>()), server_(std::make_unique<Server>()) {
    tls_ = true;
    server_->state = state_;
    server_->tls = make_tls_context(tls);
    server_->listen(0);
    port_ = server_->acceptor->local_endpoint().port();
    server_->thread = std::thread([s = server_.get()] {
        auto guard = asio::make_work_guard(s->ioc);
        s->ioc.run();
    });
}

FakeGraphApi::~FakeGraphApi() {
    server_->ioc.stop();
    if (server_->thread.joinable()) server_->thread.join();
    // Sessions still suspended are destroyed with the event loop; the acceptor goes first.
    server_->acceptor.reset();
}

std::string FakeGraphApi::base_url() const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_);
}

void FakeGraphApi::enqueue(FakeResponse response) {
    std::lock_guard lock(state_->mutex);
    state_->queue.push_back(std::move(response));
}

void FakeGraphApi::set_handler(Handler handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

void FakeGraphApi::reset() {
    std::lock_guard lock(state_->mutex);
    state_->queue.clear();
    state_->handler = nullptr;
    state_->requests.clear();
    state_->open_peak = state_->open;
}

std::vector<RecordedRequest> FakeGraphApi::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::size_t FakeGraphApi::request_count() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests.size();
}

std::size_t FakeGraphApi::connections_accepted() const {
    std::lock_guard lock(state_->mutex);
    return state_->accepted;
}

std::size_t FakeGraphApi::connections_open() const {
    std::lock_guard lock(state_->mutex);
    return state_->open;
}

std::size_t FakeGraphApi::connections_open_peak() const {
    std::lock_guard lock(state_->mutex);
    return state_->open_peak;
}

void FakeGraphApi::stop_listening() {
    server_->run_here([this] {
        if (server_->acceptor) server_->acceptor->close();
    });
}

void FakeGraphApi::start_listening() {
    server_->run_here([this] {
        if (server_->acceptor && server_->acceptor->is_open()) return;
        server_->listen(port_);
    });
}

void FakeGraphApi::use_certificate(const Tls& tls) {
    if (!tls_) throw std::logic_error("use_certificate on a plain HTTP fake");
    auto ctx = make_tls_context(tls);
    server_->run_here([this, ctx] { server_->tls = ctx; });
}

namespace {
boost::asio::awaitable<void> scaled_sleep(std::shared_ptr<RecordedWaits::State> state, std::chrono::seconds seconds) {
    std::chrono::microseconds real;
    {
        std::lock_guard lock(state->mutex);
        state->waits.push_back(seconds.count());
        real = state->per_second * seconds.count();
    }
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, real);
    co_await timer.async_wait(boost::asio::use_awaitable);
}
}  // namespace

std::function<boost::asio::awaitable<void>(std::chrono::seconds)> RecordedWaits::sleep_function() {
    // The coroutine gets the state by value: it must not refer to this lambda's captures.
    return [state = state_](std::chrono::seconds seconds) { return scaled_sleep(state, seconds); };
}

std::vector<long long> RecordedWaits::waits() const {
    std::lock_guard lock(state_->mutex);
    return state_->waits;
}

void RecordedWaits::clear() {
    std::lock_guard lock(state_->mutex);
    state_->waits.clear();
}

void RecordedWaits::set_scale(std::chrono::microseconds per_second) {
    std::lock_guard lock(state_->mutex);
    state_->per_second = per_second;
}

}  // namespace quillmere::testing
