// The object-storage manager against a real S3-compatible server on loopback.

#include "http_server.hpp"
#include "s3_peer.hpp"
#include "support/process.hpp"

#include "quillmere/Brastow/brastow.hpp"
#include "quillmere/Brastow/s3_client.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
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

Brastow manager(BrastowOptions options = {}, const char* secret = kSecretKey, const char* access = kAccessKey,
                const char* region = kRegion) {
    return Brastow(access, secret, "production", region, endpoint(), std::move(options));
}

BrastowOptions with_fetch(FetchLimits limits) { return {.fetch = limits, .store_content_type = true}; }

// A client of the peer that goes multipart above 5 MiB, in parts of 5 MiB (the smallest S3
// takes).
constexpr std::uint64_t kPart = 5 * 1024 * 1024;
S3ClientSettings small_parts(std::string endpoint) {
    S3ClientSettings settings;
    settings.access_key = kAccessKey;
    settings.secret_key = kSecretKey;
    settings.endpoint = std::move(endpoint);
    settings.multipart_threshold = kPart;
    settings.part_size = kPart;
    settings.retry_delay = 10ms;
    return settings;
}

size_t append(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

struct Answer {
    long status = 0;
    std::string body;
    std::string content_type;
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
    const char* type = nullptr;
    curl_easy_getinfo(h.get(), CURLINFO_CONTENT_TYPE, &type);
    if (type != nullptr) answer.content_type = type;
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

    Brastow m = manager(with_fetch({300ms, 1000}));
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

TEST(Storage, ClientWithoutRegionSignsForApSouth1) {
    // The peer refuses a signature for any region but ap-south-1.
    S3ClientSettings settings;
    settings.access_key = kAccessKey;
    settings.secret_key = kSecretKey;
    settings.endpoint = endpoint();
    Brastow m(std::make_unique<S3Client>(settings), "production");
    m.upload_file("default region", kBucket, "region/default");
    expect_stored("region/default", "default region");
}

TEST(Storage, SlowButSteadyFetchIsStoredAStalledOneIsNot) {
    qt::HttpServer web;
    const std::string body = random_bytes(6000, 21);
    // 20 pieces, 100 ms apart: two seconds in all, never a second without a byte.
    web.serve("/trickle.jpg", {qt::HttpReply::trickle(body, 300, 100ms)});
    // A thousand bytes, then nothing for longer than the test waits.
    web.serve("/stalls.jpg", {qt::HttpReply::stalling(body, 1000, 60s)});
    web.serve("/headers-only.jpg", {qt::HttpReply::stalling(body, 0, 60s)});
    web.serve("/never-answers.jpg", {qt::HttpReply::late(body, 60s)});

    Brastow m = manager(with_fetch({.timeout = 60s, .max_bytes = 1 << 20, .stall_timeout = 1s}));
    m.upload_file(web.url("/trickle.jpg"), kBucket, "stall/trickle.jpg");
    expect_stored("stall/trickle.jpg", body);

    m.upload_file("old content", kBucket, "stall/kept.jpg");
    for (const char* target : {"/stalls.jpg", "/headers-only.jpg", "/never-answers.jpg"}) {
        const auto started = std::chrono::steady_clock::now();
        try {
            m.update_file(web.url(target), kBucket, "stall/kept.jpg");
            ADD_FAILURE() << target << " was stored";
        } catch (const FetchError& e) {
            EXPECT_EQ(std::string(e.what()), "fetching " + web.url(target) + " failed: nothing arrived for 1 s");
        }
        // The check runs about once a second; the server would stall for a minute.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << target;
        expect_stored("stall/kept.jpg", "old content");
    }

    // The overall cap still ends a fetch that keeps moving.
    Brastow capped = manager(with_fetch({.timeout = 500ms, .max_bytes = 1 << 20, .stall_timeout = 5s}));
    EXPECT_THROW(
        {
            try {
                capped.upload_file(web.url("/trickle.jpg"), kBucket, "stall/capped.jpg");
            } catch (const FetchError& e) {
                EXPECT_NE(std::string(e.what()).find("no complete answer within 500 ms"), std::string::npos)
                    << e.what();
                throw;
            }
        },
        FetchError);
    expect_absent("stall/capped.jpg");
}

TEST(Storage, ContentTypeIsStoredUnlessTurnedOff) {
    qt::HttpServer web;
    auto typed = [](std::string body, std::string type) {
        qt::HttpReply r = qt::HttpReply::answer(200, std::move(body));
        r.headers.emplace_back("Content-Type", std::move(type));
        return r;
    };
    web.serve("/png", {typed("png bytes", "image/png")});
    web.serve("/untyped", {qt::HttpReply::answer(200, "untyped bytes")});
    qt::HttpReply moved = qt::HttpReply::redirect("/gif");
    moved.body = "<html>moved</html>";
    moved.headers.emplace_back("Content-Type", "text/html");
    web.serve("/moved", {moved});
    web.serve("/gif", {typed("gif bytes", "image/gif")});

    struct Case {
        std::string content;  // an address of `web` or content
        std::string key;
        std::string stored;
        std::string type;
    };
    const Case cases[] = {
        // The answer's own type, whatever the key says.
        {web.url("/png"), "type/from-answer.bin", "png bytes", "image/png"},
        // No type in the answer: the key's.
        {web.url("/untyped"), "type/from-key.mp4", "untyped bytes", "video/mp4"},
        // The final answer's type and body, not the redirect's.
        {web.url("/moved"), "type/redirected", "gif bytes", "image/gif"},
        {"{\"a\": 1}", "type/content.json", "{\"a\": 1}", "application/json"},
        {"plain", "type/content.JPG", "plain", "image/jpeg"},
        // Nothing known: the store's default.
        {"plain", "type/no-extension", "plain", "binary/octet-stream"},
    };
    Brastow m = manager();
    Brastow plain = manager({.fetch = {}, .store_content_type = false});
    for (const auto& c : cases) {
        m.upload_file(c.content, kBucket, c.key);
        Answer a = read_back(c.key);
        EXPECT_EQ(a.body, c.stored) << c.key;
        EXPECT_EQ(a.content_type, c.type) << c.key;

        plain.upload_file(c.content, kBucket, c.key + ".plain");
        EXPECT_EQ(read_back(c.key + ".plain").content_type, "binary/octet-stream") << c.key;
    }
    m.upload_file(bytes("bytes"), kBucket, "type/bytes.webp");
    EXPECT_EQ(read_back("type/bytes.webp").content_type, "image/webp");
}

// How many requests of a kind the peer has answered for `key`: "PUT <key>?partNumber=" and so on.
std::size_t peer_requests(const std::string& method, const std::string& key, const std::string& query_start) {
    const std::string log = S3Peer::process->log();
    const std::string wanted = method + " /" + kBucket + "/" + key + query_start;
    std::size_t count = 0;
    std::stringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(wanted) && (!query_start.empty() || line[wanted.size()] == ' ')) ++count;
    }
    return count;
}

std::size_t open_uploads() {
    const auto dir = S3Peer::process->data_directory() / kBucket / "._S3rver_uploads";
    if (!std::filesystem::exists(dir)) return 0;
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
}

TEST(Storage, LargeBodiesGoUpInParts) {
    Brastow m(std::make_unique<S3Client>(small_parts(endpoint())), "production");
    struct Case {
        std::string key;
        std::size_t size;
        std::size_t parts;  // 0: one PutObject
    };
    const Case cases[] = {
        {"parts/at-threshold.bin", kPart, 0},
        {"parts/just-over.bin", kPart + 1, 2},
        {"parts/two-exactly.bin", 2 * kPart, 2},
        {"parts/three.mp4", 2 * kPart + 12345, 3},
    };
    unsigned seed = 100;
    for (const auto& c : cases) {
        const std::string body = random_bytes(c.size, seed++);
        m.upload_file(bytes(body), kBucket, c.key);
        expect_stored(c.key, body);
        EXPECT_EQ(peer_requests("PUT", c.key, "?partNumber="), c.parts) << c.key;
        EXPECT_EQ(peer_requests("POST", c.key, "?uploads="), c.parts > 0 ? 1u : 0u) << c.key;
        EXPECT_EQ(peer_requests("PUT", c.key, ""), c.parts > 0 ? 0u : 1u) << c.key;
    }
    EXPECT_EQ(read_back("parts/three.mp4").content_type, "video/mp4");
    EXPECT_EQ(open_uploads(), 0u);
}

TEST(Storage, FetchedBodyIsStreamedInParts) {
    qt::HttpServer web;
    struct Case {
        std::string key;
        std::uint64_t size;
        bool chunked;
        std::size_t parts;
    };
    const Case cases[] = {
        {"stream/one-put.mov", kPart, false, 0},
        {"stream/two.mov", 2 * kPart, true, 2},
        {"stream/three.mov", 2 * kPart + 777, false, 3},
        {"stream/three-chunked.mov", 2 * kPart + 777, true, 3},
    };
    for (const auto& c : cases) {
        qt::HttpReply reply;
        reply.generated = c.size;
        reply.chunked = c.chunked;
        reply.headers.emplace_back("Content-Type", "video/quicktime");
        web.serve("/" + c.key, {reply});
    }
    Brastow m(std::make_unique<S3Client>(small_parts(endpoint())), "production");
    for (const auto& c : cases) {
        m.upload_file(web.url("/" + c.key), kBucket, c.key);
        Answer a = read_back(c.key);
        EXPECT_EQ(a.body.size(), c.size) << c.key;
        EXPECT_TRUE(a.body == qt::pattern_bytes(0, c.size)) << c.key;
        EXPECT_EQ(a.content_type, "video/quicktime") << c.key;
        EXPECT_EQ(peer_requests("PUT", c.key, "?partNumber="), c.parts) << c.key;
    }
    EXPECT_EQ(open_uploads(), 0u);
}

TEST(Storage, FailedStreamedFetchAbortsTheUpload) {
    qt::HttpServer web;
    qt::HttpReply reply;
    reply.generated = 3 * kPart;
    // Two parts have gone up when the content stalls.
    reply.stall_after = 2 * kPart + 1000;
    reply.stall = 60s;
    web.serve("/stalls.mp4", {reply});
    // Without a length up front: the size limit is found past two parts.
    qt::HttpReply too_big;
    too_big.generated = 3 * kPart;
    too_big.chunked = true;
    web.serve("/too-big.mp4", {too_big});

    auto manager_with = [](FetchLimits limits) {
        return Brastow(std::make_unique<S3Client>(small_parts(endpoint())), "production", with_fetch(limits));
    };
    Brastow stalls = manager_with({.timeout = 60s, .max_bytes = 1 << 30, .stall_timeout = 1s});
    Brastow limited = manager_with({.timeout = 60s, .max_bytes = 2 * kPart + 5000, .stall_timeout = 10s});
    stalls.upload_file("old content", kBucket, "abort/kept.mp4");
    const std::pair<Brastow*, const char*> cases[] = {{&stalls, "/stalls.mp4"}, {&limited, "/too-big.mp4"}};
    for (const auto& [m, target] : cases) {
        EXPECT_THROW(m->update_file(web.url(target), kBucket, "abort/kept.mp4"), FetchError) << target;
        expect_stored("abort/kept.mp4", "old content");
    }
    EXPECT_EQ(peer_requests("POST", "abort/kept.mp4", "?uploads="), 2u);
    EXPECT_EQ(peer_requests("DELETE", "abort/kept.mp4", "?uploadId="), 2u);
    EXPECT_EQ(peer_requests("POST", "abort/kept.mp4", "?uploadId="), 0u);
    EXPECT_EQ(open_uploads(), 0u);
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
    client.put_object("media", "k", small, {});
    client.put_object("media", "k", large, {});
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
    client.put_object("media", "a b/\xc3\xbc.png", body, {});

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

// A multipart upload seen by a server of the test standing in for S3: each part is sent
// once, a part that fails is sent again alone, and the parts are named in order.
TEST(S3ClientRequests, MultipartUploadRetriesOnePart) {
    qt::HttpServer fake;
    const std::string id = "id+/=1", encoded_id = "id%2B%2F%3D1";
    const std::string base = "/media/big.mp4";
    auto etag = [](std::string value) {
        qt::HttpReply r = qt::HttpReply::answer(200, "");
        r.headers.emplace_back("ETag", std::move(value));
        return r;
    };
    const std::string slow_down = "<Error><Code>SlowDown</Code><Message>Reduce your rate.</Message></Error>";
    fake.serve(base + "?uploads=",
               {qt::HttpReply::answer(200, "<InitiateMultipartUploadResult><UploadId>" + std::string("id+/=1") +
                                               "</UploadId></InitiateMultipartUploadResult>")});
    fake.serve(base + "?partNumber=1&uploadId=" + encoded_id, {etag("\"e1\"")});
    fake.serve(base + "?partNumber=2&uploadId=" + encoded_id, {qt::HttpReply::answer(503, slow_down), etag("\"e2\"")});
    fake.serve(base + "?partNumber=3&uploadId=" + encoded_id, {etag("\"e<3>\"")});
    fake.serve(base + "?uploadId=" + encoded_id,
               {qt::HttpReply::answer(200,
                                      "<CompleteMultipartUploadResult><ETag>\"x-3\"</ETag>"
                                      "</CompleteMultipartUploadResult>")});

    S3Client client(small_parts(fake.url("")));
    const std::string body = random_bytes(2 * kPart + 1000, 9);
    client.put_object("media", "big.mp4", body, {.content_type = "video/mp4"});

    const auto requests = fake.requests();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"POST", base + "?uploads="},
        {"PUT", base + "?partNumber=1&uploadId=" + encoded_id},
        {"PUT", base + "?partNumber=2&uploadId=" + encoded_id},
        {"PUT", base + "?partNumber=2&uploadId=" + encoded_id},
        {"PUT", base + "?partNumber=3&uploadId=" + encoded_id},
        {"POST", base + "?uploadId=" + encoded_id},
    };
    ASSERT_EQ(requests.size(), expected.size());
    const std::string parts[] = {body.substr(0, kPart), body.substr(kPart, kPart), body.substr(kPart, kPart),
                                 body.substr(2 * kPart)};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto& r = requests[i];
        EXPECT_EQ(r.method, expected[i].first) << i;
        EXPECT_EQ(r.target, expected[i].second) << i;
        EXPECT_EQ(r.headers.at("x-amz-content-sha256"), sha256_hex(r.body)) << i;
        for (const auto& name : signed_headers(r.headers.at("authorization"))) {
            EXPECT_EQ(r.headers.count(name), 1u) << i << " signs " << name;
        }
        if (i >= 1 && i <= 4) {
            EXPECT_TRUE(r.body == parts[i - 1]) << i;
            EXPECT_EQ(r.headers.count("content-type"), 0u) << i;
        }
    }
    // The object's type goes with the start of the upload; nothing of a form type.
    EXPECT_EQ(requests[0].headers.at("content-type"), "video/mp4");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(requests[5].headers.at("content-type"), "application/xml");
    EXPECT_EQ(requests[5].body,
              "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
              "<Part><PartNumber>1</PartNumber><ETag>\"e1\"</ETag></Part>"
              "<Part><PartNumber>2</PartNumber><ETag>\"e2\"</ETag></Part>"
              "<Part><PartNumber>3</PartNumber><ETag>\"e&lt;3&gt;\"</ETag></Part>"
              "</CompleteMultipartUpload>");
}

TEST(S3ClientRequests, FailedMultipartUploadIsAborted) {
    const std::string base = "/media/big.bin";
    const std::string started =
        "<InitiateMultipartUploadResult><UploadId>u1</UploadId></InitiateMultipartUploadResult>";
    auto etag = [] {
        qt::HttpReply r = qt::HttpReply::answer(200, "");
        r.headers.emplace_back("ETag", "\"e\"");
        return r;
    };
    struct Case {
        const char* name;
        std::vector<qt::HttpReply> part2;
        std::vector<qt::HttpReply> complete;
        std::string code;
        long status;
        std::size_t requests;  // start, parts, completion, abort
    };
    const std::string denied = "<Error><Code>AccessDenied</Code><Message>no</Message></Error>";
    // S3 may answer the completion with 200 and an error document.
    const std::string internal = "<Error><Code>InternalError</Code><Message>try again</Message></Error>";
    const Case cases[] = {
        {"part refused",
         {qt::HttpReply::answer(403, denied)},
         {qt::HttpReply::answer(204, "")},
         "AccessDenied",
         403,
         4},
        {"part without ETag", {qt::HttpReply::answer(200, "")}, {qt::HttpReply::answer(204, "")}, "", 0, 4},
        {"completion failed in a 200",
         {etag()},
         {qt::HttpReply::answer(200, internal), qt::HttpReply::answer(204, "")},
         "InternalError",
         200,
         5},
    };
    for (const auto& c : cases) {
        qt::HttpServer fake;
        fake.serve(base + "?uploads=", {qt::HttpReply::answer(200, started)});
        fake.serve(base + "?partNumber=1&uploadId=u1", {etag()});
        fake.serve(base + "?partNumber=2&uploadId=u1", c.part2);
        fake.serve(base + "?uploadId=u1", c.complete);
        S3Client client(small_parts(fake.url("")));
        try {
            client.put_object("media", "big.bin", random_bytes(kPart + 10, 3), {});
            ADD_FAILURE() << c.name;
        } catch (const StorageServiceError& e) {
            EXPECT_EQ(e.code(), c.code) << c.name;
            EXPECT_EQ(e.http_status(), c.status) << c.name;
        } catch (const StorageCoreError& e) {
            EXPECT_EQ(c.code, "") << c.name << ": " << e.what();
            EXPECT_STREQ(e.what(), "S3 UploadPart: the answer holds no ETag");
        }
        const auto requests = fake.requests();
        ASSERT_EQ(requests.size(), c.requests) << c.name;
        EXPECT_EQ(requests.back().method, "DELETE") << c.name;
        EXPECT_EQ(requests.back().target, base + "?uploadId=u1") << c.name;
    }
}

}  // namespace
