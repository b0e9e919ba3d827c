#pragma once
// The cache client against a Redis server: synchronous GET and SET with an expiry, and a
// multi-key read in one round trip.
//
//   RedisCache cache(RedisOptions::from_url("redis://127.0.0.1:6379/0"));
//   cache.set("key", "value", std::chrono::seconds(43200));
//
// Safe to share between threads. Calls run on a small pool of connections (each a
// RedisConnection: opened on first use, opened again when the server dropped it), at
// most `max_connections` at once; a thread that finds them all busy waits for one to be
// returned, which each call does within its time-outs.

#include "quillmere/adapters/export.hpp"
#include "quillmere/adapters/redis_connection.hpp"
#include "quillmere/common/cache.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::adapters {

class QUILLMERE_ADAPTERS_API RedisCache : public CacheClient {
public:
    static constexpr std::size_t default_max_connections = 8;

    // `max_connections` bounds the connections open at once (at least 1); they are opened
    // as concurrent calls need them, so one thread uses one. Throws std::invalid_argument
    // for a bad port, a time-out that is not positive or a bound of 0.
    explicit RedisCache(RedisOptions options, std::size_t max_connections = default_max_connections);
    RedisCache(std::string host, int port);
    ~RedisCache() override;
    RedisCache(const RedisCache&) = delete;
    RedisCache& operator=(const RedisCache&) = delete;

    // GET: the value, or nothing when the key is absent or expired.
    std::optional<std::string> get(std::string_view key) override;
    // SET key value EX seconds; `ex` must be positive (std::invalid_argument otherwise).
    void set(std::string_view key, std::string_view value, std::chrono::seconds ex) override;
    // GET of every key in one round trip (pipelined), the values in the order of `keys`,
    // nothing for an absent key. An error for any key (a key holding a list, say) fails
    // the whole call with RedisError naming the server's error: no error reads as a miss.
    std::vector<std::optional<std::string>> get_many(const std::vector<std::string>& keys);
    // PING, to check the configuration at start-up.
    void ping();

    std::size_t max_connections() const noexcept { return max_connections_; }

private:
    class QUILLMERE_ADAPTERS_NO_EXPORT Lease;
    std::unique_ptr<RedisConnection> acquire();
    void release(std::unique_ptr<RedisConnection> connection) noexcept;

    RedisOptions options_;
    std::size_t max_connections_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<RedisConnection>> idle_;
    std::size_t open_ = 0;  // connections in existence, idle or lent out
};

}  // namespace quillmere::adapters
