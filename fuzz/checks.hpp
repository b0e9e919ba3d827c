#pragma once
// Checks and reporting shared by the fuzzers.

#include <boost/json/value.hpp>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

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

// Whether `a` and `b` are the same value, kinds and member order included, with
// `same_double(x, y)` deciding for two floating-point numbers.
template <class SameDouble>
bool same_value(const boost::json::value& a, const boost::json::value& b, const SameDouble& same_double) {
    if (a.is_double() && b.is_double()) return same_double(a.get_double(), b.get_double());
    if (a.kind() != b.kind()) return false;
    if (const auto* x = a.if_array()) {
        const auto& y = b.get_array();
        if (x->size() != y.size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!same_value((*x)[i], y[i], same_double)) return false;
        return true;
    }
    if (const auto* x = a.if_object()) {
        const auto& y = b.get_object();
        if (x->size() != y.size()) return false;
        for (auto i = x->begin(), j = y.begin(); i != x->end(); ++i, ++j)
            if (i->key() != j->key() || !same_value(i->value(), j->value(), same_double)) return false;
        return true;
    }
    return a == b;
}

// `bytes` with every byte outside printable ASCII (and the backslash) written as \xNN, for
// the report of a failing input.
inline std::string escaped(std::string_view bytes) {
    std::string out;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += ch;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace quillmere::fuzz
