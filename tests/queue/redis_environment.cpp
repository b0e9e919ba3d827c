#include "redis_environment.hpp"

namespace quillmere::testing {

void RedisEnvironment::SetUp() {
    server_ = std::make_unique<RedisServer>(
        std::vector<std::string>{"--appendonly", "yes", "--appendfsync", "always", "--maxmemory-policy", "noeviction"});
}

void RedisEnvironment::TearDown() { server_.reset(); }

// Registered before main runs: the server starts once for the whole program.
static ::testing::Environment* const redis_environment = ::testing::AddGlobalTestEnvironment(new RedisEnvironment);

}  // namespace quillmere::testing
