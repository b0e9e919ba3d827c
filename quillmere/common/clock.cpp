#include "quillmere/common/clock.hpp"

#include <cstdio>
#include <ctime>

namespace quillmere {

std::string format_utc(UtcClock::time_point tp, const char* format) {
    std::time_t t = UtcClock::to_time_t(std::chrono::floor<std::chrono::seconds>(tp));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[128];
    std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
}

std::string iso_format_micro(UtcClock::time_point tp) {
    auto secs = std::chrono::floor<std::chrono::seconds>(tp);
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(tp - secs).count();
    std::string out = format_utc(secs, "%Y-%m-%dT%H:%M:%S");
    if (micros != 0) {
        char frac[32];
        std::snprintf(frac, sizeof frac, ".%06lld", static_cast<long long>(micros));
        out += frac;
    }
    return out;
}

}  // namespace quillmere
