#include "quillmere/graviel/instagram_api.hpp"

#include "quillmere/common/errors.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
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
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
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
constexpr std::string_view kAppUsageHeader = "X-App-Usage";
constexpr std::string_view kBusinessUsageHeader = "X-Business-Use-Case-Usage";
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
    std::optional<std::string> app_usage;
    std::optional<std::string> business_usage;
};

// The HTTP layer could not complete the exchange.
struct TransportError {
    std::string message;
};

// The answer cannot be read for a reason that another attempt would not change.
struct UnreadableAnswer {
    std::string message;
};

// The request's own deadline came before the answer.
struct DeadlineReached {};

using Outcome = std::variant<Response, TransportError, UnreadableAnswer, DeadlineReached>;

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

// An integer of any length, as the rate-limit headers carry it: a sign and the decimal
// digits of the magnitude without leading zeros ("0" for zero, never negative).
struct Integer {
    bool negative = false;
    std::string digits = "0";
};

// An integer header value: an optionally signed decimal integer with blanks around it.
Integer header_integer(std::string_view name, std::string_view value) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
    std::string_view s = value;
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    Integer out;
    out.negative = !s.empty() && s.front() == '-';
    std::string_view digits = s.substr(!s.empty() && (s.front() == '-' || s.front() == '+') ? 1 : 0);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw ValueError(std::string(name) + " header is not an integer: '" + std::string(value) + "'");
    }
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    out.digits = std::string(digits);
    if (out.digits == "0") out.negative = false;
    return out;
}

int compare_magnitudes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

std::string add_magnitudes(std::string_view a, std::string_view b) {
    std::string out;
    out.reserve(std::max(a.size(), b.size()) + 1);
    int carry = 0;
    for (std::size_t i = 0; i < a.size() || i < b.size() || carry; ++i) {
        int d = carry;
        if (i < a.size()) d += a[a.size() - 1 - i] - '0';
        if (i < b.size()) d += b[b.size() - 1 - i] - '0';
        out.push_back(static_cast<char>('0' + d % 10));
        carry = d / 10;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// a - b for magnitudes with a >= b.
std::string subtract_magnitudes(std::string_view a, std::string_view b) {
    std::string out;
    out.reserve(a.size());
    int borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        int d = (a[a.size() - 1 - i] - '0') - borrow - (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
        borrow = d < 0;
        out.push_back(static_cast<char>('0' + (d + 10) % 10));
    }
    while (out.size() > 1 && out.back() == '0') out.pop_back();
    std::reverse(out.begin(), out.end());
    return out;
}

// a - b, exactly.
Integer difference(const Integer& a, const Integer& b) {
    Integer out;
    if (a.negative != b.negative) {
        out.digits = add_magnitudes(a.digits, b.digits);
        out.negative = a.negative;
    } else if (compare_magnitudes(a.digits, b.digits) >= 0) {
        out.digits = subtract_magnitudes(a.digits, b.digits);
        out.negative = a.negative;
    } else {
        out.digits = subtract_magnitudes(b.digits, a.digits);
        out.negative = !a.negative;
    }
    if (out.digits == "0") out.negative = false;
    return out;
}

std::string decimal(const Integer& i) { return i.negative ? "-" + i.digits : i.digits; }

// The wait in whole seconds for a computed wait time: nothing for zero or less, at most
// `cap` (saturating, whatever the length of the value).
std::int64_t bounded_wait(const Integer& wait, std::int64_t cap) {
    if (wait.negative || wait.digits == "0") return 0;
    if (compare_magnitudes(wait.digits, std::to_string(cap)) > 0) return cap;
    std::int64_t seconds = 0;
    std::from_chars(wait.digits.data(), wait.digits.data() + wait.digits.size(), seconds);
    return seconds;
}

bool is_cancellation(const error_code& ec) { return ec == asio::error::operation_aborted; }

[[noreturn]] void throw_cancelled(const error_code& ec) { throw boost::system::system_error(ec); }

std::string timeout_reason(std::chrono::milliseconds bound, std::string_view which) {
    return "timed out (" + std::string(which) + " time-out " + std::to_string(bound.count()) + " ms)";
}

// A bound on the connections of one client open at once, shared by every request of the
// client on any thread and any event loop. A request beyond the bound waits its turn
// (first come, first served) as an asynchronous operation: its event loop goes on with
// other work, and the turn is handed to it on its own executor.
class ConnectionLimiter {
public:
    explicit ConnectionLimiter(std::size_t limit) : free_(limit) {}
    ConnectionLimiter(const ConnectionLimiter&) = delete;
    ConnectionLimiter& operator=(const ConnectionLimiter&) = delete;
    ~ConnectionLimiter() {
        std::deque<std::shared_ptr<Waiter>> left;
        {
            std::lock_guard lock(mutex_);
            left.swap(queue_);
        }
        // Waiters still queued belong to event loops that were destroyed while they
        // waited; dropping their operations frees their coroutines.
        for (auto& w : left) w->op.reset();
    }

    // One connection's worth of the bound, given back when destroyed.
    class Permit {
    public:
        Permit() = default;
        explicit Permit(ConnectionLimiter* owner) : owner_(owner) {}
        Permit(Permit&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
        Permit& operator=(Permit&& other) noexcept {
            if (this != &other) {
                reset();
                owner_ = std::exchange(other.owner_, nullptr);
            }
            return *this;
        }
        ~Permit() { reset(); }
        explicit operator bool() const noexcept { return owner_ != nullptr; }

    private:
        void reset() {
            if (auto* owner = std::exchange(owner_, nullptr)) owner->release();
        }
        ConnectionLimiter* owner_ = nullptr;
    };

    // A permit, or an empty one when `deadline` passes first. Cancellation by the caller
    // ends the wait with the cancellation error (and takes nothing).
    asio::awaitable<Permit> acquire(SteadyClock::time_point deadline);

private:
    // The completion of one queued wait, of whatever handler type.
    struct Pending {
        virtual ~Pending() = default;
        virtual void complete(error_code ec) = 0;
    };

    template <class Handler>
    struct PendingOp final : Pending {
        using Executor = asio::associated_executor_t<Handler, asio::any_io_executor>;
        PendingOp(Handler&& h, const asio::any_io_executor& io)
            : handler(std::move(h)),
              work(asio::prefer(asio::get_associated_executor(handler, io),
                                asio::execution::outstanding_work.tracked)) {}
        // Runs the handler on its executor, never inside the caller of complete.
        void complete(error_code ec) override {
            auto target = work;
            asio::post(target, [h = std::move(handler), ec, keep = std::move(work)]() mutable {
                asio::get_associated_cancellation_slot(h).clear();
                std::move(h)(ec);
            });
        }
        Handler handler;
        // Keeps the waiter's event loop running while it waits for a turn that another
        // event loop may hand over.
        decltype(asio::prefer(std::declval<Executor>(), asio::execution::outstanding_work.tracked)) work;
    };

    struct Waiter {
        bool granted = false;         // under mutex_
        std::unique_ptr<Pending> op;  // under mutex_; set while queued
    };

    // The waiter's hold on its turn: gives back a turn granted but not taken, and takes a
    // waiter that never got one out of the queue.
    class Turn {
    public:
        Turn(ConnectionLimiter& limiter, std::shared_ptr<Waiter> w) : limiter_(limiter), waiter_(std::move(w)) {}
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        Permit take() {
            std::lock_guard lock(limiter_.mutex_);
            if (!waiter_->granted || taken_) return Permit();
            taken_ = true;
            return Permit(&limiter_);
        }
        ~Turn() {
            bool give_back = false;
            std::unique_ptr<Pending> op;
            {
                std::lock_guard lock(limiter_.mutex_);
                if (waiter_->granted) {
                    give_back = !taken_;
                } else {
                    auto& q = limiter_.queue_;
                    q.erase(std::remove(q.begin(), q.end(), waiter_), q.end());
                    op = std::move(waiter_->op);
                }
            }
            if (give_back) limiter_.release();
        }

    private:
        ConnectionLimiter& limiter_;
        std::shared_ptr<Waiter> waiter_;
        bool taken_ = false;
    };

    template <class Token>
    auto async_wait_turn(std::shared_ptr<Waiter> w, asio::any_io_executor io, Token&& token) {
        return asio::async_initiate<Token, void(error_code)>(
            [this, w = std::move(w), io](auto handler) {
                using Handler = decltype(handler);
                auto slot = asio::get_associated_cancellation_slot(handler);
                auto op = std::make_unique<PendingOp<Handler>>(std::move(handler), io);
                std::unique_lock lock(mutex_);
                if (free_ > 0 && queue_.empty()) {
                    --free_;
                    w->granted = true;
                    lock.unlock();
                    op->complete({});
                    return;
                }
                if (slot.is_connected()) {
                    slot.assign([this, w](asio::cancellation_type) { cancel(w); });
                }
                w->op = std::move(op);
                queue_.push_back(w);
            },
            token);
    }

    // Ends a queued wait with the cancellation error; a wait already granted is left as
    // it is (its turn is given back by its Turn).
    void cancel(const std::shared_ptr<Waiter>& w) {
        std::unique_ptr<Pending> op;
        {
            std::lock_guard lock(mutex_);
            auto it = std::find(queue_.begin(), queue_.end(), w);
            if (it == queue_.end()) return;
            queue_.erase(it);
            op = std::move(w->op);
        }
        op->complete(asio::error::operation_aborted);
    }

    // Hands the connection to the first waiter, or frees it.
    void release() {
        std::unique_ptr<Pending> op;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                ++free_;
                return;
            }
            auto next = std::move(queue_.front());
            queue_.pop_front();
            next->granted = true;
            op = std::move(next->op);
        }
        op->complete({});
    }

    std::mutex mutex_;
    std::size_t free_;
    std::deque<std::shared_ptr<Waiter>> queue_;
};

asio::awaitable<ConnectionLimiter::Permit> ConnectionLimiter::acquire(SteadyClock::time_point deadline) {
    {
        std::lock_guard lock(mutex_);
        if (free_ > 0 && queue_.empty()) {
            --free_;
            co_return Permit(this);
        }
    }
    auto ex = co_await asio::this_coro::executor;
    auto waiter = std::make_shared<Waiter>();
    Turn turn(*this, waiter);  // whatever ends this wait, nothing stays queued or taken
    bool cancelled = false;
    if (deadline == SteadyClock::time_point::max()) {
        auto [ec] = co_await async_wait_turn(waiter, ex, asio::as_tuple(asio::use_awaitable));
        cancelled = ec == asio::error::operation_aborted;
    } else {
        using namespace asio::experimental::awaitable_operators;
        asio::steady_timer timer(ex, deadline);
        auto first = co_await (async_wait_turn(waiter, ex, asio::as_tuple(asio::use_awaitable)) ||
                               timer.async_wait(asio::as_tuple(asio::use_awaitable)));
        // The turn came or the deadline passed, or else the caller cancelled.
        const error_code ec = first.index() == 0 ? std::get<0>(std::get<0>(first)) : std::get<0>(std::get<1>(first));
        cancelled = ec == asio::error::operation_aborted;
    }
    Permit permit = turn.take();
    if (cancelled) throw boost::system::system_error(asio::error::operation_aborted);
    co_return permit;
}

}  // namespace

struct InstagramAPI::Impl {
    std::string base_url;
    std::string api_version;
    InstagramApiOptions options;
    mutable ssl::context tls{ssl::context::tls_client};
    std::unique_ptr<ConnectionLimiter> limiter;  // set when connections are bounded
    mutable std::mutex usage_mutex;
    mutable GraphApiUsage usage;  // under usage_mutex

    Impl(std::string base, std::string version, InstagramApiOptions opts)
        : base_url(std::move(base)), api_version(std::move(version)), options(std::move(opts)) {
        if (options.connect_timeout.count() <= 0) throw std::invalid_argument("connect_timeout must be positive");
        if (options.exchange_timeout.count() <= 0) throw std::invalid_argument("exchange_timeout must be positive");
        if (options.max_rate_limit_wait.count() < 0) {
            throw std::invalid_argument("max_rate_limit_wait must not be negative");
        }
        if (options.max_body_bytes == 0) throw std::invalid_argument("max_body_bytes must be positive");
        if (options.max_header_bytes == 0) throw std::invalid_argument("max_header_bytes must be positive");
        if (options.request_deadline.count() < 0) throw std::invalid_argument("request_deadline must not be negative");
        if (options.max_connections > 0) limiter = std::make_unique<ConnectionLimiter>(options.max_connections);
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

    // When one attempt must be over. The request's own deadline (if any) can come before
    // the attempt's time-outs: a time-out from it ends the request instead of retrying.
    struct AttemptDeadlines {
        SteadyClock::time_point connect;
        SteadyClock::time_point exchange;
        bool connect_is_request_deadline = false;
        bool exchange_is_request_deadline = false;

        bool cut(bool connect_phase) const {
            return connect_phase ? connect_is_request_deadline : exchange_is_request_deadline;
        }
    };

    AttemptDeadlines attempt_deadlines(SteadyClock::time_point request_deadline) const {
        const auto start = SteadyClock::now();
        AttemptDeadlines d;
        d.exchange = start + options.exchange_timeout;
        if (request_deadline <= d.exchange) {
            d.exchange = request_deadline;
            d.exchange_is_request_deadline = true;
        }
        d.connect = start + options.connect_timeout;
        if (d.exchange <= d.connect) {
            d.connect = d.exchange;
            d.connect_is_request_deadline = d.exchange_is_request_deadline;
        }
        return d;
    }

    // Keeps the usage figures of an answer (any status) and tells the observer. Nothing
    // here can fail the request: unreadable headers are passed over.
    void record_usage(const Response& res) const noexcept {
        if (!res.app_usage && !res.business_usage) return;
        try {
            std::optional<AppUsage> app;
            std::optional<BusinessUsageMap> businesses;
            if (res.app_usage) app = parse_app_usage(*res.app_usage);
            if (res.business_usage) businesses = parse_business_use_case_usage(*res.business_usage);
            if (!app && !businesses) return;
            const auto now = std::chrono::system_clock::now();
            std::optional<GraphApiUsage> snapshot;
            {
                std::lock_guard lock(usage_mutex);
                GraphApiUsage& u = usage;
                if (app) {
                    u.app = *app;
                    u.app_updated = now;
                }
                if (businesses) {
                    for (auto& [id, entries] : *businesses) {
                        u.businesses.insert_or_assign(id, std::move(entries));
                        u.business_updated.insert_or_assign(id, now);
                    }
                }
                ++u.answers_read;
                if (options.on_usage) snapshot = u;
            }
            if (snapshot) options.on_usage(*snapshot);
        } catch (...) {
            // An observer's failure or a failed allocation must not end the request.
        }
    }

    // Which time-out a deadline came from, for the message.
    std::string timeout_message(bool connect_phase) const {
        if (connect_phase && options.connect_timeout <= options.exchange_timeout) {
            return timeout_reason(options.connect_timeout, "connect");
        }
        return timeout_reason(options.exchange_timeout, "exchange");
    }

    Outcome failure(std::string what, const error_code& ec, bool connect_phase, const AttemptDeadlines& d) const {
        if (is_cancellation(ec)) throw_cancelled(ec);
        if (ec == beast::error::timeout && d.cut(connect_phase)) return DeadlineReached{};
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
    asio::awaitable<std::variant<std::vector<tcp::endpoint>, Outcome>> endpoints(const Target& t,
                                                                                 const AttemptDeadlines& d) const {
        std::vector<tcp::endpoint> out;
        if (t.address) {
            out.emplace_back(*t.address, t.port);
            co_return out;
        }
        using namespace asio::experimental::awaitable_operators;
        auto ex = co_await asio::this_coro::executor;
        tcp::resolver resolver(ex);
        asio::steady_timer timer(ex);
        timer.expires_at(d.connect);
        auto result =
            co_await (resolver.async_resolve(t.host, std::to_string(t.port), asio::as_tuple(asio::use_awaitable)) ||
                      timer.async_wait(asio::as_tuple(asio::use_awaitable)));
        if (result.index() == 1) {
            auto [ec] = std::get<1>(result);
            if (is_cancellation(ec)) throw_cancelled(ec);
            co_return failure("cannot resolve " + t.host, beast::error::timeout, true, d);
        }
        auto [ec, results] = std::get<0>(std::move(result));
        if (ec) co_return failure("cannot resolve " + t.host, ec, true, d);
        for (const auto& entry : results) out.push_back(entry.endpoint());
        co_return out;
    }

    // What a failed read of the answer is: an answer over a size limit cannot be read
    // by another attempt either; anything else is a transport error.
    Outcome read_failure(const error_code& ec, const AttemptDeadlines& d) const {
        if (ec == http::error::body_limit) {
            return UnreadableAnswer{"the response body is larger than the limit of " +
                                    std::to_string(options.max_body_bytes) + " bytes"};
        }
        if (ec == http::error::header_limit) {
            return UnreadableAnswer{"the response header block is larger than the limit of " +
                                    std::to_string(options.max_header_bytes) + " bytes"};
        }
        return failure("cannot read the response", ec, false, d);
    }

    template <class Stream>
    asio::awaitable<Outcome> request(Stream& stream, const Target& t, const AttemptDeadlines& d) const {
        http::request<http::empty_body> req{http::verb::get, t.resource, 11};
        req.set(http::field::host, t.host_header);
        req.set(http::field::user_agent, "quillmere-graviel");
        req.set(http::field::connection, "close");
        auto [wec, written] = co_await http::async_write(stream, req, asio::as_tuple(asio::use_awaitable));
        if (wec) co_return failure("cannot send the request", wec, false, d);

        // Interim (1xx) answers may come before the final one and are passed over; their
        // heads count against the header limit, which also bounds how many there can be.
        beast::flat_buffer buffer;
        std::uint64_t header_budget = options.max_header_bytes;
        for (;;) {
            http::response_parser<http::string_body> parser;
            parser.header_limit(static_cast<std::uint32_t>(header_budget));
            parser.body_limit(options.max_body_bytes);
            auto [hec, head_size] =
                co_await http::async_read_header(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
            if (hec) co_return read_failure(hec, d);
            header_budget -= std::min<std::uint64_t>(head_size, header_budget);
            if (parser.get().result_int() / 100 == 1) continue;

            auto [rec, read] = co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
            if (rec) co_return read_failure(rec, d);
            auto& res = parser.get();
            Response out;
            out.status = res.result_int();
            out.body = std::move(res.body());
            if (auto it = res.find(kResetHeader); it != res.end()) out.reset = std::string(it->value());
            if (auto it = res.find(kTimestampHeader); it != res.end()) out.timestamp = std::string(it->value());
            if (auto it = res.find(kAppUsageHeader); it != res.end()) out.app_usage = std::string(it->value());
            if (auto it = res.find(kBusinessUsageHeader); it != res.end()) {
                out.business_usage = std::string(it->value());
            }
            co_return out;
        }
    }

    // One attempt on a connection of its own, closed when the attempt returns (and only
    // then is its place under the connection bound given back).
    asio::awaitable<Outcome> exchange(const Target& t, SteadyClock::time_point request_deadline) const {
        if (SteadyClock::now() >= request_deadline) co_return DeadlineReached{};
        ConnectionLimiter::Permit permit;
        if (limiter) {
            permit = co_await limiter->acquire(request_deadline);
            if (!permit || SteadyClock::now() >= request_deadline) co_return DeadlineReached{};
        }
        auto ex = co_await asio::this_coro::executor;
        const AttemptDeadlines d = attempt_deadlines(request_deadline);

        auto found = co_await endpoints(t, d);
        if (auto* failed = std::get_if<Outcome>(&found)) co_return std::move(*failed);
        const auto& addresses = std::get<std::vector<tcp::endpoint>>(found);
        const std::string peer = t.host + ":" + std::to_string(t.port);

        if (!t.tls) {
            beast::tcp_stream stream(ex);
            stream.expires_at(d.connect);
            auto [cec, ep] = co_await stream.async_connect(addresses, asio::as_tuple(asio::use_awaitable));
            if (cec) co_return failure("cannot connect to " + peer, cec, true, d);
            stream.expires_at(d.exchange);
            co_return co_await request(stream, t, d);
        }

        beast::ssl_stream<beast::tcp_stream> stream(ex, tls);
        auto& tcp_layer = beast::get_lowest_layer(stream);
        tcp_layer.expires_at(d.connect);
        auto [cec, ep] = co_await tcp_layer.async_connect(addresses, asio::as_tuple(asio::use_awaitable));
        if (cec) co_return failure("cannot connect to " + peer, cec, true, d);
        tcp_layer.expires_at(d.exchange);
        if (!t.address && !SSL_set_tlsext_host_name(stream.native_handle(), t.host.c_str())) {
            co_return TransportError{"TLS handshake with " + peer + " failed: cannot set the server name"};
        }
        stream.set_verify_callback(ssl::host_name_verification(t.host));
        auto [hec] = co_await stream.async_handshake(ssl::stream_base::client, asio::as_tuple(asio::use_awaitable));
        if (hec) co_return failure("TLS handshake with " + peer + " failed", hec, false, d);
        co_return co_await request(stream, t, d);
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

        const auto request_deadline = options.request_deadline.count() > 0
                                          ? SteadyClock::now() + options.request_deadline
                                          : SteadyClock::time_point::max();
        // A wait that would end at or after the request's deadline is not started: no
        // attempt could follow it.
        auto wait_fits = [&](std::int64_t seconds) {
            return request_deadline == SteadyClock::time_point::max() ||
                   SteadyClock::now() + std::chrono::seconds(seconds) < request_deadline;
        };
        auto give_up = [&] {
            logger.error("Request deadline of " + std::to_string(options.request_deadline.count()) +
                         " ms reached. Giving up.");
        };

        const std::int64_t max_wait = options.max_rate_limit_wait.count();
        for (int attempt = 0; attempt < retry_attempts; ++attempt) {
            std::optional<Outcome> outcome;
            std::optional<std::string> unexpected;
            std::int64_t rate_limit_wait = 0;
            try {
                outcome = co_await exchange(target, request_deadline);
                if (auto* res = std::get_if<Response>(&*outcome)) record_usage(*res);
                if (auto* unreadable = std::get_if<UnreadableAnswer>(&*outcome)) {
                    unexpected = std::move(unreadable->message);
                } else if (auto* res = std::get_if<Response>(&*outcome); res && res->status == kRateLimitStatus) {
                    // The line shows the wait the answer asks for, exactly; the wait made is
                    // bounded by the cap, and a second line says so when the cap applies.
                    Integer asked;
                    if (res->reset && !res->reset->empty()) {
                        const Integer reset = header_integer(kResetHeader, *res->reset);
                        const Integer now =
                            res->timestamp ? header_integer(kTimestampHeader, *res->timestamp) : Integer{};
                        asked = difference(reset, now);
                        logger.warning("Rate limit hit. Waiting for " + decimal(asked) + " seconds to reset.");
                    } else {
                        asked.digits = std::to_string(std::int64_t{1} << attempt);
                        logger.warning("Rate limit hit. Retrying in " + asked.digits + " seconds.");
                    }
                    rate_limit_wait = bounded_wait(asked, max_wait);
                    if (!asked.negative && compare_magnitudes(asked.digits, std::to_string(max_wait)) > 0) {
                        logger.warning("rate-limit wait capped at " + std::to_string(max_wait) + " seconds");
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

            if (std::holds_alternative<DeadlineReached>(*outcome)) {
                give_up();
                co_return std::nullopt;
            }
            if (auto* error = std::get_if<TransportError>(&*outcome)) {
                logger.error(
                    redact("HTTP request error on attempt " + std::to_string(attempt + 1) + ": " + error->message));
                if (attempt + 1 == retry_attempts) {
                    logger.error("Max retries reached. Cannot recover from the error.");
                    co_return std::nullopt;
                }
                const std::int64_t backoff = std::int64_t{1} << attempt;
                if (!wait_fits(backoff)) {
                    give_up();
                    co_return std::nullopt;
                }
                co_await wait(std::chrono::seconds(backoff));
                continue;
            }
            auto& res = std::get<Response>(*outcome);
            if (res.status == kRateLimitStatus) {
                if (rate_limit_wait > 0) {
                    if (!wait_fits(rate_limit_wait)) {
                        give_up();
                        co_return std::nullopt;
                    }
                    co_await wait(std::chrono::seconds(rate_limit_wait));
                }
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

GraphApiUsage InstagramAPI::usage() const {
    std::lock_guard lock(impl_->usage_mutex);
    return impl_->usage;
}

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
