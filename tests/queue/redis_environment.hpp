#pragma once
// One redis-server for the whole test program, with the settings the queue's guarantee
// needs (append-only file written at every command, no eviction).

#include "support/redis_server.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace quillmere::testing {

class RedisEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static RedisServer& server() { return *server_; }

private:
    static inline std::unique_ptr<RedisServer> server_;
};

}  // namespace quillmere::testing
