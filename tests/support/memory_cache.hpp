#pragma once
// Test support: an in-memory cache client for unit tests of the logic around the cache
// (the real Redis adapter is tested against redis-server in tests/enrichment). Records
// every read and write; can be made to fail.

#include "quillmere/common/cache.hpp"

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillmere::testing {

class MemoryCache : public quillmere::CacheClient {
public:
    struct Write {
        std::string key, value;
        std::chrono::seconds ex;
        bool operator==(const Write&) const = default;
    };
    std::map<std::string, std::string, std::less<>> entries;
    std::vector<std::string> reads;
    std::vector<Write> writes;
    bool fail = false;  // every call throws "connection refused"

    std::optional<std::string> get(std::string_view key) override {
        reads.emplace_back(key);
        if (fail) throw std::runtime_error("connection refused");
        auto it = entries.find(key);
        if (it == entries.end()) return std::nullopt;
        return it->second;
    }
    void set(std::string_view key, std::string_view value, std::chrono::seconds ex) override {
        if (fail) throw std::runtime_error("connection refused");
        writes.push_back({std::string(key), std::string(value), ex});
        entries.insert_or_assign(std::string(key), std::string(value));
    }
};

}  // namespace quillmere::testing
