#pragma once
// Checks on JSON values shared by the fuzzers.

#include <boost/json/value.hpp>

#include <cmath>

namespace quillmere::fuzz {

// Whether a NaN stands anywhere in `v`. Boost 1.81 parses some literals (such as 0e400)
// as NaN; no JSON text stands for NaN, so such values cannot round-trip.
inline bool has_nan(const boost::json::value& v) {
    if (v.is_double()) return std::isnan(v.get_double());
    if (const auto* a = v.if_array()) {
        for (const auto& e : *a)
            if (has_nan(e)) return true;
    } else if (const auto* o = v.if_object()) {
        for (const auto& m : *o)
            if (has_nan(m.value())) return true;
    }
    return false;
}

}  // namespace quillmere::fuzz
