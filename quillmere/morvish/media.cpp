#include "quillmere/morvish/media.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/internal/case_mapping.hpp"
#include "quillmere/common/internal/regex.hpp"
#include "quillmere/common/value.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <unordered_map>

namespace quillmere::morvish {
namespace {

constexpr std::array<MediaTypeEntry, 54> kMediaTypes{{
    {"", 1},
    {"TEXT", 1},
    {"TXT", 1},
    {"STATUS", 1},
    {"POSTBACK", 1},
    {"CONVERSATION", 1},
    {"PHOTO", 2},
    {"IMAGE", 2},
    {"ALBUM", 2},
    {"CAROUSEL", 2},
    {"IMAGE/JPEG", 2},
    {"IMAGE/PNG", 2},
    {"CAROUSEL_ALBUM", 2},
    {"STICKER", 2},
    {"VIDEO/MP4", 3},
    {"VIDEO_INLINE", 3},
    {"VIDEO - CHECKIN", 3},
    {"VIDEO-CHECKIN", 3},
    {"ADDED_VIDEO", 3},
    {"VIDEO", 3},
    {"ARTICLE", 4},
    {"URL", 4},
    {"LINK", 4},
    {"POLL", 5},
    {"VISUAL_POLL", 5},
    {"ANIMATEDGIF", 7},
    {"ANIMATED_IMAGE_SHARE", 7},
    {"ANIMATED_IMAGE_AUTOPLAY", 7},
    {"ANIMATED_GIF", 7},
    {"ANIMATED_IMAGE_VIDEO_AUTOPLAY", 7},
    {"ANIMATED_IMAGE_VIDEO", 7},
    {"IMAGE/GIF", 7},
    {"DOC", 9},
    {"DOCX", 9},
    {"APPLICATION/MSWORD", 9},
    {"PDF", 8},
    {"APPLICATION/PDF", 8},
    {"EXCEL", 10},
    {"XLSX", 10},
    {"AUDIO", 11},
    {"VOICE", 11},
    {"CONTACTS", 12},
    {"CONTACT", 12},
    {"SYSTEM", 13},
    {"LOCATION", 14},
    {"LOCATIONS", 14},
    {"HTML", 15},
    {"CARD", 16},
    {"QUICKREPLY", 17},
    {"BUTTONS", 18},
    {"BUTTON", 18},
    {"FILE", 19},
    {"TEMPLATE", 20},
    {"REELS", 21},
}};

constexpr std::size_t kLongestName = [] {
    std::size_t n = 0;
    for (const auto& e : kMediaTypes) n = std::max(n, e.name.size());
    return n;
}();

std::int64_t lookup(std::string_view upper) {
    static const std::unordered_map<std::string_view, std::int64_t> index = [] {
        std::unordered_map<std::string_view, std::int64_t> m;
        for (const auto& e : kMediaTypes) m.emplace(e.name, e.code);
        return m;
    }();
    auto it = index.find(upper);
    return it == index.end() ? kOtherMediaType : it->second;
}

// --- hashtags -------------------------------------------------------------------------

// A "#" followed by a maximal run of letters, characters with a numeric value and "_".
// Written as an explicit class rather than \w: newer PCRE2 releases also count combining
// marks and connector punctuation as \w under UCP. Ill-formed UTF-8 never matches.
const Regex& hashtag_regex() {
    static const Regex re("(?<=#)[\\p{L}\\p{N}_]+", PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF);
    return re;
}

}  // namespace

std::span<const MediaTypeEntry> media_type_mapping() noexcept { return kMediaTypes; }

std::int64_t get_media_type(std::string_view media_type) {
    bool ascii =
        std::all_of(media_type.begin(), media_type.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        if (media_type.size() > kLongestName) return kOtherMediaType;
        char upper[kLongestName];
        std::transform(media_type.begin(), media_type.end(), upper,
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
        return lookup(std::string_view(upper, media_type.size()));
    }
    // Every code point upper-cases to at least one code point of at most four bytes, so a
    // text of more code points than the longest name cannot become a name.
    if (media_type.size() > 4 * kLongestName) return kOtherMediaType;
    const std::string upper = to_upper_full(media_type);
    return lookup(upper);
}

std::int64_t get_media_type(const boost::json::value& media_type) {
    const auto* s = media_type.if_string();
    if (!s) throw TypeError("get_media_type: media_type must be a string, not " + std::string(kind_name(media_type)));
    return get_media_type(std::string_view(*s));
}

void for_each_hashtag(std::string_view text, void (*fn)(void* context, std::string_view tag), void* context) {
    const Regex& re = hashtag_regex();
    for (std::size_t start = 0; start < text.size();) {
        auto [begin, end] = re.find(text, start);
        if (begin == std::string_view::npos) return;
        fn(context, text.substr(begin, end - begin));
        start = end;
    }
}

std::string get_hashtags(const boost::json::value& text) {
    if (is_empty(text)) return {};
    const auto* s = text.if_string();
    if (!s) throw TypeError("get_hashtags: text must be a string, not " + std::string(kind_name(text)));
    std::string joined;
    for_each_hashtag(std::string_view(*s), [&joined](std::string_view tag) {
        if (!joined.empty()) joined.push_back(',');
        joined.append(tag);
    });
    return joined;
}

}  // namespace quillmere::morvish
