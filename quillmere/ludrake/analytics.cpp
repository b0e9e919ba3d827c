#include "quillmere/ludrake/analytics.hpp"

#include "quillmere/common/errors.hpp"

#include <stdexcept>

namespace quillmere::ludrake {

AnalyticsClient::~AnalyticsClient() = default;

const boost::json::value* ResultRow::find(std::string_view column) const noexcept {
    for (std::size_t i = 0; i < columns_->size(); ++i)
        if ((*columns_)[i] == column) return &(*values_)[i];
    return nullptr;
}

const boost::json::value& ResultRow::get(std::string_view column, const boost::json::value& fallback) const noexcept {
    const boost::json::value* v = find(column);
    return v ? *v : fallback;
}

const boost::json::value& ResultRow::operator[](std::string_view column) const {
    const boost::json::value* v = find(column);
    if (!v) throw KeyError(std::string(column));
    return *v;
}

ResultTable::ResultTable(std::vector<std::string> columns, std::vector<boost::json::array> rows)
    : columns_(std::move(columns)), rows_(std::move(rows)) {
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].size() != columns_.size())
            throw std::invalid_argument("result row " + std::to_string(i) + " has " + std::to_string(rows_[i].size()) +
                                        " values for " + std::to_string(columns_.size()) + " columns");
}

}  // namespace quillmere::ludrake
