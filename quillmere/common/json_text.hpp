#pragma once
// The record JSON text form: ", " and ": " separators, \uXXXX escapes (lower-case hex,
// surrogate pairs) for everything outside printable ASCII, shortest round-trip floats
// that always show a fraction or an exponent (1.0, 0.1, 1e+16, 1e-05). Also the compact
// form that boost::json::serialize writes, for output lines built without a value.

#include <boost/json/value.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmere {

// Appends the JSON text of `v` to `out`. Throws std::runtime_error when `v` nests deeper
// than kMaxJsonDepth. Infinities (the parser gives them for number literals beyond the
// double range, such as 1e400) are written as 1e+999 and -1e+999, which read back as the
// same values; NaN, which only code can make, is written as NaN (not JSON).
void write_json_text(std::string& out, const boost::json::value& v);

// The same for a value that sits `depth` levels inside the value being written (a member
// of the outermost object is at depth 1): the nesting limit counts from the outermost one.
void write_json_text(std::string& out, const boost::json::value& v, std::size_t depth);

// The JSON text of `v` as a new string.
std::string to_json_text(const boost::json::value& v);

// Appends the shortest round-trip text of a float in the record form.
void write_float_text(std::string& out, double d);

// Appends `s` as a quoted, escaped JSON string.
void write_string_text(std::string& out, std::string_view s);

// The record text of `v` (at `depth`, as above) and of a string `s`, as they stand inside a
// string of the compact form below: each double quote and backslash of the text preceded
// by a backslash (the record text has no other character that form escapes). Written
// between two double quotes, this is the compact text of the string holding the record
// text.
void write_json_text_in_string(std::string& out, const boost::json::value& v, std::size_t depth);
void write_string_text_in_string(std::string& out, std::string_view s);

// The compact form, byte for byte what boost::json::serialize writes: no blanks, only
// control characters, the double quote and the backslash escaped, other bytes as they
// are, Boost's own number form.
void write_compact_json(std::string& out, const boost::json::value& v);
void write_compact_string(std::string& out, std::string_view s);

}  // namespace quillmere
