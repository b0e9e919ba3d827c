// The record JSON text writer on arbitrary JSON values: what it writes is printable
// ASCII and parses back to an equal value.
//
// Boost.JSON 1.81 does not always round decimal literals of 17 significant digits
// correctly (it may read "1.4671430651185259e+23" as the neighbouring double), so a float
// that reads back differently is accepted when the writer's own digits, read with the
// correctly rounding std::from_chars, give the original double exactly. The same parser
// reads a zero with an exponent beyond 308 ("0e400") as NaN, which the writer writes as
// NaN (not JSON); such inputs are left out.

#include "checks.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace json = boost::json;

namespace {

using quillmere::fuzz::has_nan;

bool float_round_trips(double d) {
    std::string text;
    quillmere::write_float_text(text, d);
    double back = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    if (r.ec == std::errc::result_out_of_range) return std::isinf(d);  // 1e+999
    return r.ec == std::errc() && r.ptr == text.data() + text.size() && back == d;
}

bool same(const json::value& a, const json::value& b) {
    return quillmere::fuzz::same_value(a, b, [](double x, double y) { return x == y || float_round_trips(x); });
}

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", what, text.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    json::value v;
    try {
        v = quillmere::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        return 0;
    }
    if (has_nan(v)) return 0;
    std::string text = quillmere::to_json_text(v);
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            fail("non-printable byte in the written text", text);
    json::value back;
    try {
        back = quillmere::parse_json(text);
    } catch (const std::exception&) {
        fail("the written text does not parse", text);
    }
    if (!same(v, back)) fail("the round trip changed the value", text);
    return 0;
}
