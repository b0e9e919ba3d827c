#include "quillmere/ludrake/analytics.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"

#include <gtest/gtest.h>

namespace quillmere::ludrake {
namespace {

TEST(ResultTable, RowsAndColumnsInOrder) {
    ResultTable t({"a", "b"}, {boost::json::array{1, "x"}, boost::json::array{nullptr, 2.5}});
    EXPECT_FALSE(t.empty());
    std::string seen;
    for (const auto& [index, row] : t.iterrows()) {
        seen += std::to_string(index) + ":";
        for (const auto& [column, value] : row.items()) seen += std::string(column) + "=" + to_json_text(value) + ",";
        seen += " ";
    }
    EXPECT_EQ(seen, "0:a=1,b=\"x\", 1:a=null,b=2.5, ");
    ResultRow r = t.row(1);
    EXPECT_EQ(to_json_text(r["b"]), "2.5");
    EXPECT_TRUE(r["a"].is_null());
    boost::json::value fallback = "d";
    EXPECT_EQ(&r.get("c", fallback), &fallback);
    EXPECT_TRUE(r.get("a", fallback).is_null());  // present and null stays null
    try {
        (void)r["c"];
        ADD_FAILURE();
    } catch (const KeyError& e) {
        EXPECT_EQ(e.key(), "c");
    }
}

TEST(ResultTable, EmptyAndMalformed) {
    EXPECT_TRUE(ResultTable().empty());
    EXPECT_TRUE(ResultTable({"a"}, {}).empty());
    EXPECT_THROW(ResultTable({"a", "b"}, {boost::json::array{1}}), std::invalid_argument);
}

}  // namespace
}  // namespace quillmere::ludrake
