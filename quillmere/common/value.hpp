#pragma once
// Helpers on JSON values that every module shares: the empty-value test, integer
// conversion, the text form used in addresses, member look-up, kind names for messages
// and the parser with the library's nesting limit.

#include <boost/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere {

namespace json = boost::json;

// Deepest nesting a parsed value may have. Webhook bodies nest; this is far above what a
// real delivery uses and still keeps every recursive walk (writer, search, destruction)
// shallow enough for the stack.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Parses one JSON text with the library's options (nesting up to kMaxJsonDepth).
// Throws boost::system::system_error on invalid text.
json::value parse_json(std::string_view text);

// Empty value: null, false, numeric zero, "", [] and {}.
bool is_empty(const json::value& v) noexcept;
inline bool is_set(const json::value& v) noexcept { return !is_empty(v); }

// Integer conversion of an id: integers unchanged, floating-point cut toward zero,
// booleans 1/0, text holding an optionally signed decimal integer with blanks around it.
// Anything else fails: TypeError for null/array/object, ValueError for other text or a
// number outside the 64-bit range.
std::int64_t to_integer(const json::value& v);

// Text form used when a value is put into an address: text unchanged, integers in
// decimal, null as "None", booleans as "True"/"False"; other kinds in JSON text form.
std::string text_form(const json::value& v);
void append_text_form(std::string& out, const json::value& v);

// Name of a value's kind for error messages: "null", "bool", "int", "float", "str",
// "list", "dict".
std::string_view kind_name(const json::value& v) noexcept;

// Member look-up with a default: the default applies only when the member is absent;
// a member that holds null yields null. Returns a reference into `obj` or to `fallback`.
inline const json::value& get_or(const json::object& obj, std::string_view key, const json::value& fallback) noexcept {
    auto it = obj.find(key);
    return it == obj.end() ? fallback : it->value();
}

// A shared null value to return references to.
const json::value& null_value() noexcept;

// Numeric equality in the host's sense: integers, floats and booleans compare by value
// (true == 1, 2.0 == 2); no other kind equals a number.
bool numeric_equals(const json::value& v, std::int64_t n) noexcept;

}  // namespace quillmere
