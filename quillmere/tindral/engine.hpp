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

#include "quillmere/tindral/export.hpp"
#include "quillmere/tindral/rules.hpp"

#include <boost/json/object.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::tindral {

inline constexpr std::string_view kLoggerName = "quillmere.tindral";

// Applies a rule table. Returns the record, or std::nullopt after logging the error line
// when applying failed. Throws quillmere::TypeError, before any rule runs and without
// logging, when `request` is not an object.
//
// The table is compiled (see CompiledRules) on its first use on each thread and the plan is
// kept while the table stays as it was (same object, same rules); a host that maps many
// requests with one table does better to compile it once itself.
QUILLMERE_TINDRAL_API std::optional<json::object> apply_rules(const RuleTable& rules, const json::value& request);

// Handlers of a rule table given as JSON data, by name.
using HandlerMap = std::map<std::string, Handler, std::less<>>;

namespace detail {
struct Plan;
}

// A rule table compiled for application: target paths split into a fixed record layout,
// key paths split, handlers resolved, the rules that can never write left out. Applying
// it gives exactly what applying the table gives (same record, same member order, same
// RawData text, same error line), with no string search on the record and no copy of a
// value that the record only passes through.
//
//     static const tindral::CompiledRules comment_rules(calvane::rules_obj());
//     std::optional<json::object> record = tindral::apply_rules(comment_rules, request);
//
// A CompiledRules keeps copies of what it needs (the table, or the JSON table and the
// named handlers); it is immutable, cheap to copy (shared), and may be applied from any
// number of threads at once.
class QUILLMERE_TINDRAL_API CompiledRules {
public:
    // A typed table, e.g. calvane::rules_obj().
    explicit CompiledRules(const RuleTable& rules);
    // A table given as JSON data, with its handlers by name, as apply_rules with a
    // HandlerMap (below) takes it. Throws quillmere::TypeError when `rules` is not an
    // object; every other fault of the table is a failure of each application, as there.
    CompiledRules(const json::value& rules, const HandlerMap& handlers);

    // The number of rules of the table.
    std::size_t size() const noexcept;

private:
    friend std::optional<json::object> apply_rules(const CompiledRules&, const json::value&, json::storage_ptr);
    friend bool append_record_json(const CompiledRules&, const json::value&, std::string&);

    std::shared_ptr<const detail::Plan> plan_;
};

// Applies a compiled table; the record is built in `storage` (the default resource when
// null). Same results, failures and error line as apply_rules with the table itself.
QUILLMERE_TINDRAL_API std::optional<json::object> apply_rules(const CompiledRules& rules, const json::value& request,
                                                              json::storage_ptr storage = {});

// Applies a compiled table and appends the record to `out` as compact JSON text, byte for
// byte what boost::json::serialize gives for the record apply_rules returns, without
// building the record. Returns false after logging the error line, with `out` unchanged,
// when applying failed. Throws quillmere::TypeError, before any rule runs and without
// logging, when `request` is not an object.
QUILLMERE_TINDRAL_API bool append_record_json(const CompiledRules& rules, const json::value& request, std::string& out);

// Applies a rule table given as JSON data: an object from target path to rule record,
// each record an object with the optional members "keys", "default_value",
// "handler_function" (null/absent/empty for none, else a handler name looked up in
// `handlers`), "mandatory" and "skip_if_missing"; other members are ignored. Flags and
// keys are tested with the empty-value test. Failures of the table itself (a record that
// is not an object, keys that are not a list of texts, a handler that is not a known
// name) are application failures as above. Throws quillmere::TypeError, before any rule
// runs and without logging, when `rules` or `request` is not an object. The table is
// compiled for each call; CompiledRules compiles it once for many applications.
QUILLMERE_TINDRAL_API std::optional<json::object> apply_rules(const json::value& rules, const json::value& request,
                                                              const HandlerMap& handlers);

// The first non-null value that one of the dotted paths in `keys` reaches in
// `request_data`, or null. Each "."-separated part names a member of an object; a part
// that meets anything but an object (arrays included) ends that path. Returns a reference
// into `request_data` or to a shared null. Throws quillmere::TypeError when `keys` is not
// an array or one of its elements, when reached, is not a text.
QUILLMERE_TINDRAL_API const json::value& get_value_from_keys(const json::value& keys, const json::object& request_data);

}  // namespace quillmere::tindral
