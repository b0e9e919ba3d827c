#pragma once
// Media-type codes and hashtags.

#include "quillmere/morvish/export.hpp"

#include <boost/json/value.hpp>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace quillmere::morvish {

struct MediaTypeEntry {
    std::string_view name;  // upper case
    std::int64_t code;
};

// The 54 media and attachment type names with their codes, in the order the table is
// built (code 9 before code 8). Code 6, "other", has no name: it is every name not listed.
QUILLMERE_MORVISH_API std::span<const MediaTypeEntry> media_type_mapping() noexcept;

inline constexpr std::int64_t kOtherMediaType = 6;

// The platform's media-type code (1 to 21) of a media or attachment type name: the name
// in Unicode full upper case (root locale: "ß" gives "SS", "ı" gives "I"), nothing else
// changed, looked up in the table; 6 for any other name.
// Throws quillmere::TypeError naming `media_type` when the argument is not a string.
QUILLMERE_MORVISH_API std::int64_t get_media_type(const boost::json::value& media_type);
QUILLMERE_MORVISH_API std::int64_t get_media_type(std::string_view media_type);

// Calls `fn(tag)` for every hashtag of `text`, left to right: every maximal run of word
// characters right after a "#", without the "#". Word characters are Unicode letters
// (Lu, Ll, Lt, Lm, Lo), characters with a numeric value (Nd, Nl, No) and "_"; combining
// marks and all punctuation end a run. Ill-formed UTF-8 is never part of a tag.
QUILLMERE_MORVISH_API void for_each_hashtag(std::string_view text, void (*fn)(void* context, std::string_view tag),
                                            void* context);

template <class F>
void for_each_hashtag(std::string_view text, F&& fn) {
    using Fn = std::remove_reference_t<F>;
    for_each_hashtag(
        text, [](void* c, std::string_view tag) { (*static_cast<Fn*>(c))(tag); },
        const_cast<void*>(static_cast<const void*>(std::addressof(fn))));
}

// The hashtags of `text` joined by "," (duplicates and case kept), "" when there are
// none or `text` is an empty value. Throws quillmere::TypeError for a non-empty value
// that is not a string.
QUILLMERE_MORVISH_API std::string get_hashtags(const boost::json::value& text);

}  // namespace quillmere::morvish
