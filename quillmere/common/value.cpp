#include "quillmere/common/value.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace quillmere {

json::value parse_json(std::string_view text) {
    json::parse_options opt;
    opt.max_depth = kMaxJsonDepth;
    return json::parse(text, json::storage_ptr(), opt);
}

bool is_empty(const json::value& v) noexcept {
    switch (v.kind()) {
        case json::kind::null:
            return true;
        case json::kind::bool_:
            return !v.get_bool();
        case json::kind::int64:
            return v.get_int64() == 0;
        case json::kind::uint64:
            return v.get_uint64() == 0;
        case json::kind::double_:
            return v.get_double() == 0.0;
        case json::kind::string:
            return v.get_string().empty();
        case json::kind::array:
            return v.get_array().empty();
        case json::kind::object:
            return v.get_object().empty();
    }
    return false;
}

namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::int64_t integer_from_text(std::string_view s) {
    std::string_view t = s;
    while (!t.empty() && is_blank(t.front())) t.remove_prefix(1);
    while (!t.empty() && is_blank(t.back())) t.remove_suffix(1);
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    auto invalid = [&] { return ValueError("invalid literal for int() with base 10: '" + std::string(s) + "'"); };
    if (t.empty()) throw invalid();
    std::uint64_t magnitude = 0;
    for (char c : t) {
        if (c < '0' || c > '9') throw invalid();
        unsigned digit = static_cast<unsigned>(c - '0');
        if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            throw ValueError("integer out of 64-bit range: '" + std::string(s) + "'");
        magnitude = magnitude * 10 + digit;
    }
    constexpr auto max_positive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) {
        if (magnitude > max_positive) throw ValueError("integer out of 64-bit range: '" + std::string(s) + "'");
        return static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > max_positive + 1) throw ValueError("integer out of 64-bit range: '" + std::string(s) + "'");
    return magnitude == max_positive + 1 ? std::numeric_limits<std::int64_t>::min()
                                         : -static_cast<std::int64_t>(magnitude);
}

}  // namespace

std::int64_t to_integer(const json::value& v) {
    switch (v.kind()) {
        case json::kind::int64:
            return v.get_int64();
        case json::kind::uint64:
            if (v.get_uint64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                throw ValueError("integer out of 64-bit range: " + std::to_string(v.get_uint64()));
            return static_cast<std::int64_t>(v.get_uint64());
        case json::kind::bool_:
            return v.get_bool() ? 1 : 0;
        case json::kind::double_: {
            double d = std::trunc(v.get_double());
            if (std::isnan(d)) throw ValueError("cannot convert float NaN to integer");
            // 2^63 is exactly representable; anything at or beyond it does not fit.
            if (d >= 9223372036854775808.0 || d < -9223372036854775808.0)
                throw ValueError("float out of 64-bit integer range");
            return static_cast<std::int64_t>(d);
        }
        case json::kind::string:
            return integer_from_text(v.get_string());
        default:
            throw TypeError("int() argument must be a string, a number or a boolean, not '" +
                            std::string(kind_name(v)) + "'");
    }
}

void append_text_form(std::string& out, const json::value& v) {
    switch (v.kind()) {
        case json::kind::string:
            out.append(v.get_string());
            return;
        case json::kind::null:
            out.append("None");
            return;
        case json::kind::bool_:
            out.append(v.get_bool() ? "True" : "False");
            return;
        case json::kind::int64:
        case json::kind::uint64:
        case json::kind::double_:
        case json::kind::array:
        case json::kind::object:
            write_json_text(out, v);
            return;
    }
}

std::string text_form(const json::value& v) {
    std::string out;
    append_text_form(out, v);
    return out;
}

std::string_view kind_name(const json::value& v) noexcept {
    switch (v.kind()) {
        case json::kind::null:
            return "null";
        case json::kind::bool_:
            return "bool";
        case json::kind::int64:
        case json::kind::uint64:
            return "int";
        case json::kind::double_:
            return "float";
        case json::kind::string:
            return "str";
        case json::kind::array:
            return "list";
        case json::kind::object:
            return "dict";
    }
    return "unknown";
}

const json::value& null_value() noexcept {
    static const json::value null;
    return null;
}

bool numeric_equals(const json::value& v, std::int64_t n) noexcept {
    switch (v.kind()) {
        case json::kind::int64:
            return v.get_int64() == n;
        case json::kind::uint64:
            return n >= 0 && v.get_uint64() == static_cast<std::uint64_t>(n);
        case json::kind::double_: {
            // Exact comparison: the float must be integral, in range, and equal to n.
            double d = v.get_double();
            if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || d != std::trunc(d)) return false;
            return static_cast<std::int64_t>(d) == n;
        }
        case json::kind::bool_:
            return (v.get_bool() ? 1 : 0) == n;
        default:
            return false;
    }
}

}  // namespace quillmere
