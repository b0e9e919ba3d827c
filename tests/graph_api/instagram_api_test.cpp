// The Graph API client against the fake Graph API over loopback: the request it sends,
// every outcome of one request with its exact log lines and waits, secrets kept out of the
// logs, cancellation and many requests in flight on one thread.

#include "client_fixture.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <thread>

namespace {

namespace asio = boost::asio;
using namespace quillmere::testing;
using quillmere::QueryParams;
using Drop = FakeResponse::Drop;
using Lines = std::vector<LogLine>;

constexpr const char* kToken = "SECRET-tok+en/1=x&y z";
constexpr const char* kFields = "permalink,id,caption,owner{name,username,ig_id},children{media_type,media_url}";

// Wall-time bounds of the concurrency tests. They tell concurrent from sequential work
// (1,000 answers of 200 ms each take 200 s one after another), so they are generous; the
// unoptimised sanitizer build is several times slower and gets more room.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::chrono::milliseconds kThousandRequestsBound{20'000};
constexpr std::chrono::milliseconds kScalePerSecond{250};
#else
constexpr std::chrono::milliseconds kThousandRequestsBound{2'000};
constexpr std::chrono::milliseconds kScalePerSecond{50};
#endif

LogLine warning(std::string m) { return {"warning", std::move(m), false}; }
LogLine error(std::string m) { return {"error", std::move(m), false}; }

struct Result {
    std::optional<std::string> body;
    Lines lines;
};

class InstagramApiTest : public ClientTest {
protected:
    Result fetch(std::string endpoint = "17895695668004550", std::optional<QueryParams> extra = std::nullopt) {
        RecordingLogger logger;
        auto body = run_awaitable(api().fetch_instagram_data(endpoint, kToken, kFields, logger, extra));
        return {body, logger.lines()};
    }
    std::string refused_message() {
        return "cannot connect to 127.0.0.1:" + std::to_string(fake().port()) + ": Connection refused";
    }
    static void expect_no_secret(const Lines& lines) {
        for (const auto& line : lines) {
            EXPECT_EQ(line.message.find("SECRET"), std::string::npos) << line.message;
        }
    }
};

TEST_F(InstagramApiTest, SendsOneGetWithTokenThenFieldsEncoded) {
    fake().enqueue(FakeResponse::ok(R"({"id":"17895695668004550"})"));
    Result r = fetch();
    EXPECT_EQ(r.body, R"({"id":"17895695668004550"})");
    EXPECT_TRUE(r.lines.empty());
    auto requests = fake().requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& req = requests[0];
    EXPECT_EQ(req.method, "GET");
    EXPECT_EQ(req.path, "/v19.0/17895695668004550");
    EXPECT_EQ(req.query, (Fields{{"access_token", kToken}, {"fields", kFields}}));
    // Every reserved character of a value is escaped: a "+" must not reach the server as
    // a blank, nor "&" or "=" split the parameter.
    EXPECT_NE(req.target.find("access_token=SECRET-tok%2Ben%2F1%3Dx%26y%20z&fields="), std::string::npos) << req.target;
    EXPECT_EQ(req.target.find('{'), std::string::npos);
    auto host = std::find_if(req.headers.begin(), req.headers.end(), [](auto& h) { return h.first == "Host"; });
    ASSERT_NE(host, req.headers.end());
    EXPECT_EQ(host->second, "127.0.0.1:" + std::to_string(fake().port()));
}

TEST_F(InstagramApiTest, ExtraParametersReplaceInPlaceAndFollowInOrder) {
    fake().set_handler([](const RecordedRequest&) { return FakeResponse::ok("{}"); });
    fetch("1", QueryParams{{"fields", "id"}, {"limit", "5"}, {"after", "a b"}});
    fetch("2", QueryParams{});
    fetch("me/media?since=7#frag");
    auto requests = fake().requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].query,
              (Fields{{"access_token", kToken}, {"fields", "id"}, {"limit", "5"}, {"after", "a b"}}));
    EXPECT_EQ(requests[1].query, (Fields{{"access_token", kToken}, {"fields", kFields}}));
    EXPECT_EQ(requests[2].path, "/v19.0/me/media");
    EXPECT_EQ(requests[2].query, (Fields{{"since", "7"}, {"access_token", kToken}, {"fields", kFields}}));
}

TEST_F(InstagramApiTest, MakeGetRequestSendsTheQueryAsGiven) {
    fake().enqueue(FakeResponse::ok("body"));
    RecordingLogger logger;
    auto body = run_awaitable(api().make_get_request("42", QueryParams{{"b", "2"}, {"a", "1"}}, logger));
    EXPECT_EQ(body, "body");
    EXPECT_EQ(fake().requests().at(0).query, (Fields{{"b", "2"}, {"a", "1"}}));
}

struct OutcomeCase {
    const char* name;
    std::vector<FakeResponse> answers;
    std::optional<std::string> result;
    Lines lines;
    std::vector<long long> waits;
    std::size_t requests;
};

FakeResponse status(unsigned s, std::string body) { return FakeResponse::with_status(s, std::move(body)); }
FakeResponse limited(std::optional<std::string> reset, std::optional<std::string> ts = {}) {
    return FakeResponse::rate_limited(std::move(reset), std::move(ts));
}
FakeResponse dropped(Drop d) { return FakeResponse::dropped(d); }

const std::string kEndOfStream = "HTTP request error on attempt %: cannot read the response: end of stream";
const std::string kPartial = "HTTP request error on attempt %: cannot read the response: partial message";
std::string numbered(const std::string& pattern, int n) {
    std::string s = pattern;
    s.replace(s.find('%'), 1, std::to_string(n));
    return s;
}

std::vector<OutcomeCase> outcome_cases() {
    const std::string ok = R"({"id":"1","caption":"hi"})";
    const std::string limit_body = limited(std::nullopt).body;
    std::vector<OutcomeCase> cases = {
        {"200", {FakeResponse::ok(ok)}, ok, {}, {}, 1},
        {"429 reset minus timestamp",
         {limited("1700000060", "1700000000"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 60 seconds to reset.")},
         {60},
         2},
        {"429 reset without timestamp",
         {limited("75"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 75 seconds to reset.")},
         {75},
         2},
        {"429 reset with blanks",
         {limited(" 70 ", "+10"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 60 seconds to reset.")},
         {60},
         2},
        {"429 empty reset backs off",
         {limited(""), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Retrying in 1 seconds.")},
         {1},
         2},
        {"429 without reset backs off by attempt",
         {limited(std::nullopt), limited(std::nullopt, "5"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Retrying in 1 seconds."), warning("Rate limit hit. Retrying in 2 seconds.")},
         {1, 2},
         3},
        {"429 reset before timestamp does not wait",
         {limited("100", "105"), limited("100", "100"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for -5 seconds to reset."),
          warning("Rate limit hit. Waiting for 0 seconds to reset.")},
         {},
         3},
        {"five 429 without reset",
         std::vector<FakeResponse>(5, limited(std::nullopt)),
         std::nullopt,
         {warning("Rate limit hit. Retrying in 1 seconds."), warning("Rate limit hit. Retrying in 2 seconds."),
          warning("Rate limit hit. Retrying in 4 seconds."), warning("Rate limit hit. Retrying in 8 seconds."),
          warning("Rate limit hit. Retrying in 16 seconds.")},
         {1, 2, 4, 8, 16},
         5},
        {"five 429 with reset",
         std::vector<FakeResponse>(5, limited("13", "10")),
         std::nullopt,
         Lines(5, warning("Rate limit hit. Waiting for 3 seconds to reset.")),
         {3, 3, 3, 3, 3},
         5},
        {"absolute reset moment is capped",
         {limited("1700000000"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 900 seconds to reset.")},
         {900},
         2},
        {"extreme reset does not overflow",
         {limited("9223372036854775807", "-9223372036854775808"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 900 seconds to reset.")},
         {900},
         2},
        {"reset not an integer",
         {limited("soon"), FakeResponse::ok(ok)},
         std::nullopt,
         {error("Unexpected error: X-RateLimit-Reset header is not an integer: 'soon'")},
         {},
         1},
        {"reset a fraction",
         {limited("1.5")},
         std::nullopt,
         {error("Unexpected error: X-RateLimit-Reset header is not an integer: '1.5'")},
         {},
         1},
        {"reset out of range",
         {limited("99999999999999999999")},
         std::nullopt,
         {error("Unexpected error: X-RateLimit-Reset header is out of range: '99999999999999999999'")},
         {},
         1},
        {"timestamp empty",
         {limited("60", "")},
         std::nullopt,
         {error("Unexpected error: X-Timestamp header is not an integer: ''")},
         {},
         1},
        {"404",
         {status(404, R"({"error":{"message":"Unsupported get request."}})"), FakeResponse::ok(ok)},
         std::nullopt,
         {error(R"(Error 404: {"error":{"message":"Unsupported get request."}})")},
         {},
         1},
        {"201", {status(201, "created")}, std::nullopt, {error("Error 201: created")}, {}, 1},
        {"204", {status(204, "")}, std::nullopt, {error("Error 204: ")}, {}, 1},
        {"500 is not retried",
         {status(500, "boom"), FakeResponse::ok(ok)},
         std::nullopt,
         {error("Error 500: boom")},
         {},
         1},
        {"drop before answer, then 200",
         {dropped(Drop::before_answer), FakeResponse::ok(ok)},
         ok,
         {error(numbered(kEndOfStream, 1))},
         {1},
         2},
        {"transport errors on every attempt",
         {dropped(Drop::during_answer), dropped(Drop::before_answer), dropped(Drop::during_answer),
          dropped(Drop::during_answer), dropped(Drop::before_answer)},
         std::nullopt,
         {error(numbered(kPartial, 1)), error(numbered(kEndOfStream, 2)), error(numbered(kPartial, 3)),
          error(numbered(kPartial, 4)), error(numbered(kEndOfStream, 5)),
          error("Max retries reached. Cannot recover from the error.")},
         {1, 2, 4, 8},
         5},
        {"transport errors and 429 share the attempt count",
         {dropped(Drop::before_answer), limited(std::nullopt), dropped(Drop::during_answer), limited(""),
          FakeResponse::ok(ok)},
         ok,
         {error(numbered(kEndOfStream, 1)), warning("Rate limit hit. Retrying in 2 seconds."),
          error(numbered(kPartial, 3)), warning("Rate limit hit. Retrying in 8 seconds.")},
         {1, 2, 4, 8},
         5},
        {"transport error on the last attempt after 429s",
         {limited(std::nullopt), limited(std::nullopt), limited(std::nullopt), limited(std::nullopt),
          dropped(Drop::before_answer)},
         std::nullopt,
         {warning("Rate limit hit. Retrying in 1 seconds."), warning("Rate limit hit. Retrying in 2 seconds."),
          warning("Rate limit hit. Retrying in 4 seconds."), warning("Rate limit hit. Retrying in 8 seconds."),
          error(numbered(kEndOfStream, 5)), error("Max retries reached. Cannot recover from the error.")},
         {1, 2, 4, 8},
         5},
    };
    return cases;
}

TEST_F(InstagramApiTest, EveryOutcomeLogsExactlyItsLinesAndWaits) {
    for (const auto& c : outcome_cases()) {
        SCOPED_TRACE(c.name);
        fake().reset();
        waits().clear();
        for (const auto& answer : c.answers) fake().enqueue(answer);
        Result r = fetch();
        EXPECT_EQ(r.body, c.result);
        EXPECT_EQ(r.lines, c.lines);
        EXPECT_EQ(waits().waits(), c.waits);
        EXPECT_EQ(fake().request_count(), c.requests);
        expect_no_secret(r.lines);
    }
}

TEST_F(InstagramApiTest, EachAttemptUsesItsOwnConnection) {
    for (int i = 0; i < 3; ++i) fake().enqueue(dropped(Drop::before_answer));
    fake().enqueue(FakeResponse::ok("{}"));
    const std::size_t before = fake().connections_accepted();
    EXPECT_EQ(fetch().body, "{}");
    auto requests = fake().requests();
    ASSERT_EQ(requests.size(), 4u);
    for (std::size_t i = 1; i < requests.size(); ++i) EXPECT_NE(requests[i].connection, requests[i - 1].connection);
    EXPECT_EQ(fake().connections_accepted() - before, 4u);
}

TEST_F(InstagramApiTest, RefusedConnectionsAreRetriedFiveTimes) {
    fake().stop_listening();
    Result r = fetch();
    fake().start_listening();
    Lines expected;
    for (int n = 1; n <= 5; ++n)
        expected.push_back(error("HTTP request error on attempt " + std::to_string(n) + ": " + refused_message()));
    expected.push_back(error("Max retries reached. Cannot recover from the error."));
    EXPECT_EQ(r.body, std::nullopt);
    EXPECT_EQ(r.lines, expected);
    EXPECT_EQ(waits().waits(), (std::vector<long long>{1, 2, 4, 8}));
}

TEST_F(InstagramApiTest, AnAddressThatCannotBeSentIsAnUnexpectedError) {
    Result r = fetch("17 89");
    EXPECT_EQ(r.body, std::nullopt);
    EXPECT_EQ(r.lines, (Lines{error("Unexpected error: the Graph API address is not a valid absolute URL")}));
    EXPECT_EQ(fake().request_count(), 0u);
}

TEST_F(InstagramApiTest, TheAccessTokenNeverReachesTheLog) {
    // A server (or proxy) that echoes the request in its error page.
    fake().set_handler([](const RecordedRequest& req) {
        return FakeResponse::with_status(400, "bad request: " + req.target + " token " + *req.param("access_token"));
    });
    Result r = fetch("1");
    ASSERT_EQ(r.lines.size(), 1u);
    expect_no_secret(r.lines);
    std::string target = fake().requests().at(0).target;
    const std::string encoded = "SECRET-tok%2Ben%2F1%3Dx%26y%20z";
    target.replace(target.find(encoded), encoded.size(), "[redacted]");
    EXPECT_EQ(r.lines[0].message, "Error 400: bad request: " + target + " token [redacted]");
}

TEST_F(InstagramApiTest, CancellationEndsTheRequestAndClosesItsConnection) {
    using namespace asio::experimental::awaitable_operators;
    fake().set_handler(
        [](const RecordedRequest&) { return std::move(FakeResponse::ok("late")).after(std::chrono::seconds(5)); });
    RecordingLogger logger;
    asio::io_context ioc;
    bool cancelled = false;
    auto start = std::chrono::steady_clock::now();
    asio::co_spawn(
        ioc,
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(100));
            auto r = co_await (api().fetch_instagram_data("1", kToken, kFields, logger) ||
                               timer.async_wait(asio::use_awaitable));
            cancelled = r.index() == 1;
        },
        asio::detached);
    ioc.run();
    EXPECT_TRUE(cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(logger.lines().empty());
    EXPECT_EQ(fake().request_count(), 1u);
    for (int i = 0; i < 200 && fake().connections_open() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(fake().connections_open(), 0u) << "the cancelled attempt's connection is closed";
}

TEST_F(InstagramApiTest, IndependentClientsInOneProcessKeepTheirOwnOptions) {
    // Two clients built beside the process-wide one, each with its own wait cap and its
    // own recorder of waits, answered the same rate-limit answer by the same fake.
    struct Client {
        std::chrono::seconds cap;
        RecordedWaits waits;
        std::unique_ptr<quillmere::graviel::InstagramAPI> api;
    };
    std::deque<Client> clients;
    for (auto cap : {std::chrono::seconds(5), std::chrono::seconds(30)}) {
        Client& c = clients.emplace_back(Client{cap, {}, nullptr});
        c.waits.set_scale(std::chrono::microseconds(10));
        quillmere::graviel::InstagramApiOptions options;
        options.max_rate_limit_wait = cap;
        options.sleep = c.waits.sleep_function();
        c.api = std::make_unique<quillmere::graviel::InstagramAPI>(fake().base_url(), "v20.0", options);
    }
    auto seen = std::make_shared<std::map<std::string, int>>();
    fake().set_handler([seen](const RecordedRequest& req) {
        return (*seen)[req.path]++ == 0 ? limited("1060", "1000") : FakeResponse::ok(req.path);
    });
    for (auto& c : clients) {
        RecordingLogger logger;
        EXPECT_EQ(run_awaitable(c.api->fetch_instagram_data("c" + std::to_string(c.cap.count()), kToken, "id", logger)),
                  "/v20.0/c" + std::to_string(c.cap.count()));
        EXPECT_EQ(c.waits.waits(), std::vector<long long>{c.cap.count()});
    }
    EXPECT_EQ(fetch("singleton").body, "/v19.0/singleton");
    EXPECT_EQ(waits().waits(), std::vector<long long>{60}) << "the process-wide client keeps its own options";
    EXPECT_EQ(&api(), quillmere::graviel::InstagramAPI::existing());
}

// Completion of many requests started together on one thread.
struct Flight {
    std::vector<std::optional<std::string>> bodies;
    std::vector<std::chrono::steady_clock::duration> done_after;
    std::deque<RecordingLogger> loggers;
    std::chrono::steady_clock::duration wall{};
};

Flight fly(quillmere::graviel::InstagramAPI& api, const std::vector<std::string>& endpoints) {
    Flight f;
    f.bodies.resize(endpoints.size());
    f.done_after.resize(endpoints.size());
    f.loggers.resize(endpoints.size());
    asio::io_context ioc(1);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        asio::co_spawn(
            ioc,
            [&, i]() -> asio::awaitable<void> {
                f.bodies[i] = co_await api.fetch_instagram_data(endpoints[i], kToken, "id", f.loggers[i]);
                f.done_after[i] = std::chrono::steady_clock::now() - start;
            },
            asio::detached);
    }
    ioc.run();
    f.wall = std::chrono::steady_clock::now() - start;
    return f;
}

TEST_F(InstagramApiTest, AThousandRequestsInFlightOnOneThreadEachWithItsOwnRetries) {
    constexpr int n = 1000;
    // Every request is answered after 200 ms; every tenth loses its first connection.
    auto seen = std::make_shared<std::map<std::string, int>>();
    fake().set_handler([seen](const RecordedRequest& req) {
        int attempt = ++(*seen)[req.path];
        std::string id = req.path.substr(req.path.rfind('/') + 1);
        FakeResponse r = FakeResponse::ok(R"({"id":")" + id + R"("})");
        if (std::stoi(id.substr(1)) % 10 == 0 && attempt == 1) r.drop = Drop::before_answer;
        return std::move(r).after(std::chrono::milliseconds(200));
    });
    waits().set_scale(std::chrono::milliseconds(1));
    std::vector<std::string> endpoints;
    for (int i = 0; i < n; ++i) endpoints.push_back("p" + std::to_string(i));

    Flight f = fly(api(), endpoints);

    EXPECT_LT(f.wall, kThousandRequestsBound) << "requests must wait concurrently, not one after another";
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(f.bodies[i], R"({"id":"p)" + std::to_string(i) + R"("})");
        const Lines expected = i % 10 == 0 ? Lines{error(numbered(kEndOfStream, 1))} : Lines{};
        EXPECT_EQ(f.loggers[i].lines(), expected) << i;
    }
    EXPECT_EQ(fake().request_count(), static_cast<std::size_t>(n + n / 10));
    EXPECT_EQ(waits().waits(), std::vector<long long>(n / 10, 1));
}

TEST_F(InstagramApiTest, ARateLimitedRequestDoesNotDelayTheOthers) {
    // The limited request asks for 20 s and really waits 20 * kScalePerSecond.
    waits().set_scale(kScalePerSecond);
    const auto limited_wait = 20 * kScalePerSecond;
    auto limited_once = std::make_shared<bool>(false);
    fake().set_handler([limited_once](const RecordedRequest& req) {
        if (req.path.ends_with("/limited") && !*limited_once) {
            *limited_once = true;
            return limited("1020", "1000");
        }
        return std::move(FakeResponse::ok("{}")).after(std::chrono::milliseconds(200));
    });
    std::vector<std::string> endpoints{"limited"};
    for (int i = 0; i < 200; ++i) endpoints.push_back("other" + std::to_string(i));

    Flight f = fly(api(), endpoints);

    EXPECT_EQ(waits().waits(), std::vector<long long>{20});
    EXPECT_EQ(f.loggers[0].lines(), (Lines{warning("Rate limit hit. Waiting for 20 seconds to reset.")}));
    EXPECT_GE(f.done_after[0], limited_wait);
    auto others_done = *std::max_element(f.done_after.begin() + 1, f.done_after.end());
    EXPECT_LT(others_done, limited_wait) << "the others finish during the limited one's wait";
    for (std::size_t i = 0; i < endpoints.size(); ++i) EXPECT_EQ(f.bodies[i], "{}");
}

}  // namespace
