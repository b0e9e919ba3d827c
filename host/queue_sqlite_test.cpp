// The embedded queue's own guarantees: group commit, errors of the database file, bodies
// kept byte for byte. What both engines share is tested in tests/queue/.

#include "host/queue_sqlite.hpp"

#include "support/process.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace quillmere::host {
namespace {

using namespace std::chrono_literals;
using quillmere::testing::TempDir;

std::string digest_of(int i) { return "digest-" + std::to_string(i); }

// A second connection to the same file, holding its write lock until released.
class WriteLock {
public:
    explicit WriteLock(const std::filesystem::path& path) {
        EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~WriteLock() {
        release();
        sqlite3_close(db_);
    }
    void release() {
        if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

private:
    sqlite3* db_ = nullptr;
};

TEST(SqliteQueue, ConcurrentEnqueuesShareOneCommitAndReturnOnlyAfterIt) {
    TempDir dir;
    const auto path = dir.path() / "queue.db";
    SqliteQueue queue({.path = path});
    const std::size_t before = queue.commits();

    // While another connection holds the write lock, the writer's first transaction waits;
    // the enqueues that arrive meanwhile must all wait too, then share the next commit.
    WriteLock lock(path);
    constexpr int kThreads = 8;
    std::atomic<int> returned{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            EXPECT_EQ(queue.enqueue(digest_of(t), "body " + std::to_string(t)), EnqueueResult::enqueued);
            returned.fetch_add(1);
        });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(returned.load(), 0) << "an enqueue returned before any commit";
    lock.release();
    for (auto& th : threads) th.join();

    EXPECT_EQ(returned.load(), kThreads);
    EXPECT_LE(queue.commits() - before, 2u) << "the waiting enqueues were not committed together";
    EXPECT_EQ(queue.depth(), static_cast<std::size_t>(kThreads));
}

TEST(SqliteQueue, WithoutGroupCommitEachOperationIsItsOwnCommit) {
    TempDir dir;
    SqliteQueue queue({.path = dir.path() / "queue.db", .group_commit = false});
    const std::size_t before = queue.commits();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) queue.enqueue(digest_of(t * 100 + i), "b");
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(queue.commits() - before, 100u);
    EXPECT_EQ(queue.depth(), 100u);
}

TEST(SqliteQueue, BodiesAreKeptByteForByte) {
    TempDir dir;
    const std::string body =
        std::string("{\"a\":\"\xff\xfe\"}") + std::string(1, '\0') + "tail" + std::string(2 * 1024 * 1024, 'x');
    {
        SqliteQueue queue({.path = dir.path() / "queue.db"});
        queue.enqueue("d", body);
    }
    SqliteQueue reopened({.path = dir.path() / "queue.db"});
    auto leased = reopened.lease(1, 0ms);
    ASSERT_EQ(leased.size(), 1u);
    EXPECT_EQ(leased[0].body.size(), body.size());
    EXPECT_TRUE(leased[0].body == body);
    EXPECT_EQ(leased[0].digest, "d");
}

TEST(SqliteQueue, FilesThatCannotHoldAQueueAreUnavailable) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "a-directory");
    {
        std::ofstream junk(dir.path() / "junk.db");
        junk << std::string(8192, 'j');
    }
    const struct {
        const char* what;
        std::filesystem::path path;
    } cases[] = {
        {"a missing directory", dir.path() / "missing" / "queue.db"},
        {"a directory", dir.path() / "a-directory"},
        {"a file that is not a database", dir.path() / "junk.db"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(SqliteQueue({.path = c.path}), QueueUnavailable);
    }
}

TEST(SqliteQueue, ALockHeldPastTheBusyTimeoutIsUnavailableThenRecovers) {
    TempDir dir;
    const auto path = dir.path() / "queue.db";
    SqliteQueue queue({.path = path, .busy_timeout = 100ms});
    ASSERT_TRUE(queue.ready());
    {
        WriteLock lock(path);
        EXPECT_THROW(queue.enqueue("d1", "b"), QueueUnavailable);
        EXPECT_FALSE(queue.ready());
    }
    EXPECT_EQ(queue.enqueue("d1", "b"), EnqueueResult::enqueued);
    EXPECT_TRUE(queue.ready());
    EXPECT_EQ(queue.depth(), 1u);
}

TEST(SqliteQueue, SettingsThatCannotWorkAreConfigErrors) {
    TempDir dir;
    EXPECT_THROW(SqliteQueue({.path = dir.path() / "q.db", .max_deliveries = 0}), ConfigError);
    EXPECT_THROW(SqliteQueue({.path = dir.path() / "q.db", .claim_idle = 0ms}), ConfigError);
    EXPECT_THROW(SqliteQueue({.path = {}}), ConfigError);
    QueueConfig config;
    config.engine = "kafka";
    EXPECT_THROW(open_queue(config), ConfigError);
}

TEST(SqliteQueue, OpenQueueUsesTheConfiguredFileAndWindow) {
    TempDir dir;
    QueueConfig config;
    config.path = dir.path() / "configured.db";
    QueueOptions options;
    options.redelivery_window = 1s;
    auto queue = open_queue(config, options);
    EXPECT_EQ(queue->enqueue("d", "b"), EnqueueResult::enqueued);
    EXPECT_EQ(queue->enqueue("d", "b"), EnqueueResult::duplicate);
    EXPECT_TRUE(std::filesystem::exists(config.path));
}

}  // namespace
}  // namespace quillmere::host
