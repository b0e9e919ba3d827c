#include "quillmere/graviel/instagram_api.hpp"

#include "quillmere/common/errors.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>
#include <boost/url/url.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <variant>
#include <vector>

namespace quillmere::graviel {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
namespace urls = boost::urls;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using SteadyClock = std::chrono::steady_clock;

constexpr unsigned kRateLimitStatus = 429;
constexpr unsigned kOkStatus = 200;
constexpr std::string_view kResetHeader = "X-RateLimit-Reset";
constexpr std::string_view kTimestampHeader = "X-Timestamp";
constexpr std::string_view kTokenKey = "access_token";
constexpr std::string_view kRedacted = "[redacted]";

// Where one request goes, worked out once per request.
struct Target {
    bool tls = false;
    std::string host;                          // host name or address text, without brackets
    std::optional<asio::ip::address> address;  // set when the host is an address literal
    std::uint16_t port = 0;
    std::string host_header;  // host and port as written in the address
    std::string resource;     // path and query
};

struct Response {
    unsigned status = 0;
    std::string body;
    std::optional<std::string> reset;
    std::optional<std::string> timestamp;
};

// The HTTP layer could not complete the exchange.
struct TransportError {
    std::string message;
};

using Outcome = std::variant<Response, TransportError>;

std::string encode_component(std::string_view s) { return urls::encode(s, urls::unreserved_chars); }

// Parses an absolute http or https address. Throws std::invalid_argument; the message
// never repeats the address (it may hold a query).
urls::url parse_address(std::string_view address) {
    auto parsed = urls::parse_uri(address);
    if (!parsed) throw std::invalid_argument("the Graph API address is not a valid absolute URL");
    urls::url u = *parsed;
    if (u.scheme_id() != urls::scheme::http && u.scheme_id() != urls::scheme::https) {
        throw std::invalid_argument("the Graph API address must use http or https");
    }
    if (!u.has_authority() || u.encoded_host().empty() || u.host_type() == urls::host_type::ipvfuture) {
        throw std::invalid_argument("the Graph API address has no usable host");
    }
    if (u.has_port() && !u.port().empty() && u.port_number() == 0) {
        throw std::invalid_argument("the Graph API address has an invalid port");
    }
    return u;
}

Target make_target(std::string_view address, const QueryParams& params) {
    urls::url u = parse_address(address);
    u.remove_fragment();
    std::string query(u.encoded_query());
    for (const auto& [key, value] : params) {
        if (!query.empty()) query += '&';
        query += encode_component(key);
        query += '=';
        query += encode_component(value);
    }
    if (!query.empty() || u.has_query()) u.set_encoded_query(query);

    Target t;
    t.tls = u.scheme_id() == urls::scheme::https;
    switch (u.host_type()) {
        case urls::host_type::ipv4:
            t.address = asio::ip::address_v4(u.host_ipv4_address().to_uint());
            t.host = t.address->to_string();
            break;
        case urls::host_type::ipv6:
            t.address = asio::ip::address_v6(u.host_ipv6_address().to_bytes());
            t.host = t.address->to_string();
            break;
        default:
            t.host = u.host();
            break;
    }
    t.port = (u.has_port() && !u.port().empty()) ? u.port_number() : (t.tls ? 443 : 80);
    t.host_header = u.encoded_host_and_port();
    t.resource = u.encoded_target();
    if (t.resource.empty() || t.resource.front() != '/') t.resource.insert(0, "/");
    return t;
}

// Removes the values of the request's access_token parameters (as sent and as written)
// from a log line.
class Redactor {
public:
    explicit Redactor(const QueryParams& params) {
        for (const auto& [key, value] : params) {
            if (key != kTokenKey || value.empty()) continue;
            secrets_.push_back(value);
            std::string encoded = encode_component(value);
            if (encoded != value) secrets_.push_back(std::move(encoded));
        }
    }
    std::string operator()(std::string line) const {
        for (const auto& secret : secrets_) {
            for (auto pos = line.find(secret); pos != std::string::npos;
                 pos = line.find(secret, pos + kRedacted.size())) {
                line.replace(pos, secret.size(), kRedacted);
            }
        }
        return line;
    }

private:
    std::vector<std::string> secrets_;
};

// An integer header value: an optionally signed decimal integer with blanks around it.
std::int64_t header_integer(std::string_view name, std::string_view value) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
    std::string_view s = value;
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    const bool negative = !s.empty() && s.front() == '-';
    std::string_view digits = s.substr(!s.empty() && (s.front() == '-' || s.front() == '+') ? 1 : 0);
    auto fail = [&](std::string_view what) {
        return ValueError(std::string(name) + " header is " + std::string(what) + ": '" + std::string(value) + "'");
    };
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw fail("not an integer");
    }
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    if (ec != std::errc() || magnitude > (negative ? limit : limit - 1)) throw fail("out of range");
    return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

bool is_cancellation(const error_code& ec) { return ec == asio::error::operation_aborted; }

[[noreturn]] void throw_cancelled(const error_code& ec) { throw boost::system::system_error(ec); }

std::string timeout_reason(std::chrono::milliseconds bound, std::string_view which) {
    return "timed out (" + std::string(which) + " time-out " + std::to_string(bound.count()) + " ms)";
}

}  // namespace

struct InstagramAPI::Impl {
    std::string base_url;
    std::string api_version;
    InstagramApiOptions options;
    mutable ssl::context tls{ssl::context::tls_client};

    Impl(std::string base, std::string version, InstagramApiOptions opts)
        : base_url(std::move(base)), api_version(std::move(version)), options(std::move(opts)) {
        if (options.connect_timeout.count() <= 0) throw std::invalid_argument("connect_timeout must be positive");
        if (options.exchange_timeout.count() <= 0) throw std::invalid_argument("exchange_timeout must be positive");
        if (options.max_rate_limit_wait.count() < 0) {
            throw std::invalid_argument("max_rate_limit_wait must not be negative");
        }
        parse_address(base_url);
        tls.set_default_verify_paths();
        if (!options.extra_ca_file.empty()) {
            error_code ec;
            tls.load_verify_file(options.extra_ca_file, ec);
            if (ec) throw std::runtime_error("cannot load CA file " + options.extra_ca_file + ": " + ec.message());
        }
        tls.set_verify_mode(ssl::verify_peer);
        SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_2_VERSION);
    }

    // Which time-out a deadline came from, for the message.
    std::string timeout_message(bool connect_phase) const {
        if (connect_phase && options.connect_timeout <= options.exchange_timeout) {
            return timeout_reason(options.connect_timeout, "connect");
        }
        return timeout_reason(options.exchange_timeout, "exchange");
    }

    TransportError failure(std::string what, const error_code& ec, bool connect_phase) const {
        if (is_cancellation(ec)) throw_cancelled(ec);
        what += ": ";
        what += ec == beast::error::timeout ? timeout_message(connect_phase) : ec.message();
        return TransportError{std::move(what)};
    }

    asio::awaitable<void> wait(std::chrono::seconds seconds) const {
        if (options.sleep) {
            co_await options.sleep(seconds);
            co_return;
        }
        asio::steady_timer timer(co_await asio::this_coro::executor);
        timer.expires_after(seconds);
        co_await timer.async_wait(asio::use_awaitable);
    }

    // The addresses to try, or the reason there are none.
    asio::awaitable<std::variant<std::vector<tcp::endpoint>, TransportError>> endpoints(
        const Target& t, SteadyClock::time_point deadline) const {
        std::vector<tcp::endpoint> out;
        if (t.address) {
            out.emplace_back(*t.address, t.port);
            co_return out;
        }
        using namespace asio::experimental::awaitable_operators;
        auto ex = co_await asio::this_coro::executor;
        tcp::resolver resolver(ex);
        asio::steady_timer timer(ex);
        timer.expires_at(deadline);
        auto result =
            co_await (resolver.async_resolve(t.host, std::to_string(t.port), asio::as_tuple(asio::use_awaitable)) ||
                      timer.async_wait(asio::as_tuple(asio::use_awaitable)));
        if (result.index() == 1) {
            auto [ec] = std::get<1>(result);
            if (is_cancellation(ec)) throw_cancelled(ec);
            co_return TransportError{"cannot resolve " + t.host + ": " + timeout_message(true)};
        }
        auto [ec, results] = std::get<0>(std::move(result));
        if (ec) co_return failure("cannot resolve " + t.host, ec, true);
        for (const auto& entry : results) out.push_back(entry.endpoint());
        co_return out;
    }

    template <class Stream>
    asio::awaitable<Outcome> request(Stream& stream, const Target& t) const {
        http::request<http::empty_body> req{http::verb::get, t.resource, 11};
        req.set(http::field::host, t.host_header);
        req.set(http::field::user_agent, "quillmere-graviel");
        req.set(http::field::connection, "close");
        auto [wec, written] = co_await http::async_write(stream, req, asio::as_tuple(asio::use_awaitable));
        if (wec) co_return failure("cannot send the request", wec, false);

        beast::flat_buffer buffer;
        http::response_parser<http::string_body> parser;
        auto [rec, read] = co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
        if (rec) co_return failure("cannot read the response", rec, false);

        auto& res = parser.get();
        Response out;
        out.status = res.result_int();
        out.body = std::move(res.body());
        if (auto it = res.find(kResetHeader); it != res.end()) out.reset = std::string(it->value());
        if (auto it = res.find(kTimestampHeader); it != res.end()) out.timestamp = std::string(it->value());
        co_return out;
    }

    // One attempt on a connection of its own, closed when the attempt returns.
    asio::awaitable<Outcome> exchange(const Target& t) const {
        auto ex = co_await asio::this_coro::executor;
        const auto start = SteadyClock::now();
        const auto deadline = start + options.exchange_timeout;
        const auto connect_deadline = std::min(start + options.connect_timeout, deadline);

        auto found = co_await endpoints(t, connect_deadline);
        if (auto* error = std::get_if<TransportError>(&found)) co_return std::move(*error);
        const auto& addresses = std::get<std::vector<tcp::endpoint>>(found);
        const std::string peer = t.host + ":" + std::to_string(t.port);

        if (!t.tls) {
            beast::tcp_stream stream(ex);
            stream.expires_at(connect_deadline);
            auto [cec, ep] = co_await stream.async_connect(addresses, asio::as_tuple(asio::use_awaitable));
            if (cec) co_return failure("cannot connect to " + peer, cec, true);
            stream.expires_at(deadline);
            co_return co_await request(stream, t);
        }

        beast::ssl_stream<beast::tcp_stream> stream(ex, tls);
        auto& tcp_layer = beast::get_lowest_layer(stream);
        tcp_layer.expires_at(connect_deadline);
        auto [cec, ep] = co_await tcp_layer.async_connect(addresses, asio::as_tuple(asio::use_awaitable));
        if (cec) co_return failure("cannot connect to " + peer, cec, true);
        tcp_layer.expires_at(deadline);
        if (!t.address && !SSL_set_tlsext_host_name(stream.native_handle(), t.host.c_str())) {
            co_return TransportError{"TLS handshake with " + peer + " failed: cannot set the server name"};
        }
        stream.set_verify_callback(ssl::host_name_verification(t.host));
        auto [hec] = co_await stream.async_handshake(ssl::stream_base::client, asio::as_tuple(asio::use_awaitable));
        if (hec) co_return failure("TLS handshake with " + peer + " failed", hec, false);
        co_return co_await request(stream, t);
    }

    asio::awaitable<std::optional<std::string>> get(std::string endpoint, QueryParams params, Logger& logger) const {
        const Redactor redact(params);
        Target target;
        try {
            target = make_target(base_url + "/" + api_version + "/" + endpoint, params);
        } catch (const std::exception& e) {
            logger.error(redact(std::string("Unexpected error: ") + e.what()));
            co_return std::nullopt;
        }

        const std::int64_t max_wait = options.max_rate_limit_wait.count();
        for (int attempt = 0; attempt < retry_attempts; ++attempt) {
            std::optional<Outcome> outcome;
            std::optional<std::string> unexpected;
            std::int64_t rate_limit_wait = 0;
            try {
                outcome = co_await exchange(target);
                if (auto* res = std::get_if<Response>(&*outcome); res && res->status == kRateLimitStatus) {
                    if (res->reset && !res->reset->empty()) {
                        const std::int64_t reset = header_integer(kResetHeader, *res->reset);
                        const std::int64_t now = res->timestamp ? header_integer(kTimestampHeader, *res->timestamp) : 0;
                        const __int128 difference = static_cast<__int128>(reset) - now;
                        rate_limit_wait = difference > max_wait ? max_wait
                                          : difference < std::numeric_limits<std::int64_t>::min()
                                              ? std::numeric_limits<std::int64_t>::min()
                                              : static_cast<std::int64_t>(difference);
                        logger.warning("Rate limit hit. Waiting for " + std::to_string(rate_limit_wait) +
                                       " seconds to reset.");
                    } else {
                        rate_limit_wait = std::min<std::int64_t>(std::int64_t{1} << attempt, max_wait);
                        logger.warning("Rate limit hit. Retrying in " + std::to_string(rate_limit_wait) + " seconds.");
                    }
                }
            } catch (const boost::system::system_error& e) {
                if (is_cancellation(e.code())) throw;
                unexpected = e.what();
            } catch (const std::exception& e) {
                unexpected = e.what();
            }
            if (unexpected) {
                logger.error(redact("Unexpected error: " + *unexpected));
                co_return std::nullopt;
            }

            if (auto* error = std::get_if<TransportError>(&*outcome)) {
                logger.error(
                    redact("HTTP request error on attempt " + std::to_string(attempt + 1) + ": " + error->message));
                if (attempt + 1 == retry_attempts) {
                    logger.error("Max retries reached. Cannot recover from the error.");
                    co_return std::nullopt;
                }
                co_await wait(std::chrono::seconds(std::int64_t{1} << attempt));
                continue;
            }
            auto& res = std::get<Response>(*outcome);
            if (res.status == kRateLimitStatus) {
                if (rate_limit_wait > 0) co_await wait(std::chrono::seconds(rate_limit_wait));
                continue;
            }
            if (res.status != kOkStatus) {
                logger.error(redact("Error " + std::to_string(res.status) + ": " + res.body));
                co_return std::nullopt;
            }
            co_return std::move(res.body);
        }
        co_return std::nullopt;
    }
};

namespace {
std::mutex instance_mutex;
std::atomic<InstagramAPI*> instance_ptr{nullptr};
}  // namespace

InstagramAPI& InstagramAPI::instance(const std::string& base_url, const std::string& api_version,
                                     InstagramApiOptions options) {
    if (auto* existing = instance_ptr.load(std::memory_order_acquire)) return *existing;
    std::lock_guard lock(instance_mutex);
    if (auto* existing = instance_ptr.load(std::memory_order_relaxed)) return *existing;
    // Lives until the process ends, as the host expects of the one client.
    auto* created = new InstagramAPI(base_url, api_version, std::move(options));
    instance_ptr.store(created, std::memory_order_release);
    return *created;
}

InstagramAPI* InstagramAPI::existing() noexcept { return instance_ptr.load(std::memory_order_acquire); }

InstagramAPI::InstagramAPI(const std::string& base_url, const std::string& api_version, InstagramApiOptions options)
    : impl_(std::make_unique<Impl>(base_url, api_version, std::move(options))) {}
InstagramAPI::~InstagramAPI() = default;

const std::string& InstagramAPI::base_url() const noexcept { return impl_->base_url; }
const std::string& InstagramAPI::api_version() const noexcept { return impl_->api_version; }
const InstagramApiOptions& InstagramAPI::options() const noexcept { return impl_->options; }

boost::asio::awaitable<std::optional<std::string>> InstagramAPI::make_get_request(std::string endpoint,
                                                                                  QueryParams params, Logger& logger) {
    return impl_->get(std::move(endpoint), std::move(params), logger);
}

QueryParams InstagramAPI::build_query(std::string access_token, std::string fields,
                                      const std::optional<QueryParams>& extra_params) {
    QueryParams query;
    query.reserve(2 + (extra_params ? extra_params->size() : 0));
    query.emplace_back("access_token", std::move(access_token));
    query.emplace_back("fields", std::move(fields));
    if (extra_params) {
        for (const auto& param : *extra_params) {
            auto it = std::find_if(query.begin(), query.end(), [&](const auto& p) { return p.first == param.first; });
            if (it != query.end()) {
                it->second = param.second;
            } else {
                query.push_back(param);
            }
        }
    }
    return query;
}

boost::asio::awaitable<std::optional<std::string>> InstagramAPI::fetch_instagram_data(
    std::string endpoint, std::string access_token, std::string fields, Logger& logger,
    std::optional<QueryParams> extra_params) {
    return impl_->get(std::move(endpoint), build_query(std::move(access_token), std::move(fields), extra_params),
                      logger);
}

}  // namespace quillmere::graviel
