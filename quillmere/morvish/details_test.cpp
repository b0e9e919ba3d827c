#include "quillmere/morvish/details.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace quillmere::morvish;
using quillmere::parse_json;
namespace json = boost::json;

TEST(ExtractBrandIdsAndCategoryIds, JoinsCategoriesFirstThenBrands) {
    struct Case {
        const char* data;
        std::pair<std::string, std::string> expected;
    };
    const Case cases[] = {
        {"[]", {"", ""}},
        {R"([{"BrandID": 13, "CategoryID": 7}, {"BrandID": "x1", "CategoryID": 8}])", {"7,8", "13,x1"}},
        {R"([{"BrandID": 5, "CategoryID": 1}, {"BrandID": 5, "CategoryID": 1}])", {"1,1", "5,5"}},
        {R"([{"BrandID": "", "CategoryID": -3}, {"BrandID": "b", "CategoryID": ""}, {"BrandID": "", "CategoryID": 9}])",
         {"-3,,9", ",b,"}},
        {R"([{"CategoryID": 2.0, "BrandID": null}, {"CategoryID": true, "BrandID": 18446744073709551615}])",
         {"2.0,True", "None,18446744073709551615"}},
    };
    for (const auto& c : cases) EXPECT_EQ(extract_brand_ids_and_category_ids(parse_json(c.data)), c.expected) << c.data;
}

TEST(ExtractBrandIdsAndCategoryIds, RejectsBadInputWithoutAPartialResult) {
    EXPECT_THROW(extract_brand_ids_and_category_ids(json::value(nullptr)), quillmere::TypeError);
    EXPECT_THROW(extract_brand_ids_and_category_ids(parse_json(R"({"BrandID": 1})")), quillmere::TypeError);
    EXPECT_THROW(extract_brand_ids_and_category_ids(parse_json(R"([{"BrandID": 1, "CategoryID": 2}, [1]])")),
                 quillmere::TypeError);
    try {
        extract_brand_ids_and_category_ids(parse_json(R"([{"BrandID": 1, "CategoryID": 2}, {"CategoryID": 3}])"));
        FAIL() << "no error";
    } catch (const quillmere::KeyError& e) {
        EXPECT_EQ(e.key(), "BrandID");
    }
    try {
        // Brand ids are read over every entry before category ids.
        extract_brand_ids_and_category_ids(parse_json(R"([{"BrandID": 1}, {"CategoryID": 3}])"));
        FAIL() << "no error";
    } catch (const quillmere::KeyError& e) {
        EXPECT_EQ(e.key(), "BrandID");
    }
    try {
        extract_brand_ids_and_category_ids(parse_json(R"([{"BrandID": 1}, {"BrandID": 2, "CategoryID": 3}])"));
        FAIL() << "no error";
    } catch (const quillmere::KeyError& e) {
        EXPECT_EQ(e.key(), "CategoryID");
    }
    try {
        extract_brand_ids_and_category_ids(json::value("x"));
        FAIL() << "no error";
    } catch (const quillmere::TypeError& e) {
        EXPECT_NE(std::string(e.what()).find("data"), std::string::npos) << e.what();
    }
}

TEST(ExtractingCommonDetails, CopiesTheSettingInAFixedOrder) {
    auto setting = parse_json(R"({"AuthorName": "Author", "ScreenName": "screen", "ProfilePic": null,
        "InstagramGraphApiID": 17841400000000000, "AccountID": 12, "BrandName": "Brand", "BrandID": 7,
        "CategoryName": "Cat", "CategoryID": 3.5, "Other": 1})");
    const auto before = quillmere::UtcClock::now();
    json::object details = extracting_common_details(setting, json::value(29), json::value("g"));
    const auto after = quillmere::UtcClock::now();

    const std::vector<std::string> order{"in_time",          "channel_group_id", "channel_type",     "category_id",
                                         "category_name",    "brand_id",         "brand_name",       "setting_id",
                                         "author_social_id", "user_profile_pic", "author_user_name", "m_author_name"};
    std::vector<std::string> keys;
    for (const auto& m : details) keys.emplace_back(m.key());
    EXPECT_EQ(keys, order);
    json::object rest = details;
    rest.erase("in_time");
    EXPECT_EQ(json::value(rest), parse_json(R"({"channel_group_id": "g", "channel_type": 29, "category_id": 3.5,
        "category_name": "Cat", "brand_id": 7, "brand_name": "Brand", "setting_id": 12,
        "author_social_id": 17841400000000000, "user_profile_pic": null, "author_user_name": "screen",
        "m_author_name": "Author"})"));

    const std::string in_time(details.at("in_time").as_string());
    ASSERT_TRUE(std::regex_match(in_time, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})"))) << in_time;
    const auto low = quillmere::format_utc(before, "%Y-%m-%dT%H:%M:%S");
    const auto high = quillmere::format_utc(after, "%Y-%m-%dT%H:%M:%S");
    EXPECT_TRUE(low <= in_time && in_time <= high) << low << " " << in_time << " " << high;
}

TEST(ExtractingCommonDetails, AbsentMembersGiveNullAndNonObjectsFail) {
    json::object details = extracting_common_details(json::object{}, json::value(nullptr), json::array{1});
    EXPECT_EQ(details.size(), 12u);
    EXPECT_EQ(details.at("channel_group_id"), json::array{1});
    EXPECT_TRUE(details.at("channel_type").is_null());
    for (const char* key : {"category_id", "category_name", "brand_id", "brand_name", "setting_id", "author_social_id",
                            "user_profile_pic", "author_user_name", "m_author_name"}) {
        EXPECT_TRUE(details.at(key).is_null()) << key;
    }
    EXPECT_EQ(details.at("in_time").as_string().size(), 19u);
    EXPECT_THROW(extracting_common_details(json::value(nullptr), 1, 2), quillmere::TypeError);
    EXPECT_THROW(extracting_common_details(json::array{}, 1, 2), quillmere::TypeError);
}

}  // namespace
