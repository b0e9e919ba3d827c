// The fake Graph API itself, driven by a plain synchronous Beast client.

#include "fake_graph_api/fake_graph_api.hpp"

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using quillmere::testing::FakeGraphApi;
using quillmere::testing::FakeResponse;
using quillmere::testing::Fields;

struct Answer {
    beast::error_code ec;
    http::response<http::string_body> response;
};

Answer get(const FakeGraphApi& fake, const std::string& target) {
    asio::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), fake.port()));
    http::request<http::empty_body> req{http::verb::get, target, 11};
    req.set(http::field::host, "127.0.0.1");
    http::write(stream, req);
    beast::flat_buffer buffer;
    Answer a;
    http::read(stream, buffer, a.response, a.ec);
    return a;
}

TEST(FakeGraphApi, AnswersAsScriptedAndRecordsTheRequest) {
    FakeGraphApi fake;
    FakeResponse r = FakeResponse::rate_limited("160", "100");
    r.headers.emplace_back("X-Extra", "1");
    fake.enqueue(r);
    fake.enqueue(FakeResponse::ok(R"({"id":"2"})"));

    Answer first = get(fake, "/v19.0/17%2F9?b=2&a=x+y%20z%2B&b=1");
    ASSERT_FALSE(first.ec) << first.ec.message();
    EXPECT_EQ(first.response.result_int(), 429u);
    EXPECT_EQ(first.response["X-RateLimit-Reset"], "160");
    EXPECT_EQ(first.response["X-Timestamp"], "100");
    EXPECT_EQ(first.response["X-Extra"], "1");
    Answer second = get(fake, "/v19.0/2");
    EXPECT_EQ(second.response.result_int(), 200u);
    EXPECT_EQ(second.response.body(), R"({"id":"2"})");
    Answer third = get(fake, "/x");
    EXPECT_EQ(third.response.result_int(), 500u) << "nothing scripted";

    auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/v19.0/17/9");
    EXPECT_EQ(requests[0].query, (Fields{{"b", "2"}, {"a", "x y z+"}, {"b", "1"}}));
    EXPECT_EQ(requests[0].param("b"), "2");
    EXPECT_EQ(requests[0].param("c"), std::nullopt);
    EXPECT_EQ(requests[1].connection, 2u);
    EXPECT_EQ(fake.connections_accepted(), 3u);
}

TEST(FakeGraphApi, HandlerDelayAndDrops) {
    FakeGraphApi fake;
    fake.set_handler([](const quillmere::testing::RecordedRequest& req) {
        return std::move(FakeResponse::ok(req.path)).after(std::chrono::milliseconds(150));
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get(fake, "/a").response.body(), "/a");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

    fake.enqueue(FakeResponse::dropped(FakeResponse::Drop::before_answer));
    EXPECT_EQ(get(fake, "/b").ec, http::error::end_of_stream);
    fake.enqueue(FakeResponse::dropped(FakeResponse::Drop::during_answer));
    EXPECT_EQ(get(fake, "/c").ec, http::error::partial_message);
    EXPECT_EQ(fake.request_count(), 3u);
}

TEST(FakeGraphApi, StopsAndResumesListeningOnTheSamePort) {
    FakeGraphApi fake;
    fake.set_handler([](const auto&) { return FakeResponse::ok("up"); });
    fake.stop_listening();
    EXPECT_THROW(get(fake, "/"), boost::system::system_error);
    fake.start_listening();
    EXPECT_EQ(get(fake, "/").response.body(), "up");
}

}  // namespace
