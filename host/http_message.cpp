#include "host/http_message.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>

namespace quillmere::host {

void apply_limits(RequestParser& parser, const HttpLimits& limits) {
    parser.header_limit(limits.max_header);
    parser.body_limit(limits.max_body);
}

http::status refusal_status(const boost::system::error_code& error) noexcept {
    if (error == http::error::body_limit) return http::status::payload_too_large;
    if (error == http::error::header_limit) return http::status::request_header_fields_too_large;
    if (error.category() != http::make_error_code(http::error::bad_method).category()) return http::status::unknown;
    switch (static_cast<http::error>(error.value())) {
        case http::error::end_of_stream:
        case http::error::partial_message:
        case http::error::need_more:
        case http::error::need_buffer:
        case http::error::unexpected_body:
        case http::error::stale_parser:
            return http::status::unknown;
        default:
            return http::status::bad_request;
    }
}

bool announces_too_large(const RequestParser& parser, const HttpLimits& limits) {
    auto length = parser.content_length();
    return length && *length > limits.max_body;
}

ParsedRequest parse_request(std::string_view bytes, const HttpLimits& limits) {
    ParsedRequest out;
    RequestParser parser;
    apply_limits(parser, limits);
    // The header alone first, as the listener reads it, so that a body announced beyond the
    // limit is refused before any of it is read.
    parser.eager(false);
    boost::system::error_code ec;
    std::size_t offset = 0;
    bool header_checked = false;
    // Each round consumes bytes or ends the loop: at most one round per byte, plus two.
    for (std::size_t round = 0; round < bytes.size() + 2 && !parser.is_done(); ++round) {
        if (parser.is_header_done() && !header_checked) {
            header_checked = true;
            if (announces_too_large(parser, limits)) {
                out.refusal = http::status::payload_too_large;
                return out;
            }
            parser.eager(true);
        }
        std::size_t used = parser.put(boost::asio::buffer(bytes.data() + offset, bytes.size() - offset), ec);
        offset += used;
        if (ec == http::error::need_more) ec = {};
        if (ec) {
            out.refusal = refusal_status(ec);
            return out;
        }
        if (parser.is_done()) break;
        if (used == 0) {
            // Every byte left was offered and more are needed: the client closed its side.
            if (!parser.got_some()) break;  // before anything: no request at all
            parser.put_eof(ec);
            if (ec) out.refusal = refusal_status(ec);
            break;
        }
    }
    if (parser.is_done()) out.request = parser.release();
    return out;
}

HttpResponse text_response(http::status status, std::string body, unsigned version, std::string_view content_type) {
    HttpResponse response{status, version};
    response.set(http::field::content_type, content_type);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

}  // namespace quillmere::host
