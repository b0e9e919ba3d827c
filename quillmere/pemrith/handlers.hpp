#pragma once
// Field handlers of the parent-post record, and escape_url.
//
// Every handler has the rule engine's handler shape: the value found for the field and the
// whole request object as `data` (nullptr: called without data). Several share a name with
// a comment handler of quillmere/calvane but behave differently; the differences are noted
// at each declaration. None of them keeps state; only utc_time_to_iso_format reads the
// clock. Failures are thrown (quillmere::TypeError, KeyError, ValueError) and never caught
// here: the rule engine turns them into a lost record and one log line.

#include "quillmere/pemrith/export.hpp"

#include <boost/json/value.hpp>

#include <string>

namespace quillmere::pemrith {

namespace json = boost::json;

// true when the request's `is_brand_post` flag is set (present and not empty). The comment
// handler of the same name reads `is_parent_brand_post` instead. Absent data reads as {}.
QUILLMERE_PEMRITH_API json::value check_is_brand_mention(const json::value& value, const json::value* data = nullptr);

// Always 2 (TypeOfComment.ActualPost), whatever it is given.
QUILLMERE_PEMRITH_API json::value check_type_of_comment_handler(const json::value& value,
                                                                const json::value* data = nullptr);

// The profile address of the post's owner: the public site root, the text form of
// `comment_username` (or, when that is empty, of `username`; None when absent) and "/".
// Unlike the comment handler, the value is never looked at. Fails without data.
QUILLMERE_PEMRITH_API json::value url_handler(const json::value& value, const json::value* data = nullptr);

// InstaPostChannelType value from the request's flags: is_for_stories with is_brand_post
// 4 (STORIES), is_brand_post 1 (BRAND), is_mention_post 2 (MENTION), is_stories_mention 11
// (STORIES_MENTION), in that precedence; null when none holds (the comment handler gives 1).
QUILLMERE_PEMRITH_API json::value handle_insta_post_type(const json::value& value, const json::value* data = nullptr);

// The hashtags of a caption as an array of texts, without their "#", in order, duplicates
// and letter case kept (an empty array when there is none); "" for an empty value. Throws
// TypeError for a value that is neither empty nor text. Unlike morvish::get_hashtags this
// returns the runs themselves, not one joined text.
QUILLMERE_PEMRITH_API json::value get_hashtags(const json::value& text, const json::value* data = nullptr);

// The media-type code of a media type name (morvish::get_media_type).
QUILLMERE_PEMRITH_API json::value handle_media_type(const json::value& value, const json::value* data = nullptr);

// Always 20 (InstaChannelsEnum.InstagramPagePosts), whatever it is given.
QUILLMERE_PEMRITH_API json::value parent_chanel_handler(const json::value& value, const json::value* data = nullptr);

// `url` with the five characters special in HTML replaced: & &amp; (first), < &lt;,
// > &gt;, " &quot;, ' &#x27;. Throws TypeError naming `url` when it is not text.
QUILLMERE_PEMRITH_API std::string escape_url(const json::value& url);

// A Graph API time YYYY-MM-DDTHH:MM:SS followed by a UTC offset (+HHMM, +HH:MM, either with
// seconds, or Z; month, day, hour, minute and second may have one digit) rewritten as
// YYYY-MM-DDTHH:MM:SS with two digits per field. The offset is dropped, not applied.
// Null (the request has no timestamp) gives the current UTC time. Throws TypeError for any
// other value that is not text, ValueError for text of any other form or for an impossible
// date or time.
QUILLMERE_PEMRITH_API json::value parent_post_time_handler(const json::value& value, const json::value* data = nullptr);

// The current UTC time, YYYY-MM-DDTHH:MM:SS.ffffff (no fraction at a whole second); the
// argument is ignored.
QUILLMERE_PEMRITH_API json::value utc_time_to_iso_format(const json::value& current_time = nullptr,
                                                         const json::value* data = nullptr);

// The caption on one line: "" for an empty value; every line feed, then every carriage
// return, becomes one blank. Throws TypeError for a value that is neither empty nor text.
QUILLMERE_PEMRITH_API json::value parent_post_description_handler(const json::value& value,
                                                                  const json::value* data = nullptr);

// Whether the post is the brand's own: the request's `is_brand_post` exactly as it came
// when it is present and not null (false, 0 or "yes" returned unchanged); otherwise whether
// `setting_author_id` equals the id of the request's `owner` (0 when absent) after integer
// conversion of both. Fails without data, for an `owner` that is not an object, and when
// either id does not convert.
QUILLMERE_PEMRITH_API json::value parent_post_is_brand_post_handler(const json::value& setting_author_id,
                                                                    const json::value* data = nullptr);

// MentionPostType value: 1 (BrandPost) when the request's `is_brand_post` is set, otherwise
// 1 when `setting_author_id` equals the owner's id after integer conversion and 2
// (UserPost) when not. Unlike parent_post_is_brand_post_handler, an explicit false goes on
// to compare the ids. Fails as that handler does.
QUILLMERE_PEMRITH_API json::value post_type_handler(const json::value& setting_author_id,
                                                    const json::value* data = nullptr);

}  // namespace quillmere::pemrith
