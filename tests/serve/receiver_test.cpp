// The receiver over real HTTP on loopback, in this process, against a queue held in memory:
// the handshake, signatures, the body limit, the queue failing, redeliveries, time-outs,
// the connection bound, keep-alive, metrics, TLS and shutdown with requests in flight.

#include "host/signature.hpp"
#include "http_client.hpp"
#include "receiver_fixture.hpp"
#include "support/process.hpp"
#include "support/prometheus_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;
namespace http = boost::beast::http;

const std::string delivery = R"({"object":"instagram","entry":[{"id":"17841400000000000","time":1714557600,)"
                             R"("changes":[{"field":"comments","value":{"id":"1790000000000001","text":"hi"}}]}]})";

int status_of(const std::optional<HttpResponse>& response) { return response ? response->result_int() : -1; }

TEST(Receiver, HandshakeTable) {
    RunningReceiver service;
    struct Case {
        const char* name;
        std::string query;
        int status;
        std::string body;  // expected body for 200
    };
    const Case cases[] = {
        {"right", "hub.mode=subscribe&hub.verify_token=test-verify-token&hub.challenge=1158201444", 200, "1158201444"},
        {"order does not matter", "hub.challenge=abc&hub.verify_token=test-verify-token&hub.mode=subscribe", 200,
         "abc"},
        {"challenge decoded", "hub.mode=subscribe&hub.verify_token=test-verify-token&hub.challenge=a%20b+c%26", 200,
         "a b c&"},
        {"token percent-encoded", "hub.mode=subscribe&hub.verify_token=test%2Dverify%2Dtoken&hub.challenge=x", 200,
         "x"},
        {"wrong token", "hub.mode=subscribe&hub.verify_token=wrong&hub.challenge=x", 403, ""},
        {"token one short", "hub.mode=subscribe&hub.verify_token=test-verify-toke&hub.challenge=x", 403, ""},
        {"token one long", "hub.mode=subscribe&hub.verify_token=test-verify-tokenn&hub.challenge=x", 403, ""},
        {"token case", "hub.mode=subscribe&hub.verify_token=TEST-VERIFY-TOKEN&hub.challenge=x", 403, ""},
        {"empty token", "hub.mode=subscribe&hub.verify_token=&hub.challenge=x", 403, ""},
        {"no token", "hub.mode=subscribe&hub.challenge=x", 403, ""},
        {"token twice", "hub.mode=subscribe&hub.verify_token=wrong&hub.verify_token=test-verify-token&hub.challenge=x",
         403, ""},
        {"other mode", "hub.mode=unsubscribe&hub.verify_token=test-verify-token&hub.challenge=x", 403, ""},
        {"no mode", "hub.verify_token=test-verify-token&hub.challenge=x", 403, ""},
        {"no challenge", "hub.mode=subscribe&hub.verify_token=test-verify-token", 403, ""},
        {"no query", "", 403, ""},
    };
    HttpTestClient client(service.port());
    for (const auto& c : cases) {
        std::string target = "/webhook" + (c.query.empty() ? "" : "?" + c.query);
        auto response = client.exchange(raw_request("GET", target));
        ASSERT_TRUE(response) << c.name;
        EXPECT_EQ(response->result_int(), c.status) << c.name;
        if (c.status == 200) {
            EXPECT_EQ(response->body(), c.body) << c.name;
            EXPECT_EQ((*response)[http::field::content_type], "text/plain") << c.name;
        } else {
            EXPECT_EQ(response->body().find("test-verify-token"), std::string::npos) << c.name;
        }
    }
    auto scrape = parse_prometheus_text(service.metrics.text());
    EXPECT_EQ(scrape.value("quillmere_verifications_total{outcome=\"accepted\"}"), 4);
    EXPECT_EQ(scrape.value("quillmere_verifications_total{outcome=\"refused\"}"), 11);
    EXPECT_TRUE(service.queue.stored().empty());
}

TEST(Receiver, SignatureTable) {
    RunningReceiver service;
    const std::string right = meta_signature(delivery, test_app_secret);
    std::string wrong_hex = right;
    wrong_hex[10] = wrong_hex[10] == 'a' ? 'b' : 'a';
    std::string changed = delivery;
    changed[changed.size() - 3] = 'X';
    struct Case {
        const char* name;
        std::optional<std::string> header;
        std::string body;
        int status;
    };
    const Case cases[] = {
        {"missing", std::nullopt, delivery, 401},
        {"empty", "", delivery, 401},
        {"wrong prefix", "sha1=" + right.substr(7), delivery, 401},
        {"no prefix", right.substr(7), delivery, 401},
        {"not hex", right.substr(0, right.size() - 2) + "zz", delivery, 401},
        {"hex cut short", right.substr(0, right.size() - 2), delivery, 401},
        {"wrong hex", wrong_hex, delivery, 401},
        {"other secret", meta_signature(delivery, "another-secret"), delivery, 401},
        {"body changed by one byte", right, changed, 401},
        {"body one byte shorter", right, delivery.substr(0, delivery.size() - 1), 401},
        {"right", right, delivery, 200},
    };
    HttpTestClient client(service.port());
    for (const auto& c : cases) {
        std::multimap<std::string, std::string> headers;
        if (c.header) headers.emplace("X-Hub-Signature-256", *c.header);
        auto response = client.exchange(raw_request("POST", "/webhook", c.body, headers));
        EXPECT_EQ(status_of(response), c.status) << c.name;
        // Nothing reaches the queue before the signature is right.
        EXPECT_EQ(service.queue.stored().size(), c.status == 200 ? 1u : 0u) << c.name;
    }
    auto stored = service.queue.stored();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].body, delivery);
    EXPECT_EQ(stored[0].digest, host::hex_sha256(delivery));

    auto scrape = parse_prometheus_text(service.metrics.text());
    EXPECT_EQ(scrape.value("quillmere_deliveries_received_total"), 11);
    EXPECT_EQ(scrape.value("quillmere_deliveries_rejected_total{reason=\"missing_signature\"}"), 2);
    EXPECT_EQ(scrape.value("quillmere_deliveries_rejected_total{reason=\"malformed_signature\"}"), 4);
    EXPECT_EQ(scrape.value("quillmere_deliveries_rejected_total{reason=\"wrong_signature\"}"), 4);
    EXPECT_EQ(scrape.value("quillmere_deliveries_enqueued_total"), 1);
}

TEST(Receiver, TwoSignatureHeadersAreRefused) {
    RunningReceiver service;
    const std::string right = meta_signature(delivery, test_app_secret);
    auto response = http_exchange(
        service.port(),
        raw_request("POST", "/webhook", delivery, {{"X-Hub-Signature-256", right}, {"X-Hub-Signature-256", right}}));
    EXPECT_EQ(status_of(response), 401);
    EXPECT_TRUE(service.queue.stored().empty());
}

TEST(Receiver, BodyLimit) {
    auto config = test_webhook_config();
    config.max_body = 64 * 1024;
    RunningReceiver service(config);
    const std::string at_limit(config.max_body, 'a');

    // At the limit: taken.
    EXPECT_EQ(status_of(http_exchange(service.port(), signed_post("/webhook", at_limit, test_app_secret))), 200);
    ASSERT_EQ(service.queue.stored().size(), 1u);
    EXPECT_EQ(service.queue.stored()[0].body.size(), config.max_body);

    // One byte beyond, announced: refused from the header alone, the body never awaited,
    // the connection closed.
    {
        HttpTestClient client(service.port());
        std::string beyond = at_limit + "a";
        std::string request = signed_post("/webhook", beyond, test_app_secret);
        std::string header = request.substr(0, request.size() - beyond.size());
        ASSERT_TRUE(client.send(header));
        auto response = client.read_response();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->result_int(), 413);
        EXPECT_FALSE(response->keep_alive());
        EXPECT_TRUE(client.closed_within(5s));
    }
    // Chunked, one byte beyond: refused once the count passes the limit.
    {
        HttpTestClient client(service.port());
        std::string beyond = at_limit + "a";
        std::string request =
            "POST /webhook HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
            "X-Hub-Signature-256: " +
            meta_signature(beyond, test_app_secret) + "\r\n\r\n";
        ASSERT_TRUE(client.send(request));
        // Two chunks: the second passes the limit.
        std::string half = std::string(config.max_body / 2, 'a');
        char size_line[32];
        std::snprintf(size_line, sizeof size_line, "%zx\r\n", half.size());
        ASSERT_TRUE(client.send(size_line + half + "\r\n"));
        std::snprintf(size_line, sizeof size_line, "%zx\r\n", half.size() + 1);
        client.send(size_line + half + "a\r\n");
        auto response = client.read_response();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->result_int(), 413);
    }
    // Expect: 100-continue beyond the limit: refused without asking for the body.
    {
        HttpTestClient client(service.port());
        ASSERT_TRUE(client.send("POST /webhook HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: " +
                                std::to_string(config.max_body + 1) + "\r\n\r\n"));
        auto response = client.read_response();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->result_int(), 413);
    }
    // Expect: 100-continue at the limit: asked for, then taken.
    {
        std::string other(config.max_body, 'b');
        HttpTestClient client(service.port());
        ASSERT_TRUE(client.send("POST /webhook HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: " +
                                std::to_string(other.size()) +
                                "\r\nX-Hub-Signature-256: " + meta_signature(other, test_app_secret) + "\r\n\r\n"));
        std::string interim = client.read_raw(10s, "\r\n\r\n");
        EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
        ASSERT_TRUE(client.send(other));
        EXPECT_EQ(status_of(client.read_response()), 200);
    }
    EXPECT_EQ(service.queue.stored().size(), 2u);
    auto scrape = parse_prometheus_text(service.metrics.text());
    EXPECT_EQ(scrape.value("quillmere_deliveries_rejected_total{reason=\"too_large\"}"), 3);
}

TEST(Receiver, DefaultLimitIsTwoMebibytes) {
    RunningReceiver service;
    const std::string at_limit(2 * 1024 * 1024, 'x');
    EXPECT_EQ(status_of(http_exchange(service.port(), signed_post("/webhook", at_limit, test_app_secret))), 200);
    HttpTestClient client(service.port());
    ASSERT_TRUE(client.send("POST /webhook HTTP/1.1\r\nHost: x\r\nContent-Length: 2097153\r\n\r\n"));
    EXPECT_EQ(status_of(client.read_response()), 413);
    EXPECT_EQ(service.queue.stored().size(), 1u);
}

TEST(Receiver, QueueUnavailableAnswers503AndStoresNothing) {
    RunningReceiver service;
    service.queue.fail(true);
    HttpTestClient client(service.port());
    auto response = client.exchange(signed_post("/webhook", delivery, test_app_secret));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->result_int(), 503);
    EXPECT_FALSE((*response)[http::field::retry_after].empty());
    EXPECT_EQ(status_of(client.exchange(raw_request("GET", "/readyz"))), 503);
    EXPECT_EQ(status_of(client.exchange(raw_request("GET", "/healthz"))), 200);
    EXPECT_TRUE(service.queue.stored().empty());

    // Meta delivers it again once the queue is back.
    service.queue.fail(false);
    EXPECT_EQ(status_of(client.exchange(raw_request("GET", "/readyz"))), 200);
    EXPECT_EQ(status_of(client.exchange(signed_post("/webhook", delivery, test_app_secret))), 200);
    EXPECT_EQ(service.queue.stored().size(), 1u);
    auto scrape = parse_prometheus_text(service.metrics.text());
    EXPECT_EQ(scrape.value("quillmere_deliveries_rejected_total{reason=\"queue_unavailable\"}"), 1);
    EXPECT_EQ(scrape.value("quillmere_deliveries_enqueued_total"), 1);
}

TEST(Receiver, RedeliveryIsAnswered200AndStoredOnce) {
    RunningReceiver service;
    HttpTestClient client(service.port());
    EXPECT_EQ(status_of(client.exchange(signed_post("/webhook", delivery, test_app_secret))), 200);
    EXPECT_EQ(status_of(client.exchange(signed_post("/webhook", delivery, test_app_secret))), 200);
    EXPECT_EQ(status_of(client.exchange(signed_post("/webhook", delivery + " ", test_app_secret))), 200);
    auto stored = service.queue.stored();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].body, delivery);
    EXPECT_EQ(stored[1].body, delivery + " ");
    auto scrape = parse_prometheus_text(service.metrics.text());
    EXPECT_EQ(scrape.value("quillmere_deliveries_duplicate_total"), 1);
    EXPECT_EQ(scrape.value("quillmere_deliveries_enqueued_total"), 2);
}

TEST(Receiver, RoutesAndMethods) {
    RunningReceiver service;
    struct Case {
        std::string request;
        int status;
        std::string allow;
    };
    const Case cases[] = {
        {raw_request("GET", "/healthz"), 200, ""},
        {raw_request("GET", "/readyz"), 200, ""},
        {raw_request("GET", "/metrics"), 200, ""},
        {raw_request("GET", "/nowhere"), 404, ""},
        {raw_request("POST", "/webhook/extra", delivery), 404, ""},
        {raw_request("PUT", "/webhook", delivery), 405, "GET, POST"},
        {raw_request("DELETE", "/webhook"), 405, "GET, POST"},
        {raw_request("POST", "/healthz", "x"), 405, "GET"},
        {raw_request("POST", "/metrics", "x"), 405, "GET"},
        {"GET http://127.0.0.1/webhook HTTP/1.1\r\nHost: x\r\n\r\n", 400, ""},
    };
    for (const auto& c : cases) {
        auto response = http_exchange(service.port(), c.request);
        ASSERT_TRUE(response) << c.request;
        EXPECT_EQ(response->result_int(), c.status) << c.request;
        EXPECT_EQ((*response)[http::field::allow], c.allow) << c.request;
    }
}

TEST(Receiver, MalformedRequestsAreRefusedAndTheConnectionClosed) {
    RunningReceiver service;
    struct Case {
        const char* name;
        std::string bytes;
        int status;
    };
    const Case cases[] = {
        {"not HTTP", "HELLO THERE\r\n\r\n", 400},
        {"bad content length", "POST /webhook HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"header too large", "GET /healthz HTTP/1.1\r\nX-Filler: " + std::string(20000, 'f') + "\r\n\r\n", 431},
    };
    for (const auto& c : cases) {
        HttpTestClient client(service.port());
        ASSERT_TRUE(client.send(c.bytes)) << c.name;
        EXPECT_EQ(status_of(client.read_response()), c.status) << c.name;
        EXPECT_TRUE(client.closed_within(5s)) << c.name;
    }
}

TEST(Receiver, KeepAliveServesManyRequestsOnOneConnection) {
    RunningReceiver service;
    HttpTestClient client(service.port());
    for (int i = 0; i < 5; ++i) {
        auto response = client.exchange(signed_post("/webhook", delivery + std::string(i, ' '), test_app_secret));
        ASSERT_TRUE(response) << i;
        EXPECT_EQ(response->result_int(), 200);
        EXPECT_TRUE(response->keep_alive());
    }
    // Pipelined: both answered, in order.
    ASSERT_TRUE(client.send(raw_request("GET", "/healthz") + raw_request("GET", "/nowhere")));
    EXPECT_EQ(status_of(client.read_response()), 200);
    EXPECT_EQ(status_of(client.read_response()), 404);
    // Connection: close is honoured.
    auto last = client.exchange(raw_request("GET", "/healthz", {}, {}, false));
    ASSERT_TRUE(last);
    EXPECT_FALSE(last->keep_alive());
    EXPECT_TRUE(client.closed_within(5s));
    EXPECT_EQ(service.queue.stored().size(), 5u);
}

TEST(Receiver, TimeOutsCloseStalledAndIdleConnections) {
    auto config = test_webhook_config();
    config.read_timeout = 300ms;
    config.idle_timeout = 600ms;
    RunningReceiver service(config);
    struct Case {
        const char* name;
        std::string sent;
    };
    const Case cases[] = {
        {"half a header", "POST /webhook HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le"},
        {"header, half a body", "POST /webhook HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"object\":"},
        {"nothing at all", ""},
    };
    for (const auto& c : cases) {
        HttpTestClient client(service.port());
        if (!c.sent.empty()) {
            ASSERT_TRUE(client.send(c.sent));
        }
        EXPECT_TRUE(client.closed_within(10s)) << c.name;
    }
    // Idle between requests: served, then closed after the idle time-out.
    HttpTestClient client(service.port());
    EXPECT_EQ(status_of(client.exchange(raw_request("GET", "/healthz"))), 200);
    EXPECT_TRUE(client.closed_within(10s));
    EXPECT_TRUE(service.queue.stored().empty());
}

TEST(Receiver, ConnectionBoundDelaysAcceptsUntilOneCloses) {
    auto config = test_webhook_config();
    config.max_connections = 2;
    RunningReceiver service(config);
    auto a = std::make_unique<HttpTestClient>(service.port());
    HttpTestClient b(service.port());
    ASSERT_EQ(status_of(a->exchange(raw_request("GET", "/healthz"))), 200);
    ASSERT_EQ(status_of(b.exchange(raw_request("GET", "/healthz"))), 200);
    EXPECT_EQ(service.connections(), 2u);

    // The third waits in the backlog: connected by the kernel, not served.
    HttpTestClient c(service.port());
    ASSERT_TRUE(c.send(raw_request("GET", "/healthz")));
    EXPECT_FALSE(c.read_response(500ms));
    EXPECT_EQ(service.connections(), 2u);

    // One closes: the third is accepted and answered.
    a.reset();
    EXPECT_EQ(status_of(c.read_response(10s)), 200);
    EXPECT_EQ(status_of(b.exchange(raw_request("GET", "/healthz"))), 200);
}

TEST(Receiver, EnqueueRunsOffTheLoop) {
    RunningReceiver service;
    service.queue.hold();
    HttpTestClient poster(service.port());
    ASSERT_TRUE(poster.send(signed_post("/webhook", delivery, test_app_secret)));
    ASSERT_TRUE(service.queue.wait_for_calls(1, 10s));
    // While the queue holds the enqueue, the loop serves others.
    EXPECT_EQ(status_of(http_exchange(service.port(), raw_request("GET", "/healthz"))), 200);
    EXPECT_FALSE(poster.read_response(200ms));  // no 200 before the queue has it
    service.queue.release();
    EXPECT_EQ(status_of(poster.read_response()), 200);
    EXPECT_EQ(service.queue.stored().size(), 1u);
}

TEST(Receiver, MetricsEndpointParsesAndCounts) {
    RunningReceiver service;
    HttpTestClient client(service.port());
    client.exchange(signed_post("/webhook", delivery, test_app_secret));
    client.exchange(signed_post("/webhook", delivery, test_app_secret));
    client.exchange(signed_post("/webhook", delivery, "wrong-secret"));
    client.exchange(raw_request("POST", "/webhook", delivery));
    client.exchange(raw_request("GET", "/nowhere"));
    auto response = client.exchange(raw_request("GET", "/metrics"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->result_int(), 200);
    EXPECT_EQ((*response)[http::field::content_type], host::metrics_content_type);
    auto scrape = parse_prometheus_text(response->body());
    struct Expected {
        const char* series;
        double value;
    };
    const Expected expected[] = {
        {"quillmere_deliveries_received_total", 4},
        {"quillmere_deliveries_enqueued_total", 1},
        {"quillmere_deliveries_duplicate_total", 1},
        {"quillmere_deliveries_rejected_total{reason=\"wrong_signature\"}", 1},
        {"quillmere_deliveries_rejected_total{reason=\"missing_signature\"}", 1},
        {"quillmere_queue_depth", 1},
        {"quillmere_http_connections", 1},
        {"quillmere_http_requests_total{code=\"200\"}", 2},
        {"quillmere_http_requests_total{code=\"401\"}", 2},
        {"quillmere_http_requests_total{code=\"404\"}", 1},
        // The scrape itself is counted once answered: five requests before it.
        {"quillmere_http_request_duration_seconds_count", 5},
    };
    for (const auto& e : expected) EXPECT_EQ(scrape.value(e.series), e.value) << e.series;
}

TEST(Receiver, ServesOverTls) {
    TempDir dir;
    auto certificate = make_test_certificate(dir.path());
    auto config = test_webhook_config();
    config.tls_certificate = certificate.certificate;
    config.tls_key = certificate.key;
    RunningReceiver service(config);
    HttpTestClient client(service.port(), certificate.certificate);
    EXPECT_EQ(status_of(client.exchange(signed_post("/webhook", delivery, test_app_secret))), 200);
    auto handshake = client.exchange(
        raw_request("GET", "/webhook?hub.mode=subscribe&hub.verify_token=test-verify-token&hub.challenge=42"));
    ASSERT_TRUE(handshake);
    EXPECT_EQ(handshake->body(), "42");
    EXPECT_EQ(service.queue.stored().size(), 1u);
    // Plain HTTP on the TLS port is not served.
    HttpTestClient plain(service.port());
    plain.send(raw_request("GET", "/healthz"));
    EXPECT_FALSE(plain.read_response(5s));
}

TEST(Receiver, ShutdownFinishesRequestsInFlightAndClosesIdleConnections) {
    RunningReceiver service;
    HttpTestClient idle(service.port());
    ASSERT_EQ(status_of(idle.exchange(raw_request("GET", "/healthz"))), 200);
    service.queue.hold();
    HttpTestClient in_flight(service.port());
    ASSERT_TRUE(in_flight.send(signed_post("/webhook", delivery, test_app_secret)));
    ASSERT_TRUE(service.queue.wait_for_calls(1, 10s));

    // Opened, not yet used: it may still send the request it was opened for.
    HttpTestClient fresh(service.port());
    for (int i = 0; i < 200 && service.connections() < 3; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(service.connections(), 3u);

    // Shutdown waits for the delivery in flight; meanwhile the new connection sends its
    // request and the queue lets the delivery through.
    std::thread client([&] {
        std::this_thread::sleep_for(200ms);
        fresh.send(raw_request("GET", "/readyz"));
        std::this_thread::sleep_for(100ms);
        service.queue.release();
    });
    std::size_t cut = service.shutdown(10s);
    client.join();
    EXPECT_EQ(cut, 0u);
    auto readiness = fresh.read_response();
    ASSERT_TRUE(readiness);
    EXPECT_EQ(readiness->result_int(), 503);  // draining
    EXPECT_FALSE(readiness->keep_alive());
    auto response = in_flight.read_response();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->result_int(), 200);
    EXPECT_FALSE(response->keep_alive());
    EXPECT_TRUE(idle.closed_within(5s));
    EXPECT_TRUE(connection_refused(service.port()));
    EXPECT_EQ(service.queue.stored().size(), 1u);
}

TEST(Receiver, ShutdownCutsWhatIsLeftAtTheDeadline) {
    RunningReceiver service;
    service.queue.hold();
    HttpTestClient in_flight(service.port());
    ASSERT_TRUE(in_flight.send(signed_post("/webhook", delivery, test_app_secret)));
    ASSERT_TRUE(service.queue.wait_for_calls(1, 10s));
    EXPECT_EQ(service.shutdown(300ms), 1u);
    // Cut without an answer: Meta delivers it again, nothing was acknowledged.
    EXPECT_TRUE(in_flight.closed_within(5s));
}

TEST(Receiver, ReadinessFailsWhileDraining) {
    RunningReceiver service;
    HttpTestClient client(service.port());
    EXPECT_EQ(status_of(client.exchange(raw_request("GET", "/readyz"))), 200);
    service.receiver().drain();
    auto response = client.exchange(raw_request("GET", "/readyz"));
    EXPECT_EQ(status_of(response), 503);
    EXPECT_EQ(status_of(client.exchange(raw_request("GET", "/healthz"))), 200);
}

TEST(Receiver, RefusesToStartWithoutSecrets) {
    struct Case {
        const char* key;
        host::WebhookConfig config;
    };
    auto no_secret = test_webhook_config();
    no_secret.app_secret = {};
    auto no_token = test_webhook_config();
    no_token.verify_token = {};
    auto bad_path = test_webhook_config();
    bad_path.path = "webhook";
    auto taken_path = test_webhook_config();
    taken_path.path = "/metrics";
    const Case cases[] = {{"webhook.app_secret", no_secret},
                          {"webhook.verify_token", no_token},
                          {"webhook.path", bad_path},
                          {"webhook.path", taken_path}};
    for (const auto& c : cases) {
        MemoryQueue queue;
        host::Metrics metrics;
        boost::asio::thread_pool pool(1);
        try {
            host::Receiver receiver(c.config, queue, metrics, pool);
            ADD_FAILURE() << c.key << ": no error";
        } catch (const host::ConfigError& error) {
            EXPECT_TRUE(std::string(error.what()).starts_with(c.key)) << error.what();
        }
    }
}

}  // namespace
}  // namespace quillmere::testing
