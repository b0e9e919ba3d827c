#pragma once
// A real redis-server for the tests: on a free loopback port with a throw-away data
// directory, stopped when the object goes (also when a test fails). It can be killed with
// SIGKILL and started again on the same port and directory, to test what survives.

#include "support/process.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

struct redisContext;

namespace quillmere::testing {

class RedisServer {
public:
    // `port` 0: a free one. `extra` are further command-line options (--requirepass ...,
    // --appendonly yes); later options win over the defaults.
    explicit RedisServer(std::vector<std::string> extra = {}, int port = 0);
    int port() const { return port_; }
    std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_) + "/0"; }
    const std::filesystem::path& dir() const { return dir_.path(); }
    void stop() { process_.reset(); }
    // SIGKILL: no shutdown, no final save.
    void kill();
    // Starts it again on the same port and data directory.
    void start();

private:
    TempDir dir_{"quillmere-redis"};
    int port_;
    std::vector<std::string> extra_;
    std::unique_ptr<ChildProcess> process_;
};

// Raw commands to a Redis server, for preparing and inspecting what the tests read.
class RedisAdmin {
public:
    explicit RedisAdmin(int port);
    ~RedisAdmin();
    RedisAdmin(const RedisAdmin&) = delete;
    RedisAdmin& operator=(const RedisAdmin&) = delete;
    // The reply as text: a string or status as it is, an integer in decimal, nil as "(nil)".
    std::string command(const std::vector<std::string>& argv);

private:
    redisContext* ctx_;
};

}  // namespace quillmere::testing
