#pragma once
// Test support: a logger that keeps every line it is given.

#include "quillmere/common/logger.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace quillmere::testing {

struct LogLine {
    std::string level;  // "info", "warning", "error"
    std::string message;
    bool exc_info = false;
    bool operator==(const LogLine&) const = default;
};

class RecordingLogger : public quillmere::Logger {
public:
    void info(std::string_view m) override { add({"info", std::string(m), false}); }
    void warning(std::string_view m) override { add({"warning", std::string(m), false}); }
    void error(std::string_view m, bool exc_info = false) override { add({"error", std::string(m), exc_info}); }

    std::vector<LogLine> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    void add(LogLine line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

}  // namespace quillmere::testing
