// The client over HTTPS (peer verified against the trusted certificates, server name sent)
// and its time-outs. One process, one client: https://localhost:<port> trusting a test CA,
// with short time-outs.

#include "fake_graph_api/fake_graph_api.hpp"
#include "quillmere/graviel/instagram_api.hpp"
#include "support/process.hpp"
#include "support/recording_logger.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

namespace {

using namespace quillmere::testing;
using Lines = std::vector<LogLine>;
namespace graviel = quillmere::graviel;

constexpr auto kConnectTimeout = std::chrono::milliseconds(400);
constexpr auto kExchangeTimeout = std::chrono::milliseconds(800);

void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// A test CA, certificates it signs for "localhost" and "other.example", and a self-signed
// "localhost" certificate no one trusts.
struct Certificates {
    TempDir dir{"quillmere-tls"};
    std::string path(const std::string& name) const { return (dir.path() / name).string(); }
    FakeGraphApi::Tls pair(const std::string& name) const { return {path(name + ".pem"), path(name + ".key")}; }

    Certificates() {
        const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2";
        run("openssl req -x509" + key + " -keyout " + path("ca.key") + " -out " + path("ca.pem") +
            " -subj /CN=quillmere-test-ca");
        for (const std::string name : {"localhost", "other.example"}) {
            run("openssl req -x509" + key + " -keyout " + path(name + ".key") + " -out " + path(name + ".pem") +
                " -subj /CN=" + name + " -addext subjectAltName=DNS:" + name +
                " -addext basicConstraints=critical,CA:FALSE -CA " + path("ca.pem") + " -CAkey " + path("ca.key"));
        }
        run("openssl req -x509" + key + " -keyout " + path("untrusted.key") + " -out " + path("untrusted.pem") +
            " -subj /CN=localhost -addext subjectAltName=DNS:localhost");
    }
};

struct Suite {
    Certificates certs;
    FakeGraphApi fake{certs.pair("localhost")};
    RecordedWaits waits;
    graviel::InstagramAPI* api = nullptr;
    Suite() {
        graviel::InstagramApiOptions options;
        options.connect_timeout = kConnectTimeout;
        options.exchange_timeout = kExchangeTimeout;
        options.extra_ca_file = certs.path("ca.pem");
        options.sleep = waits.sleep_function();
        api = &graviel::InstagramAPI::instance(fake.base_url(), "v19.0", options);
    }
};

Suite& suite() {
    static Suite s;
    return s;
}

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.fake.reset();
        s.fake.use_certificate(s.certs.pair("localhost"));
        s.waits.clear();
    }
    std::pair<std::optional<std::string>, Lines> fetch() {
        RecordingLogger logger;
        auto body = run_awaitable(s.api->fetch_instagram_data("17900", "SECRET-token", "id", logger));
        return {body, logger.lines()};
    }
    std::string peer() const { return "localhost:" + std::to_string(s.fake.port()); }
    Suite& s = suite();
};

LogLine error(std::string m) { return {"error", std::move(m), false}; }
std::string attempt(int n, const std::string& message) {
    return "HTTP request error on attempt " + std::to_string(n) + ": " + message;
}

TEST_F(TlsTest, VerifiesThePeerAndSendsTheServerName) {
    s.fake.enqueue(FakeResponse::ok(R"({"id":"17900"})"));
    auto [body, lines] = fetch();
    EXPECT_EQ(body, R"({"id":"17900"})");
    EXPECT_TRUE(lines.empty());
    auto requests = s.fake.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].server_name, "localhost");
    EXPECT_EQ(requests[0].path, "/v19.0/17900");
    EXPECT_EQ(requests[0].param("access_token"), "SECRET-token");
}

TEST_F(TlsTest, RejectsAnUntrustedOrMisnamedCertificateOnEveryAttempt) {
    for (const std::string cert : {"untrusted", "other.example"}) {
        SCOPED_TRACE(cert);
        s.fake.use_certificate(s.certs.pair(cert));
        s.fake.set_handler([](const RecordedRequest&) { return FakeResponse::ok("must not be reached"); });
        s.waits.clear();
        auto [body, lines] = fetch();
        EXPECT_EQ(body, std::nullopt);
        Lines expected;
        for (int n = 1; n <= 5; ++n) {
            expected.push_back(error(
                attempt(n, "TLS handshake with " + peer() + " failed: certificate verify failed (SSL routines)")));
        }
        expected.push_back(error("Max retries reached. Cannot recover from the error."));
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(s.waits.waits(), (std::vector<long long>{1, 2, 4, 8}));
        EXPECT_EQ(s.fake.request_count(), 0u);
    }
}

TEST_F(TlsTest, AnExchangeThatOutlivesItsTimeOutIsATransportError) {
    s.fake.enqueue(std::move(FakeResponse::ok("late")).after(kExchangeTimeout * 3));
    s.fake.enqueue(FakeResponse::ok("in time"));
    const auto start = std::chrono::steady_clock::now();
    auto [body, lines] = fetch();
    EXPECT_LT(std::chrono::steady_clock::now() - start, kExchangeTimeout * 3);
    EXPECT_EQ(body, "in time");
    EXPECT_EQ(lines, (Lines{error(attempt(1, "cannot read the response: timed out (exchange time-out 800 ms)"))}));
    EXPECT_EQ(s.waits.waits(), (std::vector<long long>{1}));
}

// A listener whose accept queue is full: the kernel drops further connection attempts, so
// they hang until the client gives up.
class StalledListener {
public:
    explicit StalledListener(unsigned short port) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr = loopback(port);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 0) != 0) {
            throw std::runtime_error("cannot listen on the fake's port");
        }
        for (int i = 0; i < 2; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers_.push_back(fd);
        }
        ::usleep(50'000);
    }
    ~StalledListener() {
        for (int fd : fillers_) ::close(fd);
        ::close(listener_);
    }

private:
    static sockaddr_in loopback(unsigned short port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        return addr;
    }
    int listener_ = -1;
    std::vector<int> fillers_;
};

TEST_F(TlsTest, AConnectionThatCannotBeMadeInTimeIsATransportError) {
    s.fake.stop_listening();
    std::pair<std::optional<std::string>, Lines> result;
    {
        StalledListener stalled(s.fake.port());
        result = fetch();
    }
    s.fake.start_listening();
    Lines expected;
    for (int n = 1; n <= 5; ++n) {
        expected.push_back(error(attempt(n, "cannot connect to " + peer() + ": timed out (connect time-out 400 ms)")));
    }
    expected.push_back(error("Max retries reached. Cannot recover from the error."));
    EXPECT_EQ(result.first, std::nullopt);
    EXPECT_EQ(result.second, expected);
    EXPECT_EQ(s.waits.waits(), (std::vector<long long>{1, 2, 4, 8}));
}

}  // namespace
