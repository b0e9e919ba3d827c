#include "quillmere/graviel/usage.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <charconv>
#include <cmath>
#include <limits>

namespace quillmere::graviel {
namespace {

namespace json = boost::json;

// Usage headers are flat: an object of arrays of flat objects.
constexpr unsigned kUsageDepth = 8;

std::optional<json::object> parse_object(std::string_view text) {
    boost::system::error_code ec;
    json::parse_options options;
    options.max_depth = kUsageDepth;
    json::value v = json::parse(text, ec, json::storage_ptr(), options);
    if (ec || !v.is_object()) return std::nullopt;
    return std::move(v.get_object());
}

std::int64_t figure(const json::object& o, std::string_view key) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    const json::value* v = o.if_contains(key);
    if (!v) return 0;
    if (v->is_int64()) return v->get_int64();
    if (v->is_uint64())
        return v->get_uint64() > static_cast<std::uint64_t>(max) ? max : static_cast<std::int64_t>(v->get_uint64());
    if (v->is_double()) {
        const double d = v->get_double();
        if (std::isnan(d)) return 0;
        if (d >= 9.2233720368547758e18) return max;
        if (d <= -9.2233720368547758e18) return min;
        return static_cast<std::int64_t>(d);
    }
    if (v->is_string()) {  // a number sent as text
        std::string_view s = v->get_string();
        std::int64_t out = 0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
        if (ec == std::errc() && end == s.data() + s.size()) return out;
        if (ec == std::errc::result_out_of_range) return s.starts_with('-') ? min : max;
    }
    return 0;
}

}  // namespace

std::optional<AppUsage> parse_app_usage(std::string_view header_text) {
    auto o = parse_object(header_text);
    if (!o) return std::nullopt;
    AppUsage u;
    u.call_count = figure(*o, "call_count");
    u.total_cputime = figure(*o, "total_cputime");
    u.total_time = figure(*o, "total_time");
    return u;
}

std::optional<BusinessUsageMap> parse_business_use_case_usage(std::string_view header_text) {
    auto o = parse_object(header_text);
    if (!o) return std::nullopt;
    BusinessUsageMap out;
    for (const auto& [id, entries] : *o) {
        const json::array* list = entries.if_array();
        if (!list) continue;
        std::vector<BusinessUseCaseUsage>& uses = out[std::string(id)];
        for (const json::value& entry : *list) {
            const json::object* e = entry.if_object();
            if (!e) continue;
            BusinessUseCaseUsage u;
            if (const json::value* type = e->if_contains("type"); type && type->is_string()) {
                u.type = std::string(type->get_string());
            }
            u.call_count = figure(*e, "call_count");
            u.total_cputime = figure(*e, "total_cputime");
            u.total_time = figure(*e, "total_time");
            u.estimated_time_to_regain_access = figure(*e, "estimated_time_to_regain_access");
            uses.push_back(std::move(u));
        }
    }
    return out;
}

}  // namespace quillmere::graviel
