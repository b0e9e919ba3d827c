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

#include "quillmere/pemrith/export.hpp"
#include "quillmere/tindral/rules.hpp"

namespace quillmere::pemrith {

// The 67 rules in record order. Built once when the library is loaded, read-only after
// that and safe to read from any number of threads.
//
// Two defaults are times. MentionTrackingDetails.FetchingServiceInTime (used when the
// request has no in_time) is the UTC time at which the table was built, in the form
// YYYY-MM-DDTHH:MM:SS.ffffff (no fraction at a whole second), the same for the life of the
// process. RawData.CreatedDate defaults to null, which parent_post_time_handler turns into
// the UTC time of the mapping, YYYY-MM-DDTHH:MM:SS.
QUILLMERE_PEMRITH_API const tindral::RuleTable& rules_obj();

}  // namespace quillmere::pemrith
