#pragma once
// The brand settings of the host: a JSON file holding an array of brand settings, indexed
// once by "InstagramGraphApiID" and looked up per item by the account id of the
// delivery's entry.
//
//   auto settings = quillmere::host::BrandSettings::load("brands.json");  // ConfigError
//   if (const boost::json::array* found = settings.find(item.account_id)) { ... }

#include "quillmere/sendrum/settings.hpp"

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <filesystem>
#include <memory>

namespace quillmere::host {

// The member the settings are indexed by.
inline constexpr const char* kAccountKeyMember = "InstagramGraphApiID";

class BrandSettings {
public:
    // No settings: every look-up finds nothing.
    BrandSettings();
    // Indexes `settings`, an array of brand settings (objects). Throws ConfigError naming
    // "settings.file" when it is not an array of objects, or when a setting's
    // "InstagramGraphApiID" is an array or an object.
    explicit BrandSettings(const boost::json::value& settings);
    // Reads and indexes the file. Throws ConfigError naming "settings.file" and the file
    // when it cannot be read or is not such an array.
    static BrandSettings load(const std::filesystem::path& file);

    // The settings of an account, in file order, or nullptr when there are none. Webhooks
    // write account ids as text ("17841400000000001") and hand-written settings files
    // often as numbers: an id given as decimal text also finds settings indexed under the
    // same integer, and an integer id those indexed under its decimal text. Any other
    // id (null, an array, an object) finds nothing.
    const boost::json::array* find(const boost::json::value& account_id) const;

    // Number of settings read, and of distinct accounts indexed.
    std::size_t size() const noexcept { return count_; }
    std::size_t accounts() const noexcept { return table_->size(); }

private:
    std::shared_ptr<const sendrum::LookupTable> table_;
    std::size_t count_ = 0;
};

}  // namespace quillmere::host
