#pragma once
// The HTTP messages of the webhook listener, and the one way it reads a request: a parser
// with the listener's limits on header and body. The listener feeds it from the socket;
// parse_request feeds it from memory (tests, fuzzing), so both read requests alike.
//
//   RequestParser parser;
//   apply_limits(parser, limits);   // then http::async_read_header / async_read

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::host {

namespace http = boost::beast::http;
using HttpRequest = http::request<http::string_body>;
using HttpResponse = http::response<http::string_body>;
using RequestParser = http::request_parser<http::string_body>;

struct HttpLimits {
    std::size_t max_body = 2 * 1024 * 1024;  // bytes of body; more is refused with 413
    std::uint32_t max_header = 16 * 1024;    // bytes of request line and fields; more: 431
};

// Sets the limits on a parser that has not read anything yet.
void apply_limits(RequestParser& parser, const HttpLimits& limits);

// The answer to a request that could not be read whole: 413 for a body beyond the limit
// (known from Content-Length before any of it is read, or counted while reading chunks),
// 431 for a header beyond the limit, 400 for anything else that is not HTTP/1.x. `unknown`
// when `error` is not about the request itself (end of stream, time-out, reset): the
// connection is closed without an answer.
http::status refusal_status(const boost::system::error_code& error) noexcept;

// True when the header announces a body longer than the parser's limit: the listener
// answers 413 before reading any of the body.
bool announces_too_large(const RequestParser& parser, const HttpLimits& limits);

// What a client sending `bytes` and then closing its side would have had read: the first
// request (parse_request reads one), or the status of its refusal; `unknown` when the
// bytes end before a request is complete.
struct ParsedRequest {
    std::optional<HttpRequest> request;
    http::status refusal = http::status::unknown;
};
ParsedRequest parse_request(std::string_view bytes, const HttpLimits& limits);

// A response with a short text body (Content-Length set). `version` is the request's
// (11 for HTTP/1.1).
HttpResponse text_response(http::status status, std::string body, unsigned version = 11,
                           std::string_view content_type = "text/plain; charset=utf-8");

}  // namespace quillmere::host
