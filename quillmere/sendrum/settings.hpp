#pragma once
// Brand settings: an index by the value of one member, the look-up in it, and the two
// projections that reduce each setting to the members a consumer needs. Synchronous,
// no state between calls, nothing logged; every failure goes to the caller.

#include "quillmere/sendrum/export.hpp"

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

namespace quillmere::sendrum {

// Settings indexed by the value of one member. Key values are non-null scalars; strings
// compare by their characters, numbers by numeric value (7 and 7.0 are one key, and so
// are true and 1), and a string never equals a number. Keys keep the order of their first
// appearance; each array keeps the settings in input order.
class QUILLMERE_SENDRUM_API LookupTable {
public:
    struct Entry {
        boost::json::value key;  // the value as it first appeared
        boost::json::array settings;
    };

    // The settings stored under `key_value`, or nullptr when there are none. The stored
    // array itself, read-only. Throws TypeError for an array or object key.
    const boost::json::array* find(const boost::json::value& key_value) const;

    const std::vector<Entry>& entries() const noexcept { return entries_; }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    // Appends `setting` under `key_value` (not null, not an array or object).
    void add(const boost::json::value& key_value, const boost::json::value& setting);

private:
    // Canonical form of a key value: numbers that are equal map to the same alternative.
    using Key = std::variant<std::string, std::int64_t, std::uint64_t, double>;
    static Key canonical(const boost::json::value& key_value);

    std::vector<Entry> entries_;
    std::unordered_map<Key, std::size_t> index_;
};

// Indexes `settings` (an array of objects) by their member `key_field` (a string).
// Settings whose member is absent or null are left out; 0, false and "" are keys.
QUILLMERE_SENDRUM_API LookupTable build_single_key_lookup_table(const boost::json::value& settings,
                                                                const boost::json::value& key_field);

// The array stored under `key_value`, or nullptr when there is none.
QUILLMERE_SENDRUM_API const boost::json::array* get_setting_by_single_key(const LookupTable& lookup_table,
                                                                          const boost::json::value& key_value);

// One object per setting with the members named by `required_fields` (an array of
// strings), in that order; a member the setting lacks is null. A repeated name gives one
// member, at its first place.
QUILLMERE_SENDRUM_API boost::json::array extract_required_fields(const boost::json::value& settings,
                                                                 const boost::json::value& required_fields);

// One object per setting with one member per member of `field_mapping` (output name ->
// setting member name), in the mapping's order; a member the setting lacks is null.
QUILLMERE_SENDRUM_API boost::json::array extract_required_fields_v2(const boost::json::value& settings,
                                                                    const boost::json::value& field_mapping);

}  // namespace quillmere::sendrum
