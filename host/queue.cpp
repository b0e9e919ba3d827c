#include "host/queue.hpp"

#include "host/queue_redis.hpp"
#include "host/queue_sqlite.hpp"

#include <stdexcept>

namespace quillmere::host {

std::vector<DeadLetter> Queue::dead_letters(std::size_t) { throw std::logic_error("this queue keeps no dead letters"); }

std::size_t Queue::replay(std::span<const std::string>) { throw std::logic_error("this queue keeps no dead letters"); }

std::unique_ptr<Queue> open_queue(const QueueConfig& config, const QueueOptions& options) {
    if (config.engine == "sqlite") return std::make_unique<SqliteQueue>(SqliteQueueOptions::from(config, options));
    if (config.engine == "redis") return std::make_unique<RedisQueue>(RedisQueueOptions::from(config, options));
    throw ConfigError("queue.engine: \"" + config.engine + "\" is not a queue engine (sqlite or redis)");
}

}  // namespace quillmere::host
