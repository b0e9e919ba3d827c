#pragma once
// Decoding of JSON text that comes from outside (cache entries, Graph API bodies) with a
// failure description fit for a log line.

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <boost/json/stream_parser.hpp>

#include <string>
#include <string_view>

namespace quillmere {

// Parses one JSON text (UTF-8, nesting up to kMaxJsonDepth). On failure throws ValueError
// "invalid JSON text: <reason> at offset <n>" (invalid UTF-8 is a syntax error at the
// offending byte).
inline json::value decode_json_text(std::string_view text) {
    json::parse_options opt;
    opt.max_depth = kMaxJsonDepth;
    json::stream_parser parser(json::storage_ptr(), opt);
    boost::system::error_code ec;
    std::size_t used = parser.write(text.data(), text.size(), ec);
    if (!ec) parser.finish(ec);
    if (ec) throw ValueError("invalid JSON text: " + ec.message() + " at offset " + std::to_string(used));
    return parser.release();
}

}  // namespace quillmere
