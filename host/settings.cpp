#include "host/settings.hpp"

#include "host/config.hpp"
#include "quillmere/common/decode.hpp"

#include <boost/json/string.hpp>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace quillmere::host {
namespace json = boost::json;

BrandSettings::BrandSettings() : table_(std::make_shared<sendrum::LookupTable>()) {}

BrandSettings::BrandSettings(const json::value& settings) {
    const json::array* list = settings.if_array();
    if (!list) throw ConfigError("settings.file: the brand settings must be a JSON array of objects");
    for (std::size_t i = 0; i < list->size(); ++i)
        if (!(*list)[i].is_object())
            throw ConfigError("settings.file: brand setting " + std::to_string(i) + " is not an object");
    try {
        table_ = std::make_shared<sendrum::LookupTable>(
            sendrum::build_single_key_lookup_table(settings, json::value(kAccountKeyMember)));
    } catch (const std::exception& e) {
        throw ConfigError(std::string("settings.file: ") + kAccountKeyMember +
                          " cannot index the settings: " + e.what());
    }
    count_ = list->size();
}

BrandSettings BrandSettings::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ConfigError("settings.file: cannot read " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw ConfigError("settings.file: cannot read " + file.string());
    json::value parsed;
    try {
        parsed = decode_json_text(text.str());
    } catch (const std::exception& e) {
        throw ConfigError("settings.file: " + file.string() + ": " + e.what());
    }
    try {
        return BrandSettings(parsed);
    } catch (const ConfigError& e) {
        std::string message = e.what();
        message.insert(std::string_view("settings.file: ").size(), file.string() + ": ");
        throw ConfigError(message);
    }
}

namespace {

// The same id in its other JSON form: decimal text for an integer, the integer for text
// that is exactly a decimal integer (no blanks, no sign other than a leading minus).
json::value other_form(const json::value& id) {
    if (id.is_int64()) return json::value(std::to_string(id.get_int64()));
    if (id.is_uint64()) return json::value(std::to_string(id.get_uint64()));
    if (const json::string* s = id.if_string()) {
        const char* first = s->data();
        const char* last = first + s->size();
        if (first == last) return nullptr;
        const char* digits = *first == '-' ? first + 1 : first;
        if (last - digits > 1 && *digits == '0') return nullptr;  // "017" is not the id 17
        if (*first == '-') {
            std::int64_t v = 0;
            auto [p, ec] = std::from_chars(first, last, v);
            if (ec == std::errc() && p == last) return json::value(v);
        } else {
            std::uint64_t v = 0;
            auto [p, ec] = std::from_chars(first, last, v);
            if (ec == std::errc() && p == last) return json::value(v);
        }
    }
    return nullptr;
}

}  // namespace

const json::array* BrandSettings::find(const json::value& account_id) const {
    if (account_id.is_null() || account_id.is_array() || account_id.is_object()) return nullptr;
    if (const json::array* found = sendrum::get_setting_by_single_key(*table_, account_id)) return found;
    json::value other = other_form(account_id);
    if (other.is_null()) return nullptr;
    return sendrum::get_setting_by_single_key(*table_, other);
}

}  // namespace quillmere::host
