#include "quillmere/morvish/field_helpers.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace quillmere::morvish {
namespace {

json::object obj(std::string_view text) { return parse_json(text).as_object(); }

TEST(FieldHelpers, DataOrEmpty) {
    EXPECT_TRUE(data_or_empty(nullptr).empty());
    json::value data = parse_json(R"({"a": 1})");
    EXPECT_EQ(&data_or_empty(&data), &data.get_object());
    for (const char* bad : {"null", "[]", "\"x\"", "3"}) {
        json::value v = parse_json(bad);
        EXPECT_THROW(data_or_empty(&v), TypeError) << bad;
    }
}

TEST(FieldHelpers, RequiredDataNamesTheHandler) {
    try {
        required_data(nullptr, "post_type_handler");
        FAIL() << "no error";
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), "post_type_handler() missing required argument: 'data'");
    }
    json::value null;
    EXPECT_THROW(required_data(&null, "url_handler"), TypeError);
    json::value data = parse_json("{}");
    EXPECT_EQ(&required_data(&data, "url_handler"), &data.get_object());
}

TEST(FieldHelpers, FlagSet) {
    struct Case {
        const char* data;
        bool set;
    };
    const Case cases[] = {
        {R"({})", false},         {R"({"f": null})", false}, {R"({"f": false})", false},   {R"({"f": 0})", false},
        {R"({"f": 0.0})", false}, {R"({"f": ""})", false},   {R"({"f": []})", false},      {R"({"f": {}})", false},
        {R"({"f": true})", true}, {R"({"f": 1})", true},     {R"({"f": -1})", true},       {R"({"f": "yes"})", true},
        {R"({"f": "0"})", true},  {R"({"f": [0]})", true},   {R"({"f": {"a": 0}})", true}, {R"({"g": true})", false},
    };
    for (const auto& c : cases) EXPECT_EQ(flag_set(obj(c.data), "f"), c.set) << c.data;
}

TEST(FieldHelpers, IdOrZero) {
    for (const char* empty : {"null", "false", "0", "\"\"", "[]", "{}", "0.0"})
        EXPECT_EQ(id_or_zero(parse_json(empty)), json::value(0)) << empty;
    for (const char* kept : {"\"0\"", "42", "\" 7 \"", "true"}) {
        json::value v = parse_json(kept);
        EXPECT_EQ(&id_or_zero(v), &v) << kept;
    }
}

TEST(FieldHelpers, SameAccountId) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        {"\"42\"", "42", true},
        {"\" 12 \"", "\"12\"", true},
        {"0", "0", true},
        {"\"+5\"", "5", true},
        {"\"-5\"", "-5", true},
        {"41", "42", false},
        {"true", "1", true},
        {"12.9", "12", true},
        {"\"17841400000000001\"", "17841400000000001", true},
        {"\"17841400000000001\"", "17841400000000002", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(same_account_id(parse_json(c.a), parse_json(c.b)), c.equal) << c.a << " " << c.b;
    // Malformed ids fail; the first argument is converted first.
    EXPECT_THROW(same_account_id(parse_json("\"\""), parse_json("1")), ValueError);
    EXPECT_THROW(same_account_id(parse_json("\"12.0\""), parse_json("12")), ValueError);
    EXPECT_THROW(same_account_id(parse_json("null"), parse_json("1")), TypeError);
    EXPECT_THROW(same_account_id(parse_json("1"), parse_json("[1]")), TypeError);
    EXPECT_THROW(same_account_id(parse_json("null"), parse_json("\"abc\"")), TypeError);
}

TEST(FieldHelpers, FlattenDescription) {
    struct Case {
        json::value in;
        std::string out;
    };
    const Case cases[] = {
        {nullptr, ""},
        {false, ""},
        {0, ""},
        {json::array(), ""},
        {json::object(), ""},
        {"", ""},
        {"a\r\nb", "a  b"},
        {"a\n\nb\rc", "a  b c"},
        {"  keep  blanks \t", "  keep  blanks \t"},
        {"line\n", "line "},
        {"caf\xc3\xa9\n\xf0\x9f\x98\x80", "caf\xc3\xa9 \xf0\x9f\x98\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(flatten_description(c.in), c.out) << c.in;
    for (json::value bad :
         {json::value(5), json::value(true), json::value(1.5), parse_json("[\"a\"]"), parse_json("{\"a\": 1}")})
        EXPECT_THROW(flatten_description(bad), TypeError) << bad;
}

TEST(FieldHelpers, InstaPostChannelType) {
    struct Case {
        const char* data;
        std::optional<std::int64_t> type;
    };
    const Case cases[] = {
        {R"({})", std::nullopt},
        {R"({"is_for_stories": true})", std::nullopt},
        {R"({"is_brand_post": 1})", 1},
        {R"({"is_brand_post": true, "is_for_stories": "yes"})", 4},
        {R"({"is_brand_post": true, "is_for_stories": 0})", 1},
        {R"({"is_brand_post": true, "is_mention_post": true, "is_stories_mention": true})", 1},
        {R"({"is_mention_post": true, "is_stories_mention": true})", 2},
        {R"({"is_stories_mention": true})", 11},
        {R"({"is_for_stories": true, "is_stories_mention": true})", 11},
        {R"({"is_brand_post": "", "is_mention_post": [], "is_stories_mention": {}})", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(insta_post_channel_type(obj(c.data)), c.type) << c.data;
}

TEST(FieldHelpers, ProfileUserName) {
    struct Case {
        const char* data;
        json::value name;
    };
    const Case cases[] = {
        {R"({"comment_username": "c", "post_username": "p"})", "c"},
        {R"({"comment_username": "", "post_username": "p"})", "p"},
        {R"({"comment_username": null, "post_username": "p"})", "p"},
        {R"({"post_username": 0})", 0},
        {R"({"username": "u"})", nullptr},
        {R"({})", nullptr},
    };
    for (const auto& c : cases) EXPECT_EQ(profile_user_name(obj(c.data), "post_username"), c.name) << c.data;
    EXPECT_EQ(profile_user_name(obj(R"({"username": "u"})"), "username"), json::value("u"));
}

TEST(FieldHelpers, GraphApiUtcNow) {
    std::string now = graph_api_utc_now();
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+0000)"))) << now;
}

}  // namespace
}  // namespace quillmere::morvish
