#pragma once
// The host's logger object on top of a named spdlog logger.

#include "quillmere/adapters/export.hpp"
#include "quillmere/common/logger.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace spdlog {
class logger;
}

namespace quillmere::adapters {

class QUILLMERE_ADAPTERS_API SpdlogLogger final : public Logger {
public:
    // Logs through the spdlog logger registered under `name`; when there is none, one is
    // created and registered (coloured output on standard error).
    explicit SpdlogLogger(const std::string& name);
    // Logs through `logger` (not null).
    explicit SpdlogLogger(std::shared_ptr<spdlog::logger> logger);

    void info(std::string_view message) override;
    void warning(std::string_view message) override;
    // With exc_info, the failure being handled is appended on a line of its own as
    // "<type>: <message>" (nothing when no failure is being handled).
    void error(std::string_view message, bool exc_info = false) override;

    const std::shared_ptr<spdlog::logger>& spdlog_logger() const noexcept { return logger_; }

private:
    std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace quillmere::adapters
