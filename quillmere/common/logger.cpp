#include "quillmere/common/logger.hpp"
#include "quillmere/common/cache.hpp"
#include "quillmere/common/graph_api.hpp"

namespace quillmere {

Logger::~Logger() = default;
CacheClient::~CacheClient() = default;
GraphApiClient::~GraphApiClient() = default;

}  // namespace quillmere
