#pragma once
// Unicode default (full) case mapping in the root locale: "ß" upper-cases to "SS", "İ"
// lower-cases to "i̇". Plain ASCII text takes a fast path without ICU.

#include <string>
#include <string_view>

namespace quillmere {

std::string to_lower_full(std::string_view utf8);
std::string to_upper_full(std::string_view utf8);

}  // namespace quillmere
