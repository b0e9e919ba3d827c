#pragma once
// Test support: a client of the webhook listener over loopback that can do what real
// clients do, well or badly: keep a connection alive, send part of a request and stall,
// send raw bytes, speak TLS. Every operation has a time-out, so a test cannot hang.
//
//   HttpTestClient client(port);
//   client.send(signed_post("/webhook", body, "secret"));
//   auto response = client.read_response();

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::testing {

using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The HMAC-SHA256 header Meta sends for `body` ("sha256=<hex>"), computed here with
// OpenSSL directly.
std::string meta_signature(std::string_view body, std::string_view secret);

// A whole HTTP/1.1 request as bytes. `headers` are added as given, in order.
std::string raw_request(std::string_view method, std::string_view target, std::string_view body = {},
                        const std::multimap<std::string, std::string>& headers = {}, bool keep_alive = true);
// A POST of `body` signed with `secret`.
std::string signed_post(std::string_view target, std::string_view body, std::string_view secret,
                        bool keep_alive = true);

class HttpTestClient {
public:
    // Connects to 127.0.0.1:port (TLS when `trusted_certificate` is given: the server's
    // certificate is verified against it). Throws when the connection cannot be made.
    explicit HttpTestClient(int port, const std::filesystem::path& trusted_certificate = {},
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    ~HttpTestClient();
    HttpTestClient(const HttpTestClient&) = delete;
    HttpTestClient& operator=(const HttpTestClient&) = delete;

    // Writes all of `bytes`; false when the connection failed.
    bool send(std::string_view bytes);
    // The next response, or nothing when the connection closed (or broke) first or none
    // came within `timeout`.
    std::optional<HttpResponse> read_response(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends and reads one response.
    std::optional<HttpResponse> exchange(std::string_view bytes);
    // True when the server closed the connection (end of stream or reset) within `timeout`
    // without sending anything; false when bytes arrived or nothing happened.
    bool closed_within(std::chrono::milliseconds timeout);
    // The bytes that arrive within `timeout`, until the server closes or the bytes hold
    // `until` (when given).
    std::string read_raw(std::chrono::milliseconds timeout, std::string_view until = {});
    void close();
    // Whether the last read_response that failed had received part of a response.
    bool partial() const { return partial_; }

private:
    template <class Operation>
    bool run(Operation&& start, std::chrono::milliseconds timeout);

    boost::asio::io_context io_;
    std::unique_ptr<boost::asio::ssl::context> tls_context_;
    boost::asio::ip::tcp::socket socket_;
    std::unique_ptr<boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>> tls_;
    boost::beast::flat_buffer buffer_;
    bool partial_ = false;
};

// One request on a fresh connection: its response, or nothing.
std::optional<HttpResponse> http_exchange(int port, std::string_view bytes);

// Whether a connection to 127.0.0.1:port is refused now.
bool connection_refused(int port);

// A self-signed certificate for "localhost" and 127.0.0.1 with its key, made by the openssl
// command in `dir`.
struct TestCertificate {
    std::filesystem::path certificate;
    std::filesystem::path key;
};
TestCertificate make_test_certificate(const std::filesystem::path& dir);

}  // namespace quillmere::testing
