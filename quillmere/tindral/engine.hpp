#pragma once
// The rule engine: applies a rule table to a request object and builds the output record.
//
// The record's members appear in the order in which rules first reach them; writing a
// member again replaces its value in place. After the rules, a RawData.UserInfo whose
// AuthorName is exactly "Anonymous" gets AuthorSocialID "0", and RawData is replaced by
// its record JSON text (quillmere/common/json_text.hpp); "{}" is appended when no rule
// wrote RawData.
//
// Failures while applying a table (a handler that throws, a malformed rule, a target
// whose intermediate member is not an object, a RawData or RawData.UserInfo that is not
// an object) abandon the whole record: the logger named "quillmere.tindral" writes one
// error line, "Error in apply_rules: <message>", and the call returns std::nullopt.
// The logger is created at load with a standard-error sink and registered with spdlog
// under that name; a host may replace its sinks, or drop it and register its own logger
// under the same name, which the engine then uses.

#include "quillmere/tindral/rules.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::tindral {

inline constexpr std::string_view kLoggerName = "quillmere.tindral";

// Applies a rule table. Returns the record, or std::nullopt after logging the error line
// when applying failed. Throws quillmere::TypeError, before any rule runs and without
// logging, when `request` is not an object.
std::optional<json::object> apply_rules(const RuleTable& rules, const json::value& request);

// Handlers of a rule table given as JSON data, by name.
using HandlerMap = std::map<std::string, Handler, std::less<>>;

// Applies a rule table given as JSON data: an object from target path to rule record,
// each record an object with the optional members "keys", "default_value",
// "handler_function" (null/absent/empty for none, else a handler name looked up in
// `handlers`), "mandatory" and "skip_if_missing"; other members are ignored. Flags and
// keys are tested with the empty-value test. Failures of the table itself (a record that
// is not an object, keys that are not a list of texts, a handler that is not a known
// name) are application failures as above. Throws quillmere::TypeError, before any rule
// runs and without logging, when `rules` or `request` is not an object.
std::optional<json::object> apply_rules(const json::value& rules, const json::value& request,
                                        const HandlerMap& handlers);

// The first non-null value that one of the dotted paths in `keys` reaches in
// `request_data`, or null. Each "."-separated part names a member of an object; a part
// that meets anything but an object (arrays included) ends that path. Returns a reference
// into `request_data` or to a shared null. Throws quillmere::TypeError when `keys` is not
// an array or one of its elements, when reached, is not a text.
const json::value& get_value_from_keys(const json::value& keys, const json::object& request_data);

}  // namespace quillmere::tindral
