#pragma once
// UTC clock helpers. Times are read from the system clock and written without a zone
// designator.

#include <chrono>
#include <string>

namespace quillmere {

using UtcClock = std::chrono::system_clock;

// strftime of `tp` in UTC with `format` (for example "%Y-%m-%dT%H:%M:%S").
std::string format_utc(UtcClock::time_point tp, const char* format);

// ISO 8601 with microseconds, YYYY-MM-DDTHH:MM:SS.ffffff; at a whole second the point
// and fraction are left out.
std::string iso_format_micro(UtcClock::time_point tp);

// The current UTC time as format_utc / iso_format_micro give it.
inline std::string utc_now_formatted(const char* format) { return format_utc(UtcClock::now(), format); }
inline std::string utc_now_iso_micro() { return iso_format_micro(UtcClock::now()); }

}  // namespace quillmere
