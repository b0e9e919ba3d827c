#pragma once
// The host's logger object: one finished message text per call.

#include "quillmere/common/export.hpp"

#include <string_view>

namespace quillmere {

class QUILLMERE_COMMON_API Logger {
public:
    virtual ~Logger() = default;
    virtual void info(std::string_view message) = 0;
    virtual void warning(std::string_view message) = 0;
    // `exc_info` asks the logger to attach the details (type, message) of the failure
    // being handled; callers pass it only from inside a handler of that failure.
    virtual void error(std::string_view message, bool exc_info = false) = 0;
};

}  // namespace quillmere
