#include "host/queue_sqlite.hpp"

#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

namespace quillmere::host {
namespace {

using Clock = std::chrono::system_clock;
constexpr int kSchemaVersion = 1;
constexpr std::int64_t kPurgeEveryMs = 60'000;
constexpr int kPurgeRows = 5000;

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw QueueUnavailable("queue database: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

// Bytes stored as they are (a body need not be valid UTF-8).
struct Blob {
    std::string_view bytes;
};

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
            fail(db, "cannot prepare a statement");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binds the arguments in order, starting a new run of the statement.
    template <class... Args>
    Statement& bind(const Args&... args) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        int index = 0;
        (bind_one(++index, args), ...);
        return *this;
    }
    // true: a row is there to read.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_reset(stmt_);
        throw QueueUnavailable("queue database: " + message);
    }
    void run() {
        while (step()) {}
        sqlite3_reset(stmt_);
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column) const {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
        return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
    }
    void reset() { sqlite3_reset(stmt_); }

private:
    void bind_one(int index, std::int64_t value) { check(sqlite3_bind_int64(stmt_, index, value)); }
    void bind_one(int index, std::string_view value) {
        check(sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8));
    }
    void bind_one(int index, Blob value) {
        check(sqlite3_bind_blob64(stmt_, index, value.bytes.data(), value.bytes.size(), SQLITE_STATIC));
    }
    void check(int rc) {
        if (rc != SQLITE_OK) fail(db_, "cannot bind a value");
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class Database {
public:
    Database(const std::filesystem::path& path, std::chrono::milliseconds busy_timeout) {
        const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw QueueUnavailable("queue database " + path.string() + ": " + message);
        }
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, static_cast<int>(busy_timeout.count()));
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* get() const { return db_; }
    void exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : sqlite3_errmsg(db_);
            sqlite3_free(error);
            throw QueueUnavailable("queue database: " + message);
        }
    }
    std::string pragma_text(const char* sql) {
        Statement s(db_, sql);
        return s.step() ? s.text(0) : std::string();
    }
    bool in_transaction() const { return sqlite3_get_autocommit(db_) == 0; }

private:
    sqlite3* db_ = nullptr;
};

std::string id_text(std::int64_t id) { return std::to_string(id); }

std::optional<std::int64_t> parse_id(std::string_view text) {
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || text.empty()) return std::nullopt;
    return value;
}

// The statements of the writer connection, prepared once.
struct WriteStatements {
    explicit WriteStatements(sqlite3* db)
        : seen(db, "SELECT seen_at FROM digests WHERE digest = ?1"),
          remember(db, "INSERT OR REPLACE INTO digests(digest, seen_at) VALUES (?1, ?2)"),
          insert(db,
                 "INSERT INTO deliveries(digest, body, enqueued_at, visible_at, attempts, last_error) "
                 "VALUES (?1, ?2, ?3, ?3, 0, '')"),
          visible(db,
                  "SELECT id, digest, body, attempts, last_error FROM deliveries WHERE visible_at <= ?1 "
                  "ORDER BY visible_at, id LIMIT ?2"),
          take(db, "UPDATE deliveries SET visible_at = ?2, attempts = attempts + 1 WHERE id = ?1"),
          next_visible(db, "SELECT min(visible_at) FROM deliveries"),
          remove(db, "DELETE FROM deliveries WHERE id = ?1"),
          later(db, "UPDATE deliveries SET visible_at = ?2, last_error = ?3 WHERE id = ?1 AND attempts = ?4"),
          bury(db,
               "INSERT INTO dead_letters(digest, body, enqueued_at, failed_at, attempts, last_error) "
               "SELECT digest, body, enqueued_at, ?2, attempts, ?3 FROM deliveries WHERE id = ?1 AND attempts = ?4"),
          remove_leased(db, "DELETE FROM deliveries WHERE id = ?1 AND attempts = ?2"),
          revive(db,
                 "INSERT INTO deliveries(digest, body, enqueued_at, visible_at, attempts, last_error) "
                 "SELECT digest, body, enqueued_at, ?2, 0, last_error FROM dead_letters WHERE id = ?1"),
          revive_all(db,
                     "INSERT INTO deliveries(digest, body, enqueued_at, visible_at, attempts, last_error) "
                     "SELECT digest, body, enqueued_at, ?1, 0, last_error FROM dead_letters ORDER BY id"),
          forget(db, "DELETE FROM dead_letters WHERE id = ?1"),
          forget_all(db, "DELETE FROM dead_letters"),
          purge(db,
                "DELETE FROM digests WHERE digest IN "
                "(SELECT digest FROM digests WHERE seen_at < ?1 LIMIT ?2)") {}

    Statement seen, remember, insert, visible, take, next_visible, remove, later, bury, remove_leased, revive,
        revive_all, forget, forget_all, purge;
};

}  // namespace

SqliteQueueOptions SqliteQueueOptions::from(const QueueConfig& config, const QueueOptions& options) {
    SqliteQueueOptions o;
    o.path = config.path;
    o.redelivery_window = options.redelivery_window;
    o.max_deliveries = config.max_deliveries;
    o.claim_idle = config.claim_idle;
    return o;
}

struct SqliteQueue::Impl {
    // One operation waiting for the writer thread. It lives on the caller's stack; the
    // caller waits until `done`.
    struct Op {
        enum class Kind { enqueue, lease, ack, retry, dead_letter, replay };
        explicit Op(Kind k) : kind(k) {}
        Kind kind;
        std::string_view digest, body;  // enqueue
        std::size_t max = 0;            // lease
        const LeasedDelivery* delivery = nullptr;
        std::string_view error;              // retry, dead_letter
        std::chrono::milliseconds delay{0};  // retry
        std::span<const std::string> ids;    // replay
        EnqueueResult enqueued = EnqueueResult::enqueued;
        std::vector<LeasedDelivery> leased;
        std::optional<std::int64_t> next_visible;  // lease: the earliest delivery not yet visible
        std::size_t count = 0;                     // replay
        std::exception_ptr failure;
        bool done = false;
    };

    static SqliteQueueOptions checked(SqliteQueueOptions o) {
        if (o.path.empty()) throw ConfigError("queue.path: must name the queue's database file");
        if (o.max_deliveries == 0) throw ConfigError("queue.max_deliveries: must be at least 1");
        if (o.claim_idle.count() <= 0) throw ConfigError("queue.claim_idle: must be positive");
        if (o.max_batch == 0) o.max_batch = 1;
        return o;
    }

    explicit Impl(SqliteQueueOptions o)
        : options(checked(std::move(o))), writer_db(options.path, options.busy_timeout) {
        open_schema();
        statements.emplace(writer_db.get());
        reader_db.emplace(options.path, options.busy_timeout);
        writer = std::thread([this] { write_loop(); });
    }

    ~Impl() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        work_ready.notify_all();
        arrival.notify_all();
        writer.join();
    }

    void open_schema() {
        auto& db = writer_db;
        const std::string mode = db.pragma_text("PRAGMA journal_mode=WAL");
        if (mode != "wal")
            throw QueueUnavailable("queue database " + options.path.string() +
                                   ": cannot use write-ahead logging (journal mode " + mode + ")");
        db.exec("PRAGMA synchronous=FULL");
        db.exec("BEGIN IMMEDIATE");
        try {
            Statement version(db.get(), "PRAGMA user_version");
            const std::int64_t found = version.step() ? version.integer(0) : 0;
            version.reset();
            if (found > kSchemaVersion)
                throw QueueUnavailable("queue database " + options.path.string() +
                                       ": made by a newer version of quillmere (schema " + std::to_string(found) + ")");
            db.exec(
                "CREATE TABLE IF NOT EXISTS deliveries("
                " id INTEGER PRIMARY KEY AUTOINCREMENT, digest TEXT NOT NULL, body BLOB NOT NULL,"
                " enqueued_at INTEGER NOT NULL, visible_at INTEGER NOT NULL,"
                " attempts INTEGER NOT NULL, last_error TEXT NOT NULL);"
                "CREATE INDEX IF NOT EXISTS deliveries_visible ON deliveries(visible_at);"
                "CREATE TABLE IF NOT EXISTS digests(digest TEXT PRIMARY KEY, seen_at INTEGER NOT NULL) WITHOUT ROWID;"
                "CREATE INDEX IF NOT EXISTS digests_seen ON digests(seen_at);"
                "CREATE TABLE IF NOT EXISTS dead_letters("
                " id INTEGER PRIMARY KEY AUTOINCREMENT, digest TEXT NOT NULL, body BLOB NOT NULL,"
                " enqueued_at INTEGER NOT NULL, failed_at INTEGER NOT NULL,"
                " attempts INTEGER NOT NULL, last_error TEXT NOT NULL);");
            db.exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
            db.exec("COMMIT");
        } catch (...) {
            if (db.in_transaction()) sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    // Hands the operation to the writer and waits for the commit that holds it.
    void submit(Op& op) {
        std::unique_lock lock(mutex);
        if (stopping) throw QueueUnavailable("queue database: the queue is closed");
        pending.push_back(&op);
        work_ready.notify_one();
        done.wait(lock, [&] { return op.done; });
        if (op.failure) std::rethrow_exception(op.failure);
    }

    void write_loop() {
        std::vector<Op*> batch;
        for (;;) {
            {
                std::unique_lock lock(mutex);
                work_ready.wait(lock, [&] { return stopping || !pending.empty(); });
                if (pending.empty()) return;  // stopping, nothing left
                const std::size_t take = options.group_commit ? std::min(options.max_batch, pending.size()) : 1;
                batch.assign(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
            }
            const bool arrived = run_batch(batch);
            {
                std::lock_guard lock(mutex);
                for (Op* op : batch) op->done = true;
                if (arrived) ++arrivals;
            }
            done.notify_all();
            if (arrived) arrival.notify_all();
            batch.clear();
        }
    }

    // One transaction for the whole batch; each operation in a savepoint of its own so that
    // one that fails alone (a body too large) does not undo the others. Returns whether
    // deliveries became visible.
    bool run_batch(const std::vector<Op*>& batch) {
        auto& db = writer_db;
        auto fail_all = [&](std::exception_ptr e) {
            for (Op* op : batch) op->failure = e;
            write_failed = true;
        };
        try {
            db.exec("BEGIN IMMEDIATE");
        } catch (...) {
            fail_all(std::current_exception());
            return false;
        }
        const std::int64_t now = now_ms();
        bool arrived = false;
        for (Op* op : batch) {
            try {
                db.exec("SAVEPOINT op");
                apply(*op, now);
                db.exec("RELEASE op");
                arrived = arrived || (op->kind == Op::Kind::enqueue && op->enqueued == EnqueueResult::enqueued) ||
                          op->kind == Op::Kind::retry || op->kind == Op::Kind::replay;
            } catch (...) {
                if (!db.in_transaction()) {  // SQLite rolled the whole transaction back (disk full, I/O)
                    fail_all(std::current_exception());
                    return false;
                }
                op->failure = std::current_exception();
                op->leased.clear();
                sqlite3_exec(db.get(), "ROLLBACK TO op; RELEASE op", nullptr, nullptr, nullptr);
            }
        }
        purge_old_digests(now);
        try {
            db.exec("COMMIT");
        } catch (...) {
            if (db.in_transaction()) sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            fail_all(std::current_exception());
            return false;
        }
        commits.fetch_add(1, std::memory_order_relaxed);
        write_failed = false;
        return arrived;
    }

    void apply(Op& op, std::int64_t now) {
        auto& s = *statements;
        switch (op.kind) {
            case Op::Kind::enqueue: {
                auto& seen = s.seen.bind(op.digest);
                const bool recent = seen.step() && seen.integer(0) > now - options.redelivery_window.count();
                seen.reset();
                if (recent) {
                    op.enqueued = EnqueueResult::duplicate;
                    return;
                }
                s.remember.bind(op.digest, now).run();
                s.insert.bind(op.digest, Blob{op.body}, now).run();
                op.enqueued = EnqueueResult::enqueued;
                return;
            }
            case Op::Kind::lease: {
                std::vector<LeasedDelivery> found;
                auto& visible = s.visible.bind(now, static_cast<std::int64_t>(op.max));
                while (visible.step()) {
                    LeasedDelivery d;
                    d.id = id_text(visible.integer(0));
                    d.digest = visible.text(1);
                    d.body = visible.text(2);
                    d.attempts = static_cast<std::size_t>(visible.integer(3));
                    d.last_error = visible.text(4);
                    found.push_back(std::move(d));
                }
                visible.reset();
                for (auto& d : found) {
                    const std::int64_t id = *parse_id(d.id);
                    if (d.attempts >= options.max_deliveries) {
                        // Leased that often and never acknowledged nor failed in time: the
                        // worker ended (or ran past its lease) each time.
                        std::string reason = "not acknowledged after " + std::to_string(d.attempts) +
                                             " deliveries (the worker ended or ran past its lease)";
                        if (!d.last_error.empty()) reason += "; last error: " + d.last_error;
                        bury(id, static_cast<std::int64_t>(d.attempts), reason, now);
                        spdlog::warn("queue: delivery {} moved to the dead letters: {}", d.digest, reason);
                        continue;
                    }
                    s.take.bind(id, now + options.claim_idle.count()).run();
                    d.attempts += 1;
                    op.leased.push_back(std::move(d));
                }
                auto& next = s.next_visible.bind();
                if (next.step() && !next.is_null(0)) op.next_visible = next.integer(0);
                next.reset();
                return;
            }
            case Op::Kind::ack: {
                if (auto id = parse_id(op.delivery->id)) s.remove.bind(*id).run();
                return;
            }
            case Op::Kind::retry: {
                auto id = parse_id(op.delivery->id);
                if (!id) return;
                const auto attempts = static_cast<std::int64_t>(op.delivery->attempts);
                if (op.delivery->attempts >= options.max_deliveries) {
                    bury(*id, attempts, op.error, now);
                    return;
                }
                s.later.bind(*id, now + std::max<std::int64_t>(0, op.delay.count()), op.error, attempts).run();
                return;
            }
            case Op::Kind::dead_letter: {
                if (auto id = parse_id(op.delivery->id))
                    bury(*id, static_cast<std::int64_t>(op.delivery->attempts), op.error, now);
                return;
            }
            case Op::Kind::replay: {
                if (op.ids.empty()) {
                    s.revive_all.bind(now).run();
                    op.count = static_cast<std::size_t>(sqlite3_changes(writer_db.get()));
                    s.forget_all.bind().run();
                    return;
                }
                for (const auto& text : op.ids) {
                    auto id = parse_id(text);
                    if (!id) continue;
                    s.revive.bind(*id, now).run();
                    if (sqlite3_changes(writer_db.get()) == 0) continue;
                    s.forget.bind(*id).run();
                    ++op.count;
                }
                return;
            }
        }
    }

    // Moves the delivery, if this lease of it is still the current one, to the dead letters.
    void bury(std::int64_t id, std::int64_t attempts, std::string_view reason, std::int64_t now) {
        auto& s = *statements;
        s.bury.bind(id, now, reason, attempts).run();
        if (sqlite3_changes(writer_db.get()) > 0) s.remove_leased.bind(id, attempts).run();
    }

    // Digests older than the redelivery window are forgotten, a bounded number per minute.
    void purge_old_digests(std::int64_t now) {
        if (now - last_purge < kPurgeEveryMs) return;
        last_purge = now;
        try {
            writer_db.exec("SAVEPOINT purge");
            statements->purge.bind(now - options.redelivery_window.count(), std::int64_t{kPurgeRows}).run();
            writer_db.exec("RELEASE purge");
        } catch (const std::exception& e) {
            if (writer_db.in_transaction())
                sqlite3_exec(writer_db.get(), "ROLLBACK TO purge; RELEASE purge", nullptr, nullptr, nullptr);
            spdlog::warn("queue: old digests not purged: {}", e.what());
        }
    }

    template <class F>
    auto read(F&& f) {
        std::lock_guard lock(reader_mutex);
        return f(reader_db->get());
    }

    SqliteQueueOptions options;
    Database writer_db;
    std::optional<WriteStatements> statements;  // used by the writer thread only
    std::optional<Database> reader_db;
    std::mutex reader_mutex;

    std::mutex mutex;
    std::condition_variable work_ready, done, arrival;
    std::deque<Op*> pending;
    std::uint64_t arrivals = 0;  // batches that made deliveries visible
    bool stopping = false;
    std::atomic<bool> write_failed{false};
    std::atomic<std::size_t> commits{0};
    std::int64_t last_purge = 0;
    std::thread writer;
};

SqliteQueue::SqliteQueue(SqliteQueueOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
SqliteQueue::~SqliteQueue() = default;

EnqueueResult SqliteQueue::enqueue(std::string_view digest, std::string_view body) {
    Impl::Op op(Impl::Op::Kind::enqueue);
    op.digest = digest;
    op.body = body;
    impl_->submit(op);
    return op.enqueued;
}

std::vector<LeasedDelivery> SqliteQueue::lease(std::size_t max, std::chrono::milliseconds wait) {
    if (max == 0) return {};
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + std::max(wait, std::chrono::milliseconds(0));
    auto& impl = *impl_;
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(impl.mutex);
            seen = impl.arrivals;
        }
        Impl::Op op(Impl::Op::Kind::lease);
        op.max = max;
        impl.submit(op);
        const auto now = Steady::now();
        if (!op.leased.empty() || now >= deadline) return std::move(op.leased);
        auto until = std::min(deadline, now + impl.options.poll_interval);
        if (op.next_visible) {
            const auto in = std::chrono::milliseconds(std::max<std::int64_t>(0, *op.next_visible - now_ms()));
            until = std::min(until, now + in);
        }
        std::unique_lock lock(impl.mutex);
        impl.arrival.wait_until(lock, until, [&] { return impl.arrivals != seen || impl.stopping; });
        if (impl.stopping) return {};
    }
}

void SqliteQueue::ack(const LeasedDelivery& delivery) {
    Impl::Op op(Impl::Op::Kind::ack);
    op.delivery = &delivery;
    impl_->submit(op);
}

void SqliteQueue::retry(const LeasedDelivery& delivery, std::string_view error, std::chrono::milliseconds delay) {
    Impl::Op op(Impl::Op::Kind::retry);
    op.delivery = &delivery;
    op.error = error;
    op.delay = delay;
    impl_->submit(op);
}

void SqliteQueue::dead_letter(const LeasedDelivery& delivery, std::string_view error) {
    Impl::Op op(Impl::Op::Kind::dead_letter);
    op.delivery = &delivery;
    op.error = error;
    impl_->submit(op);
}

std::size_t SqliteQueue::replay(std::span<const std::string> ids) {
    Impl::Op op(Impl::Op::Kind::replay);
    op.ids = ids;
    impl_->submit(op);
    return op.count;
}

std::size_t SqliteQueue::depth() {
    return impl_->read([](sqlite3* db) {
        Statement count(db, "SELECT count(*) FROM deliveries");
        return count.step() ? static_cast<std::size_t>(count.integer(0)) : 0;
    });
}

bool SqliteQueue::ready() {
    if (impl_->write_failed) return false;
    try {
        return impl_->read([](sqlite3* db) {
            Statement probe(db, "SELECT 1 FROM deliveries LIMIT 1");
            probe.step();
            return true;
        });
    } catch (const QueueUnavailable&) {
        return false;
    }
}

std::vector<DeadLetter> SqliteQueue::dead_letters(std::size_t max) {
    return impl_->read([max](sqlite3* db) {
        Statement rows(
            db, "SELECT id, digest, body, attempts, last_error, failed_at FROM dead_letters ORDER BY id LIMIT ?1");
        rows.bind(static_cast<std::int64_t>(std::min<std::size_t>(max, INT64_MAX)));
        std::vector<DeadLetter> out;
        while (rows.step()) {
            DeadLetter d;
            d.id = id_text(rows.integer(0));
            d.digest = rows.text(1);
            d.body = rows.text(2);
            d.attempts = static_cast<std::size_t>(rows.integer(3));
            d.last_error = rows.text(4);
            d.failed_at = Clock::time_point(std::chrono::milliseconds(rows.integer(5)));
            out.push_back(std::move(d));
        }
        return out;
    });
}

std::size_t SqliteQueue::commits() const { return impl_->commits.load(std::memory_order_relaxed); }

}  // namespace quillmere::host
