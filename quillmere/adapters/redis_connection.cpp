#include "quillmere/adapters/redis_connection.hpp"

#include <hiredis/hiredis.h>

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <poll.h>
#include <pthread.h>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <span>

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
// the host process. While a call runs, SIGPIPE is blocked for the calling thread and a
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
// reset, or bytes out of step) it cannot be used for the next call.
bool unusable(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) != 0;
}

void append(redisContext* ctx, const std::vector<std::string_view>& argv) {
    constexpr std::size_t kInline = 8;
    const char* words_inline[kInline];
    std::size_t lengths_inline[kInline];
    std::vector<const char*> words_heap;
    std::vector<std::size_t> lengths_heap;
    const char** words = words_inline;
    std::size_t* lengths = lengths_inline;
    if (argv.size() > kInline) {
        words_heap.resize(argv.size());
        lengths_heap.resize(argv.size());
        words = words_heap.data();
        lengths = lengths_heap.data();
    }
    for (std::size_t i = 0; i < argv.size(); ++i) {
        // hiredis reads `lengths[i]` bytes; an empty word may have a null data pointer.
        words[i] = argv[i].data() ? argv[i].data() : "";
        lengths[i] = argv[i].size();
    }
    if (redisAppendCommandArgv(ctx, static_cast<int>(argv.size()), words, lengths) != REDIS_OK)
        throw RedisError("cannot build the Redis command " + std::string(argv.front()) + ": out of memory");
}

RedisReply own(const redisReply& r) {
    RedisReply out;
    switch (r.type) {
        case REDIS_REPLY_NIL:
            out.kind = RedisReply::Kind::nil;
            break;
        case REDIS_REPLY_INTEGER:
            out.kind = RedisReply::Kind::integer;
            out.integer = r.integer;
            break;
        case REDIS_REPLY_STRING:
            out.kind = RedisReply::Kind::string;
            break;
        case REDIS_REPLY_STATUS:
            out.kind = RedisReply::Kind::status;
            break;
        case REDIS_REPLY_ERROR:
            out.kind = RedisReply::Kind::error;
            break;
        case REDIS_REPLY_ARRAY:
            out.kind = RedisReply::Kind::array;
            out.elements.reserve(r.elements);
            for (std::size_t i = 0; i < r.elements; ++i) out.elements.push_back(own(*r.element[i]));
            break;
        default:
            throw RedisError("Redis gave a reply of a kind this client does not read (" + std::to_string(r.type) + ")");
    }
    if (r.type == REDIS_REPLY_STRING || r.type == REDIS_REPLY_STATUS || r.type == REDIS_REPLY_ERROR)
        out.text.assign(r.str ? r.str : "", r.str ? r.len : 0);
    return out;
}

std::string reply_text(const redisReply& r) { return std::string(r.str ? r.str : "", r.str ? r.len : 0); }

// The name shown in messages: the command's own word, or the first one for a batch.
std::string call_name(std::span<const std::vector<std::string_view>> commands) {
    std::string name(commands.front().front());
    if (commands.size() > 1) name = "pipeline of " + std::to_string(commands.size()) + " commands (first " + name + ")";
    return name;
}

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

void RedisOptions::validate() const {
    if (port <= 0 || port > 65535) throw std::invalid_argument("invalid Redis port");
    if (connect_timeout.count() <= 0 || command_timeout.count() <= 0)
        throw std::invalid_argument("Redis time-outs must be positive");
}

RedisConnection::RedisConnection(RedisOptions options) : options_(std::move(options)) { options_.validate(); }

RedisConnection::~RedisConnection() { drop(); }

std::string RedisConnection::where() const {
    return (options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host) + ":" +
           std::to_string(options_.port);
}

void RedisConnection::drop() noexcept {
    if (ctx_) redisFree(ctx_);
    ctx_ = nullptr;
}

void RedisConnection::close() noexcept {
    std::lock_guard lock(mutex_);
    drop();
}

bool RedisConnection::connect_if_needed() {
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
    auto setup = [&](std::string_view what, const std::vector<std::string_view>& argv) {
        append(ctx_, argv);
        void* raw = nullptr;
        const bool sent = redisGetReply(ctx_, &raw) == REDIS_OK;
        ReplyPtr r(static_cast<redisReply*>(raw));
        if (sent && r && r->type != REDIS_REPLY_ERROR) return;
        std::string message =
            std::string(what) + " failed at " + where() + ": " + (r ? reply_text(*r) : std::string(ctx_->errstr));
        drop();
        throw RedisError(message);
    };
    if (!options_.password.empty()) {
        if (options_.username.empty())
            setup("Redis authentication", {"AUTH", options_.password});
        else
            setup("Redis authentication", {"AUTH", options_.username, options_.password});
    }
    if (options_.database != 0) {
        const std::string db = std::to_string(options_.database);
        setup("Redis database selection", {"SELECT", db});
    }
    return true;
}

std::vector<RedisReply> RedisConnection::run(std::span<const std::vector<std::string_view>> commands,
                                             const RedisCallOptions& call) {
    for (const auto& argv : commands)
        if (argv.empty()) throw std::invalid_argument("a Redis command needs at least its name");
    const std::chrono::milliseconds bound = call.timeout.value_or(options_.command_timeout);
    if (bound.count() <= 0) throw std::invalid_argument("a Redis call's time-out must be positive");

    std::lock_guard lock(mutex_);
    SigpipeGuard no_sigpipe;
    for (int attempt = 0;; ++attempt) {
        const bool fresh = connect_if_needed();
        std::vector<RedisReply> replies;
        int saved_errno = 0;
        try {
            if (call.timeout) redisSetTimeout(ctx_, to_timeval(bound));
            replies.reserve(commands.size());
            for (const auto& argv : commands) append(ctx_, argv);
            for (std::size_t i = 0; i < commands.size(); ++i) {
                void* raw = nullptr;
                if (redisGetReply(ctx_, &raw) != REDIS_OK || !raw) {
                    saved_errno = errno;
                    break;
                }
                ReplyPtr reply(static_cast<redisReply*>(raw));
                replies.push_back(own(*reply));
            }
        } catch (...) {
            drop();  // replies left unread: the connection is out of step
            throw;
        }
        if (replies.size() == commands.size()) {
            if (call.timeout) redisSetTimeout(ctx_, to_timeval(options_.command_timeout));
            return replies;
        }
        const std::string name = call_name(commands);
        const bool timed_out = ctx_->err == REDIS_ERR_IO && (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK);
        const bool broken = !timed_out && (ctx_->err == REDIS_ERR_IO || ctx_->err == REDIS_ERR_EOF);
        std::string message =
            timed_out ? "Redis " + name + " at " + where() + " timed out after " + std::to_string(bound.count()) + " ms"
                      : "Redis " + name + " at " + where() + " failed: " + ctx_->errstr;
        drop();  // the connection is out of step or gone
        // A connection that was already open may have been closed by the server between
        // the check and the call; one more try on a new connection, if the caller allows.
        if (fresh || !broken || attempt > 0 || !call.resend_on_broken_connection) throw RedisError(message);
    }
}

RedisReply RedisConnection::command(const std::vector<std::string_view>& argv, const RedisCallOptions& call) {
    if (argv.empty()) throw std::invalid_argument("a Redis command needs at least its name");
    return std::move(run(std::span(&argv, 1), call).front());
}

std::vector<RedisReply> RedisConnection::pipeline(const std::vector<std::vector<std::string_view>>& commands,
                                                  const RedisCallOptions& call) {
    if (commands.empty()) return {};
    return run(commands, call);
}

}  // namespace quillmere::adapters
