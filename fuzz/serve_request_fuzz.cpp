// Raw bytes as what a client sends to the webhook listener, read by the listener's own
// parser and limits (parse_request) and examined by the receiver (Receiver::examine: the
// routes, the subscription handshake, the signature). For every input:
// - reading never fails: a request, or a refusal that is 400, 413 or 431 (or none, for
//   bytes that end before a request does); a request read has a body within the limit;
// - examining never fails, and answers only with the statuses the receiver knows;
// - a delivery is taken (enqueue) exactly when it is a POST to the webhook path with one
//   X-Hub-Signature-256 header that equals "sha256=" and the HMAC-SHA256 of the body
//   (OpenSSL, computed here), and its digest is the body's SHA-256 (computed here); any
//   other POST to the webhook path is a 401 that names a reason;
// - the handshake answers 200 exactly when a second, plain reading of the query finds one
//   hub.mode "subscribe", one hub.verify_token equal to the token and one hub.challenge,
//   and then the answer's body is that challenge.
// A header value "sha256=@" is replaced by the right signature of the body before the
// bytes are read again, so that the fuzzer reaches the accepted deliveries too; the same
// bytes with one body byte changed must then be refused.

#include "checks.hpp"
#include "host/http_message.hpp"
#include "host/metrics.hpp"
#include "host/queue.hpp"
#include "host/receiver.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <boost/asio/thread_pool.hpp>
#include <boost/url/parse.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace host = quillmere::host;
namespace http = host::http;

constexpr std::string_view secret = "fuzz-app-secret";
constexpr std::string_view token = "fuzz-verify-token";
constexpr std::string_view placeholder = "sha256=@";
const host::HttpLimits limits{.max_body = 4096, .max_header = 8192};

[[noreturn]] void fail(const char* what, std::string_view input) {
    std::fprintf(stderr, "serve_request_fuzz: %s\ninput: %s\n", what, quillmere::fuzz::escaped(input).c_str());
    std::abort();
}

// examine() reads no queue; one that is called is a fault of the harness.
class UnusedQueue final : public host::Queue {
public:
    host::EnqueueResult enqueue(std::string_view, std::string_view) override { std::abort(); }
    std::vector<host::LeasedDelivery> lease(std::size_t, std::chrono::milliseconds) override { std::abort(); }
    void ack(const host::LeasedDelivery&) override { std::abort(); }
    void retry(const host::LeasedDelivery&, std::string_view, std::chrono::milliseconds) override { std::abort(); }
    void dead_letter(const host::LeasedDelivery&, std::string_view) override { std::abort(); }
    std::size_t depth() override { std::abort(); }
    bool ready() override { std::abort(); }
};

struct Harness {
    UnusedQueue queue;
    host::Metrics metrics;
    boost::asio::thread_pool pool{1};
    host::Receiver receiver{config(), queue, metrics, pool};

    static host::WebhookConfig config() {
        host::WebhookConfig c;
        c.app_secret = {std::string(secret), "literal"};
        c.verify_token = {std::string(token), "literal"};
        c.max_body = limits.max_body;
        return c;
    }
};

Harness& harness() {
    static Harness* h = new Harness();
    return *h;
}

std::string hex(const unsigned char* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0f];
    }
    return out;
}

std::string hmac_hex(std::string_view body) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(body.data()), body.size(), out, &n);
    return hex(out, n);
}

std::string sha256_hex(std::string_view body) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(body.data(), body.size(), out, &n, EVP_sha256(), nullptr);
    return hex(out, n);
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// A plain reading of a form-encoded query: "+" is a space, "%XX" a byte; nothing when an
// escape is not two hex digits.
std::optional<std::string> decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            auto value = [](char h) -> int {
                if (h >= '0' && h <= '9') return h - '0';
                if (h >= 'a' && h <= 'f') return h - 'a' + 10;
                if (h >= 'A' && h <= 'F') return h - 'A' + 10;
                return -1;
            };
            int high = value(text[i + 1]), low = value(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

struct Query {
    std::vector<std::pair<std::string, std::string>> params;
    bool valid = true;
    std::size_t count(std::string_view key) const {
        std::size_t n = 0;
        for (const auto& [k, v] : params) n += k == key;
        return n;
    }
    const std::string* first(std::string_view key) const {
        for (const auto& [k, v] : params) {
            if (k == key) return &v;
        }
        return nullptr;
    }
};

Query read_query(std::string_view target) {
    Query query;
    auto mark = target.find('?');
    if (mark == std::string_view::npos) return query;
    std::string_view rest = target.substr(mark + 1);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    std::size_t start = 0;
    while (start <= rest.size()) {
        auto end = rest.find('&', start);
        if (end == std::string_view::npos) end = rest.size();
        std::string_view part = rest.substr(start, end - start);
        auto equals = part.find('=');
        auto key = decode(part.substr(0, equals));
        auto value =
            equals == std::string_view::npos ? std::optional<std::string>("") : decode(part.substr(equals + 1));
        if (!key || !value)
            query.valid = false;
        else
            query.params.emplace_back(*key, *value);
        start = end + 1;
    }
    return query;
}

void check(std::string_view input, bool expect_taken) {
    host::ParsedRequest parsed = host::parse_request(input, limits);
    const auto refusal = parsed.refusal;
    if (parsed.request) {
        if (refusal != http::status::unknown) fail("a request and a refusal", input);
        if (parsed.request->body().size() > limits.max_body) fail("a body beyond the limit was read", input);
    } else if (refusal != http::status::unknown && refusal != http::status::bad_request &&
               refusal != http::status::payload_too_large && refusal != http::status::request_header_fields_too_large) {
        fail("an unknown refusal", input);
    }
    if (!parsed.request) {
        if (expect_taken) fail("a signed request could not be read again", input);
        return;
    }
    const host::HttpRequest& request = *parsed.request;
    auto verdict = harness().receiver.examine(request);

    auto target = boost::urls::parse_origin_form(request.target());
    const bool webhook = target && target->path() == "/webhook";
    auto fields = request.equal_range("X-Hub-Signature-256");
    const auto signatures = std::distance(fields.first, fields.second);
    const bool signed_right = signatures == 1 && fields.first->value().size() == 71 &&
                              fields.first->value().substr(0, 7) == "sha256=" &&
                              lower(fields.first->value().substr(7)) == hmac_hex(request.body());
    const bool post_webhook = webhook && request.method() == http::verb::post;

    if (verdict.action == host::Receiver::Action::enqueue) {
        if (!post_webhook || !signed_right) fail("a delivery taken without the right signature", input);
        if (verdict.digest != sha256_hex(request.body())) fail("the digest is not the body's SHA-256", input);
        if (verdict.kind != host::Receiver::Kind::delivery) fail("a delivery not named one", input);
    } else {
        if (post_webhook && signed_right) fail("a rightly signed delivery was refused", input);
        if (expect_taken) fail("the placeholder signature did not make it a delivery", input);
    }
    if (verdict.action != host::Receiver::Action::answer) return;
    const unsigned status = verdict.response.result_int();
    static const unsigned known[] = {200, 400, 401, 403, 404, 405};
    bool is_known = false;
    for (unsigned k : known) is_known |= k == status;
    if (!is_known) fail("an unknown status", input);
    if (post_webhook) {
        if (status != 401 || !verdict.rejection) fail("a refused delivery without 401 and its reason", input);
    }
    if (webhook && request.method() == http::verb::get) {
        Query query = read_query(request.target());
        const bool right = query.valid && query.count("hub.mode") == 1 && *query.first("hub.mode") == "subscribe" &&
                           query.count("hub.verify_token") == 1 && *query.first("hub.verify_token") == token &&
                           query.count("hub.challenge") == 1;
        if (status == 200) {
            if (!right) fail("a handshake accepted that a plain reading refuses", input);
            if (verdict.response.body() != *query.first("hub.challenge")) fail("the challenge was not echoed", input);
        } else if (right && status == 403) {
            fail("a handshake refused that a plain reading accepts", input);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    check(input, false);

    // The placeholder signature, made right: the delivery must be taken, and refused once
    // a byte of its body changes.
    auto at = input.find(placeholder);
    if (at == std::string_view::npos || input.find(placeholder, at + 1) != std::string_view::npos) return 0;
    auto first = host::parse_request(input, limits);
    if (!first.request) return 0;
    auto fields = first.request->equal_range("X-Hub-Signature-256");
    if (std::distance(fields.first, fields.second) != 1 || fields.first->value() != placeholder) return 0;
    auto target = boost::urls::parse_origin_form(first.request->target());
    if (first.request->method() != http::verb::post || !target || target->path() != "/webhook") return 0;
    std::string body = first.request->body();
    // Chunked bodies arrive in parts: only a body sent in one piece is rewritten here.
    if (first.request->chunked() || !input.ends_with(body)) return 0;
    // The right signature is 64 digits longer: the header must stay within its limit.
    if (input.size() - body.size() + 64 > limits.max_header) return 0;
    std::string signed_input(input);
    signed_input.replace(at, placeholder.size(), "sha256=" + hmac_hex(body));
    check(signed_input, true);
    if (!body.empty()) {
        signed_input[signed_input.size() - 1] ^= 0x01;
        auto changed = host::parse_request(signed_input, limits);
        if (changed.request && harness().receiver.examine(*changed.request).action == host::Receiver::Action::enqueue) {
            fail("a delivery with a changed body was taken", signed_input);
        }
    }
    return 0;
}
