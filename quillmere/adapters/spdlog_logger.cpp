#include "quillmere/adapters/spdlog_logger.hpp"

#include "quillmere/common/internal/named_logger.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <typeinfo>

namespace quillmere::adapters {
namespace {

std::string demangled(const std::type_info& type) {
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string out = status == 0 && name != nullptr ? name : type.name();
    std::free(name);
    return out;
}

// "<type>: <message>" of the exception being handled, or "" outside a handler.
std::string current_failure() {
    auto current = std::current_exception();
    if (!current) return {};
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        return demangled(typeid(e)) + ": " + e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

SpdlogLogger::SpdlogLogger(const std::string& name) : logger_(quillmere::named_logger(name)) {}

SpdlogLogger::SpdlogLogger(std::shared_ptr<spdlog::logger> logger) : logger_(std::move(logger)) {
    if (!logger_) throw std::invalid_argument("SpdlogLogger: logger must not be null");
}

void SpdlogLogger::info(std::string_view message) { logger_->info(message); }

void SpdlogLogger::warning(std::string_view message) { logger_->warn(message); }

void SpdlogLogger::error(std::string_view message, bool exc_info) {
    if (exc_info) {
        if (std::string failure = current_failure(); !failure.empty()) {
            logger_->error("{}\n{}", message, failure);
            return;
        }
    }
    logger_->error(message);
}

}  // namespace quillmere::adapters
