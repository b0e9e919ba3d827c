// The fake Graph API itself, driven by a plain synchronous Beast client.

#include "fake_graph_api/fake_graph_api.hpp"

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <thread>
#include <vector>

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

// Everything the fake sends on one connection, as bytes.
std::string raw_get(const FakeGraphApi& fake, const std::string& target) {
    asio::io_context ioc;
    asio::ip::tcp::socket socket(ioc);
    socket.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), fake.port()));
    const std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    asio::write(socket, asio::buffer(req));
    std::string out;
    beast::error_code ec;
    asio::read(socket, asio::dynamic_buffer(out), ec);
    EXPECT_EQ(ec, asio::error::eof);
    return out;
}

TEST(FakeGraphApi, SendsInterimAnswersAndChunkedBodies) {
    FakeGraphApi fake;
    FakeResponse r = FakeResponse::ok("chunked body");
    r.interim = {{100, {}}, {103, {{"Link", "</a.css>; rel=preload"}}, "Early Hints"}};
    r.chunked = true;
    fake.enqueue(r);
    const std::string wire = raw_get(fake, "/i");
    EXPECT_EQ(wire.rfind("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n"
                         "HTTP/1.1 200 OK\r\n",
                         0),
              0u)
        << wire;
    EXPECT_NE(wire.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << wire;
    EXPECT_EQ(wire.find("Content-Length"), std::string::npos) << wire;
    EXPECT_TRUE(wire.ends_with("\r\nchunked body\r\n0\r\n\r\n")) << wire;
}

TEST(FakeGraphApi, CountsTheMostConnectionsOpenAtOnce) {
    FakeGraphApi fake;
    fake.set_handler(
        [](const auto&) { return std::move(FakeResponse::ok("x")).after(std::chrono::milliseconds(300)); });
    std::vector<std::thread> clients;
    for (int i = 0; i < 3; ++i) clients.emplace_back([&] { get(fake, "/p"); });
    for (auto& t : clients) t.join();
    EXPECT_EQ(fake.connections_open_peak(), 3u);
    // The fake closes its side just after the answer has gone out.
    for (int i = 0; i < 200 && fake.connections_open() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    fake.reset();
    EXPECT_EQ(fake.connections_open_peak(), 0u);
    get(fake, "/q");
    EXPECT_EQ(fake.connections_open_peak(), 1u);
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
