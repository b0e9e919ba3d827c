#pragma once
// Rule tables and the rule engine that applies them.
//
// A rule table is an ordered sequence of (target path, rule record). The engine walks it in
// order and builds the output record; the order decides the order of the record's members.

#include <boost/json/value.hpp>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::tindral {

namespace json = boost::json;

// A field handler: receives the value found (null included) and the whole request object
// as `data` (nullptr when called without data); returns the field's final value or throws.
using Handler = std::function<json::value(const json::value& value, const json::value* data)>;

struct Rule {
    // Alternative dotted key paths into the request. Kept as a JSON value so that a
    // malformed table (a single text, a path that is not a text) fails at application.
    json::value keys = json::array();
    json::value default_value = nullptr;
    Handler handler_function;  // empty: no handler
    // Carried for the host (the analytics-database column storing the field); the engine
    // never reads it.
    std::optional<std::string> clickhouse_column_name;
    bool mandatory = false;
    bool skip_if_missing = false;
};

using RuleTable = std::vector<std::pair<std::string, Rule>>;

}  // namespace quillmere::tindral
