// The parent-post time handler on arbitrary text, and on date-times built from the input's
// bytes (fields in and out of range, one or two digits, every offset form).
// - A text is accepted exactly when it has the form year-month-dayThour:minute:second
//   followed by Z or a sign, two digits of hours, two of minutes and optionally two of
//   seconds (all with colons or none), names a real date and time, and has an offset below
//   a day; an independent reading (std::regex plus std::chrono's calendar) decides.
// - An accepted text gives the same fields, two digits each (four for the year), with the
//   offset dropped; the result read again with any offset gives itself, without one fails.
// - A refused text is a ValueError; no other failure leaves the handler. Null gives the
//   current time in the output form; another kind is a TypeError.

#include "checks.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/pemrith/handlers.hpp"

#include <boost/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace {

using quillmere::fuzz::escaped;
namespace json = boost::json;
using quillmere::pemrith::parent_post_time_handler;

[[noreturn]] void fail(const char* what, std::string_view input, std::string_view got = {}) {
    std::fprintf(stderr, "%s\ninput: %s\nresult: %s\n", what, escaped(input).c_str(), escaped(got).c_str());
    std::abort();
}

struct Fields {
    int year, month, day, hour, minute, second;
};

std::string output_form(const Fields& f) {
    char out[32];
    int n = std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d", f.year, f.month, f.day, f.hour, f.minute,
                          f.second);
    return std::string(out, static_cast<std::size_t>(n));
}

bool real_date_time(const Fields& f) {
    using namespace std::chrono;
    const year_month_day date{year{f.year}, month{static_cast<unsigned>(f.month)}, day{static_cast<unsigned>(f.day)}};
    return f.year >= 1 && date.ok() && f.hour <= 23 && f.minute <= 59 && f.second <= 59;
}

// What the handler must give for `text`: the output text, or nothing for a refusal.
std::optional<std::string> expected(std::string_view text) {
    // Every text of the form is shorter than this; std::regex recurses per character.
    if (text.size() > 40) return std::nullopt;
    static const std::regex form(R"(([0-9]{4})-([0-9]{1,2})-([0-9]{1,2})T([0-9]{1,2}):([0-9]{1,2}):([0-9]{1,2}))"
                                 R"((?:Z|[+-]([0-9]{2})(?:([0-9]{2})([0-9]{2})?|:([0-9]{2})(?::([0-9]{2}))?)))");
    std::match_results<std::string_view::const_iterator> m;
    if (!std::regex_match(text.begin(), text.end(), m, form)) return std::nullopt;
    auto number = [&](int i) { return m[i].matched ? std::stoi(m[i].str()) : 0; };
    const Fields f{number(1), number(2), number(3), number(4), number(5), number(6)};
    const int offset_hours = number(7);
    const int offset_minutes = m[8].matched ? number(8) : number(10);
    const int offset_seconds = m[9].matched ? number(9) : number(11);
    if (offset_hours > 23 || offset_minutes > 59 || offset_seconds > 59) return std::nullopt;
    if (!real_date_time(f)) return std::nullopt;
    return output_form(f);
}

// The handler's answer: the text, or nothing when it refused with a ValueError.
std::optional<std::string> handle(std::string_view text) {
    json::value result;
    try {
        result = parent_post_time_handler(json::value(json::string(text)));
    } catch (const quillmere::ValueError&) {
        return std::nullopt;
    } catch (const std::exception& e) {
        fail("a failure other than ValueError", text, e.what());
    }
    if (!result.is_string()) fail("the result is not a text", text, json::serialize(result));
    return std::string(result.get_string());
}

void check_text(std::string_view text) {
    const auto want = expected(text);
    const auto got = handle(text);
    if (want.has_value() != got.has_value())
        fail(want ? "a valid time was refused" : "an invalid time was accepted", text, got.value_or(""));
    if (!got) return;
    if (*got != *want) fail("wrong fields", text, *got + " (expected " + *want + ")");
    for (const char* offset : {"Z", "+0000", "-23:59", "+1200"}) {
        if (handle(*got + offset) != got) fail("the result with an offset does not read back", text, *got);
    }
    if (handle(*got)) fail("the result without an offset was accepted", text, *got);
}

// A date-time written from the input's bytes: fields up to a little past their ranges,
// each with one digit where it is below 10 when a bit says so, then one of the offsets.
void check_built(const std::uint8_t* data, std::size_t size) {
    if (size < 9) return;
    const Fields f{
        (data[0] << 8 | data[1]) % 10000, data[2] % 14, data[3] % 33, data[4] % 26, data[5] % 62, data[6] % 62};
    const unsigned short_fields = data[7];
    const unsigned offset_form = data[8] % 9;
    const int offset_hours = size > 9 ? data[9] % 26 : 0;
    const int offset_minutes = size > 10 ? data[10] % 62 : 30;

    auto field = [&](int value, int bit) {
        char out[8];
        const bool one_digit = value < 10 && (short_fields >> bit & 1);
        std::snprintf(out, sizeof out, one_digit ? "%d" : "%02d", value);
        return std::string(out);
    };
    char year[8];
    std::snprintf(year, sizeof year, "%04d", f.year);
    std::string text = std::string(year) + "-" + field(f.month, 0) + "-" + field(f.day, 1) + "T" + field(f.hour, 2) +
                       ":" + field(f.minute, 3) + ":" + field(f.second, 4);
    char offset[16];
    const char sign = short_fields >> 5 & 1 ? '-' : '+';
    bool offset_ok = offset_hours <= 23 && offset_minutes <= 59;
    switch (offset_form) {
        case 0:  // the offset fields do not matter
            std::snprintf(offset, sizeof offset, "Z");
            offset_ok = true;
            break;
        case 1:
            std::snprintf(offset, sizeof offset, "%c%02d%02d", sign, offset_hours, offset_minutes);
            break;
        case 2:
            std::snprintf(offset, sizeof offset, "%c%02d:%02d", sign, offset_hours, offset_minutes);
            break;
        case 3:
            std::snprintf(offset, sizeof offset, "%c%02d%02d%02d", sign, offset_hours, offset_minutes, offset_minutes);
            break;
        case 4:
            std::snprintf(offset, sizeof offset, "%c%02d:%02d:%02d", sign, offset_hours, offset_minutes,
                          offset_minutes);
            break;
        case 5:  // no offset
            offset[0] = '\0';
            offset_ok = false;
            break;
        case 6:  // a fraction of a second
            std::snprintf(offset, sizeof offset, ".5%c%02d%02d", sign, offset_hours, offset_minutes);
            offset_ok = false;
            break;
        case 7:  // colons used for the minutes only
            std::snprintf(offset, sizeof offset, "%c%02d:%02d%02d", sign, offset_hours, offset_minutes, offset_minutes);
            offset_ok = false;
            break;
        default:  // a single digit of hours
            std::snprintf(offset, sizeof offset, "%c%d%02d", sign, offset_hours % 10, offset_minutes);
            offset_ok = false;
            break;
    }
    text += offset;
    const auto got = handle(text);
    const bool valid = offset_ok && real_date_time(f);
    if (got.has_value() != valid) fail(valid ? "a valid time was refused" : "an invalid time was accepted", text);
    if (got && *got != output_form(f)) fail("wrong fields", text, *got);
}

void check_other_kinds() {
    static const std::regex now_form(R"([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2})");
    const json::value now = parent_post_time_handler(json::value());
    if (!now.is_string() || !std::regex_match(std::string(now.get_string()), now_form))
        fail("null does not give the current time", "null", json::serialize(now));
    for (const json::value& v : {json::value(20240501), json::value(1.5), json::value(true),
                                 json::value(json::array{"2024-05-01T10:00:00Z"}), json::value(json::object{})}) {
        try {
            (void)parent_post_time_handler(v);
        } catch (const quillmere::TypeError&) {
            continue;
        }
        fail("a value that is not text was accepted", json::serialize(v));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool other_kinds_checked = (check_other_kinds(), true);
    (void)other_kinds_checked;
    check_text(std::string_view(reinterpret_cast<const char*>(data), size));
    check_built(data, size);
    return 0;
}
