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
#include <atomic>
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
FakeResponse interim(FakeResponse r, std::vector<unsigned> statuses) {
    for (unsigned status : statuses) r.interim.push_back({status, {{"X-Interim", "1"}}, ""});
    return r;
}
// With `size` bytes more of header fields (in fields of at most 4 KiB: the HTTP layer
// holds no longer field values).
FakeResponse with_header(FakeResponse r, std::size_t size) {
    for (std::size_t n = 0; n < size; n += 4096) {
        r.headers.emplace_back("X-Padding-" + std::to_string(n),
                               std::string(std::min<std::size_t>(size - n, 4096), 'p'));
    }
    return r;
}

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
         {warning("Rate limit hit. Waiting for 1700000000 seconds to reset."),
          warning("rate-limit wait capped at 900 seconds")},
         {900},
         2},
        {"wait at the cap is not capped",
         {limited("1900", "1000"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 900 seconds to reset.")},
         {900},
         2},
        {"extreme reset does not overflow",
         {limited("9223372036854775807", "-9223372036854775808"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 18446744073709551615 seconds to reset."),
          warning("rate-limit wait capped at 900 seconds")},
         {900},
         2},
        {"reset beyond 64 bits",
         {limited("1000000000000000000000000000000", "5"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 999999999999999999999999999995 seconds to reset."),
          warning("rate-limit wait capped at 900 seconds")},
         {900},
         2},
        {"timestamp beyond 64 bits",
         {limited("100", "+000100000000000000000000000000000"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for -99999999999999999999999999900 seconds to reset.")},
         {},
         2},
        {"leading zeros and signs",
         {limited("-0", "-0007"), limited("0012", "+0002"), FakeResponse::ok(ok)},
         ok,
         {warning("Rate limit hit. Waiting for 7 seconds to reset."),
          warning("Rate limit hit. Waiting for 10 seconds to reset.")},
         {7, 10},
         3},
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
        {"reset a sign alone",
         {limited("-")},
         std::nullopt,
         {error("Unexpected error: X-RateLimit-Reset header is not an integer: '-'")},
         {},
         1},
        {"interim answers are passed over",
         {interim(FakeResponse::ok(ok), {100}), interim(FakeResponse::ok(ok), {100, 102, 103})},
         ok,
         {},
         {},
         1},
        {"interim answers before a rate-limit answer",
         {interim(limited("3", "1"), {100}), interim(FakeResponse::ok(ok), {103})},
         ok,
         {warning("Rate limit hit. Waiting for 2 seconds to reset.")},
         {2},
         2},
        {"header block past the default limit of the HTTP layer",
         {with_header(FakeResponse::ok(ok), 16 << 10)},
         ok,
         {},
         {},
         1},
        {"header block over the limit is not retried",
         {with_header(FakeResponse::ok(ok), 65 << 10), FakeResponse::ok(ok)},
         std::nullopt,
         {error("Unexpected error: the response header block is larger than the limit of 65536 bytes")},
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

TEST_F(InstagramApiTest, ABodyPastTheDefaultLimitOfTheHttpLayerIsRead) {
    // 9 MiB: more than the HTTP layer's own default of 8 MiB, less than the client's.
    const std::string big = "\"" + std::string(9 << 20, 'b') + "\"";
    fake().enqueue(FakeResponse::ok(big));
    Result r = fetch();
    EXPECT_TRUE(r.body == big) << (r.body ? r.body->size() : 0);
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(fake().request_count(), 1u);
}

TEST_F(InstagramApiTest, AnAnswerOverTheSizeLimitsEndsTheRequestAtOnce) {
    quillmere::graviel::InstagramApiOptions options;
    options.max_body_bytes = 1000;
    options.max_header_bytes = 2000;
    options.sleep = waits().sleep_function();
    quillmere::graviel::InstagramAPI small(fake().base_url(), kApiVersion, options);
    const std::string body_error = "Unexpected error: the response body is larger than the limit of 1000 bytes";
    const std::string header_error =
        "Unexpected error: the response header block is larger than the limit of 2000 bytes";
    auto chunked = [](FakeResponse r) {
        r.chunked = true;
        return r;
    };
    struct Case {
        const char* name;
        FakeResponse answer;
        std::optional<std::string> body;
        Lines lines;
    };
    const Case cases[] = {
        {"body at the limit", FakeResponse::ok(std::string(1000, 'a')), std::string(1000, 'a'), {}},
        {"body over the limit", FakeResponse::ok(std::string(1001, 'a')), std::nullopt, {error(body_error)}},
        {"chunked body at the limit", chunked(FakeResponse::ok(std::string(1000, 'c'))), std::string(1000, 'c'), {}},
        {"chunked body over the limit",
         chunked(FakeResponse::ok(std::string(1001, 'c'))),
         std::nullopt,
         {error(body_error)}},
        {"error body over the limit", status(500, std::string(5000, 'e')), std::nullopt, {error(body_error)}},
        {"header block over the limit", with_header(FakeResponse::ok("{}"), 2000), std::nullopt, {error(header_error)}},
        // Each "HTTP/1.1 100 Continue" head is 25 bytes: 80 of them fill the budget.
        {"interim answers over the limit",
         interim(FakeResponse::ok("{}"), std::vector<unsigned>(80, 100)),
         std::nullopt,
         {error(header_error)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake().reset();
        waits().clear();
        FakeResponse answer = c.answer;
        for (auto& i : answer.interim) i.headers.clear();
        fake().enqueue(answer);
        fake().enqueue(FakeResponse::ok("a retry"));
        RecordingLogger logger;
        EXPECT_EQ(run_awaitable(small.fetch_instagram_data("1", kToken, "id", logger)), c.body);
        EXPECT_EQ(logger.lines(), c.lines);
        EXPECT_EQ(fake().request_count(), 1u) << "no retry";
        EXPECT_TRUE(waits().waits().empty());
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

// A client of its own beside the process-wide one, on the same fake and wait recorder.
std::unique_ptr<quillmere::graviel::InstagramAPI> client_with(FakeGraphApi& fake, RecordedWaits& waits,
                                                              quillmere::graviel::InstagramApiOptions options) {
    options.sleep = waits.sleep_function();
    return std::make_unique<quillmere::graviel::InstagramAPI>(fake.base_url(), kApiVersion, options);
}

TEST_F(InstagramApiTest, ARequestDeadlineCoversEveryAttemptAndWait) {
    using namespace std::chrono_literals;
    auto deadline_line = [](int ms) {
        return error("Request deadline of " + std::to_string(ms) + " ms reached. Giving up.");
    };
    struct Case {
        const char* name;
        std::chrono::milliseconds deadline;
        std::vector<FakeResponse> answers;
        std::optional<std::string> body;
        Lines lines;
        std::vector<long long> waits;
        std::size_t requests;
    };
    const std::vector<Case> cases = {
        {"answered in time", 5000ms, {FakeResponse::ok("{}")}, "{}", {}, {}, 1},
        // Back-off of 1 and 2 s fit in 2.5 s; the next one (4 s) would end past it.
        {"back-off past the deadline is not started",
         2500ms,
         std::vector<FakeResponse>(5, dropped(Drop::before_answer)),
         std::nullopt,
         {error(numbered(kEndOfStream, 1)), error(numbered(kEndOfStream, 2)), error(numbered(kEndOfStream, 3)),
          deadline_line(2500)},
         {1, 2},
         3},
        {"rate-limit wait past the deadline is not started",
         5000ms,
         {limited("1010", "1000"), FakeResponse::ok("{}")},
         std::nullopt,
         {warning("Rate limit hit. Waiting for 10 seconds to reset."), deadline_line(5000)},
         {},
         1},
        {"rate-limit wait within the deadline",
         5000ms,
         {limited("1003", "1000"), FakeResponse::ok("{}")},
         "{}",
         {warning("Rate limit hit. Waiting for 3 seconds to reset.")},
         {3},
         2},
        {"an answer later than the deadline",
         300ms,
         {std::move(FakeResponse::ok("late")).after(10s), FakeResponse::ok("{}")},
         std::nullopt,
         {deadline_line(300)},
         {},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake().reset();
        waits().clear();
        for (const auto& a : c.answers) fake().enqueue(a);
        quillmere::graviel::InstagramApiOptions options;
        options.request_deadline = c.deadline;
        auto client = client_with(fake(), waits(), options);
        RecordingLogger logger;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run_awaitable(client->fetch_instagram_data("1", kToken, "id", logger)), c.body);
        // Ended by the deadline, not by the 30 s exchange time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(logger.lines(), c.lines);
        EXPECT_EQ(waits().waits(), c.waits);
        EXPECT_EQ(fake().request_count(), c.requests);
    }
}

// Runs `per_thread` requests on each of `threads` threads, each thread with an event loop
// of its own and all requests of a thread started at once.
std::vector<std::optional<std::string>> fly_on_threads(quillmere::graviel::InstagramAPI& client, int threads,
                                                       int per_thread) {
    std::vector<std::optional<std::string>> bodies(static_cast<std::size_t>(threads * per_thread));
    std::deque<RecordingLogger> loggers(bodies.size());
    std::vector<std::thread> runners;
    for (int t = 0; t < threads; ++t) {
        runners.emplace_back([&, t] {
            asio::io_context ioc(1);
            for (int i = 0; i < per_thread; ++i) {
                const std::size_t n = static_cast<std::size_t>(t * per_thread + i);
                asio::co_spawn(
                    ioc,
                    [&, n]() -> asio::awaitable<void> {
                        bodies[n] =
                            co_await client.fetch_instagram_data("b" + std::to_string(n), kToken, "id", loggers[n]);
                    },
                    asio::detached);
            }
            ioc.run();
        });
    }
    for (auto& r : runners) r.join();
    for (const auto& l : loggers) EXPECT_TRUE(l.lines().empty()) << l.lines().front().message;
    return bodies;
}

TEST_F(InstagramApiTest, BoundedConnectionsAreNeverExceeded) {
    struct Case {
        const char* name;
        std::size_t bound;
        int threads;
        int per_thread;
    };
    const Case cases[] = {
        {"2,000 requests on one event loop", 16, 1, 2000},
        {"one bound shared by four event loops", 8, 4, 250},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake().reset();
        fake().set_handler([](const RecordedRequest& req) {
            FakeResponse r = std::move(FakeResponse::ok(req.path)).after(std::chrono::milliseconds(2));
            r.headers.emplace_back("X-App-Usage", R"({"call_count":)" + std::to_string(req.path.size()) + "}");
            return r;
        });
        quillmere::graviel::InstagramApiOptions options;
        options.max_connections = c.bound;
        auto client = client_with(fake(), waits(), options);
        // The figures are read from another thread while the requests run.
        std::atomic<bool> done{false};
        std::uint64_t last_seen = 0;
        std::thread reader([&] {
            for (int i = 0; i < 1'000'000 && !done; ++i) {
                const auto u = client->usage();
                EXPECT_GE(u.answers_read, last_seen);
                last_seen = u.answers_read;
                std::this_thread::yield();
            }
        });
        auto bodies = fly_on_threads(*client, c.threads, c.per_thread);
        done = true;
        reader.join();
        EXPECT_EQ(client->usage().answers_read, bodies.size());
        for (std::size_t n = 0; n < bodies.size(); ++n) {
            ASSERT_EQ(bodies[n], "/" + std::string(kApiVersion) + "/b" + std::to_string(n)) << n;
        }
        EXPECT_EQ(fake().request_count(), bodies.size());
        EXPECT_LE(fake().connections_open_peak(), c.bound);
        EXPECT_GE(fake().connections_open_peak(), c.bound / 2) << "the bound is used, not one at a time";
    }
}

TEST_F(InstagramApiTest, AWaitForAConnectionEndsWithCancellationOrTheDeadline) {
    using namespace std::chrono_literals;
    using namespace asio::experimental::awaitable_operators;
    quillmere::graviel::InstagramApiOptions options;
    options.max_connections = 1;
    // The wait for a turn is made one way without a request deadline and another way
    // with one: both end on cancellation without taking a turn with them.
    for (auto deadline : {0ms, 2000ms}) {
        SCOPED_TRACE(deadline.count());
        fake().reset();
        fake().set_handler([](const RecordedRequest& req) {
            return std::move(FakeResponse::ok(req.path)).after(req.path.ends_with("/slow") ? 400ms : 0ms);
        });
        options.request_deadline = deadline;
        auto client = client_with(fake(), waits(), options);
        // A second client has a bound of its own: it is not held up by the first one's.
        auto other = client_with(fake(), waits(), options);

        RecordingLogger slow_log, cancelled_log, next_log, other_log;
        std::optional<std::string> slow, next, from_other;
        bool cancelled = false;
        asio::io_context ioc(1);
        auto spawn = [&](auto f) { asio::co_spawn(ioc, f, asio::detached); };
        spawn([&]() -> asio::awaitable<void> {
            slow = co_await client->fetch_instagram_data("slow", kToken, "id", slow_log);
        });
        spawn([&]() -> asio::awaitable<void> {
            // Waits behind "slow" and is cancelled meanwhile.
            asio::steady_timer timer(co_await asio::this_coro::executor, 50ms);
            auto r = co_await (client->fetch_instagram_data("cancelled", kToken, "id", cancelled_log) ||
                               timer.async_wait(asio::use_awaitable));
            cancelled = r.index() == 1;
            // Then one more request: it gets the connection once "slow" is done, so the
            // cancelled wait took nothing with it.
            next = co_await client->fetch_instagram_data("next", kToken, "id", next_log);
        });
        spawn([&]() -> asio::awaitable<void> {
            from_other = co_await other->fetch_instagram_data("other", kToken, "id", other_log);
        });
        ioc.run();

        EXPECT_EQ(slow, "/v19.0/slow");
        EXPECT_TRUE(cancelled);
        EXPECT_TRUE(cancelled_log.lines().empty());
        EXPECT_EQ(next, "/v19.0/next");
        EXPECT_EQ(from_other, "/v19.0/other");
        for (const auto* log : {&slow_log, &next_log, &other_log}) EXPECT_TRUE(log->lines().empty());
        std::vector<std::string> paths;
        for (const auto& r : fake().requests()) paths.push_back(r.path);
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths, (std::vector<std::string>{"/v19.0/next", "/v19.0/other", "/v19.0/slow"}));
    }

    // A request whose deadline passes while it waits for the connection: "waits" loses
    // its first connection at once and backs off (1 s, 150 ms of real time); meanwhile
    // "holds", started 100 ms later, takes the connection and is answered only after
    // both deadlines (1.5 s after each request's start).
    fake().reset();
    waits().set_scale(150ms);
    fake().enqueue(dropped(Drop::before_answer));
    fake().enqueue(std::move(FakeResponse::ok("late")).after(3s));
    quillmere::graviel::InstagramApiOptions queued = options;
    queued.request_deadline = 1500ms;
    auto third = client_with(fake(), waits(), queued);
    RecordingLogger waits_log, holds_log;
    std::optional<std::string> waited = "unset", held = "unset";
    std::chrono::steady_clock::duration waits_done{}, holds_done{};
    asio::io_context again(1);
    const auto start = std::chrono::steady_clock::now();
    asio::co_spawn(
        again,
        [&]() -> asio::awaitable<void> {
            waited = co_await third->fetch_instagram_data("waits", kToken, "id", waits_log);
            waits_done = std::chrono::steady_clock::now() - start;
        },
        asio::detached);
    asio::co_spawn(
        again,
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(co_await asio::this_coro::executor, 100ms);
            co_await timer.async_wait(asio::use_awaitable);
            held = co_await third->fetch_instagram_data("holds", kToken, "id", holds_log);
            holds_done = std::chrono::steady_clock::now() - start;
        },
        asio::detached);
    again.run();
    const LogLine deadline = error("Request deadline of 1500 ms reached. Giving up.");
    EXPECT_EQ(waited, std::nullopt);
    EXPECT_EQ(waits_log.lines(), (Lines{error(numbered(kEndOfStream, 1)), deadline}));
    EXPECT_EQ(held, std::nullopt);
    EXPECT_EQ(holds_log.lines(), (Lines{deadline}));
    EXPECT_LT(waits_done, holds_done) << "the waiting request gave up before the holder let go";
    EXPECT_EQ(waits().waits(), std::vector<long long>{1});
    std::vector<std::string> seen;
    for (const auto& r : fake().requests()) seen.push_back(r.path);
    EXPECT_EQ(seen, (std::vector<std::string>{"/v19.0/waits", "/v19.0/holds"}))
        << "the waiting request never connected again";
}

TEST_F(InstagramApiTest, UsageFiguresAreReadFromEveryAnswer) {
    using quillmere::graviel::AppUsage;
    using quillmere::graviel::BusinessUsageMap;
    using quillmere::graviel::GraphApiUsage;
    auto with = [](FakeResponse r, Fields headers) {
        for (auto& h : headers) r.headers.push_back(std::move(h));
        return r;
    };
    const std::string business_ab =
        R"({"17841":[{"type":"instagram","call_count":40,"total_cputime":5,"total_time":6,)"
        R"("estimated_time_to_regain_access":0}],"2020":[{"type":"pages","call_count":100,"total_cputime":1,)"
        R"("total_time":2,"estimated_time_to_regain_access":12}]})";
    const std::string business_a = R"({"17841":[{"type":"instagram","call_count":95,"total_cputime":7,"total_time":8,)"
                                   R"("estimated_time_to_regain_access":3}]})";
    const BusinessUsageMap ab = {{"17841", {{"instagram", 40, 5, 6, 0}}}, {"2020", {{"pages", 100, 1, 2, 12}}}};
    const BusinessUsageMap a_then_b = {{"17841", {{"instagram", 95, 7, 8, 3}}}, {"2020", {{"pages", 100, 1, 2, 12}}}};
    struct Step {
        const char* name;
        std::vector<FakeResponse> answers;
        std::optional<std::string> body;
        Lines lines;
        std::optional<AppUsage> app;
        BusinessUsageMap businesses;
        std::uint64_t answers_read;
    };
    const std::vector<Step> steps = {
        {"app figures of a 200",
         {with(FakeResponse::ok("{}"), {{"X-App-Usage", R"({"call_count":10,"total_cputime":4,"total_time":9})"}})},
         "{}",
         {},
         AppUsage{10, 4, 9},
         {},
         1},
        {"business figures of a rate-limit answer",
         {with(limited("1", "0"), {{"X-Business-Use-Case-Usage", business_ab}}), FakeResponse::ok("{}")},
         "{}",
         {warning("Rate limit hit. Waiting for 1 seconds to reset.")},
         AppUsage{10, 4, 9},
         ab,
         2},
        {"an error answer updates the business it names and keeps the others",
         {with(status(500, "boom"), {{"x-business-use-case-usage", business_a},
                                     {"x-app-usage", R"({"call_count":"11","total_time":9.7})"}})},
         std::nullopt,
         {error("Error 500: boom")},
         AppUsage{11, 0, 9},
         a_then_b,
         3},
        {"unreadable headers change nothing and fail nothing",
         {with(FakeResponse::ok("[]"),
               {{"X-App-Usage", "call_count=99"}, {"X-Business-Use-Case-Usage", R"([{"17841":[]}])"}})},
         "[]",
         {},
         AppUsage{11, 0, 9},
         a_then_b,
         3},
    };

    std::vector<GraphApiUsage> observed;
    quillmere::graviel::InstagramApiOptions options;
    options.on_usage = [&observed](const GraphApiUsage& u) {
        observed.push_back(u);
        if (observed.size() == 2) throw std::runtime_error("an observer that fails");
    };
    auto client = client_with(fake(), waits(), options);
    EXPECT_FALSE(client->usage().app);
    EXPECT_EQ(client->usage().answers_read, 0u);
    const auto before = std::chrono::system_clock::now();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        fake().reset();
        for (const auto& a : step.answers) fake().enqueue(a);
        RecordingLogger logger;
        EXPECT_EQ(run_awaitable(client->fetch_instagram_data("1", kToken, "id", logger)), step.body);
        EXPECT_EQ(logger.lines(), step.lines);
        const GraphApiUsage u = client->usage();
        EXPECT_EQ(u.app, step.app);
        EXPECT_EQ(u.businesses, step.businesses);
        EXPECT_EQ(u.answers_read, step.answers_read);
        EXPECT_GE(u.app_updated, before);
        for (const auto& [id, entries] : u.businesses) EXPECT_GE(u.business_updated.at(id), before) << id;
        ASSERT_EQ(observed.size(), step.answers_read) << "one call per answer read";
        EXPECT_EQ(observed.back().businesses, u.businesses);
        EXPECT_EQ(observed.back().app, u.app);
    }
    EXPECT_FALSE(api().usage().app) << "each client keeps its own figures";
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
