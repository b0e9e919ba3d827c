#include "quillmere/calvane/handlers.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

namespace quillmere::calvane {
namespace {

json::value J(std::string_view text) { return parse_json(text); }

// One call of a handler: value, request (nullptr text: called without data), expected
// result (nullptr text: the call throws).
struct Case {
    const char* value;
    const char* data;
    const char* expected;
};

template <class Handler>
void run_cases(Handler handler, std::initializer_list<Case> cases) {
    for (const auto& c : cases) {
        json::value value = J(c.value);
        json::value data = c.data ? J(c.data) : json::value();
        const json::value* data_ptr = c.data ? &data : nullptr;
        const json::value before = data;
        std::string where = std::string("value=") + c.value + " data=" + (c.data ? c.data : "(none)");
        if (c.expected == nullptr) {
            EXPECT_ANY_THROW(handler(value, data_ptr)) << where;
        } else {
            json::value got = handler(value, data_ptr);
            json::value want = J(c.expected);
            // Kind matters: true is not 1 and 1 is not 1.0.
            EXPECT_EQ(got, want) << where << " got " << got;
            EXPECT_EQ(got.kind(), want.kind()) << where << " got " << got;
        }
        EXPECT_EQ(data, before) << where << ": data changed";
    }
}

TEST(CalvaneHandlers, CheckIsBrandMention) {
    run_cases(check_is_brand_mention, {
        {"null", nullptr, "false"},
        {"true", "{}", "false"},
        {"null", R"({"is_parent_brand_post": 0})", "false"},
        {"null", R"({"is_parent_brand_post": ""})", "false"},
        {"null", R"({"is_parent_brand_post": null})", "false"},
        {"null", R"({"is_parent_brand_post": "yes"})", "true"},
        {"null", R"({"is_parent_brand_post": true})", "true"},
        {"null", R"({"is_parent_brand_post": [0]})", "true"},
        {"null", R"({"is_brand_post": true})", "false"},
        {"null", "[]", nullptr},
    });
}

TEST(CalvaneHandlers, CheckTypeOfCommentHandler) {
    run_cases(check_type_of_comment_handler, {
        {"null", nullptr, "0"},
        {"true", "{}", "0"},
        {"false", R"({"is_parent_brand_post": 1})", "1"},
        {"null", R"({"is_parent_brand_post": "0"})", "1"},
        {"null", R"({"is_parent_brand_post": 0.0})", "0"},
        {"null", R"({"is_brand_post": true})", "0"},
    });
}

TEST(CalvaneHandlers, PostTypeHandler) {
    run_cases(post_type_handler, {
        {R"("42")", R"({"post_author_id": 42})", "3"},
        {"42", R"({"post_author_id": "42"})", "3"},
        {R"(" 42 ")", R"({"post_author_id": "+42"})", "3"},
        {"42", R"({"post_author_id": 43})", "4"},
        {"0", "{}", "3"},
        {"0", R"({"post_author_id": null})", "3"},
        {"0", R"({"post_author_id": ""})", "3"},
        {"0", R"({"post_author_id": false})", "3"},
        {"7", "{}", "4"},
        {R"("17841400000000001")", R"({"post_author_id": 17841400000000001})", "3"},
        {R"("17841400000000001")", R"({"post_author_id": "17841400000000002"})", "4"},
        {R"("")", R"({"post_author_id": 1})", nullptr},
        {"null", R"({"post_author_id": 1})", nullptr},
        {R"("12.0")", R"({"post_author_id": 12})", nullptr},
        {"12", R"({"post_author_id": "abc"})", nullptr},
        {"12", R"({"post_author_id": [12]})", nullptr},
        {"0", nullptr, nullptr},
        {"0", "null", nullptr},
    });
}

TEST(CalvaneHandlers, CommentPostIsBrandPostHandler) {
    run_cases(comment_post_is_brand_post_handler, {
        {R"(" 12 ")", R"({"post_author_id": "12"})", "true"},
        {"12", R"({"post_author_id": 13})", "false"},
        {"0", "{}", "true"},
        {"0", R"({"post_author_id": ""})", "true"},
        {"true", R"({"post_author_id": 1})", "true"},
        {"12.7", R"({"post_author_id": 12})", "true"},
        {R"("12.0")", R"({"post_author_id": 12})", nullptr},
        {"null", "{}", nullptr},
        {"{}", "{}", nullptr},
        {"1", nullptr, nullptr},
    });
}

TEST(CalvaneHandlers, HandleInstaPostType) {
    run_cases(handle_insta_post_type, {
        {"null", nullptr, "1"},
        {"null", "{}", "1"},
        {"null", R"({"is_for_stories": true})", "1"},
        {"null", R"({"is_mention_post": true, "is_stories_mention": true})", "2"},
        {"null", R"({"is_for_stories": true, "is_brand_post": true})", "4"},
        {"null", R"({"is_brand_post": true, "is_mention_post": true})", "1"},
        {"null", R"({"is_stories_mention": "y"})", "11"},
        {"null", R"({"is_stories_mention": 0, "is_mention_post": 0})", "1"},
        {"5", R"({"is_mention_post": true})", "2"},
    });
}

TEST(CalvaneHandlers, HandlePostTypeForComment) {
    run_cases(handle_post_type_for_comment, {
        {"null", R"({"author_social_id": "42", "comment_author_id": 42})", "1"},
        {"null", R"({"author_social_id": 42, "comment_author_id": "43"})", "3"},
        {"null", R"({"author_social_id": 0})", "1"},
        {"null", R"({"author_social_id": "0", "comment_author_id": null})", "1"},
        {"null", R"({"author_social_id": 5})", "3"},
        {"null", R"({"comment_author_id": 5})", nullptr},
        {"null", R"({"author_social_id": null})", nullptr},
        {"null", R"({"author_social_id": "x"})", nullptr},
        {"null", nullptr, nullptr},
    });
    json::value data = J(R"({"comment_author_id": 5})");
    try {
        handle_post_type_for_comment(nullptr, &data);
        FAIL() << "no error";
    } catch (const KeyError& e) {
        EXPECT_EQ(e.key(), "author_social_id");
    }
}

TEST(CalvaneHandlers, DynamicAttachmentHandler) {
    run_cases(dynamic_attachment_handler, {
        {"null", nullptr, "null"},
        {R"("<xml/>")", "{}", R"("<xml/>")"},
        {R"([1, {"a": 2.5}])", "{}", R"([1, {"a": 2.5}])"},
        {"0", "{}", "0"},
        {"false", "{}", "false"},
    });
}

TEST(CalvaneHandlers, CommentPostDescriptionHandler) {
    run_cases(comment_post_description_handler, {
        {R"("a\r\nb")", nullptr, R"("a  b")"},
        {"null", nullptr, R"("")"},
        {"0", nullptr, R"("")"},
        {"[]", nullptr, R"("")"},
        {R"("one\ntwo\rthree  ")", "{}", R"("one two three  ")"},
        {R"("\u00e9t\u00e9\n#tag")", "{}", R"("\u00e9t\u00e9 #tag")"},
        {"5", nullptr, nullptr},
        {R"(["a"])", nullptr, nullptr},
    });
}

TEST(CalvaneHandlers, CommentPostTimeHandler) {
    run_cases(comment_post_time_handler, {
        {R"("2024-05-01T10:00:00+0000")", nullptr, R"("2024-05-01T10:00:00+0000")"},
        {R"("")", "{}", R"("")"},
        {R"("not a time")", "{}", R"("not a time")"},
        {"1714557600", "{}", nullptr},
        {"1714557600.5", "{}", nullptr},
        {"false", "{}", nullptr},
        {"[]", "{}", nullptr},
        {"{}", "{}", nullptr},
    });
}

// Null (no time in the request) gives the time of the call in the Graph API form.
TEST(CalvaneHandlers, CommentPostTimeHandlerDefaultsToNow) {
    using namespace std::chrono;
    auto before = floor<seconds>(system_clock::now());
    json::value got = comment_post_time_handler(nullptr, nullptr);
    auto after = system_clock::now();
    ASSERT_TRUE(got.is_string());
    std::string text(got.get_string());
    ASSERT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+0000)"))) << text;
    std::tm tm{};
    ASSERT_NE(strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
    auto at = system_clock::from_time_t(timegm(&tm));
    EXPECT_LE(before, at);
    EXPECT_LE(at, after);
}

TEST(CalvaneHandlers, UtcTimeToIsoFormat) {
    using namespace std::chrono;
    const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?)");
    for (const json::value& argument : {json::value(), json::value("2020-01-01"), json::value(5)}) {
        auto before = floor<microseconds>(system_clock::now());
        json::value got = utc_time_to_iso_format(argument);
        auto after = system_clock::now();
        ASSERT_TRUE(got.is_string());
        std::string text(got.get_string());
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, form)) << text;
        // A fraction is never all zeros: a whole second is written without one.
        EXPECT_NE(m[1].str(), ".000000");
        std::tm tm{};
        ASSERT_NE(strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
        auto at = system_clock::from_time_t(timegm(&tm)) +
                  microseconds(m[1].matched ? std::stoll(m[1].str().substr(1)) : 0);
        EXPECT_LE(before, at) << text;
        EXPECT_LE(at, after) << text;
    }
    EXPECT_TRUE(utc_time_to_iso_format().is_string());
}

}  // namespace
}  // namespace quillmere::calvane
