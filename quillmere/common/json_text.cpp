#include "quillmere/common/json_text.hpp"

#include "quillmere/common/value.hpp"

#include <boost/json/serializer.hpp>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace quillmere {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The record text as it is (plain), or as it stands inside a compact JSON string
// (in_string: every double quote and backslash of the text preceded by a backslash; the
// text has no other character that a compact string escapes).
enum class Form { plain, in_string };

template <Form F>
void append_quote(std::string& out) {
    if constexpr (F == Form::plain)
        out.push_back('"');
    else
        out.append("\\\"", 2);
}

// The two-character escape backslash + `c`.
template <Form F>
void append_escape(std::string& out, char c) {
    if constexpr (F == Form::plain) {
        const char buf[2] = {'\\', c};
        out.append(buf, 2);
    } else if (c == '"' || c == '\\') {
        const char buf[4] = {'\\', '\\', '\\', c};
        out.append(buf, 4);
    } else {
        const char buf[3] = {'\\', '\\', c};
        out.append(buf, 3);
    }
}

template <Form F>
void append_u_escape(std::string& out, std::uint32_t unit) {
    constexpr std::size_t lead = F == Form::plain ? 1 : 2;
    char buf[7] = {'\\', '\\'};
    char* p = buf + lead;
    *p++ = 'u';
    *p++ = kHex[(unit >> 12) & 0xF];
    *p++ = kHex[(unit >> 8) & 0xF];
    *p++ = kHex[(unit >> 4) & 0xF];
    *p++ = kHex[unit & 0xF];
    out.append(buf, static_cast<std::size_t>(p - buf));
}

template <Form F>
void append_code_point(std::string& out, std::uint32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        append_u_escape<F>(out, 0xD800 + (cp >> 10));
        append_u_escape<F>(out, 0xDC00 + (cp & 0x3FF));
    } else {
        append_u_escape<F>(out, cp);
    }
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

inline bool plain_char(unsigned char c) noexcept { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

// Eight bytes at a time: whether any of them needs more than copying (outside printable
// ASCII, a double quote or a backslash).
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

inline std::uint64_t zero_bytes(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }

inline bool plain_word(std::uint64_t w) noexcept {
    // Bytes from 0x80 up, then (with those excluded) bytes below 0x20, and the three
    // single values.
    std::uint64_t special = (w & kHighs) | ((w - kOnes * 0x20) & ~w & kHighs) | zero_bytes(w ^ (kOnes * '"')) |
                            zero_bytes(w ^ (kOnes * '\\')) | zero_bytes(w ^ (kOnes * 0x7F));
    return special == 0;
}

// The index (0 to 8) of the first byte, in memory order, whose high bit is set in a mask
// of byte flags. A flag mask made by the tests above may also flag bytes after the first
// flagged one, never before it.
inline std::size_t first_marked_byte(std::uint64_t mask) noexcept {
    if (mask == 0) return 8;
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
    else
        return static_cast<std::size_t>(std::countl_zero(mask)) / 8;
}

// The length of the run of plain characters at the start of [p, end).
inline std::size_t plain_run(const char* p, const char* end) noexcept {
    const char* q = p;
    while (end - q >= 8) {
        std::uint64_t w;
        std::memcpy(&w, q, 8);
        if (!plain_word(w)) break;
        q += 8;
    }
    while (q < end && plain_char(static_cast<unsigned char>(*q))) ++q;
    return static_cast<std::size_t>(q - p);
}

template <Form F>
void write_string_as(std::string& out, std::string_view s) {
    append_quote<F>(out);
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        std::size_t run = plain_run(s.data() + i, s.data() + n);
        if (run > 0) {
            out.append(s.data() + i, run);
            i += run;
            if (i == n) break;
        }
        auto c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '"':
                append_escape<F>(out, '"');
                ++i;
                break;
            case '\\':
                append_escape<F>(out, '\\');
                ++i;
                break;
            case '\n':
                append_escape<F>(out, 'n');
                ++i;
                break;
            case '\r':
                append_escape<F>(out, 'r');
                ++i;
                break;
            case '\t':
                append_escape<F>(out, 't');
                ++i;
                break;
            case '\b':
                append_escape<F>(out, 'b');
                ++i;
                break;
            case '\f':
                append_escape<F>(out, 'f');
                ++i;
                break;
            default:
                if (c < 0x80) {
                    append_u_escape<F>(out, c);
                    ++i;
                } else {
                    append_code_point<F>(out, decode_utf8(s, i));
                }
        }
    }
    append_quote<F>(out);
}

template <Form F>
void write_value(std::string& out, const boost::json::value& v, std::size_t depth) {
    namespace json = boost::json;
    switch (v.kind()) {
        case json::kind::null:
            out.append("null", 4);
            return;
        case json::kind::bool_:
            if (v.get_bool())
                out.append("true", 4);
            else
                out.append("false", 5);
            return;
        case json::kind::int64: {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v.get_int64());
            out.append(buf, r.ptr);
            return;
        }
        case json::kind::uint64: {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v.get_uint64());
            out.append(buf, r.ptr);
            return;
        }
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
    static constexpr char kEsc[32] = {'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'b', 't', 'n', 'u', 'f', 'r', 'u', 'u',
                                      'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u'};
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
        } else if (kEsc[c] != 'u') {
            d[w++] = '\\';
            d[w++] = kEsc[c];
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
            out.append("null", 4);
            return;
        case json::kind::bool_:
            if (v.get_bool())
                out.append("true", 4);
            else
                out.append("false", 5);
            return;
        case json::kind::int64: {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v.get_int64());
            out.append(buf, r.ptr);
            return;
        }
        case json::kind::uint64: {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v.get_uint64());
            out.append(buf, r.ptr);
            return;
        }
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
