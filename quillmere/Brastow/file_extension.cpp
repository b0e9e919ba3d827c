// The file extension of a media address.

#include "quillmere/Brastow/brastow.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/internal/case_mapping.hpp"
#include "quillmere/common/internal/regex.hpp"
#include "quillmere/common/value.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quillmere::brastow {

namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The path and query of an address, read the lenient way media addresses need (they come
// from outside with blanks, non-ASCII letters, stray "%" or line breaks): leading blanks
// and controls are dropped, tabs and line breaks anywhere are dropped, and nothing else is
// checked or encoded. The path excludes the parameters after a ";" in its last segment.
struct AddressParts {
    std::string_view path;
    std::string_view query;
};

// Schemes whose paths carry ";" parameters (and addresses without a scheme).
bool uses_params(std::string_view scheme) {
    static constexpr std::string_view kSchemes[] = {"",      "ftp",   "hdl",  "prospero", "http",  "imap",
                                                    "https", "shttp", "rtsp", "rtsps",    "rtspu", "sip",
                                                    "sips",  "mms",   "sftp", "tel"};
    for (auto s : kSchemes) {
        if (s.size() != scheme.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < s.size() && same; ++i) same = (scheme[i] | 0x20) == s[i];
        if (same) return true;
    }
    return false;
}

// Splits `text` into its parts; `storage` keeps a cleaned copy alive when one is needed.
// Nothing when the host has an unbalanced "[" or "]".
std::optional<AddressParts> split_address(std::string_view text, std::string& storage) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
    if (text.find_first_of("\t\r\n") != std::string_view::npos) {
        storage.clear();
        for (char c : text) {
            if (c != '\t' && c != '\r' && c != '\n') storage += c;
        }
        text = storage;
    }
    std::string_view scheme;
    if (auto colon = text.find(':'); colon != std::string_view::npos && colon > 0 && is_alpha(text.front())) {
        std::string_view candidate = text.substr(0, colon);
        bool valid = std::all_of(candidate.begin(), candidate.end(), [](char c) {
            return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        });
        if (valid) {
            scheme = candidate;
            text.remove_prefix(colon + 1);
        }
    }
    if (text.starts_with("//")) {
        auto end = text.find_first_of("/?#", 2);
        std::string_view host = text.substr(2, end == std::string_view::npos ? std::string_view::npos : end - 2);
        bool open = host.find('[') != std::string_view::npos;
        bool close = host.find(']') != std::string_view::npos;
        if (open != close) return std::nullopt;
        text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
    if (auto hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
    AddressParts parts;
    if (auto question = text.find('?'); question != std::string_view::npos) {
        parts.query = text.substr(question + 1);
        text = text.substr(0, question);
    }
    if (uses_params(scheme)) {
        std::size_t last_slash = text.rfind('/');
        text = text.substr(0, text.find(';', last_slash == std::string_view::npos ? 0 : last_slash));
    }
    parts.path = text;
    return parts;
}

// A form-encoded name or value: "+" is a blank, valid percent-escapes are decoded, any
// other "%" stands as it is.
std::string form_decode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && is_hex(s[i + 1]) && is_hex(s[i + 2])) {
            out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The value of the first query field "url" that has a non-empty value; "" when none.
// Pieces without "=" and fields with an empty value are passed over.
std::string url_field(std::string_view query) {
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view piece = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        auto eq = piece.find('=');
        if (eq == std::string_view::npos || eq + 1 == piece.size()) continue;
        if (form_decode(piece.substr(0, eq)) == "url") return form_decode(piece.substr(eq + 1));
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

// The letters and digits of the first match of "\.([a-zA-Z0-9]+)(?:\?|$)" in `text`, or
// "": \K starts the match after the point, the look-ahead leaves the "?" out of it.
std::string first_extension_match(std::string_view text) {
    static const Regex pattern(R"(\.\K[a-zA-Z0-9]+(?=\?|$))", 0);
    auto [begin, end] = pattern.find(text);
    if (begin == std::string_view::npos) return {};
    return std::string(text.substr(begin, end - begin));
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
        auto address = split_address(text, storage);
        if (!address) return func_call(boost::json::value());
        if (!address->query.empty()) {
            std::string inner = url_field(address->query);
            auto inner_address = split_address(inner, inner_storage);
            if (!inner_address) return func_call(boost::json::value());
            extension = extension_of_path(inner_address->path);
        } else {
            extension = extension_of_path(address->path);
        }
        if (extension.empty()) extension = first_extension_match(text);
        extension = to_lower_full(extension);
    } catch (...) {
        return func_call(boost::json::value());
    }
    return func_call(boost::json::string(extension));
}

}  // namespace quillmere::brastow
