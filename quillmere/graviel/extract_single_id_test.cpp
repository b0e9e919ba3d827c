#include "quillmere/graviel/extract_single_id.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <gtest/gtest.h>

namespace {

using quillmere::parse_json;
using quillmere::graviel::extract_single_id;

TEST(ExtractSingleId, FindsTheFirstIdInDocumentOrder) {
    struct Case {
        const char* data;
        const char* expected;
    };
    const Case cases[] = {
        {R"({"entry": [{"changes": [{"value": {"id": "42"}}]}], "id": "1"})", R"("42")"},
        {R"({"id": null, "x": {"id": "7"}})", "null"},
        {R"({"x": {"id": ""}, "id": "9"})", R"("9")"},
        {R"({"id": "", "x": {"id": "7"}})", R"("")"},
        {R"({"x": {"id": 0}, "y": [{"id": false}], "id": 5})", "5"},
        {R"({"a": [[], {"b": {"id": {"deep": 1}}}], "id": "later"})", R"({"deep": 1})"},
        {R"([{"x": 1}, "id", {"id": "3"}, {"id": "4"}])", R"("3")"},
        {R"({"a": {"x": "no id"}, "b": "id"})", "null"},
        {"[]", "null"},
        {R"("id")", "null"},
        {"{}", "null"},
        {"12", "null"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(extract_single_id(parse_json(c.data)), parse_json(c.expected)) << c.data;
    }
}

TEST(ExtractSingleId, RejectsValuesNestedBeyondTheParseLimit) {
    boost::json::value v = boost::json::object{{"id", "bottom"}};
    for (std::size_t i = 0; i < quillmere::kMaxJsonDepth + 1; ++i) v = boost::json::array{v};
    EXPECT_THROW(extract_single_id(v), quillmere::ValueError);
}

}  // namespace
