#include "quillmere/common/json_text.hpp"

#include "quillmere/common/value.hpp"

#include <boost/json/serializer.hpp>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace quillmere {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The control characters with a two-character escape (\b \t \n \f \r), by code; 0 for
// the others, which are written as \u00xx.
constexpr char kShortEscape[32] = {0, 0, 0, 0, 0, 0, 0, 0, 'b', 't', 'n', 0, 'f', 'r', 0, 0,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0,   0,   0,   0, 0,   0,   0, 0};

// The record text as it is (plain), or as it stands inside a compact JSON string
// (in_string: every double quote and backslash of the text preceded by a backslash; the
// text has no other character that a compact string escapes).
enum class Form { plain, in_string };

// Writers into a buffer with room for what they write; each returns the end of its text.
template <Form F>
char* put_quote(char* d) noexcept {
    if constexpr (F == Form::in_string) *d++ = '\\';
    *d++ = '"';
    return d;
}

// The two-character escape backslash + `c` (in a string: the backslash, and a quote or
// backslash `c`, escaped once more).
template <Form F>
char* put_escape(char* d, char c) noexcept {
    *d++ = '\\';
    if constexpr (F == Form::in_string) {
        *d++ = '\\';
        if (c == '"' || c == '\\') *d++ = '\\';
    }
    *d++ = c;
    return d;
}

template <Form F>
char* put_u_escape(char* d, std::uint32_t unit) noexcept {
    *d++ = '\\';
    if constexpr (F == Form::in_string) *d++ = '\\';
    *d++ = 'u';
    *d++ = kHex[(unit >> 12) & 0xF];
    *d++ = kHex[(unit >> 8) & 0xF];
    *d++ = kHex[(unit >> 4) & 0xF];
    *d++ = kHex[unit & 0xF];
    return d;
}

template <Form F>
char* put_code_point(char* d, std::uint32_t cp) noexcept {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        d = put_u_escape<F>(d, 0xD800 + (cp >> 10));
        return put_u_escape<F>(d, 0xDC00 + (cp & 0x3FF));
    }
    return put_u_escape<F>(d, cp);
}

// Decodes one UTF-8 sequence starting at s[i] (a byte >= 0x80). Returns the code point
// and advances i; an ill-formed sequence yields U+FFFD and consumes one byte.
std::uint32_t decode_utf8(std::string_view s, std::size_t& i) {
    auto b0 = static_cast<unsigned char>(s[i]);
    int len = 0;
    std::uint32_t cp = 0, min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    }
    if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k < len; ++k) {
        auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += static_cast<std::size_t>(len);
    return cp;
}

// Printable ASCII but the double quote and the backslash: written as it is.
constexpr auto kPlain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x7F; ++c) t[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return t;
}();
inline bool plain_char(unsigned char c) noexcept { return kPlain[c]; }

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Byte flags (high bit of each byte) of the bytes of `w` that are zero.
inline std::uint64_t zero_bytes(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }

// The index (0 to 8) of the first byte, in memory order, whose high bit is set in a mask
// of byte flags. The masks made with the borrow tests used here may also flag bytes after
// a truly flagged one (after it in memory on little-endian machines, before it on others);
// a byte flagged wrongly only goes through the byte-by-byte path, which tests it again.
inline std::size_t first_marked_byte(std::uint64_t mask) noexcept {
    if (mask == 0) return 8;
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
    else
        return static_cast<std::size_t>(std::countl_zero(mask)) / 8;
}

// The most one input byte can become: a control character as \\u0001 inside a string (a
// UTF-8 sequence of n bytes becomes at most 14 characters for n = 4, 7 for n = 2 or 3).
constexpr std::size_t kMostPerByte = 7;

// Writes s[i, end) at `d`, which has room for kMostPerByte characters per byte; returns the
// end of what it wrote. `end` must not cut a UTF-8 sequence (a sequence that starts before
// it is read to its end).
template <Form F>
char* put_part(char* d, std::string_view s, std::size_t& i, std::size_t end) noexcept {
    const char* const in = s.data();
    while (i < end) {
        if (end - i >= 8) {
            // Eight bytes copied at once (there is room), of which those before the first that
            // needs more than copying count.
            std::uint64_t w;
            std::memcpy(&w, in + i, 8);
            std::memcpy(d, in + i, 8);
            const std::uint64_t special = (w & kHighs) | ((w - kOnes * 0x20) & ~w & kHighs) |
                                          zero_bytes(w ^ (kOnes * '"')) | zero_bytes(w ^ (kOnes * '\\')) |
                                          zero_bytes(w ^ (kOnes * 0x7F));
            const std::size_t plain = first_marked_byte(special);
            d += plain;
            i += plain;
            if (plain == 8) continue;
        }
        const auto c = static_cast<unsigned char>(in[i]);
        if (plain_char(c)) {
            *d++ = static_cast<char>(c);
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            d = put_escape<F>(d, static_cast<char>(c));
            ++i;
        } else if (c < 0x20 && kShortEscape[c] != 0) {
            d = put_escape<F>(d, kShortEscape[c]);
            ++i;
        } else if (c < 0x80) {
            d = put_u_escape<F>(d, c);
            ++i;
        } else {
            d = put_code_point<F>(d, decode_utf8(s, i));
        }
    }
    return d;
}

// A short text is written into a buffer on the stack and appended at once; a longer one in
// place, in parts of 4 KiB: the output grows by the most the part can become, the part is
// written through a pointer, and the output is cut to what was written.
template <Form F>
void write_string_as(std::string& out, std::string_view s) {
    constexpr std::size_t kShort = 96;
    const std::size_t n = s.size();
    std::size_t i = 0;
    if (n <= kShort) {
        char buf[kMostPerByte * kShort + 4];
        char* d = put_quote<F>(buf);
        d = put_part<F>(d, s, i, n);
        d = put_quote<F>(d);
        out.append(buf, static_cast<std::size_t>(d - buf));
        return;
    }
    constexpr std::size_t kPart = 4096;
    std::size_t used = out.size();
    out.resize(used + 2);
    used = static_cast<std::size_t>(put_quote<F>(out.data() + used) - out.data());
    while (i < n) {
        std::size_t end = n - i > kPart ? i + kPart : n;
        while (end < n && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80 && end - i < kPart + 4) ++end;
        out.resize(used + kMostPerByte * (end - i) + 2);
        char* const base = out.data();
        used = static_cast<std::size_t>(put_part<F>(base + used, s, i, end) - base);
    }
    out.resize(used + 2);
    used = static_cast<std::size_t>(put_quote<F>(out.data() + used) - out.data());
    out.resize(used);
}

// null, true, false and integers: the same in every form.
void write_literal(std::string& out, const boost::json::value& v) {
    char buf[24];
    std::to_chars_result r{buf, {}};
    switch (v.kind()) {
        case boost::json::kind::bool_:
            if (v.get_bool())
                out.append("true", 4);
            else
                out.append("false", 5);
            return;
        case boost::json::kind::int64:
            r = std::to_chars(buf, buf + sizeof buf, v.get_int64());
            break;
        case boost::json::kind::uint64:
            r = std::to_chars(buf, buf + sizeof buf, v.get_uint64());
            break;
        default:
            out.append("null", 4);
            return;
    }
    out.append(buf, r.ptr);
}

template <Form F>
void write_value(std::string& out, const boost::json::value& v, std::size_t depth) {
    namespace json = boost::json;
    switch (v.kind()) {
        case json::kind::null:
        case json::kind::bool_:
        case json::kind::int64:
        case json::kind::uint64:
            write_literal(out, v);
            return;
        case json::kind::double_:
            write_float_text(out, v.get_double());
            return;
        case json::kind::string:
            write_string_as<F>(out, v.get_string());
            return;
        case json::kind::array: {
            if (depth >= kMaxJsonDepth) throw std::runtime_error("value nests too deeply to serialise");
            const auto& a = v.get_array();
            out.push_back('[');
            bool first = true;
            for (const auto& e : a) {
                if (!first) out.append(", ", 2);
                first = false;
                write_value<F>(out, e, depth + 1);
            }
            out.push_back(']');
            return;
        }
        case json::kind::object: {
            if (depth >= kMaxJsonDepth) throw std::runtime_error("value nests too deeply to serialise");
            const auto& o = v.get_object();
            out.push_back('{');
            bool first = true;
            for (const auto& m : o) {
                if (!first) out.append(", ", 2);
                first = false;
                write_string_as<F>(out, m.key());
                out.append(": ", 2);
                write_value<F>(out, m.value(), depth + 1);
            }
            out.push_back('}');
            return;
        }
    }
}

}  // namespace

void write_string_text(std::string& out, std::string_view s) { write_string_as<Form::plain>(out, s); }

void write_float_text(std::string& out, double d) {
    if (std::isnan(d)) {
        out.append("NaN");
        return;
    }
    // A number literal too large for a double (1e400) parses as an infinity; 1e+999 is
    // valid JSON that reads back as the same infinity.
    if (std::isinf(d)) {
        out.append(d < 0 ? "-1e+999" : "1e+999");
        return;
    }

    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX.
    char sci[32];
    auto r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    std::string_view text(sci, static_cast<std::size_t>(r.ptr - sci));
    auto e_pos = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e_pos + 1 + (text[e_pos + 1] == '+'), text.data() + text.size(), exponent);

    // Scientific form outside [1e-4, 1e16), exactly as to_chars wrote it.
    if (exponent < -4 || exponent >= 16) {
        out.append(text);
        return;
    }

    std::string_view mantissa = text.substr(0, e_pos);
    if (mantissa.front() == '-') {
        out.push_back('-');
        mantissa.remove_prefix(1);
    }
    char digits[20];
    std::size_t nd = 0;
    for (char c : mantissa)
        if (c != '.') digits[nd++] = c;

    if (exponent < 0) {
        out.append("0.", 2);
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(digits, nd);
        return;
    }
    auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (nd <= int_len) {
        out.append(digits, nd);
        out.append(int_len - nd, '0');
        out.append(".0", 2);
    } else {
        out.append(digits, int_len);
        out.push_back('.');
        out.append(digits + int_len, nd - int_len);
    }
}

void write_json_text(std::string& out, const boost::json::value& v) { write_value<Form::plain>(out, v, 0); }

void write_json_text(std::string& out, const boost::json::value& v, std::size_t depth) {
    write_value<Form::plain>(out, v, depth);
}

void write_json_text_in_string(std::string& out, const boost::json::value& v, std::size_t depth) {
    write_value<Form::in_string>(out, v, depth);
}

void write_string_text_in_string(std::string& out, std::string_view s) { write_string_as<Form::in_string>(out, s); }

void write_compact_string(std::string& out, std::string_view s) {
    // Boost's escapes: \b \t \n \f \r, other control characters as \u00xx, the double
    // quote and the backslash; everything else (DEL and bytes from 0x80 up included) as it is.
    // Written in place: two bytes of room per input byte (what a two-character escape
    // takes) and the quotes; a six-character escape makes four more.
    std::size_t w = out.size();
    out.resize(w + 2 * s.size() + 2);
    char* d = out.data();
    d[w++] = '"';
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p < end) {
        if (end - p >= 8) {
            // Eight bytes copied at once (the room allows it), of which the ones before the
            // first that needs an escape count.
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            std::memcpy(d + w, p, 8);
            const std::uint64_t special = ((word - kOnes * 0x20) & ~word & kHighs) | zero_bytes(word ^ (kOnes * '"')) |
                                          zero_bytes(word ^ (kOnes * '\\'));
            const std::size_t plain = first_marked_byte(special);
            w += plain;
            p += plain;
            if (plain == 8) continue;
        }
        auto c = static_cast<unsigned char>(*p++);
        if (c >= 0x20 && c != '"' && c != '\\') {
            d[w++] = static_cast<char>(c);
        } else if (c == '"' || c == '\\') {
            d[w++] = '\\';
            d[w++] = static_cast<char>(c);
        } else if (kShortEscape[c] != 0) {
            d[w++] = '\\';
            d[w++] = kShortEscape[c];
        } else {
            out.resize(out.size() + 4);
            d = out.data();
            const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            std::memcpy(d + w, esc, 6);
            w += 6;
        }
    }
    d[w++] = '"';
    out.resize(w);
}

void write_compact_json(std::string& out, const boost::json::value& v) {
    namespace json = boost::json;
    switch (v.kind()) {
        case json::kind::null:
        case json::kind::bool_:
        case json::kind::int64:
        case json::kind::uint64:
            write_literal(out, v);
            return;
        case json::kind::string:
            write_compact_string(out, v.get_string());
            return;
        case json::kind::double_:
        case json::kind::array:
        case json::kind::object:
            break;
    }
    // Numbers in Boost's own form, and containers (which the serializer walks without
    // recursion, at any depth), through the serializer itself.
    json::serializer sr;
    sr.reset(&v);
    char buf[256];
    while (!sr.done()) {
        auto chunk = sr.read(buf, sizeof buf);
        out.append(chunk.data(), chunk.size());
    }
}

std::string to_json_text(const boost::json::value& v) {
    std::string out;
    write_value<Form::plain>(out, v, 0);
    return out;
}

}  // namespace quillmere
