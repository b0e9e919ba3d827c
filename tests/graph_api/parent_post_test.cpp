// process_parent_post through the real client and the fake Graph API.

#include "client_fixture.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/details.hpp"

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>

namespace {

using namespace quillmere::testing;
using quillmere::morvish::process_parent_post;
namespace json = boost::json;

class ProcessParentPostTest : public ClientTest {
protected:
    json::value process(json::value post_id, json::value token = "tok-1") {
        return run_awaitable(process_parent_post(std::move(post_id), api(), std::move(token)));
    }
};

TEST_F(ProcessParentPostTest, RequestsTheFixedFieldListAndDecodesTheBody) {
    const char* body = R"({"id": "17900", "caption": "hi #x", "owner": {"id": "5", "username": "u"}})";
    fake().enqueue(FakeResponse::ok(body));
    EXPECT_EQ(process("17900"), quillmere::parse_json(body));
    auto requests = fake().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/v19.0/17900");
    EXPECT_EQ(requests[0].query,
              (Fields{{"access_token", "tok-1"},
                      {"fields",
                       "permalink,id,caption,comments_count,like_count,media_type,media_url,owner{name,username,ig_id,"
                       "id,followers_count,follows_count,media_count,biography,profile_picture_url,website},ig_id,"
                       "username,shortcode,thumbnail_url,media_product_type,is_comment_enabled,timestamp,children{"
                       "media_type,media_url,thumbnail_url}"}}));
}

TEST_F(ProcessParentPostTest, ReturnsWhatTheClientGaveWhenItIsNotAJsonText) {
    fake().enqueue(FakeResponse::ok("[1, 2]"));
    EXPECT_EQ(process("1"), (json::array{1, 2}));
    fake().enqueue(FakeResponse::ok("42"));
    EXPECT_EQ(process("1"), json::value(42));
    fake().enqueue(FakeResponse::ok(""));
    EXPECT_EQ(process("1"), json::value(""));
}

TEST_F(ProcessParentPostTest, ClientLinesReachTheModuleLoggerAtTheirLevels) {
    // Capture what reaches the module's named logger, with each line's level.
    std::ostringstream captured;
    (void)process("warm-up");  // creates the logger (500: nothing scripted)
    auto logger = spdlog::get("morvish");
    ASSERT_NE(logger, nullptr);
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(captured);
    sink->set_pattern("%l %v");
    logger->sinks().push_back(sink);

    struct Case {
        const char* name;
        std::vector<FakeResponse> answers;
        bool found;
        std::string lines;
    };
    const std::vector<Case> cases = {
        {"error answer", {FakeResponse::with_status(404, "gone")}, false, "error Error 404: gone\n"},
        {"rate-limit answer, then the post",
         {FakeResponse::rate_limited("13", "10"), FakeResponse::ok(R"({"id": "2"})")},
         true,
         "warning Rate limit hit. Waiting for 3 seconds to reset.\n"},
        {"rate-limit answer without reset, then the post",
         {FakeResponse::rate_limited(std::nullopt), FakeResponse::ok(R"({"id": "2"})")},
         true,
         "warning Rate limit hit. Retrying in 1 seconds.\n"},
        {"capped rate-limit wait",
         {FakeResponse::rate_limited("100000"), FakeResponse::ok(R"({"id": "2"})")},
         true,
         "warning Rate limit hit. Waiting for 100000 seconds to reset.\nwarning rate-limit wait capped at 900 "
         "seconds\n"},
        {"transport error, then the post",
         {FakeResponse::dropped(FakeResponse::Drop::before_answer), FakeResponse::ok(R"({"id": "2"})")},
         true,
         "error HTTP request error on attempt 1: cannot read the response: end of stream\n"},
        {"unreadable rate-limit header",
         {FakeResponse::rate_limited("soon")},
         false,
         "error Unexpected error: X-RateLimit-Reset header is not an integer: 'soon'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake().reset();
        captured.str("");
        for (const auto& a : c.answers) fake().enqueue(a);
        json::value result = process("2");
        logger->flush();
        EXPECT_EQ(result.is_null(), !c.found);
        EXPECT_EQ(captured.str(), c.lines);
    }
    logger->sinks().pop_back();
}

TEST_F(ProcessParentPostTest, FailuresReachTheCaller) {
    fake().enqueue(FakeResponse::ok("{not json"));
    EXPECT_THROW(process("1"), quillmere::ValueError);
    EXPECT_THROW(process(json::value(17900)), quillmere::TypeError);
    EXPECT_THROW(process(json::value(nullptr)), quillmere::TypeError);
    EXPECT_THROW(process("1", json::value(nullptr)), quillmere::TypeError);
    EXPECT_EQ(fake().request_count(), 1u) << "arguments are checked before any request";
}

}  // namespace
