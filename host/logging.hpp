#pragma once
// The service's logging: every spdlog logger of the process (the host's and the modules'
// named loggers) writes one line per event to standard error, as text or as JSON lines,
// at the configured level. Messages are escaped so that a line cannot be split or forged by
// what a client sent (control characters in a request path...).
//
//   setup_logging(config.log);                 // throws ConfigError for an unknown level
//   host_logger()->info("listening on {}", endpoint);

#include "host/config.hpp"

#include <filesystem>
#include <memory>

namespace spdlog {
class logger;
}

namespace quillmere::host {

// Applies `config` to every logger registered now and later. Lines go to standard error,
// or appended to `file` when it is given (tests). Text lines read
// `2024-05-01T10:00:00.123456Z info quillmere: message`; JSON lines
// `{"time":"2024-05-01T10:00:00.123456Z","level":"info","logger":"quillmere","message":"..."}`
// (times in UTC). Levels: trace, debug, info, warning (or warn), error, critical, off.
void setup_logging(const LogConfig& config, const std::filesystem::path& file = {});

// The host's own logger ("quillmere"), created on first use.
std::shared_ptr<spdlog::logger> host_logger();

}  // namespace quillmere::host
