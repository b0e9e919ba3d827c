#pragma once
// The comment field handlers: the functions that the comment rule table names to finish
// a field of a comment's record. Each takes the value that the rule engine found (null
// included) and the whole request object as `data` (nullptr when called without data),
// and returns the field's value or throws. None of them changes `data`, logs or keeps
// state; only utc_time_to_iso_format and the creation-time default read the clock.
//
// Members of `data` read here: is_parent_brand_post, is_brand_post, is_for_stories,
// is_mention_post, is_stories_mention (flags: set when present and not empty),
// post_author_id, comment_author_id, author_social_id (account ids: integers or decimal
// text), comment_username, post_username, type_of, post_id, parent_post_url, post_url,
// url, parent_post_social_id.

#include "quillmere/calvane/export.hpp"

#include <boost/json/value.hpp>

namespace quillmere::calvane {

namespace json = boost::json;

// true when is_parent_brand_post is set, else false.
QUILLMERE_CALVANE_API json::value check_is_brand_mention(const json::value& value, const json::value* data = nullptr);

// TypeOfComment: BrandParentPost (1) when is_parent_brand_post is set, else
// UserParentPost (0).
QUILLMERE_CALVANE_API json::value check_type_of_comment_handler(const json::value& value,
                                                                const json::value* data = nullptr);

// MentionPostType: BrandComment (3) when the setting's author id equals post_author_id
// (empty: 0) after integer conversion of both, else UserComment (4). Needs data.
QUILLMERE_CALVANE_API json::value post_type_handler(const json::value& setting_author_id,
                                                    const json::value* data = nullptr);

// InstaPostChannelType of the post under the comment from its flags: STORIES (4) for a
// brand story, BRAND (1), MENTION (2), STORIES_MENTION (11), else BRAND (1).
QUILLMERE_CALVANE_API json::value handle_insta_post_type(const json::value& value, const json::value* data = nullptr);

// The media-type code of the media type name (morvish::get_media_type).
QUILLMERE_CALVANE_API json::value handle_media_type(const json::value& value, const json::value* data = nullptr);

// "" when the value is set; otherwise the profile address of comment_username, or of
// post_username when that is empty. Needs data.
QUILLMERE_CALVANE_API json::value url_handler(const json::value& value, const json::value* data = nullptr);

// InstaPostChannelType: BRAND (1) when author_social_id (required) equals
// comment_author_id (empty: 0), else PUBLIC (3). Needs data. Named by no table row.
QUILLMERE_CALVANE_API json::value handle_post_type_for_comment(const json::value& value,
                                                               const json::value* data = nullptr);

// The address of the comment itself, always text. The base address is parent_post_url,
// else post_url, else url. A reply (type_of numerically 1) keeps a base that already is a
// full comment address, otherwise appends "c/" or "/c/" and parent_post_social_id. Any
// other comment appends "c/" and post_id to the base when post_id is set, and falls back
// to the placeholder post address when the result does not contain "instagram".
QUILLMERE_CALVANE_API json::value comment_url_creator(const json::value& value, const json::value* data = nullptr);

// The value unchanged.
QUILLMERE_CALVANE_API json::value dynamic_attachment_handler(const json::value& value,
                                                             const json::value* data = nullptr);

// The creation time: a text is returned unchanged; null (the request has no time) gives
// the current UTC time in the Graph API form YYYY-MM-DDTHH:MM:SS+0000. Any other value
// throws quillmere::TypeError.
QUILLMERE_CALVANE_API json::value comment_post_time_handler(const json::value& value,
                                                            const json::value* data = nullptr);

// The current UTC time, YYYY-MM-DDTHH:MM:SS.ffffff (no fraction at a whole second); the
// argument is ignored.
QUILLMERE_CALVANE_API json::value utc_time_to_iso_format(const json::value& current_time = nullptr,
                                                         const json::value* data = nullptr);

// The comment text on one line: "" for an empty value, line feeds and carriage returns
// each replaced by one blank. Throws quillmere::TypeError for other non-text values.
QUILLMERE_CALVANE_API json::value comment_post_description_handler(const json::value& value,
                                                                   const json::value* data = nullptr);

// Whether the setting's author id equals post_author_id (empty: 0) after integer
// conversion of both. Needs data.
QUILLMERE_CALVANE_API json::value comment_post_is_brand_post_handler(const json::value& setting_author_id,
                                                                     const json::value* data = nullptr);

}  // namespace quillmere::calvane
