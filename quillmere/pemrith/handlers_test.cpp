#include "quillmere/pemrith/handlers.hpp"

#include "quillmere/common/clock.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/site.hpp"

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

namespace json = boost::json;
using namespace quillmere::pemrith;
using quillmere::parse_json;

namespace {

const json::value kNull;

json::value obj(const char* text) { return parse_json(text); }

// One case of a handler that reads only the request: data as JSON text, expected result
// as JSON text.
struct DataCase {
    const char* data;
    const char* expected;
};

TEST(CheckIsBrandMention, ReadsIsBrandPostFlag) {
    const std::vector<DataCase> cases = {
        {R"({})", "false"},
        {R"({"is_brand_post": true})", "true"},
        {R"({"is_brand_post": "yes"})", "true"},
        {R"({"is_brand_post": 1.5})", "true"},
        {R"({"is_brand_post": 0})", "false"},
        {R"({"is_brand_post": ""})", "false"},
        {R"({"is_brand_post": null})", "false"},
        {R"({"is_brand_post": []})", "false"},
        // The comment handler's flag does not count here.
        {R"({"is_parent_brand_post": true})", "false"},
    };
    for (const auto& c : cases) {
        json::value data = obj(c.data);
        EXPECT_EQ(check_is_brand_mention(json::value("ignored"), &data), obj(c.expected)) << c.data;
    }
    EXPECT_EQ(check_is_brand_mention(kNull), json::value(false));
    json::value not_object = json::array{1};
    EXPECT_THROW(check_is_brand_mention(kNull, &not_object), quillmere::TypeError);
}

TEST(ConstantHandlers, IgnoreEverything) {
    json::value data = obj(R"({"type_of_comment": 1, "channel_type": 70})");
    for (const json::value& v : {json::value(), json::value(1), json::value("x"), json::value(json::array{})}) {
        EXPECT_EQ(check_type_of_comment_handler(v), json::value(2));
        EXPECT_EQ(check_type_of_comment_handler(v, &data), json::value(2));
        EXPECT_EQ(parent_chanel_handler(v), json::value(20));
        EXPECT_EQ(parent_chanel_handler(v, &data), json::value(20));
    }
}

TEST(UrlHandler, OwnerProfileWhateverTheValue) {
    const std::string root(quillmere::morvish::public_site_root());
    const std::vector<DataCase> cases = {
        {R"({"username": "shop"})", "shop/"},
        {R"({"comment_username": "", "username": "shop"})", "shop/"},
        {R"({"comment_username": null, "username": "shop"})", "shop/"},
        {R"({"comment_username": "fan", "username": "shop"})", "fan/"},
        {R"({"comment_username": 0, "username": 42})", "42/"},
        {R"({"username": null})", "None/"},
        {R"({})", "None/"},
        // The comment handler's second name does not count here.
        {R"({"post_username": "brand"})", "None/"},
    };
    for (const auto& c : cases) {
        json::value data = obj(c.data);
        for (const json::value& v : {json::value(), json::value("x"), obj(R"({"id": "1"})")})
            EXPECT_EQ(url_handler(v, &data), json::value(root + c.expected)) << c.data;
    }
    // The configured root, not a fixed one.
    quillmere::morvish::set_public_site_root("https://social.example.test/");
    json::value data = obj(R"({"username": "shop"})");
    json::value configured = url_handler(kNull, &data);
    quillmere::morvish::set_public_site_root(root);
    EXPECT_EQ(configured, json::value("https://social.example.test/shop/"));

    EXPECT_THROW(url_handler(json::value("x")), quillmere::TypeError);
    EXPECT_THROW(url_handler(json::value("x"), &kNull), quillmere::TypeError);
}

TEST(HandleInstaPostType, FlagsInPrecedenceNullWhenNone) {
    const std::vector<DataCase> cases = {
        {R"({})", "null"},
        {R"({"is_for_stories": true})", "null"},
        {R"({"is_brand_post": true})", "1"},
        {R"({"is_brand_post": true, "is_for_stories": 1})", "4"},
        {R"({"is_brand_post": 1, "is_mention_post": true, "is_stories_mention": true})", "1"},
        {R"({"is_mention_post": true, "is_stories_mention": true})", "2"},
        {R"({"is_stories_mention": "y"})", "11"},
        {R"({"is_brand_post": 0, "is_for_stories": true, "is_stories_mention": true})", "11"},
        {R"({"is_brand_post": false, "is_mention_post": "", "is_stories_mention": {}})", "null"},
    };
    for (const auto& c : cases) {
        json::value data = obj(c.data);
        EXPECT_EQ(handle_insta_post_type(json::value(1), &data), obj(c.expected)) << c.data;
    }
    EXPECT_EQ(handle_insta_post_type(kNull), json::value());
}

TEST(GetHashtags, ArrayOfRunsOrEmptyText) {
    struct Case {
        json::value text;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {json::value(), R"("")"},
        {json::value(""), R"("")"},
        {json::value(false), R"("")"},
        {json::value(0), R"("")"},
        {json::value(json::array{}), R"("")"},
        {json::value("no tags"), "[]"},
        {json::value("# alone"), "[]"},
        {json::value("Love #summer and #Beach2024!"), R"(["summer", "Beach2024"])"},
        {json::value("##double"), R"(["double"])"},
        {json::value("a#b#c"), R"(["b", "c"])"},
        {json::value("#tag #tag #Tag"), R"(["tag", "tag", "Tag"])"},
        {json::value("#snake_case-word"), R"(["snake_case"])"},
        {json::value("#été #caf\u00e9\u0301s"), R"(["été", "café"])"},
        {json::value("#\u0661\u0662 #\u4e2d\u6587 #Ⅻx"), R"(["١٢", "中文", "Ⅻx"])"},
        {json::value("#it's #a.b #end"), R"(["it", "a", "end"])"},
        {json::value("line\n#one\n#two"), R"(["one", "two"])"},
    };
    for (const auto& c : cases) EXPECT_EQ(get_hashtags(c.text), obj(c.expected)) << json::serialize(c.text);
    EXPECT_THROW(get_hashtags(json::value(5)), quillmere::TypeError);
    EXPECT_THROW(get_hashtags(json::value(json::array{"#a"})), quillmere::TypeError);
}

TEST(HandleMediaType, CodeOfName) {
    EXPECT_EQ(handle_media_type(json::value("CAROUSEL_ALBUM")), json::value(2));
    EXPECT_EQ(handle_media_type(json::value("video")), json::value(3));
    EXPECT_EQ(handle_media_type(json::value("")), json::value(1));
    EXPECT_EQ(handle_media_type(json::value("banner")), json::value(6));
    EXPECT_THROW(handle_media_type(kNull), quillmere::TypeError);
}

TEST(EscapeUrl, FiveCharactersAmpersandFirst) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"", ""},
        {"https://x.test/p?a=1&b=2", "https://x.test/p?a=1&amp;b=2"},
        {R"(say "hi" & <go>)", "say &quot;hi&quot; &amp; &lt;go&gt;"},
        {"it's", "it&#x27;s"},
        {"&amp;", "&amp;amp;"},
        {"plain/path é", "plain/path é"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(escape_url(json::value(in)), out) << in;
    EXPECT_THROW(escape_url(kNull), quillmere::TypeError);
    EXPECT_THROW(escape_url(json::value(5)), quillmere::TypeError);
}

TEST(ParentPostTimeHandler, RewritesGraphApiTimeDroppingOffset) {
    const std::vector<std::pair<const char*, const char*>> ok = {
        {"2024-05-01T10:00:00+0000", "2024-05-01T10:00:00"},     {"2024-05-01T10:00:00+0200", "2024-05-01T10:00:00"},
        {"2024-05-01T23:30:00-0930", "2024-05-01T23:30:00"},     {"2024-5-1T9:00:00Z", "2024-05-01T09:00:00"},
        {"2024-05-01T1:2:3+05:30", "2024-05-01T01:02:03"},       {"2024-05-01T10:00:00+053045", "2024-05-01T10:00:00"},
        {"2024-05-01T10:00:00+05:30:45", "2024-05-01T10:00:00"}, {"2024-02-29T00:00:00+2359", "2024-02-29T00:00:00"},
        {"2000-02-29T23:59:59Z", "2000-02-29T23:59:59"},         {"0001-01-01T00:00:00Z", "0001-01-01T00:00:00"},
    };
    for (const auto& [in, out] : ok) EXPECT_EQ(parent_post_time_handler(json::value(in)), json::value(out)) << in;

    const std::vector<const char*> bad = {
        "2024-05-01T10:00:00",         // no offset
        "2024-05-01T10:00:00.5+0000",  // fraction of a second
        "2024-05-01T10:00:00+0000 ",   // extra character
        " 2024-05-01T10:00:00+0000",   "2024-05-01 10:00:00+0000",     "2024-05-01t10:00:00+0000",
        "2024-05-01T10:00:00z",
        "2024-02-30T10:00:00+0000",  // impossible dates and times
        "2023-02-29T10:00:00+0000",    "1900-02-29T10:00:00+0000",     "0000-01-01T00:00:00Z",
        "2024-13-01T10:00:00+0000",    "2024-00-01T10:00:00+0000",     "2024-05-00T10:00:00+0000",
        "2024-05-01T24:00:00+0000",    "2024-05-01T10:60:00+0000",     "2024-05-01T10:00:60+0000",
        "2024-05-01T10:00:00+2400",  // offset of a day
        "2024-05-01T10:00:00+0060",    "2024-05-01T10:00:00+00",       "2024-05-01T10:00:00+000",
        "2024-05-01T10:00:00+01:0000",  // colon used once only
        "2024-05-01T10:00:00+0100:00", "2024-05-01T10:00:00+010000.5", "24-05-01T10:00:00+0000",
        "20240-05-01T10:00:00+0000",   "2024-005-01T10:00:00+0000",    "",
    };
    for (const char* in : bad) EXPECT_THROW(parent_post_time_handler(json::value(in)), quillmere::ValueError) << in;
    for (const json::value& v : {json::value(false), json::value(1714557600), json::value(json::object{})})
        EXPECT_THROW(parent_post_time_handler(v), quillmere::TypeError) << json::serialize(v);
}

TEST(ParentPostTimeHandler, NullGivesTimeOfMapping) {
    auto before = quillmere::format_utc(quillmere::UtcClock::now(), "%Y-%m-%dT%H:%M:%S");
    json::value v = parent_post_time_handler(kNull);
    auto after = quillmere::format_utc(quillmere::UtcClock::now() + std::chrono::seconds(1), "%Y-%m-%dT%H:%M:%S");
    ASSERT_TRUE(v.is_string());
    std::string s(v.get_string());
    EXPECT_TRUE(std::regex_match(s, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)"))) << s;
    EXPECT_GE(s, before);
    EXPECT_LE(s, after);
}

TEST(UtcTimeToIsoFormat, CurrentTimeWithMicroseconds) {
    const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?)");
    auto before = quillmere::format_utc(quillmere::UtcClock::now(), "%Y-%m-%dT%H:%M:%S");
    json::value a = utc_time_to_iso_format();
    json::value b = utc_time_to_iso_format(json::value("2001-01-01T00:00:00"));
    auto after = quillmere::format_utc(quillmere::UtcClock::now() + std::chrono::seconds(1), "%Y-%m-%dT%H:%M:%S");
    for (const json::value& v : {a, b}) {
        ASSERT_TRUE(v.is_string());
        std::string s(v.get_string());
        EXPECT_TRUE(std::regex_match(s, form)) << s;
        EXPECT_GE(s.substr(0, 19), before);
        EXPECT_LE(s.substr(0, 19), after);
    }
}

TEST(ParentPostDescriptionHandler, FlattensLines) {
    EXPECT_EQ(parent_post_description_handler(json::value("a\r\nb\nc\rd")), json::value("a  b c d"));
    EXPECT_EQ(parent_post_description_handler(json::value("  keep  blanks ")), json::value("  keep  blanks "));
    EXPECT_EQ(parent_post_description_handler(kNull), json::value(""));
    EXPECT_EQ(parent_post_description_handler(json::value(0)), json::value(""));
    EXPECT_THROW(parent_post_description_handler(json::value(7)), quillmere::TypeError);
}

// Cases of the two brand tests: the setting's id, the request, and the results of
// parent_post_is_brand_post_handler and post_type_handler ("throw" for a failure).
struct BrandCase {
    json::value setting;
    const char* data;
    const char* is_brand;
    const char* post_type;
};

TEST(BrandTests, FlagThenOwnerId) {
    const std::vector<BrandCase> cases = {
        // An explicit flag: returned as it came by the first, counted only when set by the
        // second, which otherwise compares the ids.
        {json::value("42"), R"({"is_brand_post": false, "owner": {"id": 42}})", "false", "1"},
        {json::value("42"), R"({"is_brand_post": false, "owner": {"id": 43}})", "false", "2"},
        {json::value("42"), R"({"is_brand_post": 0, "owner": {"id": 43}})", "0", "2"},
        {json::value("42"), R"({"is_brand_post": "yes", "owner": {"id": 43}})", R"("yes")", "1"},
        {json::value("42"), R"({"is_brand_post": true, "owner": {"id": 43}})", "true", "1"},
        // The first never reads the owner when the flag is there; the second reads it
        // only when the flag is not set.
        {json::value("42"), R"({"is_brand_post": false, "owner": "x"})", "false", "throw"},
        {json::value("42"), R"({"is_brand_post": true, "owner": "x"})", "true", "1"},
        // No flag: the ids.
        {json::value("42"), R"({"owner": {"id": "42"}})", "true", "1"},
        {json::value(" 42 "), R"({"is_brand_post": null, "owner": {"id": 42.9}})", "true", "1"},
        {json::value(42), R"({"owner": {"id": "17841400000000001"}})", "false", "2"},
        {json::value("17841400000000001"), R"({"owner": {"id": "17841400000000001"}})", "true", "1"},
        {json::value(0), R"({})", "true", "1"},
        {json::value(0), R"({"owner": {}})", "true", "1"},
        {json::value(false), R"({"owner": {"name": "x"}})", "true", "1"},
        {json::value(5), R"({})", "false", "2"},
        // Failures: an owner that is not an object, ids that do not convert. An absent
        // owner id counts as 0, but a present empty one is converted and fails.
        {json::value(0), R"({"owner": null})", "throw", "throw"},
        {json::value(0), R"({"owner": [1]})", "throw", "throw"},
        {json::value(0), R"({"owner": {"id": null}})", "throw", "throw"},
        {json::value(0), R"({"owner": {"id": ""}})", "throw", "throw"},
        {json::value(""), R"({})", "throw", "throw"},
        {json::value("12.0"), R"({"owner": {"id": 12}})", "throw", "throw"},
        {json::value(), R"({"owner": {"id": 0}})", "throw", "throw"},
    };
    for (const auto& c : cases) {
        json::value data = obj(c.data);
        std::string where = json::serialize(c.setting) + " " + c.data;
        if (std::string(c.is_brand) == "throw")
            EXPECT_ANY_THROW(parent_post_is_brand_post_handler(c.setting, &data)) << where;
        else
            EXPECT_EQ(parent_post_is_brand_post_handler(c.setting, &data), obj(c.is_brand)) << where;
        if (std::string(c.post_type) == "throw")
            EXPECT_ANY_THROW(post_type_handler(c.setting, &data)) << where;
        else
            EXPECT_EQ(post_type_handler(c.setting, &data), obj(c.post_type)) << where;
    }
}

TEST(BrandTests, NeedData) {
    json::value zero(0);
    EXPECT_ANY_THROW(parent_post_is_brand_post_handler(zero));
    EXPECT_ANY_THROW(post_type_handler(zero));
    json::value null_data;
    EXPECT_ANY_THROW(parent_post_is_brand_post_handler(zero, &null_data));
    EXPECT_ANY_THROW(post_type_handler(zero, &null_data));
}

TEST(BrandTests, ConversionErrorsHaveTheirKinds) {
    json::value data = obj(R"({"owner": {"id": 1}})");
    EXPECT_THROW(parent_post_is_brand_post_handler(json::value("abc"), &data), quillmere::ValueError);
    EXPECT_THROW(post_type_handler(json::value(json::array{}), &data), quillmere::TypeError);
    json::value bad_owner = obj(R"({"owner": "x"})");
    EXPECT_THROW(post_type_handler(json::value("abc"), &bad_owner), quillmere::TypeError)
        << "the owner is read before the setting's id is converted";
}

}  // namespace
