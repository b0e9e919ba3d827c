#pragma once
// The host's analytics-database client (ClickHouse): run one query, then take its result
// as a table. Both calls are synchronous and made back to back.

#include "quillmere/ludrake/export.hpp"

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere::ludrake {

// The values make(0) ... make(n - 1) as a range for range-for loops. (Hand-written rather
// than std::views::iota | transform so the header also compiles with clang and libstdc++ 12.)
template <class Make>
class IndexedRange {
public:
    IndexedRange(std::size_t n, Make make) : n_(n), make_(std::move(make)) {}

    class iterator {
    public:
        using difference_type = std::ptrdiff_t;
        using value_type = decltype(std::declval<const Make&>()(std::size_t{0}));
        iterator() = default;
        iterator(const IndexedRange* range, std::size_t i) : range_(range), i_(i) {}
        value_type operator*() const { return range_->make_(i_); }
        iterator& operator++() {
            ++i_;
            return *this;
        }
        iterator operator++(int) {
            auto old = *this;
            ++i_;
            return old;
        }
        bool operator==(const iterator& other) const { return i_ == other.i_; }

    private:
        const IndexedRange* range_ = nullptr;
        std::size_t i_ = 0;
    };

    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, n_); }
    std::size_t size() const noexcept { return n_; }

private:
    std::size_t n_;
    Make make_;
};

// One row of a result table: column names to values, in column order. A view into its
// table, valid while the table lives.
class QUILLMERE_LUDRAKE_API ResultRow {
public:
    ResultRow(const std::vector<std::string>& columns, const boost::json::array& values) noexcept
        : columns_(&columns), values_(&values) {}

    // The value of `column`, or `fallback` when the row has no such column.
    const boost::json::value& get(std::string_view column, const boost::json::value& fallback) const noexcept;
    // The value of `column`; a KeyError naming it when the row has no such column.
    const boost::json::value& operator[](std::string_view column) const;
    bool contains(std::string_view column) const noexcept { return find(column) != nullptr; }

    // (column name, value) pairs in column order.
    auto items() const {
        return IndexedRange(values_->size(), [columns = columns_, values = values_](std::size_t i) {
            return std::pair<std::string_view, const boost::json::value&>((*columns)[i], (*values)[i]);
        });
    }
    std::size_t size() const noexcept { return values_->size(); }

private:
    const boost::json::value* find(std::string_view column) const noexcept;
    const std::vector<std::string>* columns_;
    const boost::json::array* values_;
};

// The result of one query: named columns and rows of values in result order, each value
// of the kind the database reports (integers, floats, strings, null, arrays).
class QUILLMERE_LUDRAKE_API ResultTable {
public:
    ResultTable() = default;
    // Every row must have one value per column (std::invalid_argument otherwise).
    ResultTable(std::vector<std::string> columns, std::vector<boost::json::array> rows);

    // True when the table has no rows (or no columns).
    bool empty() const noexcept { return rows_.empty() || columns_.empty(); }
    std::size_t size() const noexcept { return rows_.size(); }
    const std::vector<std::string>& columns() const noexcept { return columns_; }
    ResultRow row(std::size_t i) const { return ResultRow(columns_, rows_.at(i)); }

    // (row index, row) pairs in result order. The rows are views into this table, so a
    // temporary table cannot be iterated (keep the result of fetch_df first).
    auto iterrows() const& {
        return IndexedRange(rows_.size(),
                            [this](std::size_t i) { return std::pair<std::size_t, ResultRow>(i, row(i)); });
    }
    void iterrows() const&& = delete;

private:
    std::vector<std::string> columns_;
    std::vector<boost::json::array> rows_;
};

class QUILLMERE_LUDRAKE_API AnalyticsClient {
public:
    virtual ~AnalyticsClient();
    // Runs `query` exactly as given. Failures (connection, database errors) are thrown.
    virtual void execute(std::string_view query) = 0;
    // The result of the query that execute has just run on the calling thread.
    virtual ResultTable fetch_df() = 0;
};

}  // namespace quillmere::ludrake
