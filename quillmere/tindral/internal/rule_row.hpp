#pragma once
// One row of a built-in rule table, written in the columns of the table it comes from:
//
//   row("RawData.Url", {"permalink"}, "", comment_url_creator, "url", true, false),
//   row("RawData.Lang", {}, "", kNoHandler, kNoColumn, false, true),
//
// target, keys, default value, handler, analytics column, mandatory, skip_if_missing.
// A table is a RuleTable listing its rows, so its size is the number of rows written.

#include "quillmere/tindral/rules.hpp"

#include <boost/json/array.hpp>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillmere::tindral {

// The handler column of a row without handler.
inline const Handler kNoHandler;
// The column of a row that names no analytics column.
inline constexpr std::nullopt_t kNoColumn = std::nullopt;

inline std::pair<std::string, Rule> row(std::string_view target, std::initializer_list<std::string_view> keys,
                                        json::value default_value, Handler handler,
                                        std::optional<std::string_view> column, bool mandatory, bool skip_if_missing) {
    json::array paths;
    paths.reserve(keys.size());
    for (std::string_view key : keys) paths.emplace_back(key);
    Rule rule{std::move(paths), std::move(default_value), std::move(handler), std::nullopt, mandatory, skip_if_missing};
    if (column) rule.clickhouse_column_name.emplace(*column);
    return {std::string(target), std::move(rule)};
}

}  // namespace quillmere::tindral
