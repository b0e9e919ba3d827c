#pragma once
// The first "id" member of a webhook body or any other JSON value.

#include "quillmere/graviel/export.hpp"

#include <boost/json/value.hpp>

namespace quillmere::graviel {

// Depth-first search in document order. In an object, an "id" member is returned at once
// whatever its value (null included); any other member's object or array value is searched
// and a non-empty result returned. In an array, the first non-empty result of its elements
// is returned. Otherwise null. An "id" nested under an earlier member therefore wins over
// an "id" that follows it. Throws quillmere::ValueError for a value nested deeper than
// quillmere::kMaxJsonDepth.
QUILLMERE_GRAVIEL_API boost::json::value extract_single_id(const boost::json::value& data);

}  // namespace quillmere::graviel
