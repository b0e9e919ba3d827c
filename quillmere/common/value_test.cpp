#include "quillmere/common/value.hpp"
#include "quillmere/common/errors.hpp"

#include <gtest/gtest.h>

namespace qm = quillmere;
namespace json = boost::json;

namespace {

TEST(Value, EmptyTest) {
    for (const char* text : {"null", "false", "0", "0.0", "-0.0", "\"\"", "[]", "{}"})
        EXPECT_TRUE(qm::is_empty(qm::parse_json(text))) << text;
    for (const char* text : {"true", "1", "-1", "0.5", "\" \"", "\"0\"", "[0]", "{\"a\":null}", "18446744073709551615"})
        EXPECT_FALSE(qm::is_empty(qm::parse_json(text))) << text;
}

TEST(Value, IntegerConversion) {
    struct Case {
        const char* in;
        std::int64_t out;
    };
    const Case cases[] = {
        {"42", 42},
        {"-7", -7},
        {"true", 1},
        {"false", 0},
        {"12.9", 12},
        {"-12.9", -12},
        {"\" 42 \"", 42},
        {"\"+5\"", 5},
        {"\"-0\"", 0},
        {"\"17841400000000001\"", 17841400000000001},
        {"\"\\t9\\n\"", 9},
        {"\"-9223372036854775808\"", INT64_MIN},
        {"9223372036854775807", INT64_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(qm::to_integer(qm::parse_json(c.in)), c.out) << c.in;

    for (const char* text : {"null", "[]", "{}", "[1]"})
        EXPECT_THROW(qm::to_integer(qm::parse_json(text)), qm::TypeError) << text;
    for (const char* text : {"\"\"", "\"12.5\"", "\"abc\"", "\"1 2\"", "\"+\"", "\"0x10\"", "\"9223372036854775808\"",
                             "18446744073709551615", "1e300"})
        EXPECT_THROW(qm::to_integer(qm::parse_json(text)), qm::ValueError) << text;
}

TEST(Value, TextForm) {
    EXPECT_EQ(qm::text_form(json::value(nullptr)), "None");
    EXPECT_EQ(qm::text_form(json::value(true)), "True");
    EXPECT_EQ(qm::text_form(json::value(false)), "False");
    EXPECT_EQ(qm::text_form(json::value(-15)), "-15");
    EXPECT_EQ(qm::text_form(json::value("brand")), "brand");
    EXPECT_EQ(qm::text_form(json::value(2.0)), "2.0");
}

TEST(Value, NumericEquality) {
    EXPECT_TRUE(qm::numeric_equals(json::value(1), 1));
    EXPECT_TRUE(qm::numeric_equals(json::value(1.0), 1));
    EXPECT_TRUE(qm::numeric_equals(json::value(true), 1));
    EXPECT_TRUE(qm::numeric_equals(json::value(false), 0));
    EXPECT_FALSE(qm::numeric_equals(json::value(1.5), 1));
    EXPECT_FALSE(qm::numeric_equals(json::value("1"), 1));
    EXPECT_FALSE(qm::numeric_equals(json::value(nullptr), 0));
    EXPECT_FALSE(qm::numeric_equals(json::value(9007199254740992.0), 9007199254740993));
}

TEST(Value, MemberLookupWithDefault) {
    auto o = qm::parse_json(R"({"a": null, "b": 2})").as_object();
    json::value fallback = "d";
    EXPECT_TRUE(qm::get_or(o, "a", fallback).is_null());
    EXPECT_EQ(qm::get_or(o, "b", fallback), json::value(2));
    EXPECT_EQ(qm::get_or(o, "c", fallback), json::value("d"));
}

TEST(Value, ParserAcceptsDeepBodiesUpToTheLimit) {
    std::string deep(400, '[');
    deep += std::string(400, ']');
    EXPECT_NO_THROW(qm::parse_json(deep));
    std::string too_deep(qm::kMaxJsonDepth + 1, '[');
    too_deep += std::string(qm::kMaxJsonDepth + 1, ']');
    EXPECT_THROW(qm::parse_json(too_deep), boost::system::system_error);
}

}  // namespace
