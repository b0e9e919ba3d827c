#pragma once
// The host's cache client (a Redis-compatible store), called synchronously.

#include "quillmere/common/export.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

class QUILLMERE_COMMON_API CacheClient {
public:
    virtual ~CacheClient() = default;
    // The stored value (JSON text, as bytes), or nothing when the key is absent or expired.
    // Failures (connection, protocol) are thrown.
    virtual std::optional<std::string> get(std::string_view key) = 0;
    // Stores `value` under `key` with an expiry of `ex`. Failures are thrown.
    virtual void set(std::string_view key, std::string_view value, std::chrono::seconds ex) = 0;
};

}  // namespace quillmere
