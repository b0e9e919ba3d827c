#pragma once
// Test support: a queue held in memory, with the behaviour of the durable engines at their
// interface (duplicates by digest, many threads) and switches for what the receiver must
// survive: the queue refusing deliveries, not ready, or holding an enqueue until released.

#include "host/queue.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace quillmere::testing {

class MemoryQueue final : public host::Queue {
public:
    struct Stored {
        std::string digest;
        std::string body;
    };

    host::EnqueueResult enqueue(std::string_view digest, std::string_view body) override {
        std::unique_lock lock(mutex_);
        ++calls_;
        changed_.notify_all();
        // Held until released; bounded so that a failing test cannot hang.
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return !held_; });
        if (failing_) throw host::QueueUnavailable("the test queue refuses deliveries");
        if (!digests_.insert(std::string(digest)).second) return host::EnqueueResult::duplicate;
        stored_.push_back({std::string(digest), std::string(body)});
        return host::EnqueueResult::enqueued;
    }
    std::vector<host::LeasedDelivery> lease(std::size_t, std::chrono::milliseconds) override { return {}; }
    void ack(const host::LeasedDelivery&) override {}
    void retry(const host::LeasedDelivery&, std::string_view, std::chrono::milliseconds) override {}
    void dead_letter(const host::LeasedDelivery&, std::string_view) override {}
    std::size_t depth() override {
        std::lock_guard lock(mutex_);
        if (failing_) throw host::QueueUnavailable("the test queue is down");
        return stored_.size();
    }
    bool ready() override {
        std::lock_guard lock(mutex_);
        return !failing_;
    }

    // From now on enqueue and depth throw QueueUnavailable and ready() is false.
    void fail(bool failing) {
        std::lock_guard lock(mutex_);
        failing_ = failing;
    }
    // From now on enqueue waits until release().
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    // Waits until enqueue has been called `n` times in all (true), or `timeout` passed.
    bool wait_for_calls(std::size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_ >= n; });
    }
    std::vector<Stored> stored() const {
        std::lock_guard lock(mutex_);
        return stored_;
    }
    std::size_t calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Stored> stored_;
    std::set<std::string> digests_;
    std::size_t calls_ = 0;
    bool failing_ = false;
    bool held_ = false;
};

}  // namespace quillmere::testing
