#pragma once
// The one way a module reaches a logger of its own by name: spdlog's registry (in spdlog's
// shared library, so one per process whichever module asks) holds it.
//
//   auto logger = quillmere::named_logger("quillmere.tindral");
//   logger->error("Error in apply_rules: {}", message);
//
// Header-only and not installed: it is compiled into the modules that link spdlog, so that
// the static core itself does not.

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <string_view>

namespace quillmere {

// The logger registered with spdlog under `name`; when there is none, a new one writing to
// standard error (coloured on a terminal) is set up with the registry's level and pattern
// and registered. When another thread registers the name first, that logger is returned.
inline std::shared_ptr<spdlog::logger> named_logger(std::string_view name) {
    std::string key(name);
    if (auto existing = spdlog::get(key)) return existing;
    auto created = std::make_shared<spdlog::logger>(key, std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    try {
        spdlog::initialize_logger(created);
    } catch (const spdlog::spdlog_ex&) {
        // Registered elsewhere in the meantime: theirs is the one.
        if (auto existing = spdlog::get(key)) return existing;
    }
    return created;
}

}  // namespace quillmere
