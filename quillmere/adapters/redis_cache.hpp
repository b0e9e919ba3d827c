#pragma once
// The cache client against a Redis server, through hiredis: synchronous GET and SET with
// an expiry. One connection per client, opened on first use and opened again when it was
// dropped (server restart, idle time-out, CLIENT KILL). Safe to share between threads:
// calls are serialised on the connection.

#include "quillmere/common/cache.hpp"

#include <chrono>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct redisContext;

namespace quillmere::adapters {

struct RedisOptions {
    std::string host = "127.0.0.1";
    int port = 6379;
    std::string username;  // ACL user (Redis 6+); empty: the default user
    std::string password;  // empty: no AUTH
    int database = 0;
    std::chrono::milliseconds connect_timeout{2000};
    std::chrono::milliseconds command_timeout{2000};

    // redis://[[username]:password@]host[:port][/database]; the password may be
    // percent-encoded. Throws std::invalid_argument for anything else.
    static RedisOptions from_url(std::string_view url);
};

// A failure to reach Redis, a time-out, or an error reply. Messages never hold the password.
class RedisError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RedisCache : public CacheClient {
public:
    explicit RedisCache(RedisOptions options);
    RedisCache(std::string host, int port);
    ~RedisCache() override;
    RedisCache(const RedisCache&) = delete;
    RedisCache& operator=(const RedisCache&) = delete;

    // GET: the value, or nothing when the key is absent or expired.
    std::optional<std::string> get(std::string_view key) override;
    // SET key value EX seconds; `ex` must be positive (std::invalid_argument otherwise).
    void set(std::string_view key, std::string_view value, std::chrono::seconds ex) override;
    // PING, to check the configuration at start-up.
    void ping();

private:
    template <class Handle>
    auto command(std::string_view name, std::initializer_list<std::string_view> args, Handle&& handle);
    bool connect_if_needed();  // true when a new connection was opened
    void drop() noexcept;
    std::string where() const;

    RedisOptions options_;
    std::mutex mutex_;
    redisContext* ctx_ = nullptr;
};

}  // namespace quillmere::adapters
