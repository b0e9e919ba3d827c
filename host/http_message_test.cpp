#include "host/http_message.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillmere::host {
namespace {

TEST(ParseRequest, Table) {
    const HttpLimits limits{.max_body = 16, .max_header = 256};
    const std::string sixteen(16, 'b');
    struct Case {
        const char* name;
        std::string bytes;
        http::status refusal;  // unknown: read whole, or incomplete when `complete` is false
        bool complete;
        std::string body;
    };
    const Case cases[] = {
        {"plain GET", "GET /webhook?a=1 HTTP/1.1\r\nHost: x\r\n\r\n", http::status::unknown, true, ""},
        {"body at the limit", "POST /w HTTP/1.1\r\nContent-Length: 16\r\n\r\n" + sixteen, http::status::unknown, true,
         sixteen},
        {"body one beyond, announced", "POST /w HTTP/1.1\r\nContent-Length: 17\r\n\r\n",
         http::status::payload_too_large, false, ""},
        {"body one beyond, announced and sent", "POST /w HTTP/1.1\r\nContent-Length: 17\r\n\r\n" + sixteen + "b",
         http::status::payload_too_large, false, ""},
        {"chunked at the limit",
         "POST /w HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n8\r\nbbbbbbbb\r\n8\r\nbbbbbbbb\r\n0\r\n\r\n",
         http::status::unknown, true, sixteen},
        {"chunked one beyond",
         "POST /w HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n8\r\nbbbbbbbb\r\n9\r\nbbbbbbbbb\r\n0\r\n\r\n",
         http::status::payload_too_large, false, ""},
        {"header beyond its limit", "GET / HTTP/1.1\r\nX-Long: " + std::string(300, 'h') + "\r\n\r\n",
         http::status::request_header_fields_too_large, false, ""},
        {"not HTTP", "GARBAGE\r\n\r\n", http::status::bad_request, false, ""},
        {"bad version", "GET / HTTX/1.1\r\n\r\n", http::status::bad_request, false, ""},
        {"bad content length", "POST /w HTTP/1.1\r\nContent-Length: abc\r\n\r\n", http::status::bad_request, false, ""},
        {"two content lengths", "POST /w HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
         http::status::bad_request, false, ""},
        {"bad chunk size", "POST /w HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", http::status::bad_request,
         false, ""},
        {"header cut short", "GET / HTTP/1.1\r\nHost", http::status::unknown, false, ""},
        {"body cut short", "POST /w HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcde", http::status::unknown, false, ""},
        {"nothing", "", http::status::unknown, false, ""},
    };
    for (const auto& c : cases) {
        ParsedRequest parsed = parse_request(c.bytes, limits);
        EXPECT_EQ(parsed.refusal, c.refusal) << c.name;
        EXPECT_EQ(parsed.request.has_value(), c.complete) << c.name;
        if (parsed.request) {
            EXPECT_EQ(parsed.request->body(), c.body) << c.name;
        }
    }
}

TEST(ParseRequest, ReadsOnlyTheFirstOfPipelinedRequests) {
    auto parsed = parse_request("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n", HttpLimits{});
    ASSERT_TRUE(parsed.request);
    EXPECT_EQ(parsed.request->target(), "/a");
}

TEST(TextResponse, SetsLengthAndType) {
    auto response = text_response(http::status::forbidden, "no\n", 10);
    EXPECT_EQ(response.result(), http::status::forbidden);
    EXPECT_EQ(response.version(), 10u);
    EXPECT_EQ(response[http::field::content_length], "3");
    EXPECT_EQ(response[http::field::content_type], "text/plain; charset=utf-8");
}

}  // namespace
}  // namespace quillmere::host
