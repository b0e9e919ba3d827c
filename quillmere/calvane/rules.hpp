#pragma once
// The comment rule table: for every field of the record of one comment, where its value
// comes from in the host's flat request object, what it defaults to, and which comment
// field handler finishes it. The host passes it with the request to tindral::apply_rules.

#include "quillmere/calvane/export.hpp"
#include "quillmere/tindral/rules.hpp"

namespace quillmere::calvane {

// The 68 rules in record order. Built once when the library is loaded, read-only after
// that and safe to read from any number of threads.
//
// Two defaults are times. MentionTrackingDetails.FetchingServiceInTime (used when the
// request has no in_time) is the UTC time at which the table was built, in the form
// YYYY-MM-DDTHH:MM:SS.ffffff (no fraction at a whole second), the same for the life of the
// process. RawData.CreatedDate defaults to null, which comment_post_time_handler turns
// into the UTC time of the mapping in the Graph API form YYYY-MM-DDTHH:MM:SS+0000.
QUILLMERE_CALVANE_API const tindral::RuleTable& rules_obj();

}  // namespace quillmere::calvane
