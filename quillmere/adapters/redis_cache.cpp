#include "quillmere/adapters/redis_cache.hpp"

#include <utility>

namespace quillmere::adapters {

// A connection taken from the pool for one call, given back when the call ends (also by a
// failure: the connection then reconnects on its next use).
class RedisCache::Lease {
public:
    explicit Lease(RedisCache& cache) : cache_(cache), connection_(cache.acquire()) {}
    ~Lease() { cache_.release(std::move(connection_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    RedisConnection* operator->() const noexcept { return connection_.get(); }

private:
    RedisCache& cache_;
    std::unique_ptr<RedisConnection> connection_;
};

namespace {

RedisOptions host_and_port(std::string host, int port) {
    RedisOptions o;
    o.host = std::move(host);
    o.port = port;
    return o;
}

// An error reply becomes a RedisError: "Redis GET failed: WRONGTYPE ...".
const RedisReply& checked(const RedisReply& reply, std::string_view name) {
    if (reply.is_error()) throw RedisError("Redis " + std::string(name) + " failed: " + reply.text);
    return reply;
}

std::optional<std::string> value_of(RedisReply&& reply) {
    checked(reply, "GET");
    if (reply.is_nil()) return std::nullopt;
    if (reply.kind != RedisReply::Kind::string) throw RedisError("Redis GET gave a reply that is not a string");
    return std::move(reply.text);
}

}  // namespace

RedisCache::RedisCache(RedisOptions options, std::size_t max_connections)
    : options_(std::move(options)), max_connections_(max_connections) {
    options_.validate();
    if (max_connections_ == 0) throw std::invalid_argument("a Redis cache needs at least one connection");
}

RedisCache::RedisCache(std::string host, int port) : RedisCache(host_and_port(std::move(host), port)) {}

RedisCache::~RedisCache() = default;

std::unique_ptr<RedisConnection> RedisCache::acquire() {
    std::unique_lock lock(mutex_);
    returned_.wait(lock, [&] { return !idle_.empty() || open_ < max_connections_; });
    if (!idle_.empty()) {
        auto connection = std::move(idle_.back());
        idle_.pop_back();
        return connection;
    }
    ++open_;
    lock.unlock();
    try {
        return std::make_unique<RedisConnection>(options_);
    } catch (...) {
        lock.lock();
        --open_;
        returned_.notify_one();
        throw;
    }
}

void RedisCache::release(std::unique_ptr<RedisConnection> connection) noexcept {
    {
        std::lock_guard lock(mutex_);
        idle_.push_back(std::move(connection));
    }
    returned_.notify_one();
}

std::optional<std::string> RedisCache::get(std::string_view key) {
    Lease redis(*this);
    return value_of(redis->command({"GET", key}));
}

void RedisCache::set(std::string_view key, std::string_view value, std::chrono::seconds ex) {
    if (ex.count() <= 0) throw std::invalid_argument("the expiry of a Redis SET must be positive");
    const std::string seconds = std::to_string(ex.count());
    Lease redis(*this);
    const RedisReply reply = redis->command({"SET", key, value, "EX", seconds});
    if (checked(reply, "SET").kind != RedisReply::Kind::status) throw RedisError("Redis SET gave an unexpected reply");
}

std::vector<std::optional<std::string>> RedisCache::get_many(const std::vector<std::string>& keys) {
    std::vector<std::optional<std::string>> values;
    if (keys.empty()) return values;
    std::vector<std::vector<std::string_view>> commands;
    commands.reserve(keys.size());
    for (const auto& key : keys) commands.push_back({"GET", key});
    std::vector<RedisReply> replies;
    {
        Lease redis(*this);
        replies = redis->pipeline(commands);
    }
    values.reserve(replies.size());
    for (auto& reply : replies) values.push_back(value_of(std::move(reply)));
    return values;
}

void RedisCache::ping() {
    Lease redis(*this);
    checked(redis->command({"PING"}), "PING");
}

}  // namespace quillmere::adapters
