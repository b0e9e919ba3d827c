// A stand-in for the Graph API that answers from files, for the demo: a small HTTP server
// on the loopback interface that answers GET /<version>/<id> with the JSON file <id>.json
// of its directory, as the Graph API answers for an object, so that the host's real
// Graph API client (retries and rate-limit waits included) is on the road.
//
//   quillmere_demo_graph_api --root examples/graph_api --port-file /tmp/port
//
// A request without an access token, or for an id without a file, gets the Graph API's
// error answer (status 400). Ids given to --rate-limit-once get a rate-limit answer (429,
// reset now) on their first request, which the client waits out and retries. The access
// token is never written anywhere. Stops on SIGTERM or SIGINT, and when its parent ends.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>

#include <CLI/CLI.hpp>

#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
namespace fs = std::filesystem;

struct Server {
    fs::path root;
    std::set<std::string> rate_limit_once;  // ids still to be answered 429 once
    std::size_t served = 0;
    std::FILE* log = stderr;
};

std::string graph_error(const std::string& message, const char* type, int code, int subcode = 0) {
    // The error object of the Graph API. The message never holds anything the client sent
    // except the id, which the id check below allows only as letters, digits and '_'.
    std::string body =
        "{\"error\":{\"message\":\"" + message + "\",\"type\":\"" + type + "\",\"code\":" + std::to_string(code);
    if (subcode) body += ",\"error_subcode\":" + std::to_string(subcode);
    return body + ",\"fbtrace_id\":\"demo\"}}";
}

bool is_object_id(std::string_view id) {
    if (id.empty() || id.size() > 128) return false;
    for (char c : id) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    }
    return true;
}

std::optional<std::string> read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

http::response<http::string_body> answer(Server& server, const http::request<http::string_body>& req) {
    http::response<http::string_body> res{http::status::ok, req.version()};
    res.set(http::field::server, "quillmere-demo-graph-api");
    res.set(http::field::content_type, "application/json; charset=UTF-8");
    res.keep_alive(req.keep_alive());

    auto url = boost::urls::parse_origin_form(req.target());
    std::string version, id, fields;
    bool token = false;
    if (url) {
        auto segments = url->segments();
        if (segments.size() == 2) {
            auto it = segments.begin();
            version = *it++;
            id = *it;
        }
        for (auto param : url->params()) {
            if (param.key == "access_token") token = !param.value.empty();
            if (param.key == "fields") fields = param.value;
        }
    }
    if (req.method() != http::verb::get || !url || !is_object_id(id)) {
        res.result(http::status::bad_request);
        res.body() = graph_error("Unknown path components", "OAuthException", 2500);
    } else if (!token) {
        res.result(http::status::bad_request);
        res.body() = graph_error("An access token is required to request this resource.", "OAuthException", 104);
    } else if (server.rate_limit_once.erase(id)) {
        // Reset now: the client waits zero seconds, then retries.
        const auto now = std::to_string(std::time(nullptr));
        res.result(http::status::too_many_requests);
        res.set("X-RateLimit-Reset", now);
        res.set("X-Timestamp", now);
        res.body() = graph_error("Application request limit reached", "OAuthException", 4);
    } else if (auto body = read_file(server.root / (id + ".json"))) {
        res.body() = std::move(*body);
    } else {
        res.result(http::status::bad_request);
        res.body() = graph_error("Unsupported get request. Object with ID '" + id +
                                     "' does not exist, cannot be loaded due to missing permissions, or does not "
                                     "support this operation.",
                                 "GraphMethodException", 100, 33);
    }
    res.prepare_payload();
    ++server.served;
    // The access token is left out of the line, like everything but the id and the fields.
    std::fprintf(server.log, "demo Graph API: GET /%s/%s fields=%s -> %u\n", version.c_str(), id.c_str(),
                 fields.empty() ? "-" : (fields.size() > 40 ? fields.substr(0, 40) + "..." : fields).c_str(),
                 res.result_int());
    std::fflush(server.log);
    return res;
}

asio::awaitable<void> session(Server& server, tcp::socket socket) {
    beast::tcp_stream stream(std::move(socket));
    beast::flat_buffer buffer;
    for (int requests = 0; requests < 10000; ++requests) {
        stream.expires_after(std::chrono::seconds(30));
        http::request_parser<http::string_body> parser;
        parser.body_limit(64 * 1024);
        auto [ec, n] = co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
        if (ec) break;
        auto res = answer(server, parser.get());
        const bool keep = res.keep_alive();
        auto [wec, wn] = co_await http::async_write(stream, res, asio::as_tuple(asio::use_awaitable));
        if (wec || !keep) break;
    }
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
}

asio::awaitable<void> accept_all(Server& server, tcp::acceptor& acceptor) {
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
        if (ec == asio::error::operation_aborted) co_return;
        if (ec) continue;
        asio::co_spawn(acceptor.get_executor(), session(server, std::move(socket)), asio::detached);
    }
}

// Ends the server when the process that started it is gone (a demo killed hard).
asio::awaitable<void> watch_parent(asio::io_context& io, pid_t parent) {
    asio::steady_timer timer(io);
    for (;;) {
        timer.expires_after(std::chrono::milliseconds(500));
        co_await timer.async_wait(asio::use_awaitable);
        if (::getppid() != parent) {
            io.stop();
            co_return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"quillmere_demo_graph_api: answers Graph API GET requests from JSON files"};
    std::string root, listen = "127.0.0.1", port_file;
    unsigned short port = 0;
    std::vector<std::string> rate_limited;
    app.add_option("--root", root, "Directory of <id>.json answers")->required()->check(CLI::ExistingDirectory);
    app.add_option("--listen", listen, "Loopback address to listen on (127.0.0.1 or ::1)")
        ->check(CLI::IsMember({"127.0.0.1", "::1"}));
    app.add_option("--port", port, "Port (default 0: any free port)");
    app.add_option("--port-file", port_file, "Write the port listened on to this file once ready");
    app.add_option("--rate-limit-once", rate_limited, "Ids whose first request gets a rate-limit answer")
        ->delimiter(',');
    CLI11_PARSE(app, argc, argv);

    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);

    Server server;
    server.root = root;
    server.rate_limit_once.insert(rate_limited.begin(), rate_limited.end());

    asio::io_context io{1};
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address(listen), port));
    if (!port_file.empty()) {
        // Written whole, then renamed, so that a reader never sees half a number.
        const std::string tmp = port_file + ".tmp";
        std::ofstream(tmp) << acceptor.local_endpoint().port() << '\n';
        fs::rename(tmp, port_file);
    }
    asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });
    asio::co_spawn(io, accept_all(server, acceptor), asio::detached);
    asio::co_spawn(io, watch_parent(io, parent), asio::detached);
    io.run();
    std::fprintf(stderr, "demo Graph API: %zu requests answered\n", server.served);
    return 0;
}
