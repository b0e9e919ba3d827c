#pragma once
// The parent-post rule table: for every field of the record of one post of a monitored
// account, where its value comes from in the request object, what it falls back to and
// which handler of quillmere/pemrith/handlers.hpp finishes it. The host passes it with the
// request to tindral::apply_rules.
//
// The request holds the post as the Graph API returns it (permalink, caption, timestamp,
// media_type, username, the owner object, ...), the common details (in_time, brand_id,
// setting_id, author_social_id, m_author_name, ...) and members the host adds (post_id,
// post_id_with_ig_id, is_dark_post, the is_* flags, ...).

#include "quillmere/tindral/rules.hpp"

namespace quillmere::pemrith {

// 67 rules, built once when the library is loaded and read-only afterwards; any number of
// threads may read it at once. The default of MentionTrackingDetails.FetchingServiceInTime
// is the UTC time of that moment (YYYY-MM-DDTHH:MM:SS.ffffff); a request without a
// `timestamp` gets the time at which the record is made as its RawData.CreatedDate.
extern const tindral::RuleTable rules_obj;

}  // namespace quillmere::pemrith
