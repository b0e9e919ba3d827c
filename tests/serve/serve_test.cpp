// `quillmere serve` as users run it: the built command on a configuration file, the SQLite
// queue in a file, real HTTP over loopback, ended with real signals. What reached the queue
// is read back from the file after the process has gone.

#include "host/queue_sqlite.hpp"
#include "host/signature.hpp"
#include "http_client.hpp"
#include "serve_process.hpp"
#include "support/process.hpp"
#include "support/prometheus_text.hpp"

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include <signal.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* app_secret = "cli-app-secret-5f2a";
constexpr const char* verify_token = "cli-verify-token-9c1e";

struct Service {
    TempDir dir{"quillmere-serve"};
    int port = free_loopback_port();
    std::filesystem::path queue_file = dir.path() / "queue.db";
    std::filesystem::path config_file = dir.path() / "quillmere.toml";
    std::unique_ptr<ServeProcess> process;

    // Writes the configuration ([webhook] and [queue], plus `extra` TOML for other
    // sections; `webhook_extra` goes into [webhook]) and starts the command.
    explicit Service(const std::string& webhook_extra = "", const std::string& extra = "",
                     std::vector<std::string> args = {}) {
        std::ofstream config(config_file);
        config << "[webhook]\nlisten = \"127.0.0.1:" << port << "\"\napp_secret = \"" << app_secret
               << "\"\nverify_token = {env = \"QUILLMERE_TEST_VERIFY_TOKEN\"}\n"
               << webhook_extra << "\n[queue]\nengine = \"sqlite\"\npath = \"" << queue_file.string() << "\"\n"
               << extra;
        config.close();
        ::setenv("QUILLMERE_TEST_VERIFY_TOKEN", verify_token, 1);
        process = std::make_unique<ServeProcess>(QUILLMERE_CLI, config_file, dir.path() / "serve.log", args);
        if (!wait_for_port(port, 20s)) ADD_FAILURE() << "serve did not listen:\n" << process->log_text();
    }
    // Ends the command with `signal` and returns its exit status.
    std::optional<int> stop(int signal = SIGTERM, std::chrono::milliseconds timeout = 30s) {
        process->signal(signal);
        return process->wait_exit(timeout);
    }
    // The bodies the queue file holds (the command must have ended).
    std::multiset<std::string> queued() const {
        host::SqliteQueue queue({.path = queue_file});
        std::multiset<std::string> bodies;
        for (auto& delivery : queue.lease(1000000, 0ms)) {
            EXPECT_EQ(delivery.digest, host::hex_sha256(delivery.body));
            bodies.insert(delivery.body);
        }
        return bodies;
    }
};

std::string body_number(int thread, int i) {
    return R"({"object":"instagram","entry":[{"id":"1784140000000)" + std::to_string(thread) +
           R"(","time":1714557600,"changes":[{"field":"comments","value":{"id":")" + std::to_string(i) +
           R"(","text":"load"}}]}]})";
}

int status_of(const std::optional<HttpResponse>& response) { return response ? response->result_int() : -1; }

TEST(Serve, DeliveriesAndHandshakeThroughTheCommand) {
    Service service;
    const std::string a = body_number(1, 1), b = body_number(1, 2);
    struct Case {
        const char* name;
        std::string bytes;
        int status;  // -1: no answer
    };
    const std::string right_handshake =
        std::string("/webhook?hub.mode=subscribe&hub.verify_token=") + verify_token + "&hub.challenge=8812";
    std::string truncated = signed_post("/webhook", b, app_secret);
    truncated.resize(truncated.size() - 10);
    const Case cases[] = {
        {"handshake", raw_request("GET", right_handshake), 200},
        {"handshake, wrong token", raw_request("GET", "/webhook?hub.mode=subscribe&hub.verify_token=x&hub.challenge=1"),
         403},
        {"signed", signed_post("/webhook", a, app_secret), 200},
        {"signed again (a redelivery)", signed_post("/webhook", a, app_secret), 200},
        {"unsigned", raw_request("POST", "/webhook", b), 401},
        {"wrongly signed", signed_post("/webhook", b, "not-the-secret"), 401},
        {"truncated, then closed", truncated, -1},
        {"over-size", signed_post("/webhook", std::string(2 * 1024 * 1024 + 1, 'x'), app_secret), 413},
        {"another, signed", signed_post("/webhook", b, app_secret), 200},
    };
    for (const auto& c : cases) {
        HttpTestClient client(service.port);
        std::optional<HttpResponse> response;
        if (c.status == 413) {
            // The header alone: the answer comes before the body is sent.
            client.send(c.bytes.substr(0, c.bytes.find("\r\n\r\n") + 4));
            response = client.read_response();
        } else if (c.status == -1) {
            client.send(c.bytes);
            client.close();
        } else {
            response = client.exchange(c.bytes);
        }
        EXPECT_EQ(status_of(response), c.status) << c.name;
        if (c.status == 200 && std::string(c.name) == "handshake") {
            EXPECT_EQ(response->body(), "8812");
        }
    }
    EXPECT_EQ(service.stop(), 0) << service.process->log_text();
    EXPECT_EQ(service.queued(), (std::multiset<std::string>{a, b}));
}

TEST(Serve, SigtermFinishesRequestsInFlightThenExitsZero) {
    Service service("shutdown_deadline_ms = 20000\nread_timeout_ms = 20000\n");
    const std::string body = body_number(2, 1);
    const std::string post = signed_post("/webhook", body, app_secret);
    const std::size_t half = post.size() - body.size() / 2;
    const std::string readiness = raw_request("GET", "/readyz");

    HttpTestClient idle(service.port);
    ASSERT_EQ(status_of(idle.exchange(raw_request("GET", "/healthz"))), 200);
    HttpTestClient slow_post(service.port);
    ASSERT_TRUE(slow_post.send(post.substr(0, half)));
    HttpTestClient slow_readiness(service.port);
    ASSERT_TRUE(slow_readiness.send(readiness.substr(0, readiness.size() - 2)));

    service.process->signal(SIGTERM);
    ASSERT_TRUE(service.process->log_holds("SIGTERM received", 10s)) << service.process->log_text();
    // No new connections; the idle one is closed; the two in flight are finished.
    for (int i = 0; i < 200 && !connection_refused(service.port); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(connection_refused(service.port));
    EXPECT_TRUE(idle.closed_within(10s));
    EXPECT_FALSE(service.process->wait_exit(200ms)) << "exited with requests in flight";

    ASSERT_TRUE(slow_readiness.send("\r\n"));
    auto ready = slow_readiness.read_response();
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->result_int(), 503);
    EXPECT_FALSE(ready->keep_alive());

    ASSERT_TRUE(slow_post.send(post.substr(half)));
    auto stored = slow_post.read_response();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->result_int(), 200);
    EXPECT_FALSE(stored->keep_alive());

    EXPECT_EQ(service.process->wait_exit(20s), 0) << service.process->log_text();
    EXPECT_EQ(service.queued(), (std::multiset<std::string>{body}));
}

TEST(Serve, ShutdownDeadlineCutsWhatIsLeftAndSaysSo) {
    Service service("shutdown_deadline_ms = 300\nread_timeout_ms = 60000\n");
    const std::string post = signed_post("/webhook", body_number(3, 1), app_secret);
    HttpTestClient stalled(service.port);
    ASSERT_TRUE(stalled.send(post.substr(0, post.size() - 5)));
    std::this_thread::sleep_for(100ms);  // let the listener take the first bytes
    auto status = service.stop(SIGTERM, 20s);
    EXPECT_EQ(status, 1) << service.process->log_text();
    EXPECT_TRUE(stalled.closed_within(5s));
    EXPECT_NE(service.process->log_text().find("shutdown deadline"), std::string::npos);
    EXPECT_TRUE(service.queued().empty());
}

TEST(Serve, SigintWhenIdleExitsZero) {
    Service service;
    EXPECT_EQ(status_of(http_exchange(service.port, raw_request("GET", "/healthz"))), 200);
    EXPECT_EQ(service.stop(SIGINT), 0) << service.process->log_text();
    EXPECT_TRUE(service.process->log_text().find("SIGINT received") != std::string::npos);
}

// Clients posting distinct signed deliveries on keep-alive connections until told to stop
// or the service refuses connections; what each delivery got is recorded.
struct Load {
    std::mutex mutex;
    std::set<std::string> acknowledged;  // bodies answered 200
    std::atomic<int> partial{0};         // responses cut in the middle
    std::atomic<int> other{0};           // answers other than 200
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;

    Load(int port, int clients) {
        for (int t = 0; t < clients; ++t) {
            threads.emplace_back([this, port, t] {
                std::unique_ptr<HttpTestClient> client;
                for (int i = 0; i < 100000 && !stop; ++i) {
                    if (!client) {
                        if (connection_refused(port)) break;
                        try {
                            client = std::make_unique<HttpTestClient>(port, std::filesystem::path{}, 2s);
                        } catch (const std::exception&) {
                            break;
                        }
                    }
                    std::string body = body_number(t, i);
                    if (!client->send(signed_post("/webhook", body, app_secret))) {
                        client.reset();
                        continue;
                    }
                    auto response = client->read_response(20s);
                    if (!response) {
                        if (client->partial()) ++partial;
                        client.reset();
                        continue;
                    }
                    if (response->result_int() == 200) {
                        std::lock_guard lock(mutex);
                        acknowledged.insert(body);
                    } else {
                        ++other;
                    }
                    if (!response->keep_alive()) client.reset();
                }
            });
        }
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return acknowledged.size();
    }
    bool wait_for(std::size_t n, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (count() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        return count() >= n;
    }
    void join() {
        stop = true;
        for (auto& thread : threads) thread.join();
    }
};

TEST(Serve, KillNineUnderLoadLosesNoAcknowledgedDelivery) {
    Service service;
    Load load(service.port, 6);
    EXPECT_TRUE(load.wait_for(1000, 60s));
    service.process->signal(SIGKILL);
    EXPECT_EQ(service.process->wait_exit(10s), 128 + SIGKILL);
    load.join();
    auto queued = service.queued();
    std::size_t missing = 0;
    for (const auto& body : load.acknowledged) missing += queued.count(body) == 1 ? 0 : 1;
    EXPECT_EQ(missing, 0u) << "of " << load.acknowledged.size() << " answered 200";
    EXPECT_GE(queued.size(), load.acknowledged.size());
    EXPECT_EQ(load.other.load(), 0);
}

TEST(Serve, SigtermUnderLoadCutsNoRequestAndExitsZero) {
    Service service("shutdown_deadline_ms = 20000\n");
    Load load(service.port, 6);
    EXPECT_TRUE(load.wait_for(200, 60s));
    auto status = service.stop(SIGTERM, 30s);
    load.join();
    EXPECT_EQ(status, 0) << service.process->log_text();
    EXPECT_EQ(load.partial.load(), 0);
    EXPECT_EQ(load.other.load(), 0);
    auto queued = service.queued();
    for (const auto& body : load.acknowledged) EXPECT_EQ(queued.count(body), 1u);
    // A graceful stop answers everything it stored.
    EXPECT_EQ(queued.size(), load.acknowledged.size());
}

TEST(Serve, WorkersInTheProcessTakeDeliveriesToTheSink) {
    TempDir out;
    const auto jsonl = out.path() / "envelopes.jsonl";
    Service service("shutdown_deadline_ms = 20000\n", "[output]\njsonl = \"" + jsonl.string() + "\"\n",
                    {"--workers", "2"});
    std::set<std::string> digests;
    HttpTestClient client(service.port);
    for (int i = 0; i < 20; ++i) {
        std::string body = body_number(6, i);
        ASSERT_EQ(status_of(client.exchange(signed_post("/webhook", body, app_secret))), 200);
        digests.insert(host::hex_sha256(body));
    }
    const std::string poison = "this is not JSON";
    ASSERT_EQ(status_of(client.exchange(signed_post("/webhook", poison, app_secret))), 200);

    // Every delivery's envelope reaches the sink, carrying the delivery's digest.
    auto delivered = [&] {
        std::set<std::string> seen;
        std::ifstream in(jsonl);
        for (std::string line; std::getline(in, line);) {
            boost::system::error_code error;
            auto envelope = boost::json::parse(line, error);
            if (!error && envelope.is_object() && envelope.as_object().contains("delivery")) {
                seen.insert(std::string(envelope.at("delivery").as_string()));
            }
        }
        return seen;
    };
    for (int i = 0; i < 1000 && delivered().size() < digests.size(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(delivered(), digests);

    // The workers' figures are on /metrics.
    std::optional<quillmere::testing::PrometheusScrape> scrape;
    for (int i = 0; i < 500; ++i) {
        auto metrics = client.exchange(raw_request("GET", "/metrics"));
        ASSERT_TRUE(metrics);
        scrape = parse_prometheus_text(metrics->body());
        if (scrape->value("quillmere_worker_dead_letters_total") >= 1 &&
            scrape->value("quillmere_worker_deliveries_acknowledged_total") >= 20)
            break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(scrape->value("quillmere_worker_deliveries_acknowledged_total"), 20);
    EXPECT_EQ(scrape->value("quillmere_worker_dead_letters_total"), 1);
    EXPECT_EQ(scrape->value("quillmere_worker_items_total{kind=\"\"}"), 20);  // no settings: not classified
    EXPECT_EQ(scrape->value("quillmere_deliveries_enqueued_total"), 21);
    client.close();

    EXPECT_EQ(service.stop(), 0) << service.process->log_text();
    host::SqliteQueue queue({.path = service.queue_file});
    EXPECT_EQ(queue.depth(), 0u);
    auto dead = queue.dead_letters(10);
    ASSERT_EQ(dead.size(), 1u);
    EXPECT_EQ(dead[0].body, poison);
}

TEST(Serve, ConfigurationErrorsExitTwoNamingTheKey) {
    struct Case {
        const char* name;
        std::string webhook;  // replaces the usual [webhook] lines after listen
        std::string queue;
        int status;
        std::string says;
    };
    TempDir dir;
    const Case cases[] = {
        {"no app secret", "verify_token = \"t\"\n", "engine = \"sqlite\"\npath = \"q.db\"\n", 2, "webhook.app_secret"},
        {"no verify token", "app_secret = \"s\"\n", "engine = \"sqlite\"\npath = \"q.db\"\n", 2,
         "webhook.verify_token"},
        {"listen without port", "listen = \"127.0.0.1\"\napp_secret = \"s\"\nverify_token = \"t\"\n",
         "engine = \"sqlite\"\npath = \"q.db\"\n", 2, "webhook.listen"},
        {"unknown engine", "app_secret = \"s\"\nverify_token = \"t\"\n", "engine = \"kafka\"\n", 2, "queue.engine"},
        {"TLS key missing", "app_secret = \"s\"\nverify_token = \"t\"\ntls_certificate = \"/nonexistent.pem\"\n",
         "engine = \"sqlite\"\npath = \"q.db\"\n", 2, "webhook.tls"},
    };
    for (const auto& c : cases) {
        auto config_file = dir.path() / "bad.toml";
        std::ofstream config(config_file);
        config << "[webhook]\n" << c.webhook << "[queue]\n" << c.queue;
        config.close();
        ServeProcess process(QUILLMERE_CLI, config_file, dir.path() / "bad.log");
        EXPECT_EQ(process.wait_exit(20s), c.status) << c.name << "\n" << process.log_text();
        EXPECT_NE(process.log_text().find(c.says), std::string::npos) << c.name << "\n" << process.log_text();
    }
}

TEST(Serve, AddressInUseExitsOne) {
    Service first;
    ServeProcess second(QUILLMERE_CLI, first.config_file, first.dir.path() / "second.log");
    EXPECT_EQ(second.wait_exit(20s), 1) << second.log_text();
    EXPECT_NE(second.log_text().find("cannot listen"), std::string::npos) << second.log_text();
    EXPECT_EQ(first.stop(), 0);
}

TEST(Serve, JsonLogsOneEventPerLineWithoutSecretsOrBodies) {
    Service service("", "[log]\njson = true\nlevel = \"debug\"\n");
    const std::string marker = "BODY-MARKER-4471";
    const std::string body = R"({"object":"instagram","entry":[],"note":")" + marker + R"("})";
    HttpTestClient client(service.port);
    const std::string handshakes[] = {
        std::string("/webhook?hub.mode=subscribe&hub.verify_token=") + verify_token + "&hub.challenge=1",
        std::string("/webhook?hub.mode=subscribe&hub.verify_token=") + verify_token + "x&hub.challenge=1",
        std::string("/webhook%0a?hub.verify_token=") + verify_token,
    };
    for (const auto& target : handshakes) client.exchange(raw_request("GET", target));
    client.exchange(signed_post("/webhook", body, app_secret));
    client.exchange(signed_post("/webhook", body + " ", "wrong"));
    client.exchange(raw_request("POST", "/webhook", body));
    EXPECT_EQ(service.stop(), 0);

    std::string log = service.process->log_text();
    for (const std::string secret : {app_secret, verify_token}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in\n" << log;
    }
    EXPECT_EQ(log.find(marker), std::string::npos) << log;
    std::size_t lines = 0;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        ++lines;
        boost::system::error_code error;
        auto value = boost::json::parse(line, error);
        ASSERT_FALSE(error) << line;
        ASSERT_TRUE(value.is_object()) << line;
        EXPECT_TRUE(value.as_object().contains("message")) << line;
        EXPECT_TRUE(value.as_object().contains("level")) << line;
    }
    EXPECT_GE(lines, 8u) << log;
}

TEST(Serve, ServesTlsFromTheConfiguredCertificate) {
    TempDir certificates;
    auto certificate = make_test_certificate(certificates.path());
    Service service("tls_certificate = \"" + certificate.certificate.string() + "\"\ntls_key = \"" +
                    certificate.key.string() + "\"\n");
    const std::string body = body_number(5, 1);
    HttpTestClient client(service.port, certificate.certificate);
    EXPECT_EQ(status_of(client.exchange(signed_post("/webhook", body, app_secret))), 200);
    client.close();
    EXPECT_EQ(service.stop(), 0) << service.process->log_text();
    EXPECT_EQ(service.queued(), (std::multiset<std::string>{body}));
}

}  // namespace
}  // namespace quillmere::testing
