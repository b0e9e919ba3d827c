#pragma once
// The real servers of the integration tests: redis-server and clickhouse-server on free
// loopback ports with throw-away data directories, started once for the test program
// (a gtest Environment) and stopped at its end, also when a test fails.

#include "support/process.hpp"
#include "support/redis_server.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quillmere::testing {

// Password of the ClickHouse user "reader" (the default user has none).
inline constexpr const char* kClickHouseReaderPassword = "r3ader-Secret";

class ClickHouseServer {
public:
    ClickHouseServer();
    int http_port() const { return http_port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(http_port_) + "/"; }
    // Ends the server (SIGTERM, then SIGKILL after a grace period); its port then refuses.
    void stop() { process_.reset(); }

private:
    TempDir dir_{"quillmere-clickhouse"};
    int http_port_;
    std::unique_ptr<ChildProcess> process_;
};

class Servers : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static RedisServer& redis() { return *instance_->redis_; }
    static ClickHouseServer& clickhouse() { return *instance_->clickhouse_; }

private:
    static inline Servers* instance_ = nullptr;
    std::unique_ptr<RedisServer> redis_;
    std::unique_ptr<ClickHouseServer> clickhouse_;
};

}  // namespace quillmere::testing
