#pragma once
// The embedded queue: one SQLite database file in WAL mode, for one machine. Many threads
// (and processes) may enqueue at once: concurrent enqueues share one transaction and one
// fsync (group commit), and each caller returns only after the commit that holds its
// delivery. Leases have a visibility time-out: a delivery leased and not acknowledged
// within claim_idle is offered again.
//
//   quillmere::host::SqliteQueue queue({.path = "queue.db"});
//   queue.enqueue(digest, body);   // durable on return

#include "host/queue.hpp"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>

namespace quillmere::host {

struct SqliteQueueOptions {
    std::filesystem::path path;
    std::chrono::milliseconds redelivery_window = std::chrono::hours(48);
    std::size_t max_deliveries = 5;                // deliveries to a worker before the dead letters
    std::chrono::milliseconds claim_idle{300000};  // lease length
    // false: one transaction (and one fsync) per operation, for comparison only.
    bool group_commit = true;
    std::size_t max_batch = 1024;  // operations in one transaction at most
    // Waits for another process holding the write lock before QueueUnavailable.
    std::chrono::milliseconds busy_timeout{5000};
    // How often an idle lease looks for deliveries enqueued by another process.
    std::chrono::milliseconds poll_interval{200};

    static SqliteQueueOptions from(const QueueConfig& config, const QueueOptions& options);
};

class SqliteQueue final : public Queue {
public:
    // Opens (creating it when missing) the database file. Throws QueueUnavailable when it
    // cannot be opened or is not a queue database.
    explicit SqliteQueue(SqliteQueueOptions options);
    ~SqliteQueue() override;
    SqliteQueue(const SqliteQueue&) = delete;
    SqliteQueue& operator=(const SqliteQueue&) = delete;

    EnqueueResult enqueue(std::string_view digest, std::string_view body) override;
    std::vector<LeasedDelivery> lease(std::size_t max, std::chrono::milliseconds wait) override;
    void ack(const LeasedDelivery& delivery) override;
    void retry(const LeasedDelivery& delivery, std::string_view error, std::chrono::milliseconds delay) override;
    void dead_letter(const LeasedDelivery& delivery, std::string_view error) override;
    std::size_t depth() override;
    bool ready() override;
    std::vector<DeadLetter> dead_letters(std::size_t max) override;
    std::size_t replay(std::span<const std::string> ids) override;

    // Transactions committed so far by this object (each one fsync): tests and benchmarks
    // compare it with the operations it carried.
    std::size_t commits() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::host
