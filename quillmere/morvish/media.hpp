#pragma once
// Media-type codes and hashtags.

#include <boost/json/value.hpp>

#include <cstdint>
#include <string>

namespace quillmere::morvish {

// The platform's media-type code (1 to 21) of a media or attachment type name: the name
// in Unicode full upper case looked up in the 54-key table; 6 for any other name.
// Throws quillmere::TypeError naming `media_type` when the argument is not a string.
std::int64_t get_media_type(const boost::json::value& media_type);

// The hashtags of `text` without their "#", joined by ",": every maximal run of Unicode
// word characters (letters, characters with a numeric value, "_") right after a "#".
// "" for an empty value; throws quillmere::TypeError for a non-empty non-string.
std::string get_hashtags(const boost::json::value& text);

}  // namespace quillmere::morvish
