// The file extension of a media address.

#include "quillmere/Brastow/brastow.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <pcre2.h>

#include <optional>
#include <stdexcept>

namespace quillmere::brastow {

namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Characters that stand in an address as they are.
bool allowed_as_is(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~!$&'()*+,;=:@/?").find(static_cast<char>(c)) != std::string_view::npos;
}

// Media addresses come from outside and are not always well formed (blanks, non-ASCII
// letters, a stray "%", a line break). Such an address is read the way lenient address
// parsers read it: tabs and line breaks dropped, leading blanks and controls dropped, and
// every other character that cannot stand in an address percent-encoded.
std::string repaired_address(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::size_t start = 0;
    while (start < text.size() && static_cast<unsigned char>(text[start]) <= 0x20) ++start;
    std::string out;
    out.reserve(text.size() + 16);
    bool fragment = false;
    for (std::size_t i = start; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '%' && i + 2 < text.size() && is_hex(text[i + 1]) && is_hex(text[i + 2])) {
            out += '%';
        } else if (allowed_as_is(c) || (c == '#' && !fragment)) {
            fragment = fragment || c == '#';
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

// Parses `text` as an address, repairing it when it is not well formed. `storage` keeps
// the repaired text alive for the returned view.
std::optional<boost::urls::url_view> parse_address(std::string_view text, std::string& storage) {
    if (auto parsed = boost::urls::parse_uri_reference(text)) return *parsed;
    storage = repaired_address(text);
    if (auto parsed = boost::urls::parse_uri_reference(storage)) return *parsed;
    return std::nullopt;
}

// The path of an address without the parameters after a ";" in its last segment.
std::string_view path_of(const boost::urls::url_view& address) {
    std::string_view path = address.encoded_path();
    std::size_t last_slash = path.rfind('/');
    std::size_t semicolon = path.find(';', last_slash == std::string_view::npos ? 0 : last_slash);
    return path.substr(0, semicolon);
}

// The value of the first query field "url" that has a non-empty value; "" when none.
std::string url_field(const boost::urls::url_view& address) {
    for (auto field : address.params(boost::urls::encoding_opts(true))) {
        if (field.has_value && field.key == "url" && !field.value.empty()) return field.value;
    }
    return {};
}

// The extension of the last non-empty segment of `path`: the text after its last ".",
// when the segment has one.
std::string extension_of_path(std::string_view path) {
    while (path.ends_with('/')) path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return {};
    return std::string(name.substr(dot + 1));
}

class ExtensionPattern {
public:
    ExtensionPattern() {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(R"(\.([a-zA-Z0-9]+)(?:\?|$))"), PCRE2_ZERO_TERMINATED,
                              0, &error, &offset, nullptr);
        if (code_ == nullptr) throw std::logic_error("extension pattern does not compile");
        pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // without JIT the interpreter is used
    }
    ~ExtensionPattern() { pcre2_code_free(code_); }
    ExtensionPattern(const ExtensionPattern&) = delete;
    ExtensionPattern& operator=(const ExtensionPattern&) = delete;

    // The letters and digits of the first match in `text`, or "".
    std::string first_match(std::string_view text) const {
        std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> match(
            pcre2_match_data_create_from_pattern(code_, nullptr), &pcre2_match_data_free);
        if (!match) throw std::bad_alloc();
        int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, match.get(),
                             nullptr);
        if (rc < 2) return {};
        PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match.get());
        return std::string(text.substr(ovector[2], ovector[3] - ovector[2]));
    }

private:
    pcre2_code* code_ = nullptr;
};

const ExtensionPattern& extension_pattern() {
    static const ExtensionPattern pattern;
    return pattern;
}

void lower_ascii(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

}  // namespace

std::string get_file_extension(const boost::json::value& url) {
    if (!url.is_string()) {
        throw TypeError("url must be a str, not " + std::string(kind_name(url)));
    }
    const std::string_view text = url.get_string();
    std::string extension;
    try {
        std::string storage;
        std::string inner_storage;
        auto address = parse_address(text, storage);
        if (!address) return func_call(boost::json::value());
        if (address->has_query() && !address->encoded_query().empty()) {
            std::string inner = url_field(*address);
            auto inner_address = parse_address(inner, inner_storage);
            if (!inner_address) return func_call(boost::json::value());
            extension = extension_of_path(path_of(*inner_address));
        } else {
            extension = extension_of_path(path_of(*address));
        }
        if (extension.empty()) extension = extension_pattern().first_match(text);
        lower_ascii(extension);
    } catch (...) {
        return func_call(boost::json::value());
    }
    return func_call(boost::json::string(extension));
}

}  // namespace quillmere::brastow
