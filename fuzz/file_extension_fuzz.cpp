// The file extension of a media address. A value that is not text is a TypeError naming
// `url`. For every text:
// - it never fails (a text is always accepted) and gives "." and at least one character;
// - the extension is valid UTF-8, holds no "/", "?", "#", tab or line break, and is already
//   lower-case (ICU's full lower-casing leaves it as it is);
// - for an address of the plain form "https://host/path" (no query, fragment, ";" or
//   blank), it is the text after the last "." of the last path segment, lower-cased, or
//   else the first ".letters-or-digits" at the end of the address, or else ".jpg";
// - wrapped as the percent-encoded field "url" of another address's query, an address
//   without a query keeps its path's extension; when its path has none, the wrapper's
//   own end-of-address search applies (".html" here).

#include "checks.hpp"
#include "quillmere/Brastow/brastow.hpp"
#include "quillmere/common/errors.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <boost/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

using quillmere::brastow::get_file_extension;
using quillmere::fuzz::escaped;

[[noreturn]] void fail(const char* what, std::string_view input, const std::string& got) {
    std::fprintf(stderr, "%s\ninput: %s\nresult: %s\n", what, escaped(input).c_str(), escaped(got).c_str());
    std::abort();
}

bool is_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

std::string icu_lower(std::string_view utf8) {
    icu::UnicodeString u =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

// The letters and digits of the first "." + ASCII letters/digits that is followed by "?",
// by the end of the text, or by a final line feed; nothing when there is none.
std::optional<std::string> end_search(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '.') continue;
        std::size_t j = i + 1;
        while (j < text.size() && is_alnum(text[j])) ++j;
        if (j == i + 1) continue;
        // Only the whole run can be followed by something other than a letter or digit.
        if (j == text.size() || text[j] == '?' || (text[j] == '\n' && j + 1 == text.size()))
            return std::string(text.substr(i + 1, j - i - 1));
    }
    return std::nullopt;
}

// The expected result for "https://" + host + path with no "?", "#", ";", control or
// blank anywhere, or nothing when `text` is not of that plain form.
std::optional<std::string> plain_form_result(std::string_view text) {
    constexpr std::string_view kScheme = "https://";
    if (!text.starts_with(kScheme)) return std::nullopt;
    for (char c : text) {
        if (c == '?' || c == '#' || c == ';' || c == '[' || c == ']' || static_cast<unsigned char>(c) <= 0x20)
            return std::nullopt;
    }
    std::string_view rest = text.substr(kScheme.size());
    const std::size_t slash = rest.find('/');
    std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    // The last segment that is not empty.
    std::string_view last;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) last = path.substr(start, end - start);
        start = end + 1;
    }
    if (const std::size_t dot = last.rfind('.'); dot != std::string_view::npos && dot + 1 < last.size())
        return "." + icu_lower(last.substr(dot + 1));
    if (auto found = end_search(text)) return "." + ascii_lower(*found);
    return std::string(".jpg");
}

std::string percent_encode(std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out += '+';
        } else if (is_alnum(ch) || c == '-' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string extension(std::string_view text) {
    return get_file_extension(boost::json::value(boost::json::string(text)));
}

void check_general(std::string_view input, const std::string& got) {
    if (got.size() < 2 || got.front() != '.') fail("not a point and an extension", input, got);
    if (got.find_first_of("/?#\t\r\n") != std::string::npos) fail("a separator in the extension", input, got);
    if (!valid_utf8(got)) fail("the extension is not UTF-8", input, got);
    if (icu_lower(got) != got) fail("the extension is not lower-case", input, got);
}

// A value that is not text is refused with a TypeError that names `url`.
void check_other_kinds() {
    for (const boost::json::value& v : {boost::json::value(), boost::json::value(7), boost::json::value(false),
                                        boost::json::value(boost::json::array{"https://x.example/a.png"})}) {
        try {
            (void)get_file_extension(v);
        } catch (const quillmere::TypeError& e) {
            if (std::string_view(e.what()).find("url") != std::string_view::npos) continue;
        }
        fail("a value that is not text was not refused naming url", boost::json::serialize(v), "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool other_kinds_checked = (check_other_kinds(), true);
    (void)other_kinds_checked;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string got;
    try {
        got = extension(input);
    } catch (const std::exception& e) {
        fail("a text was refused", input, e.what());
    }
    check_general(input, got);

    if (auto expected = plain_form_result(input); expected && *expected != got)
        fail("plain address: not the path's extension", input, got + " (expected " + *expected + ")");

    if (input.find('?') == std::string_view::npos) {
        const std::string wrapped =
            extension("https://cdn.example.com/wrap/page.html?sig=a+b&url=" + percent_encode(input) + "&x=1");
        check_general(input, wrapped);
        // Whether the extension came from the path: neither the default nor what the
        // end-of-address search finds.
        const bool from_path = got != ".jpg" && ascii_lower(end_search(input).value_or("")) != got.substr(1);
        if (wrapped != ".html" && wrapped != got) fail("the wrapped address lost its extension", input, wrapped);
        if (wrapped == ".html" && from_path && got != ".html")
            fail("the wrapped address lost its path's extension", input, wrapped);
    }
    return 0;
}
