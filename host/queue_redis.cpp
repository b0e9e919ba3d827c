#include "host/queue_redis.hpp"

#include "host/logging.hpp"

#include "quillmere/adapters/redis_connection.hpp"

#include <openssl/evp.h>
#include <spdlog/logger.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <mutex>
#include <optional>

namespace quillmere::host {
namespace {

using adapters::RedisConnection;
using adapters::RedisError;
using adapters::RedisOptions;
using adapters::RedisReply;
using Kind = RedisReply::Kind;

// Stream ids compared exactly ("ms-seq", decimal without leading zeros).
constexpr const char* kLessLua = R"(
local function id_less(a, b)
  local am, as = string.match(a, '^(%d+)-(%d+)$')
  local bm, bs = string.match(b, '^(%d+)-(%d+)$')
  if #am ~= #bm then return #am < #bm end
  if am ~= bm then return am < bm end
  if #as ~= #bs then return #as < #bs end
  return as < bs
end
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
local function owned(stream, group, consumer, id, attempts)
  local p = redis.call('XPENDING', stream, group, id, id, 1)
  return p[1] ~= nil and p[1][2] == consumer and tostring(p[1][4]) == attempts
end
)";

// KEYS: seen key, stream. ARGV: window ms, digest, body. The digest is remembered only
// together with its entry: if the entry cannot be added, the digest is forgotten again.
constexpr const char* kEnqueueLua = R"(
if not redis.call('SET', KEYS[1], '1', 'NX', 'PX', ARGV[1]) then return false end
local id = redis.pcall('XADD', KEYS[2], '*', 'digest', ARGV[2], 'body', ARGV[3])
if type(id) == 'table' and id.err then
  redis.call('DEL', KEYS[1])
  return id
end
return id
)";

// KEYS: stream, retry set, errors. ARGV: group, consumer, max, claim idle ms.
// Entries whose retry time has come, then entries idle past claim_idle, each with its
// delivery count and last error; and the milliseconds until the next retry time (-1: none).
constexpr const char* kClaimLua = R"(
local now = now_ms()
local max = tonumber(ARGV[3])
local found = {}
for _, id in ipairs(redis.call('ZRANGEBYSCORE', KEYS[2], '-inf', now, 'LIMIT', 0, max)) do
  redis.call('ZREM', KEYS[2], id)
  local e = redis.call('XCLAIM', KEYS[1], ARGV[1], ARGV[2], 0, id)
  if e[1] and e[1][2] then table.insert(found, e[1]) end
end
if #found < max then
  local r = redis.call('XAUTOCLAIM', KEYS[1], ARGV[1], ARGV[2], ARGV[4], '0-0', 'COUNT', max - #found)
  for _, e in ipairs(r[2]) do
    if e[2] then
      redis.call('ZREM', KEYS[2], e[1])
      table.insert(found, e)
    end
  end
end
local out = {}
for _, e in ipairs(found) do
  local p = redis.call('XPENDING', KEYS[1], ARGV[1], e[1], e[1], 1)
  local count = 1
  if p[1] then count = p[1][4] end
  table.insert(out, {e[1], e[2], count, redis.call('HGET', KEYS[3], e[1]) or ''})
end
local next = redis.call('ZRANGE', KEYS[2], 0, 0, 'WITHSCORES')
local wait = -1
if next[2] then wait = math.max(0, tonumber(next[2]) - now) end
return {out, wait}
)";

// KEYS: stream, retry set, errors. ARGV: group, consumer, id, attempts, delay ms, error.
// Only the current lease of the entry may put it back.
constexpr const char* kRetryLua = R"(
if not owned(KEYS[1], ARGV[1], ARGV[2], ARGV[3], ARGV[4]) then return 0 end
redis.call('HSET', KEYS[3], ARGV[3], ARGV[6])
redis.call('ZADD', KEYS[2], now_ms() + tonumber(ARGV[5]), ARGV[3])
redis.call('XCLAIM', KEYS[1], ARGV[1], ARGV[2], 0, ARGV[3], 'JUSTID')
return 1
)";

// KEYS: stream, retry set, errors. ARGV: group, id.
constexpr const char* kAckLua = R"(
local n = redis.call('XACK', KEYS[1], ARGV[1], ARGV[2])
redis.call('ZREM', KEYS[2], ARGV[2])
redis.call('HDEL', KEYS[3], ARGV[2])
return n
)";

// KEYS: stream, retry set, errors, dead letters. ARGV: group, consumer, id, attempts,
// error, digest, body. The dead letter is added and the entry acknowledged together.
constexpr const char* kDeadLua = R"(
if not owned(KEYS[1], ARGV[1], ARGV[2], ARGV[3], ARGV[4]) then return 0 end
redis.call('XADD', KEYS[4], '*', 'digest', ARGV[6], 'body', ARGV[7], 'attempts', ARGV[4], 'error', ARGV[5],
           'entry', ARGV[3], 'failed_at', tostring(now_ms()))
redis.call('XACK', KEYS[1], ARGV[1], ARGV[3])
redis.call('ZREM', KEYS[2], ARGV[3])
redis.call('HDEL', KEYS[3], ARGV[3])
return 1
)";

// KEYS: stream, dead letters. ARGV: dead letter id. The entry is added anew and the dead
// letter removed together.
constexpr const char* kReplayLua = R"(
local e = redis.call('XRANGE', KEYS[2], ARGV[1], ARGV[1])
if not e[1] then return 0 end
local f = e[1][2]
local digest, body = '', ''
for i = 1, #f, 2 do
  if f[i] == 'digest' then digest = f[i + 1] elseif f[i] == 'body' then body = f[i + 1] end
end
redis.call('XADD', KEYS[1], '*', 'digest', digest, 'body', body)
redis.call('XDEL', KEYS[2], ARGV[1])
return 1
)";

// KEYS: stream. Trims below the oldest entry that some group still needs: its oldest
// pending entry, or the last one it read (entries after it are not read yet). Without any
// group nothing is trimmed.
constexpr const char* kTrimLua = R"(
if redis.call('EXISTS', KEYS[1]) == 0 then return 0 end
local minid = nil
for _, g in ipairs(redis.call('XINFO', 'GROUPS', KEYS[1])) do
  local info = {}
  for i = 1, #g, 2 do info[g[i]] = g[i + 1] end
  local keep = info['last-delivered-id']
  if tonumber(info['pending']) > 0 then
    local s = redis.call('XPENDING', KEYS[1], info['name'])
    if id_less(s[2], keep) then keep = s[2] end
  end
  if minid == nil or id_less(keep, minid) then minid = keep end
end
if minid == nil then return 0 end
return redis.call('XTRIM', KEYS[1], 'MINID', minid)
)";

std::string sha1_hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

struct Script {
    explicit Script(std::string_view body, bool with_helpers = true)
        : text(with_helpers ? std::string(kLessLua) + std::string(body) : std::string(body)), sha(sha1_hex(text)) {}
    std::string text;
    std::string sha;
};

const Script& script(const char* body, bool helpers = true) {
    // One Script per body, made once (the bodies are the constants above).
    static std::mutex m;
    static std::vector<std::pair<const char*, std::unique_ptr<Script>>> made;
    std::lock_guard lock(m);
    for (auto& [key, s] : made)
        if (key == body) return *s;
    made.emplace_back(body, std::make_unique<Script>(body, helpers));
    return *made.back().second;
}

bool starts_with(const RedisReply& r, std::string_view prefix) {
    return r.kind == Kind::error && r.text.compare(0, prefix.size(), prefix) == 0;
}

std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "quillmere";
    return name;
}

// A reply that cannot be read as the command promises.
[[noreturn]] void malformed(std::string_view what) {
    throw QueueUnavailable("queue: unexpected reply from Redis to " + std::string(what));
}

std::optional<std::int64_t> to_integer(const RedisReply& r) {
    if (r.kind == Kind::integer) return r.integer;
    if (r.kind == Kind::string || r.kind == Kind::status) {
        std::int64_t v = 0;
        auto [p, ec] = std::from_chars(r.text.data(), r.text.data() + r.text.size(), v);
        if (ec == std::errc{} && p == r.text.data() + r.text.size()) return v;
    }
    return std::nullopt;
}

// The value of `name` in a flat field list [name, value, ...].
const RedisReply* field(const RedisReply& fields, std::string_view name) {
    if (fields.kind != Kind::array) return nullptr;
    for (std::size_t i = 0; i + 1 < fields.elements.size(); i += 2)
        if (fields.elements[i].text == name) return &fields.elements[i + 1];
    return nullptr;
}

std::string text_of(const RedisReply* r) { return r && !r->is_nil() ? r->text : std::string(); }

}  // namespace

RedisQueueOptions RedisQueueOptions::from(const QueueConfig& config, const QueueOptions& options) {
    RedisQueueOptions o;
    o.url = config.url;
    o.stream = config.stream;
    o.group = config.group;
    o.consumer = options.consumer;
    o.redelivery_window = options.redelivery_window;
    o.max_deliveries = config.max_deliveries;
    o.claim_idle = config.claim_idle;
    return o;
}

struct RedisQueue::Impl {
    // Connections for concurrent callers: a lease blocks its connection while it waits.
    class Pool {
    public:
        explicit Pool(RedisOptions o) : options_(std::move(o)) {}
        struct Lease {
            Pool* pool;
            std::unique_ptr<RedisConnection> connection;
            ~Lease() {
                std::lock_guard lock(pool->mutex_);
                pool->idle_.push_back(std::move(connection));
            }
            RedisConnection* operator->() { return connection.get(); }
            RedisConnection& operator*() { return *connection; }
        };
        Lease acquire() {
            {
                std::lock_guard lock(mutex_);
                if (!idle_.empty()) {
                    auto c = std::move(idle_.back());
                    idle_.pop_back();
                    return Lease{this, std::move(c)};
                }
            }
            return Lease{this, std::make_unique<RedisConnection>(options_)};
        }

    private:
        RedisOptions options_;
        std::mutex mutex_;
        std::vector<std::unique_ptr<RedisConnection>> idle_;
    };

    static RedisOptions connection_options(const RedisQueueOptions& o) {
        if (o.url.empty()) throw ConfigError("queue.url: the Redis queue needs a redis:// URL");
        if (o.stream.empty()) throw ConfigError("queue.stream: must not be empty");
        if (o.group.empty()) throw ConfigError("queue.group: must not be empty");
        if (o.max_deliveries == 0) throw ConfigError("queue.max_deliveries: must be at least 1");
        if (o.claim_idle.count() <= 0) throw ConfigError("queue.claim_idle: must be positive");
        try {
            auto r = RedisOptions::from_url(o.url);
            r.command_timeout = o.command_timeout;
            r.validate();
            return r;
        } catch (const std::invalid_argument& e) {
            throw ConfigError(std::string("queue.url: ") + e.what());
        }
    }

    explicit Impl(RedisQueueOptions o)
        : options(std::move(o)),
          pool(connection_options(options)),
          dead_key(options.stream + ":dead"),
          retry_key(options.stream + ":retry"),
          errors_key(options.stream + ":errors") {
        if (options.consumer.empty()) options.consumer = host_name();
        if (options.trim_every == 0) options.trim_every = 1;
        try {
            auto c = pool.acquire();
            prepare(*c);
        } catch (const QueueUnavailable& e) {
            host_logger()->warn("queue: Redis not reachable yet ({}); deliveries are refused until it is", e.what());
        }
    }

    // Runs once a connection works: the consumer group, and the settings the guarantee needs.
    void prepare(RedisConnection& c) {
        create_group(c);
        if (!settings_checked.exchange(true)) check_settings(c);
    }

    void create_group(RedisConnection& c) {
        auto r = call(c, {"XGROUP", "CREATE", options.stream, options.group, "0", "MKSTREAM"});
        if (r.is_error() && !starts_with(r, "BUSYGROUP")) throw QueueUnavailable("queue: XGROUP CREATE: " + r.text);
        group_ready = true;
    }

    void check_settings(RedisConnection& c) {
        const struct {
            const char* name;
            const char* wanted;
            const char* why;
        } settings[] = {
            {"appendonly", "yes", "deliveries acknowledged with 200 are lost when Redis restarts"},
            {"maxmemory-policy", "noeviction", "entries and redelivery digests may be evicted under memory pressure"},
        };
        for (const auto& s : settings) {
            auto r = call(c, {"CONFIG", "GET", s.name});
            const RedisReply* value = r.kind == Kind::array && r.elements.size() == 2 ? &r.elements[1] : nullptr;
            if (!value) {
                host_logger()->warn("queue: cannot read the Redis setting {} (CONFIG GET refused); it must be {}",
                                    s.name, s.wanted);
                continue;
            }
            if (value->text != s.wanted)
                host_logger()->warn("queue: Redis {} is \"{}\": {}; set {} {}", s.name, value->text, s.why, s.name,
                                    s.wanted);
        }
    }

    // One command; a failure of the connection is QueueUnavailable.
    RedisReply call(RedisConnection& c, const std::vector<std::string_view>& argv,
                    const adapters::RedisCallOptions& how = {}) {
        try {
            return c.command(argv, how);
        } catch (const RedisError& e) {
            group_ready = false;
            throw QueueUnavailable(std::string("queue: ") + e.what());
        }
    }

    RedisReply eval(RedisConnection& c, const Script& s, const std::vector<std::string_view>& keys,
                    const std::vector<std::string_view>& args, const adapters::RedisCallOptions& how = {}) {
        const std::string count = std::to_string(keys.size());
        std::vector<std::string_view> argv{"EVALSHA", s.sha, count};
        argv.insert(argv.end(), keys.begin(), keys.end());
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = call(c, argv, how);
        if (starts_with(r, "NOSCRIPT")) {
            argv[0] = "EVAL";
            argv[1] = s.text;
            r = call(c, argv, how);
        }
        return r;
    }

    // Runs `f` on a pooled connection; a missing group is created again and `f` run once more.
    template <class F>
    auto with_group(F&& f) {
        auto c = pool.acquire();
        if (!group_ready) prepare(*c);
        auto r = f(*c);
        if (!r.first) {
            host_logger()->warn("queue: consumer group {} of {} was missing; created again", options.group,
                                options.stream);
            create_group(*c);
            r = f(*c);
            if (!r.first) throw QueueUnavailable("queue: the consumer group disappeared again");
        }
        return std::move(r.second);
    }

    // An error reply that is not a missing group fails the call.
    static bool group_missing(const RedisReply& r, std::string_view what) {
        if (starts_with(r, "NOGROUP") || (r.is_error() && r.text.find("NOGROUP") != std::string::npos)) return true;
        if (r.is_error()) {
            if (r.text.compare(0, 3, "OOM") == 0)
                throw QueueUnavailable("queue: Redis is out of memory (maxmemory reached): " + r.text);
            throw QueueUnavailable("queue: " + std::string(what) + ": " + r.text);
        }
        return false;
    }

    // Entries of an XREADGROUP/XCLAIM reply ([id, fields] each) as deliveries with one
    // delivery each; an entry whose fields are gone (nil) is listed in `gone`.
    static void read_entries(const RedisReply& entries, std::vector<LeasedDelivery>& out,
                             std::vector<std::string>* gone) {
        if (entries.kind != Kind::array) malformed("XREADGROUP");
        for (const auto& e : entries.elements) {
            if (e.kind != Kind::array || e.elements.size() < 2) malformed("XREADGROUP");
            if (e.elements[1].kind != Kind::array) {
                if (gone) gone->push_back(e.elements[0].text);
                continue;
            }
            LeasedDelivery d;
            d.id = e.elements[0].text;
            d.digest = text_of(field(e.elements[1], "digest"));
            d.body = text_of(field(e.elements[1], "body"));
            d.attempts = 1;
            out.push_back(std::move(d));
        }
    }

    std::vector<std::string_view> stream_keys() const { return {options.stream, retry_key, errors_key}; }

    // The delivery counts and last errors of entries read back from the pending list.
    void attach_counts(RedisConnection& c, std::vector<LeasedDelivery>& found) {
        std::vector<std::vector<std::string_view>> commands;
        for (const auto& d : found) {
            commands.push_back({"XPENDING", options.stream, options.group, d.id, d.id, "1"});
            commands.push_back({"HGET", errors_key, d.id});
        }
        std::vector<RedisReply> replies;
        try {
            replies = c.pipeline(commands);
        } catch (const RedisError& e) {
            throw QueueUnavailable(std::string("queue: ") + e.what());
        }
        for (std::size_t i = 0; i < found.size(); ++i) {
            const auto& p = replies[2 * i];
            if (p.kind == Kind::array && !p.elements.empty() && p.elements[0].elements.size() >= 4)
                if (auto n = to_integer(p.elements[0].elements[3])) found[i].attempts = static_cast<std::size_t>(*n);
            found[i].last_error = text_of(&replies[2 * i + 1]);
        }
    }

    // Own pending entries, left from an earlier run under the same consumer name; read once,
    // before anything new, in pages from `recovery_cursor`.
    std::vector<LeasedDelivery> recover(std::size_t max) {
        std::lock_guard lock(recovery_mutex);
        if (recovered) return {};
        const std::string count = std::to_string(max);
        std::vector<std::string> gone;
        auto found = with_group([&](RedisConnection& c) {
            auto r = call(c, {"XREADGROUP", "GROUP", options.group, options.consumer, "COUNT", count, "STREAMS",
                              options.stream, recovery_cursor});
            std::pair<bool, std::vector<LeasedDelivery>> out{!group_missing(r, "XREADGROUP"), {}};
            if (!out.first) return out;
            if (r.kind == Kind::array && !r.elements.empty()) {
                const auto& stream = r.elements[0];
                if (stream.kind != Kind::array || stream.elements.size() != 2) malformed("XREADGROUP");
                read_entries(stream.elements[1], out.second, &gone);
                if (!stream.elements[1].elements.empty())
                    recovery_cursor = stream.elements[1].elements.back().elements[0].text;
                if (stream.elements[1].elements.size() < max) recovered = true;
            } else {
                recovered = true;
            }
            if (!out.second.empty()) attach_counts(c, out.second);
            return out;
        });
        if (!gone.empty()) {
            // Entries trimmed or deleted by someone else while pending: nothing to deliver.
            auto c = pool.acquire();
            for (const auto& id : gone) eval(*c, script(kAckLua), stream_keys(), {options.group, id});
        }
        if (!found.empty())
            host_logger()->info("queue: {} unacknowledged entries of consumer {} taken up again", found.size(),
                                options.consumer);
        return found;
    }

    // Entries due for retry and entries idle past claim_idle. `next_due`: ms to the next retry.
    std::vector<LeasedDelivery> claim(std::size_t max, std::int64_t& next_due) {
        const std::string count = std::to_string(max);
        const std::string idle = std::to_string(options.claim_idle.count());
        return with_group([&](RedisConnection& c) {
            auto r = eval(c, script(kClaimLua), stream_keys(), {options.group, options.consumer, count, idle});
            std::pair<bool, std::vector<LeasedDelivery>> out{!group_missing(r, "claim"), {}};
            if (!out.first) return out;
            if (r.kind != Kind::array || r.elements.size() != 2 || r.elements[0].kind != Kind::array)
                malformed("claim");
            for (const auto& e : r.elements[0].elements) {
                if (e.kind != Kind::array || e.elements.size() != 4) malformed("claim");
                LeasedDelivery d;
                d.id = e.elements[0].text;
                d.digest = text_of(field(e.elements[1], "digest"));
                d.body = text_of(field(e.elements[1], "body"));
                d.attempts = static_cast<std::size_t>(to_integer(e.elements[2]).value_or(1));
                d.last_error = e.elements[3].text;
                out.second.push_back(std::move(d));
            }
            next_due = to_integer(r.elements[1]).value_or(-1);
            return out;
        });
    }

    std::vector<LeasedDelivery> read_new(std::size_t max, std::chrono::milliseconds block) {
        const std::string count = std::to_string(max);
        const std::string block_ms = std::to_string(block.count());
        adapters::RedisCallOptions how;
        how.timeout = block + options.command_timeout;
        return with_group([&](RedisConnection& c) {
            std::vector<std::string_view> argv{"XREADGROUP", "GROUP", options.group, options.consumer, "COUNT", count};
            if (block.count() > 0) {
                argv.push_back("BLOCK");
                argv.push_back(block_ms);
            }
            argv.insert(argv.end(), {"STREAMS", options.stream, ">"});
            auto r = call(c, argv, how);
            std::pair<bool, std::vector<LeasedDelivery>> out{!group_missing(r, "XREADGROUP"), {}};
            if (!out.first || r.is_nil()) return out;
            if (r.kind != Kind::array || r.elements.empty() || r.elements[0].elements.size() != 2)
                malformed("XREADGROUP");
            read_entries(r.elements[0].elements[1], out.second, nullptr);
            return out;
        });
    }

    // Past the configured number of deliveries: into the dead letters instead of to a worker.
    void bury_overdelivered(std::vector<LeasedDelivery>& found) {
        auto over = [&](const LeasedDelivery& d) { return d.attempts > options.max_deliveries; };
        for (const auto& d : found) {
            if (!over(d)) continue;
            std::string reason = "not acknowledged after " + std::to_string(d.attempts - 1) +
                                 " deliveries (the worker ended or ran past its lease)";
            if (!d.last_error.empty()) reason += "; last error: " + d.last_error;
            bury(d, reason);
            host_logger()->warn("queue: delivery {} moved to the dead letters: {}", d.digest, reason);
        }
        found.erase(std::remove_if(found.begin(), found.end(), over), found.end());
    }

    bool bury(const LeasedDelivery& d, std::string_view reason) {
        const std::string attempts = std::to_string(d.attempts);
        return with_group([&](RedisConnection& c) {
            auto r = eval(c, script(kDeadLua), {options.stream, retry_key, errors_key, dead_key},
                          {options.group, options.consumer, d.id, attempts, reason, d.digest, d.body});
            std::pair<bool, bool> out{!group_missing(r, "dead letter"), r.integer == 1};
            return out;
        });
    }

    RedisQueueOptions options;
    Pool pool;
    std::string dead_key, retry_key, errors_key;
    std::atomic<bool> group_ready{false};
    std::atomic<bool> settings_checked{false};
    std::mutex recovery_mutex;
    bool recovered = false;
    std::string recovery_cursor = "0";
    std::atomic<std::size_t> acks_since_trim{0};
};

RedisQueue::RedisQueue(RedisQueueOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
RedisQueue::~RedisQueue() = default;

const std::string& RedisQueue::consumer() const { return impl_->options.consumer; }

EnqueueResult RedisQueue::enqueue(std::string_view digest, std::string_view body) {
    auto& impl = *impl_;
    const std::string seen_key = impl.options.stream + ":seen:" + std::string(digest);
    const std::string window = std::to_string(std::max<std::int64_t>(1, impl.options.redelivery_window.count()));
    auto c = impl.pool.acquire();
    if (!impl.group_ready) impl.prepare(*c);
    // Sent again after a broken connection: if the first one ran, the digest is there and
    // the second answers "duplicate", which is true.
    auto r = impl.eval(*c, script(kEnqueueLua), {seen_key, impl.options.stream}, {window, digest, body});
    if (r.is_error()) {
        if (r.text.compare(0, 3, "OOM") == 0)
            throw QueueUnavailable("queue: Redis is out of memory (maxmemory reached): " + r.text);
        throw QueueUnavailable("queue: XADD: " + r.text);
    }
    return r.is_nil() ? EnqueueResult::duplicate : EnqueueResult::enqueued;
}

std::vector<LeasedDelivery> RedisQueue::lease(std::size_t max, std::chrono::milliseconds wait) {
    if (max == 0) return {};
    using Steady = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    auto& impl = *impl_;
    const auto deadline = Steady::now() + std::max(wait, milliseconds(0));
    // Idle entries of other consumers are looked for at least this often while waiting.
    const auto claim_check = std::max(milliseconds(100), impl.options.claim_idle / 4);
    for (;;) {
        auto found = impl.recover(max);
        if (found.empty()) {
            std::int64_t next_due = -1;
            found = impl.claim(max, next_due);
            if (found.size() < max) {
                auto block = milliseconds(0);
                if (found.empty()) {
                    block = std::min(claim_check, std::chrono::duration_cast<milliseconds>(deadline - Steady::now()));
                    if (next_due >= 0) block = std::min(block, milliseconds(next_due));
                    block = std::max(block, milliseconds(0));
                }
                auto fresh = impl.read_new(max - found.size(), block);
                std::move(fresh.begin(), fresh.end(), std::back_inserter(found));
            }
        }
        impl.bury_overdelivered(found);
        if (!found.empty() || Steady::now() >= deadline) return found;
    }
}

void RedisQueue::ack(const LeasedDelivery& delivery) {
    auto& impl = *impl_;
    impl.with_group([&](RedisConnection& c) {
        auto r = impl.eval(c, script(kAckLua), impl.stream_keys(), {impl.options.group, delivery.id});
        return std::pair<bool, int>{!Impl::group_missing(r, "XACK"), 0};
    });
    if (impl.acks_since_trim.fetch_add(1) + 1 >= impl.options.trim_every) {
        impl.acks_since_trim = 0;
        try {
            trim();
        } catch (const QueueUnavailable& e) {
            host_logger()->warn("queue: stream not trimmed: {}", e.what());
        }
    }
}

void RedisQueue::retry(const LeasedDelivery& delivery, std::string_view error, std::chrono::milliseconds delay) {
    auto& impl = *impl_;
    if (delivery.attempts >= impl.options.max_deliveries) {
        dead_letter(delivery, error);
        return;
    }
    const std::string attempts = std::to_string(delivery.attempts);
    const std::string delay_ms = std::to_string(std::max<std::int64_t>(0, delay.count()));
    impl.with_group([&](RedisConnection& c) {
        auto r = impl.eval(c, script(kRetryLua), impl.stream_keys(),
                           {impl.options.group, impl.options.consumer, delivery.id, attempts, delay_ms, error});
        return std::pair<bool, int>{!Impl::group_missing(r, "retry"), 0};
    });
}

void RedisQueue::dead_letter(const LeasedDelivery& delivery, std::string_view error) { impl_->bury(delivery, error); }

std::size_t RedisQueue::depth() {
    auto& impl = *impl_;
    return impl.with_group([&](RedisConnection& c) {
        auto r = impl.call(c, {"XINFO", "GROUPS", impl.options.stream});
        std::pair<bool, std::size_t> out{!Impl::group_missing(r, "XINFO"), 0};
        if (!out.first) return out;
        if (r.kind != Kind::array) malformed("XINFO GROUPS");
        for (const auto& g : r.elements) {
            if (text_of(field(g, "name")) != impl.options.group) continue;
            const auto* pending = field(g, "pending");
            const auto* lag = field(g, "lag");
            const auto p = pending ? to_integer(*pending).value_or(0) : 0;
            auto l = lag ? to_integer(*lag) : std::nullopt;
            if (!l) {  // not known (entries deleted): count what the stream still holds after the group's reads
                auto n = impl.call(c, {"XLEN", impl.options.stream});
                l = std::max<std::int64_t>(0, to_integer(n).value_or(0) - p);
            }
            out.second = static_cast<std::size_t>(p + *l);
            return out;
        }
        out.first = false;  // the group is not there
        return out;
    });
}

bool RedisQueue::ready() {
    auto& impl = *impl_;
    try {
        auto c = impl.pool.acquire();
        if (!impl.group_ready) impl.prepare(*c);
        auto r = impl.call(*c, {"PING"});
        return r.kind == Kind::status && r.text == "PONG";
    } catch (const QueueUnavailable&) {
        return false;
    }
}

std::vector<DeadLetter> RedisQueue::dead_letters(std::size_t max) {
    auto& impl = *impl_;
    auto c = impl.pool.acquire();
    // Redis reads COUNT as a signed 64-bit number.
    const std::string count = std::to_string(std::min<std::size_t>(max, INT64_MAX));
    auto r = impl.call(*c, {"XRANGE", impl.dead_key, "-", "+", "COUNT", count});
    if (r.is_error()) throw QueueUnavailable("queue: XRANGE: " + r.text);
    if (r.kind != Kind::array) malformed("XRANGE");
    std::vector<DeadLetter> out;
    for (const auto& e : r.elements) {
        if (e.kind != Kind::array || e.elements.size() != 2) malformed("XRANGE");
        DeadLetter d;
        d.id = e.elements[0].text;
        const auto& f = e.elements[1];
        d.digest = text_of(field(f, "digest"));
        d.body = text_of(field(f, "body"));
        d.last_error = text_of(field(f, "error"));
        if (const auto* a = field(f, "attempts")) d.attempts = static_cast<std::size_t>(to_integer(*a).value_or(0));
        if (const auto* t = field(f, "failed_at"))
            d.failed_at = std::chrono::system_clock::time_point(std::chrono::milliseconds(to_integer(*t).value_or(0)));
        out.push_back(std::move(d));
    }
    return out;
}

std::size_t RedisQueue::replay(std::span<const std::string> ids) {
    auto& impl = *impl_;
    std::vector<std::string> all;
    if (ids.empty()) {
        // Every dead letter there is now (not those that arrive while replaying).
        auto c = impl.pool.acquire();
        auto last = impl.call(*c, {"XREVRANGE", impl.dead_key, "+", "-", "COUNT", "1"});
        if (last.kind != Kind::array || last.elements.empty()) return 0;
        const std::string end = last.elements[0].elements[0].text;
        std::string start = "-";
        for (;;) {
            auto page = impl.call(*c, {"XRANGE", impl.dead_key, start, end, "COUNT", "500"});
            if (page.kind != Kind::array || page.elements.empty()) break;
            for (const auto& e : page.elements) all.push_back(e.elements[0].text);
            if (all.back() == end) break;
            start = "(" + all.back();
        }
        ids = all;
    }
    std::size_t count = 0;
    auto c = impl.pool.acquire();
    for (const auto& id : ids) {
        auto r = impl.eval(*c, script(kReplayLua), {impl.options.stream, impl.dead_key}, {id});
        if (r.is_error()) {
            // An id that is not a stream id is not a dead letter.
            if (r.text.find("Invalid stream ID") != std::string::npos) continue;
            throw QueueUnavailable("queue: replay: " + r.text);
        }
        count += r.integer == 1 ? 1 : 0;
    }
    return count;
}

std::size_t RedisQueue::trim() {
    auto& impl = *impl_;
    auto c = impl.pool.acquire();
    auto r = impl.eval(*c, script(kTrimLua), {impl.options.stream}, {});
    if (r.is_error()) throw QueueUnavailable("queue: trim: " + r.text);
    return static_cast<std::size_t>(to_integer(r).value_or(0));
}

}  // namespace quillmere::host
