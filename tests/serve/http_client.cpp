#include "http_client.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>

#include <cstdlib>
#include <stdexcept>

namespace quillmere::testing {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

}  // namespace

std::string meta_signature(std::string_view body, std::string_view secret) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest, &length);
    static const char hex[] = "0123456789abcdef";
    std::string text = "sha256=";
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0f];
    }
    return text;
}

std::string raw_request(std::string_view method, std::string_view target, std::string_view body,
                        const std::multimap<std::string, std::string>& headers, bool keep_alive) {
    std::string text;
    text.reserve(body.size() + 256);
    text.append(method).append(" ").append(target).append(" HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    for (const auto& [name, value] : headers) text.append(name).append(": ").append(value).append("\r\n");
    if (!keep_alive) text.append("Connection: close\r\n");
    if (!body.empty() || method == "POST") text.append("Content-Length: " + std::to_string(body.size()) + "\r\n");
    text.append("\r\n").append(body);
    return text;
}

std::string signed_post(std::string_view target, std::string_view body, std::string_view secret, bool keep_alive) {
    return raw_request("POST", target, body,
                       {{"Content-Type", "application/json"}, {"X-Hub-Signature-256", meta_signature(body, secret)}},
                       keep_alive);
}

HttpTestClient::HttpTestClient(int port, const std::filesystem::path& trusted_certificate,
                               std::chrono::milliseconds timeout)
    : socket_(io_) {
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    boost::system::error_code result = asio::error::timed_out;
    bool done = run([&] { socket_.async_connect(endpoint, [&](auto error) { result = error; }); }, timeout);
    if (!done || result)
        throw std::runtime_error("cannot connect to port " + std::to_string(port) + ": " + result.message());
    if (!trusted_certificate.empty()) {
        tls_context_ = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
        tls_context_->load_verify_file(trusted_certificate.string());
        tls_context_->set_verify_mode(asio::ssl::verify_peer);
        tls_ = std::make_unique<asio::ssl::stream<tcp::socket&>>(socket_, *tls_context_);
        result = asio::error::timed_out;
        done = run([&] { tls_->async_handshake(asio::ssl::stream_base::client, [&](auto error) { result = error; }); },
                   timeout);
        if (!done || result) throw std::runtime_error("TLS handshake failed: " + result.message());
    }
}

HttpTestClient::~HttpTestClient() { close(); }

template <class Operation>
bool HttpTestClient::run(Operation&& start, std::chrono::milliseconds timeout) {
    io_.restart();
    start();
    io_.run_for(timeout);
    if (io_.stopped()) return true;
    // Not done in time: cancel, and let the operation finish with its error.
    boost::system::error_code ignored;
    socket_.cancel(ignored);
    io_.restart();
    io_.run_for(std::chrono::seconds(5));
    return false;
}

bool HttpTestClient::send(std::string_view bytes) {
    boost::system::error_code result = asio::error::timed_out;
    auto handler = [&](boost::system::error_code error, std::size_t) { result = error; };
    bool done = run(
        [&] {
            if (tls_) {
                asio::async_write(*tls_, asio::buffer(bytes.data(), bytes.size()), handler);
            } else {
                asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()), handler);
            }
        },
        std::chrono::seconds(10));
    return done && !result;
}

std::optional<HttpResponse> HttpTestClient::read_response(std::chrono::milliseconds timeout) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    boost::system::error_code result = asio::error::timed_out;
    auto handler = [&](boost::system::error_code error, std::size_t) { result = error; };
    bool done = run(
        [&] {
            if (tls_) {
                http::async_read(*tls_, buffer_, parser, handler);
            } else {
                http::async_read(socket_, buffer_, parser, handler);
            }
        },
        timeout);
    partial_ = false;
    if (!done || result) {
        partial_ = parser.got_some() || buffer_.size() > 0;
        return std::nullopt;
    }
    return parser.release();
}

std::optional<HttpResponse> HttpTestClient::exchange(std::string_view bytes) {
    if (!send(bytes)) return std::nullopt;
    return read_response();
}

std::string HttpTestClient::read_raw(std::chrono::milliseconds timeout, std::string_view until) {
    std::string bytes(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    buffer_.consume(buffer_.size());
    auto deadline = std::chrono::steady_clock::now() + timeout;
    // Each round reads at least one byte or ends.
    for (int round = 0; round < 100000; ++round) {
        if (!until.empty() && bytes.find(until) != std::string::npos) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        char chunk[4096];
        boost::system::error_code result = asio::error::timed_out;
        std::size_t n = 0;
        auto handler = [&](boost::system::error_code error, std::size_t got) {
            result = error;
            n = got;
        };
        bool done = run(
            [&] {
                if (tls_) {
                    tls_->async_read_some(asio::buffer(chunk), handler);
                } else {
                    socket_.async_read_some(asio::buffer(chunk), handler);
                }
            },
            left);
        bytes.append(chunk, n);
        if (!done || result) break;
    }
    return bytes;
}

bool HttpTestClient::closed_within(std::chrono::milliseconds timeout) {
    if (buffer_.size() > 0) return false;
    char byte;
    boost::system::error_code result = asio::error::timed_out;
    std::size_t n = 0;
    auto handler = [&](boost::system::error_code error, std::size_t got) {
        result = error;
        n = got;
    };
    bool done = run(
        [&] {
            if (tls_) {
                tls_->async_read_some(asio::buffer(&byte, 1), handler);
            } else {
                socket_.async_read_some(asio::buffer(&byte, 1), handler);
            }
        },
        timeout);
    if (!done || n > 0) return false;
    return result == asio::error::eof || result == asio::error::connection_reset ||
           result == asio::ssl::error::stream_truncated || result == asio::error::broken_pipe;
}

void HttpTestClient::close() {
    boost::system::error_code ignored;
    socket_.close(ignored);
}

std::optional<HttpResponse> http_exchange(int port, std::string_view bytes) {
    HttpTestClient client(port);
    return client.exchange(bytes);
}

bool connection_refused(int port) {
    asio::io_context io;
    tcp::socket socket(io);
    boost::system::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, error);
    return error == asio::error::connection_refused;
}

TestCertificate make_test_certificate(const std::filesystem::path& dir) {
    TestCertificate out{dir / "server.pem", dir / "server.key"};
    std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -keyout " +
                          out.key.string() + " -out " + out.certificate.string() +
                          " -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a test certificate");
    return out;
}

}  // namespace quillmere::testing
