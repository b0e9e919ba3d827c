#pragma once
// What the Graph API reports of an app's use of its rate limits, as the client last saw
// it. Every answer may carry the headers X-App-Usage (per app) and
// X-Business-Use-Case-Usage (per business id); the client reads them from every final
// answer, whatever its status, and keeps the latest figures. A host reads them to slow
// its Graph API work down before Meta starts refusing it:
//
//   graviel::GraphApiUsage u = api.usage();
//   if (u.app && u.app->call_count >= 80) { /* pause new Graph API work */ }
//
// The figures are percentages of the limit used (0 to 100, more when over it), as Meta
// sends them; estimated_time_to_regain_access is in minutes.

#include "quillmere/graviel/export.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::graviel {

// X-App-Usage: {"call_count": 28, "total_cputime": 25, "total_time": 25}
struct AppUsage {
    std::int64_t call_count = 0;
    std::int64_t total_cputime = 0;
    std::int64_t total_time = 0;
    bool operator==(const AppUsage&) const = default;
};

// One entry of X-Business-Use-Case-Usage:
//   {"<business id>": [{"type": "instagram", "call_count": 1, "total_cputime": 1,
//                       "total_time": 1, "estimated_time_to_regain_access": 0}]}
struct BusinessUseCaseUsage {
    std::string type;
    std::int64_t call_count = 0;
    std::int64_t total_cputime = 0;
    std::int64_t total_time = 0;
    std::int64_t estimated_time_to_regain_access = 0;  // minutes
    bool operator==(const BusinessUseCaseUsage&) const = default;
};

using BusinessUsageMap = std::map<std::string, std::vector<BusinessUseCaseUsage>>;

// The latest figures of one client.
struct GraphApiUsage {
    // From the latest answer that carried a readable X-App-Usage; none before that.
    std::optional<AppUsage> app;
    std::chrono::system_clock::time_point app_updated{};
    // Per business id, the entries of the latest answer that named that id (an answer
    // naming some ids leaves the figures of the others as they were).
    BusinessUsageMap businesses;
    std::map<std::string, std::chrono::system_clock::time_point> business_updated;
    // Answers whose usage headers were read, in total.
    std::uint64_t answers_read = 0;
};

// Told the new figures (a copy) after each answer that carried a readable usage header,
// on the thread of the request that received it. What it throws is ignored.
using UsageObserver = std::function<void(const GraphApiUsage&)>;

// The figures of an X-App-Usage text; nothing when the text is not a JSON object. A
// member that is missing or not a number reads as 0; fractions are cut off; values
// beyond 64 bits are held at the nearest 64-bit bound.
QUILLMERE_GRAVIEL_API std::optional<AppUsage> parse_app_usage(std::string_view header_text);

// The entries of an X-Business-Use-Case-Usage text; nothing when the text is not a JSON
// object. An id whose value is not an array is left out, as is an entry that is not an
// object; numbers read as for parse_app_usage, a missing or non-text "type" as "".
QUILLMERE_GRAVIEL_API std::optional<BusinessUsageMap> parse_business_use_case_usage(std::string_view header_text);

}  // namespace quillmere::graviel
