#include "quillmere/adapters/redis_cache.hpp"

#include <hiredis/hiredis.h>

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <poll.h>
#include <pthread.h>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <memory>
#include <vector>

namespace quillmere::adapters {
namespace {

struct ReplyDeleter {
    void operator()(redisReply* r) const noexcept { freeReplyObject(r); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyDeleter>;

timeval to_timeval(std::chrono::milliseconds ms) {
    return timeval{static_cast<time_t>(ms.count() / 1000), static_cast<suseconds_t>((ms.count() % 1000) * 1000)};
}

// hiredis writes with plain write(2): a server that went away would raise SIGPIPE and end
// the host process. While a command runs, SIGPIPE is blocked for the calling thread and a
// SIGPIPE raised meanwhile is discarded; the write then fails with EPIPE instead.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~SigpipeGuard() {
        if (!was_pending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                const timespec zero{0, 0};
                sigtimedwait(&pipe, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t old_;
    bool was_pending_ = false;
};

// An idle connection has nothing to read: if the socket is readable (end of stream,
// reset, or bytes out of step) it cannot be used for the next command.
bool unusable(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) != 0;
}

ReplyPtr send(redisContext* ctx, std::string_view name, std::initializer_list<std::string_view> args) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    argv.reserve(args.size() + 1);
    lengths.reserve(args.size() + 1);
    argv.push_back(name.data());
    lengths.push_back(name.size());
    for (std::string_view a : args) {
        argv.push_back(a.data());
        lengths.push_back(a.size());
    }
    return ReplyPtr(
        static_cast<redisReply*>(redisCommandArgv(ctx, static_cast<int>(argv.size()), argv.data(), lengths.data())));
}

std::string reply_text(const redisReply& r) { return std::string(r.str ? r.str : "", r.str ? r.len : 0); }

}  // namespace

RedisOptions RedisOptions::from_url(std::string_view url) {
    auto parsed = boost::urls::parse_uri(boost::core::string_view(url.data(), url.size()));
    if (!parsed) throw std::invalid_argument("not a Redis URL (redis://[[user]:password@]host[:port][/database])");
    const boost::urls::url_view u = *parsed;
    if (u.scheme() == "rediss") throw std::invalid_argument("rediss:// (TLS) is not supported by this Redis client");
    if (u.scheme() != "redis") throw std::invalid_argument("a Redis URL starts with redis://");
    RedisOptions o;
    if (u.host_address().empty()) throw std::invalid_argument("the Redis URL names no host");
    o.host = u.host_address();
    if (u.has_port()) {
        if (u.port_number() == 0) throw std::invalid_argument("the Redis URL has an invalid port");
        o.port = u.port_number();
    }
    if (u.has_userinfo()) {
        if (!u.has_password())
            throw std::invalid_argument("the Redis URL has a user but no password (write redis://:password@host)");
        o.username = u.user();
        o.password = u.password();
    }
    std::string_view path = u.encoded_path();
    if (!path.empty() && path != "/") {
        path.remove_prefix(1);
        auto [end, ec] = std::from_chars(path.data(), path.data() + path.size(), o.database);
        if (ec != std::errc() || end != path.data() + path.size() || o.database < 0)
            throw std::invalid_argument("the Redis URL's path must be a database number");
    }
    return o;
}

RedisCache::RedisCache(RedisOptions options) : options_(std::move(options)) {
    if (options_.port <= 0 || options_.port > 65535) throw std::invalid_argument("invalid Redis port");
    if (options_.connect_timeout.count() <= 0 || options_.command_timeout.count() <= 0)
        throw std::invalid_argument("Redis time-outs must be positive");
}

namespace {
RedisOptions host_and_port(std::string host, int port) {
    RedisOptions o;
    o.host = std::move(host);
    o.port = port;
    return o;
}
}  // namespace

RedisCache::RedisCache(std::string host, int port) : RedisCache(host_and_port(std::move(host), port)) {}

RedisCache::~RedisCache() { drop(); }

std::string RedisCache::where() const {
    return (options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host) + ":" +
           std::to_string(options_.port);
}

void RedisCache::drop() noexcept {
    if (ctx_) redisFree(ctx_);
    ctx_ = nullptr;
}

bool RedisCache::connect_if_needed() {
    if (ctx_ && !unusable(ctx_->fd)) return false;
    drop();
    ctx_ = redisConnectWithTimeout(options_.host.c_str(), options_.port, to_timeval(options_.connect_timeout));
    if (!ctx_) throw RedisError("cannot connect to Redis at " + where() + ": out of memory");
    if (ctx_->err) {
        std::string message = "cannot connect to Redis at " + where() + ": " + ctx_->errstr;
        drop();
        throw RedisError(message);
    }
    redisSetTimeout(ctx_, to_timeval(options_.command_timeout));
    redisEnableKeepAlive(ctx_);
    auto setup = [&](std::string_view what, std::string_view name, std::initializer_list<std::string_view> args) {
        ReplyPtr r = send(ctx_, name, args);
        if (r && r->type != REDIS_REPLY_ERROR) return;
        std::string message =
            std::string(what) + " failed at " + where() + ": " + (r ? reply_text(*r) : std::string(ctx_->errstr));
        drop();
        throw RedisError(message);
    };
    if (!options_.password.empty()) {
        if (options_.username.empty())
            setup("Redis authentication", "AUTH", {options_.password});
        else
            setup("Redis authentication", "AUTH", {options_.username, options_.password});
    }
    if (options_.database != 0) {
        const std::string db = std::to_string(options_.database);
        setup("Redis database selection", "SELECT", {db});
    }
    return true;
}

template <class Handle>
auto RedisCache::command(std::string_view name, std::initializer_list<std::string_view> args, Handle&& handle) {
    std::lock_guard lock(mutex_);
    SigpipeGuard no_sigpipe;
    for (int attempt = 0;; ++attempt) {
        const bool fresh = connect_if_needed();
        ReplyPtr reply = send(ctx_, name, args);
        const int saved_errno = errno;
        if (reply) {
            if (reply->type == REDIS_REPLY_ERROR)
                throw RedisError("Redis " + std::string(name) + " failed: " + reply_text(*reply));
            return handle(*reply);
        }
        const bool timed_out = ctx_->err == REDIS_ERR_IO && (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK);
        std::string message = timed_out ? "Redis " + std::string(name) + " at " + where() + " timed out after " +
                                              std::to_string(options_.command_timeout.count()) + " ms"
                                        : "Redis " + std::string(name) + " at " + where() + " failed: " + ctx_->errstr;
        drop();  // the connection is out of step or gone
        // A connection that was already open may have been closed by the server between
        // the check and the command; one more try on a new connection. A time-out is not
        // retried: the server is there but slow.
        if (fresh || timed_out || attempt > 0) throw RedisError(message);
    }
}

std::optional<std::string> RedisCache::get(std::string_view key) {
    return command("GET", {key}, [](const redisReply& r) -> std::optional<std::string> {
        if (r.type == REDIS_REPLY_NIL) return std::nullopt;
        if (r.type != REDIS_REPLY_STRING) throw RedisError("Redis GET gave a reply that is not a string");
        return reply_text(r);
    });
}

void RedisCache::set(std::string_view key, std::string_view value, std::chrono::seconds ex) {
    if (ex.count() <= 0) throw std::invalid_argument("the expiry of a Redis SET must be positive");
    const std::string seconds = std::to_string(ex.count());
    command("SET", {key, value, "EX", seconds}, [](const redisReply& r) {
        if (r.type != REDIS_REPLY_STATUS) throw RedisError("Redis SET gave an unexpected reply");
    });
}

void RedisCache::ping() {
    command("PING", {}, [](const redisReply&) {});
}

}  // namespace quillmere::adapters
