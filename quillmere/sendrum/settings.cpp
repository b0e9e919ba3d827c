#include "quillmere/sendrum/settings.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/internal/arguments.hpp"
#include "quillmere/common/value.hpp"

#include <cmath>

namespace quillmere::sendrum {
namespace {

const json::object& setting_object(const json::value& setting) {
    if (!setting.is_object())
        throw TypeError("each setting must be a dict, not '" + std::string(kind_name(setting)) + "'");
    return setting.get_object();
}

void require_no_container_key(const json::value& key_value, std::string_view what) {
    if (key_value.is_array() || key_value.is_object())
        throw TypeError("unhashable type: '" + std::string(kind_name(key_value)) + "' cannot be " + std::string(what));
}

}  // namespace

LookupTable::Key LookupTable::canonical(const json::value& v) {
    switch (v.kind()) {
        case json::kind::string:
            return std::string(v.get_string());
        case json::kind::bool_:
            return std::int64_t{v.get_bool() ? 1 : 0};
        case json::kind::int64:
            return v.get_int64();
        case json::kind::uint64:
            if (v.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX))
                return static_cast<std::int64_t>(v.get_uint64());
            return v.get_uint64();
        case json::kind::double_: {
            double d = v.get_double();
            if (d == std::trunc(d)) {  // integral (false for NaN and the infinities)
                if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) return static_cast<std::int64_t>(d);
                if (d >= 0 && d < 18446744073709551616.0) return static_cast<std::uint64_t>(d);
            }
            return d;
        }
        default:
            break;
    }
    throw TypeError("a lookup key must be a scalar, not '" + std::string(kind_name(v)) + "'");
}

void LookupTable::add(const json::value& key_value, const json::value& setting) {
    require_no_container_key(key_value, "a lookup key");
    if (key_value.is_null()) throw TypeError("a lookup key must not be null");
    auto [it, inserted] = index_.try_emplace(canonical(key_value), entries_.size());
    if (inserted) entries_.push_back(Entry{key_value, json::array{}});
    entries_[it->second].settings.push_back(setting);
}

const json::array* LookupTable::find(const json::value& key_value) const {
    require_no_container_key(key_value, "looked up");
    if (key_value.is_null()) return nullptr;
    auto it = index_.find(canonical(key_value));
    return it == index_.end() ? nullptr : &entries_[it->second].settings;
}

LookupTable build_single_key_lookup_table(const json::value& settings, const json::value& key_field) {
    require_kind(settings, ArgKind::array, "settings");
    require_kind(key_field, ArgKind::string, "key_field");
    const json::string_view field = key_field.get_string();
    LookupTable table;
    for (const json::value& setting : settings.get_array()) {
        const json::value& key_value = get_or(setting_object(setting), field, null_value());
        if (key_value.is_null()) continue;
        table.add(key_value, setting);
    }
    return table;
}

const json::array* get_setting_by_single_key(const LookupTable& lookup_table, const json::value& key_value) {
    return lookup_table.find(key_value);
}

json::array extract_required_fields(const json::value& settings, const json::value& required_fields) {
    require_kind(settings, ArgKind::array, "settings");
    require_kind(required_fields, ArgKind::array, "required_fields");
    for (const json::value& name : required_fields.get_array())
        if (!name.is_string())
            throw TypeError("required_fields must hold member names (str), not '" + std::string(kind_name(name)) + "'");
    json::array result;
    result.reserve(settings.get_array().size());
    for (const json::value& setting : settings.get_array()) {
        const json::object& s = setting_object(setting);
        json::object out;
        for (const json::value& name : required_fields.get_array())
            out.emplace(name.get_string(), get_or(s, name.get_string(), null_value()));  // first place wins
        result.emplace_back(std::move(out));
    }
    return result;
}

json::array extract_required_fields_v2(const json::value& settings, const json::value& field_mapping) {
    require_kind(settings, ArgKind::array, "settings");
    require_kind(field_mapping, ArgKind::object, "field_mapping");
    for (const auto& m : field_mapping.get_object())
        if (!m.value().is_string())
            throw TypeError("field_mapping must map output names to member names (str), not '" +
                            std::string(kind_name(m.value())) + "'");
    json::array result;
    result.reserve(settings.get_array().size());
    for (const json::value& setting : settings.get_array()) {
        const json::object& s = setting_object(setting);
        json::object out;
        out.reserve(field_mapping.get_object().size());
        for (const auto& m : field_mapping.get_object())
            out.emplace(m.key(), get_or(s, m.value().get_string(), null_value()));
        result.emplace_back(std::move(out));
    }
    return result;
}

}  // namespace quillmere::sendrum
