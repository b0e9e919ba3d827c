#pragma once
// The public site root that profile, post and comment addresses are built on, and the
// comment address pattern derived from it.
//
// The root defaults to "https://www.instagram.com/". The host may set another one, once
// at start-up; reads are safe from any thread at any time, also while it is being set.

#include "quillmere/morvish/export.hpp"

#include <boost/json/value.hpp>

#include <string>
#include <string_view>

namespace quillmere::morvish {

inline constexpr std::string_view kDefaultSiteRoot = "https://www.instagram.com/";

// The current root. The view stays valid for the life of the process.
QUILLMERE_MORVISH_API std::string_view public_site_root() noexcept;

// Replaces the root and the comment address pattern built on it. The root must start
// with "https://", name a host, end with "/" and hold no blank or control character;
// otherwise quillmere::ValueError is thrown and nothing changes.
QUILLMERE_MORVISH_API void set_public_site_root(std::string_view root);

// Whether `address` is a whole comment address: the root, "p/", a short code of ASCII
// letters, digits, "_" or "-", "/c/", ASCII digits, an optional "/", and the end (one
// final "\n" tolerated).
QUILLMERE_MORVISH_API bool is_comment_address(std::string_view address);

// A profile address: the root, the text form of `user_name` (None, True, False for
// null and booleans), "/".
QUILLMERE_MORVISH_API std::string profile_address(const boost::json::value& user_name);

// The address used where a comment's post address is unknown: the root followed by
// "p/0000000000000/".
QUILLMERE_MORVISH_API std::string placeholder_post_address();

}  // namespace quillmere::morvish
