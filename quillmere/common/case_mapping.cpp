#include "quillmere/common/internal/case_mapping.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>

namespace quillmere {
namespace {

bool is_ascii(std::string_view s) noexcept {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

template <bool Upper>
std::string map_case(std::string_view utf8) {
    if (is_ascii(utf8)) {
        std::string out(utf8);
        for (char& c : out) {
            if (Upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (!Upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return out;
    }
    icu::UnicodeString u =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    if (Upper)
        u.toUpper(icu::Locale::getRoot());
    else
        u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

}  // namespace

std::string to_lower_full(std::string_view utf8) { return map_case<false>(utf8); }
std::string to_upper_full(std::string_view utf8) { return map_case<true>(utf8); }

}  // namespace quillmere
