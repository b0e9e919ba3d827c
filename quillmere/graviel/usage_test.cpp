// Reading the usage headers of the Graph API; the client's use of them is tested against
// the fake Graph API in tests/graph_api.

#include "quillmere/graviel/usage.hpp"

#include <gtest/gtest.h>

namespace {

using namespace quillmere::graviel;

TEST(AppUsageHeader, FiguresOrNothing) {
    struct Case {
        const char* text;
        std::optional<AppUsage> expected;
    };
    const Case cases[] = {
        {R"({"call_count":28,"total_time":25,"total_cputime":12})", AppUsage{28, 12, 25}},
        {R"( {"call_count": 101, "extra": [1], "total_cputime": 0} )", AppUsage{101, 0, 0}},
        {R"({})", AppUsage{}},
        // Wrong kinds read as 0; numbers as text, fractions and huge values are read.
        {R"({"call_count":"7","total_cputime":2.9,"total_time":null})", AppUsage{7, 2, 0}},
        {R"({"call_count":1e300,"total_cputime":18446744073709551615,"total_time":-1e300})",
         AppUsage{INT64_MAX, INT64_MAX, INT64_MIN}},
        {R"({"call_count":"99999999999999999999","total_cputime":"x","total_time":true})", AppUsage{INT64_MAX, 0, 0}},
        // Not an object: nothing.
        {"", std::nullopt},
        {"28", std::nullopt},
        {R"([{"call_count":1}])", std::nullopt},
        {R"({"call_count":1)", std::nullopt},
        {"call_count=1", std::nullopt},
        {R"({"a":[[[[[[[[[[[[1]]]]]]]]]]]]})", std::nullopt},  // deeper than any usage header
    };
    for (const auto& c : cases) EXPECT_EQ(parse_app_usage(c.text), c.expected) << c.text;
}

TEST(BusinessUseCaseUsageHeader, EntriesPerBusinessId) {
    const auto parsed = parse_business_use_case_usage(
        R"({"1784140":[{"type":"instagram","call_count":4,"total_cputime":3,"total_time":2,)"
        R"("estimated_time_to_regain_access":0},{"type":"pages","call_count":100,"total_cputime":1,)"
        R"("total_time":1,"estimated_time_to_regain_access":15}],"99":[],"bad":{"type":"x"},)"
        R"("mixed":[7,{"call_count":"5"},{"type":3,"estimated_time_to_regain_access":2.5}]})");
    ASSERT_TRUE(parsed);
    const BusinessUsageMap expected = {
        {"1784140", {{"instagram", 4, 3, 2, 0}, {"pages", 100, 1, 1, 15}}},
        {"99", {}},
        {"mixed", {{"", 5, 0, 0, 0}, {"", 0, 0, 0, 2}}},
    };
    EXPECT_EQ(*parsed, expected);
    for (const char* text : {"", "[]", "{", "null", R"("{}")"}) {
        EXPECT_EQ(parse_business_use_case_usage(text), std::nullopt) << text;
    }
    EXPECT_EQ(parse_business_use_case_usage("{}"), BusinessUsageMap{});
}

}  // namespace
