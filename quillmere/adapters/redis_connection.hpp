#pragma once
// One connection to a Redis server (hiredis, synchronous) that runs any command given as
// its words and hands back an owned reply: the building block of the Redis cache and of
// the host's Redis Streams queue (XADD, XREADGROUP, XACK, XAUTOCLAIM...).
//
//   RedisConnection redis(RedisOptions::from_url("redis://:secret@127.0.0.1:6379/0"));
//   RedisReply id = redis.command({"XADD", "deliveries", "*", "body", body});
//
// The connection opens on first use and opens again, with AUTH and SELECT, when the
// server dropped it (restart, idle time-out, CLIENT KILL). Every call is bounded by the
// time-outs; a transport failure or time-out is a RedisError and leaves the object ready
// to reconnect on the next call. An error reply of the server ("WRONGTYPE ...") is not a
// failure of the connection: it comes back as a reply of kind `error`. While a call runs,
// SIGPIPE is blocked for the calling thread, so a vanished server cannot end the process.
// No message ever holds the password or a command's arguments (only the command's name).
//
// Safe to share between threads: calls are serialised on the one connection (a blocking
// command such as XREADGROUP ... BLOCK holds it for its whole wait). For parallel use,
// give each thread its own connection or use a pool (RedisCache has one).
// Not for SUBSCRIBE or MONITOR, whose replies arrive unasked.

#include "quillmere/adapters/export.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;

namespace quillmere::adapters {

struct QUILLMERE_ADAPTERS_API RedisOptions {
    std::string host = "127.0.0.1";
    int port = 6379;
    std::string username;  // ACL user (Redis 6+); empty: the default user
    std::string password;  // empty: no AUTH
    int database = 0;
    // Bound on opening the connection (TCP connect).
    std::chrono::milliseconds connect_timeout{2000};
    // Bound on each write and each read of a call: a reply that does not start arriving
    // within it is a time-out. A blocking command (BLPOP, XREADGROUP ... BLOCK) needs a
    // per-call bound above its blocking time (RedisCallOptions::timeout).
    std::chrono::milliseconds command_timeout{2000};

    // redis://[[username]:password@]host[:port][/database]; the password may be
    // percent-encoded. Throws std::invalid_argument for anything else.
    static RedisOptions from_url(std::string_view url);
    // Throws std::invalid_argument for a port out of range or a time-out that is not
    // positive (the clients check this on construction).
    void validate() const;
};

// A failure to reach Redis, a time-out, a broken connection or a reply that the caller
// could not use. Messages never hold the password.
class QUILLMERE_ADAPTERS_API RedisError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One reply, owned by the caller (nothing refers to hiredis memory).
struct RedisReply {
    enum class Kind { nil, integer, string, status, error, array };

    Kind kind = Kind::nil;
    std::int64_t integer = 0;          // kind integer
    std::string text;                  // kind string (bulk string, binary-safe), status or error
    std::vector<RedisReply> elements;  // kind array; an element may be nil or an array itself

    bool is_nil() const noexcept { return kind == Kind::nil; }
    bool is_error() const noexcept { return kind == Kind::error; }
};

// How one call behaves; the defaults suit ordinary commands.
struct RedisCallOptions {
    // Bound on each write and read of this call instead of RedisOptions::command_timeout,
    // e.g. BLOCK time plus a margin for XREADGROUP ... BLOCK 5000.
    std::optional<std::chrono::milliseconds> timeout;
    // When a connection that was already open turns out to be broken while the call is
    // sent or its reply read (the server closed it just before), the call is sent once
    // more on a new connection. The server may then have run it twice: leave this on for
    // commands that may run twice (GET, SET, XACK, XREADGROUP, whose entries stay pending),
    // turn it off where a second run matters (INCR, XADD without an id of the caller's).
    // A time-out is never sent again: the server is there but slow.
    bool resend_on_broken_connection = true;
};

class QUILLMERE_ADAPTERS_API RedisConnection {
public:
    // Connects on the first call, not here. Throws std::invalid_argument for options that
    // fail RedisOptions::validate.
    explicit RedisConnection(RedisOptions options);
    ~RedisConnection();
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    // Runs one command, argv[0] being its name: command({"SET", key, value, "EX", "60"}).
    // Arguments are binary-safe. Returns the server's reply, an error reply included;
    // throws RedisError when the connection cannot be opened, breaks or times out, and
    // std::invalid_argument for an empty argv.
    RedisReply command(const std::vector<std::string_view>& argv, const RedisCallOptions& call = {});

    // Sends every command, then reads one reply per command, in order: one round trip.
    // The commands are not atomic (no MULTI); an error reply of one of them is its reply
    // and does not stop the others. Throws as command() does; after a failure nothing of
    // the batch is returned. An empty batch returns nothing without touching the server.
    std::vector<RedisReply> pipeline(const std::vector<std::vector<std::string_view>>& commands,
                                     const RedisCallOptions& call = {});

    // Closes the connection now; the next call opens a new one.
    void close() noexcept;

    const RedisOptions& options() const noexcept { return options_; }
    // host:port as shown in messages ("[::1]:6379" for an IPv6 address).
    std::string where() const;

private:
    bool connect_if_needed();  // true when a new connection was opened
    void drop() noexcept;
    std::vector<RedisReply> run(std::span<const std::vector<std::string_view>> commands, const RedisCallOptions& call);

    RedisOptions options_;
    std::mutex mutex_;
    redisContext* ctx_ = nullptr;
};

}  // namespace quillmere::adapters
