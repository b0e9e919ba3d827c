// The object-storage manager against a real S3-compatible server on loopback.

#include "http_server.hpp"
#include "s3_peer.hpp"
#include "support/process.hpp"

#include "quillmere/Brastow/brastow.hpp"
#include "quillmere/Brastow/s3_client.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <random>
#include <sstream>
#include <thread>

namespace {

namespace qt = quillmere::testing;
using namespace quillmere::brastow;
using namespace std::chrono_literals;

constexpr const char* kRegion = "ap-south-1";
constexpr const char* kBucket = "media";
// s3rver's own account.
constexpr const char* kAccessKey = "S3RVER";
constexpr const char* kSecretKey = "S3RVER";

// s3rver with the signature check of s3_peer.js, for the whole test program.
class S3Peer : public ::testing::Environment {
public:
    static inline std::unique_ptr<qt::S3PeerProcess> process;

    void SetUp() override {
        try {
            process = std::make_unique<qt::S3PeerProcess>(kRegion, std::vector<std::string>{kBucket});
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
    }
    void TearDown() override { process.reset(); }
};

[[maybe_unused]] auto* const kPeer = ::testing::AddGlobalTestEnvironment(new S3Peer);

std::string endpoint() { return S3Peer::process->endpoint(); }

Brastow manager(FetchLimits limits = {}, const char* secret = kSecretKey, const char* access = kAccessKey,
                const char* region = kRegion) {
    return Brastow(access, secret, "production", region, endpoint(), limits);
}

size_t append(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

struct Answer {
    long status = 0;
    std::string body;
};

// A plain unsigned GET of an object from the peer, the key encoded segment by segment.
Answer read_back(const std::string& key, const std::string& bucket = kBucket) {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> h(curl_easy_init(), &curl_easy_cleanup);
    std::string path;
    std::size_t start = 0;
    while (true) {
        std::size_t slash = key.find('/', start);
        std::string segment = key.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        char* escaped = curl_easy_escape(h.get(), segment.data(), static_cast<int>(segment.size()));
        path += escaped;
        curl_free(escaped);
        if (slash == std::string::npos) break;
        path += '/';
        start = slash + 1;
    }
    const std::string url = endpoint() + "/" + bucket + "/" + path;
    Answer answer;
    curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(h.get(), CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 30L);
    EXPECT_EQ(curl_easy_perform(h.get()), CURLE_OK) << url;
    curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &answer.status);
    return answer;
}

void expect_stored(const std::string& key, const std::string& content) {
    Answer a = read_back(key);
    EXPECT_EQ(a.status, 200) << key;
    EXPECT_EQ(a.body.size(), content.size()) << key;
    EXPECT_TRUE(a.body == content) << key;
}

void expect_absent(const std::string& key) {
    Answer a = read_back(key);
    EXPECT_EQ(a.status, 404) << key;
    EXPECT_NE(a.body.find("NoSuchKey"), std::string::npos) << a.body;
}

std::span<const std::byte> bytes(const std::string& s) { return std::as_bytes(std::span(s)); }

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(gen() & 0xFF);
    return out;
}

std::string sha256_hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_sha256(), nullptr);
    std::string out;
    char hex[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        out += hex;
    }
    return out;
}

TEST(Storage, BytesRoundTripExactly) {
    std::string all_bytes;
    for (int round = 0; round < 4; ++round) {
        for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
    }
    const std::pair<std::string, std::string> cases[] = {
        {"roundtrip/binary.bin", all_bytes},
        {"roundtrip/nul-only", std::string(5, '\0')},
        {"roundtrip/empty", ""},
        {"roundtrip/ten-mb.bin", random_bytes(10 * 1024 * 1024, 7)},
    };
    Brastow m = manager();
    for (const auto& [key, content] : cases) {
        EXPECT_EQ(m.upload_file(bytes(content), kBucket, key), "https://s3.amazonaws.com/media/" + key);
        expect_stored(key, content);
    }
}

TEST(Storage, TextContentIsStoredAsItsBytes) {
    Brastow m = manager();
    const std::string text = "HTTP://not an address, caf\xc3\xa9";
    m.upload_file(text, kBucket, "text/content.txt");
    expect_stored("text/content.txt", text);
}

TEST(Storage, UploadFromAddressStoresTheFetchedBody) {
    qt::HttpServer web;
    const std::string image = random_bytes(300 * 1024, 11) + std::string(3, '\0');
    web.serve("/img/photo.png?sig=abc", {qt::HttpReply::answer(200, image)});
    web.serve("/moved", {qt::HttpReply::redirect("/img/photo.png?sig=abc")});
    web.serve("/chunked", {qt::HttpReply::chunked_answer(image)});

    Brastow m = manager();
    EXPECT_EQ(m.upload_file(web.url("/img/photo.png?sig=abc"), kBucket, "fetched/direct.png"),
              "https://s3.amazonaws.com/media/fetched/direct.png");
    expect_stored("fetched/direct.png", image);
    m.upload_file(web.url("/moved"), kBucket, "fetched/redirected.png");
    expect_stored("fetched/redirected.png", image);
    m.upload_file(web.url("/chunked"), kBucket, "fetched/chunked.png");
    expect_stored("fetched/chunked.png", image);

    auto requests = web.requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.headers.count("authorization"), 0u);
        EXPECT_EQ(r.headers.count("accept-encoding"), 0u);
    }
}

TEST(Storage, FailedFetchStoresNothing) {
    qt::HttpServer web;
    web.serve("/missing?token=SECRET-TOKEN", {qt::HttpReply::answer(404, "<html>Not Found</html>")});
    web.serve("/broken", {qt::HttpReply::answer(500, "oops")});
    web.serve("/slow", {qt::HttpReply::late("late", 3s)});
    web.serve("/big", {qt::HttpReply::answer(200, std::string(1001, 'x'))});
    web.serve("/big-chunked", {qt::HttpReply::chunked_answer(std::string(5000, 'x'))});
    web.serve("/just-fits", {qt::HttpReply::answer(200, std::string(1000, 'y'))});

    Brastow m = manager(FetchLimits{300ms, 1000});
    struct Case {
        std::string target;
        long status;
        std::string says;
    };
    const Case cases[] = {
        {"/missing?token=SECRET-TOKEN", 404, "HTTP status 404"}, {"/broken", 500, "HTTP status 500"},
        {"/slow", 0, "no complete answer within 300 ms"},        {"/big", 200, "larger than 1000 bytes"},
        {"/big-chunked", 200, "larger than 1000 bytes"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string key = "failed/" + std::to_string(n++);
        const auto started = std::chrono::steady_clock::now();
        try {
            m.upload_file(web.url(c.target), kBucket, key);
            ADD_FAILURE() << c.target << " was stored";
        } catch (const FetchError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.says), std::string::npos) << what;
            EXPECT_NE(what.find("http://127.0.0.1:" + std::to_string(web.port())), std::string::npos) << what;
            EXPECT_EQ(what.find("SECRET-TOKEN"), std::string::npos) << what;
            EXPECT_EQ(e.http_status(), c.status) << c.target;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << c.target;
        expect_absent(key);
    }
    m.upload_file(web.url("/just-fits"), kBucket, "failed/fits");
    expect_stored("failed/fits", std::string(1000, 'y'));

    // A failed fetch on update leaves the stored object as it was.
    m.upload_file("old content", kBucket, "failed/kept");
    EXPECT_THROW(m.update_file(web.url("/missing?token=SECRET-TOKEN"), kBucket, "failed/kept"), FetchError);
    expect_stored("failed/kept", "old content");
}

TEST(Storage, UpdateReplacesTheObject) {
    Brastow m = manager();
    const std::string first = random_bytes(2048, 1), second = random_bytes(100, 2);
    const std::string address = m.upload_file(bytes(first), kBucket, "update/a.bin");
    expect_stored("update/a.bin", first);
    EXPECT_EQ(m.update_file(bytes(second), kBucket, "update/a.bin"), address);
    expect_stored("update/a.bin", second);
}

TEST(Storage, DeleteRemovesAndReportsSuccessEvenWhenAbsent) {
    Brastow m = manager();
    m.upload_file("to delete", kBucket, "delete/a.txt");
    expect_stored("delete/a.txt", "to delete");
    EXPECT_EQ(m.delete_file(kBucket, "delete/a.txt"), "delete/a.txt deleted successfully from media");
    expect_absent("delete/a.txt");
    EXPECT_EQ(m.delete_file(kBucket, "delete/a.txt"), "delete/a.txt deleted successfully from media");
    EXPECT_EQ(m.delete_file("no-such-bucket", "a.txt"),
              "Error deleting a.txt: S3 DeleteObject failed: NoSuchBucket (HTTP 404): The specified bucket does not "
              "exist");
}

TEST(Storage, KeysWithBlanksAndNonAsciiLetters) {
    const std::string keys[] = {
        "my photo.png",
        "fotos/\xc3\xbc"
        "ber stra\xc3\x9f"
        "e/\xc3\xb1"
        "and\xc3\xba.jpg",
        "\xe6\x97\xa5\xe6\x9c\xac \xe5\x86\x99\xe7\x9c\x9f.png",
        "a+b=c&d?e#f.png",
        "100% done!'(x)*,;:@$.png",
        "~tilde/dash-under_score.dot",
    };
    Brastow m = manager();
    Brastow dev("S3RVER", "S3RVER", "staging", kRegion, endpoint());
    for (const auto& key : keys) {
        const std::string content = "content of " + key;
        EXPECT_EQ(m.upload_file(content, kBucket, key), "https://s3.amazonaws.com/media/" + key);
        EXPECT_EQ(dev.get_file_url(kBucket, key), "https://media.s3.amazonaws.com/" + key);
        expect_stored(key, content);
        EXPECT_EQ(m.delete_file(kBucket, key), key + " deleted successfully from media");
        expect_absent(key);
    }
}

TEST(Storage, WrongCredentialsOrRegionAreServiceFailures) {
    struct Case {
        const char* access;
        const char* secret;
        const char* region;
        const char* code;
        long status;
    };
    const Case cases[] = {
        {kAccessKey, "not-the-secret", kRegion, "SignatureDoesNotMatch", 403},
        {"UNKNOWNKEY", kSecretKey, kRegion, "InvalidAccessKeyId", 403},
        {kAccessKey, kSecretKey, "eu-west-1", "AuthorizationHeaderMalformed", 400},
    };
    for (const auto& c : cases) {
        Brastow m = manager({}, c.secret, c.access, c.region);
        try {
            m.upload_file("x", kBucket, "denied/x");
            ADD_FAILURE() << c.code;
        } catch (const StorageServiceError& e) {
            EXPECT_EQ(e.code(), c.code);
            EXPECT_EQ(e.http_status(), c.status) << c.code;
            EXPECT_FALSE(e.message().empty()) << c.code;
            EXPECT_EQ(std::string(e.what()).find("not-the-secret"), std::string::npos) << e.what();
        }
        expect_absent("denied/x");
        const std::string deleted = m.delete_file(kBucket, "denied/x");
        EXPECT_TRUE(deleted.starts_with(std::string("Error deleting denied/x: S3 DeleteObject failed: ") + c.code))
            << deleted;
    }
}

TEST(Storage, UnreachableServerIsCoreFailure) {
    S3ClientSettings settings;
    settings.access_key = kAccessKey;
    settings.secret_key = kSecretKey;
    settings.endpoint = "http://127.0.0.1:" + std::to_string(qt::free_loopback_port());
    settings.retry_delay = 10ms;
    Brastow m(std::make_unique<S3Client>(settings), "production");
    EXPECT_THROW(m.upload_file("x", kBucket, "k"), StorageCoreError);
    const std::string deleted = m.delete_file(kBucket, "k");
    EXPECT_TRUE(deleted.starts_with("Error deleting k: S3 DeleteObject request failed: ")) << deleted;
}

TEST(Storage, ConcurrentUploadsThroughOneManager) {
    Brastow m = manager();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&m, t] {
            for (int i = 0; i < 8; ++i) {
                const std::string key = "concurrent/" + std::to_string(t) + "-" + std::to_string(i);
                m.upload_file(bytes(random_bytes(4096, t * 100 + i)), kBucket, key);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 8; ++i) {
            expect_stored("concurrent/" + std::to_string(t) + "-" + std::to_string(i), random_bytes(4096, t * 100 + i));
        }
    }
}

// The names after "SignedHeaders=" in an Authorization header.
std::vector<std::string> signed_headers(const std::string& authorization) {
    const std::string marker = "SignedHeaders=";
    std::vector<std::string> names;
    auto at = authorization.find(marker);
    if (at == std::string::npos) return names;
    at += marker.size();
    const auto end = authorization.find(',', at);
    std::stringstream list(authorization.substr(at, end - at));
    for (std::string name; std::getline(list, name, ';');) names.push_back(name);
    return names;
}

TEST(Storage, EverySignedHeaderIsSent) {
    // 2 MiB is past libcurl's threshold for "Expect: 100-continue".
    const std::string small = "small", large = random_bytes(2 * 1024 * 1024, 5);
    Brastow m = manager();
    for (const std::string* body : {&small, &large}) {
        m.upload_file(bytes(*body), kBucket, "signed/object");
        expect_stored("signed/object", *body);
    }
    EXPECT_EQ(m.delete_file(kBucket, "signed/object"), "signed/object deleted successfully from media");
    expect_absent("signed/object");

    qt::HttpServer fake;
    fake.serve("/media/k", {qt::HttpReply::answer(200, "")});
    S3ClientSettings settings;
    settings.access_key = kAccessKey;
    settings.secret_key = kSecretKey;
    settings.endpoint = fake.url("");
    S3Client client(settings);
    client.put_object("media", "k", small);
    client.put_object("media", "k", large);
    client.delete_object("media", "k");
    const auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& r : requests) {
        const auto names = signed_headers(r.headers.at("authorization"));
        EXPECT_GE(names.size(), 3u) << r.method;
        for (const auto& name : names) EXPECT_EQ(r.headers.count(name), 1u) << r.method << " signs " << name;
    }
}

// The client's requests and its retries, seen by a server of the test standing in for S3.
TEST(S3ClientRequests, SignedPutWithPayloadDigestAndRetryOnServerErrors) {
    qt::HttpServer fake;
    const std::string slow_down =
        "<?xml version=\"1.0\"?><Error><Code>SlowDown</Code><Message>Please reduce your request "
        "rate.</Message></Error>";
    fake.serve("/media/a%20b/%C3%BC.png", {qt::HttpReply::answer(503, slow_down), qt::HttpReply::answer(200, "")});
    fake.serve("/media/always", {qt::HttpReply::answer(503, slow_down)});
    fake.serve("/media/bad",
               {qt::HttpReply::answer(400, "<Error><Code>InvalidArgument</Code><Message>no</Message></Error>")});
    fake.serve("/media/gateway", {qt::HttpReply::answer(502, "<html>bad gateway</html>")});

    S3ClientSettings settings;
    settings.access_key = "AKIDEXAMPLE";
    settings.secret_key = "secret-key";
    settings.region = "eu-central-1";
    settings.endpoint = fake.url("");
    settings.retry_delay = 10ms;
    S3Client client(settings);
    const std::string body("png\0bytes", 9);
    client.put_object("media", "a b/\xc3\xbc.png", body);

    auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.method, "PUT");
        EXPECT_EQ(r.body, body);
        EXPECT_EQ(r.headers.at("x-amz-content-sha256"), sha256_hex(body));
        EXPECT_EQ(r.headers.count("content-type"), 0u);
        const std::string& auth = r.headers.at("authorization");
        EXPECT_EQ(signed_headers(auth), (std::vector<std::string>{"host", "x-amz-content-sha256", "x-amz-date"}));
        EXPECT_TRUE(auth.starts_with("AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/")) << auth;
        EXPECT_NE(auth.find("/eu-central-1/s3/aws4_request"), std::string::npos) << auth;
        EXPECT_NE(auth.find("x-amz-content-sha256"), std::string::npos) << auth;
        EXPECT_EQ(auth.find("secret-key"), std::string::npos);
    }

    auto expect_failure = [&](const std::string& key, const char* code, long status, std::size_t attempts) {
        const std::size_t before = fake.requests().size();
        try {
            client.delete_object("media", key);
            ADD_FAILURE() << key;
        } catch (const StorageServiceError& e) {
            EXPECT_EQ(e.code(), code);
            EXPECT_EQ(e.http_status(), status);
        }
        auto seen = fake.requests();
        EXPECT_EQ(seen.size() - before, attempts) << key;
        EXPECT_EQ(seen.back().method, "DELETE");
        EXPECT_EQ(seen.back().headers.at("x-amz-content-sha256"), sha256_hex(""));
    };
    expect_failure("always", "SlowDown", 503, 3);
    expect_failure("bad", "InvalidArgument", 400, 1);
    expect_failure("gateway", "502", 502, 3);
}

}  // namespace
