#include "quillmere/calvane/handlers.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/site.hpp"

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
    run_cases(handle_post_type_for_comment,
              {
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

TEST(CalvaneHandlers, HandleMediaType) {
    run_cases(handle_media_type, {
                                     {R"("image/jpeg")", nullptr, "2"},
                                     {R"("Carousel_Album")", "{}", "2"},
                                     {R"("reels")", "{}", "21"},
                                     {R"("")", "{}", "1"},
                                     {R"("banner")", "{}", "6"},
                                     {R"(" VIDEO")", "{}", "6"},
                                     {"null", "{}", nullptr},
                                     {"2", "{}", nullptr},
                                 });
}

TEST(CalvaneHandlers, UrlHandler) {
    run_cases(
        url_handler,
        {
            {R"("x")", "{}", R"("")"},
            {R"("x")", nullptr, R"("")"},
            {"true", R"({"comment_username": "jane"})", R"("")"},
            {"null", R"({"comment_username": "", "post_username": "brand"})", R"("https://www.instagram.com/brand/")"},
            {R"("")", R"({"comment_username": "jane", "post_username": "brand"})",
             R"("https://www.instagram.com/jane/")"},
            {"0", R"({"comment_username": null, "post_username": 12})", R"("https://www.instagram.com/12/")"},
            {"[]", "{}", R"("https://www.instagram.com/None/")"},
            {"null", R"({"comment_username": false, "post_username": true})", R"("https://www.instagram.com/True/")"},
            {"null", R"({"username": "owner"})", R"("https://www.instagram.com/None/")"},
            {"null", nullptr, nullptr},
            {"null", "null", nullptr},
        });
}

TEST(CalvaneHandlers, CommentUrlCreator) {
    run_cases(
        comment_url_creator,
        {
            // Not a reply: the comment id appended to the base address as it stands.
            {"null", R"({"parent_post_url": "https://www.instagram.com/p/ABC/", "post_id": "178"})",
             R"("https://www.instagram.com/p/ABC/c/178")"},
            {"null", R"({"parent_post_url": "https://www.instagram.com/p/ABC", "post_id": "178"})",
             R"("https://www.instagram.com/p/ABCc/178")"},
            {"null",
             R"({"parent_post_url": "", "post_url": "https://www.instagram.com/p/Q/", "url": "https://www.instagram.com/p/U/", "post_id": "1"})",
             R"("https://www.instagram.com/p/Q/c/1")"},
            {"null",
             R"({"parent_post_url": null, "post_url": 0, "url": "https://www.instagram.com/p/U/", "post_id": 5})",
             R"("https://www.instagram.com/p/U/c/5")"},
            {"null", R"({"parent_post_url": "https://www.instagram.com/p/ABC/"})",
             R"("https://www.instagram.com/p/ABC/")"},
            {"null", R"({"url": "https://cdn.instagram.example/x", "post_id": ""})",
             R"("https://cdn.instagram.example/x")"},
            {R"("ignored")",
             R"({"type_of": "1", "parent_post_url": "https://www.instagram.com/p/ABC/", "post_id": "178"})",
             R"("https://www.instagram.com/p/ABC/c/178")"},
            {"null",
             R"({"type_of": 2, "parent_post_url": "https://www.instagram.com/p/ABC/", "post_id": "178", "parent_post_social_id": 9})",
             R"("https://www.instagram.com/p/ABC/c/178")"},
            // Not a reply, no address on the site: the placeholder post address.
            {"null", nullptr, R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", "{}", R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", R"({"parent_post_url": "", "post_url": "", "url": "", "post_id": ""})",
             R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", R"({"url": "https://example.com/p/ABC/", "post_id": "178"})",
             R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", R"({"url": "https://example.com/p/ABC/"})", R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", R"({"url": "https://www.Instagram.com/p/A/"})", R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", R"({"url": null})", R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", R"({"url": []})", R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", R"({"url": null, "post_id": "178"})", R"("https://www.instagram.com/p/0000000000000/")"},
            // With a comment id only the base's text form is used, whatever its kind.
            {"null", R"({"url": 5, "post_id": "1"})", R"("https://www.instagram.com/p/0000000000000/")"},
            {"null", R"({"url": true, "post_id": "instagram"})", R"("Truec/instagram")"},
            {"null", R"({"url": 5})", nullptr},
            {"null", R"({"url": ["instagram"]})", nullptr},
            {"null", R"({"url": {"instagram": 1}})", nullptr},
            // A reply: a base that is a whole comment address stays as it is.
            {"null",
             R"({"type_of": 1, "parent_post_url": "https://www.instagram.com/p/ABC/c/178/", "parent_post_social_id": 9})",
             R"("https://www.instagram.com/p/ABC/c/178/")"},
            {"null",
             R"({"type_of": 1.0, "parent_post_url": "https://www.instagram.com/p/A-b_9/c/178", "post_id": "5"})",
             R"("https://www.instagram.com/p/A-b_9/c/178")"},
            {"null", R"({"type_of": true, "parent_post_url": "https://www.instagram.com/p/ABC/c/178\n"})",
             R"("https://www.instagram.com/p/ABC/c/178\n")"},
            // Otherwise the id of the comment replied to is appended.
            {"null",
             R"({"type_of": 1, "parent_post_url": "https://www.instagram.com/p/ABC", "parent_post_social_id": 999})",
             R"("https://www.instagram.com/p/ABC/c/999")"},
            {"null", R"({"type_of": 1, "post_url": "https://www.instagram.com/p/ABC/", "post_id": "178"})",
             R"("https://www.instagram.com/p/ABC/c/None")"},
            {"null", R"({"type_of": 1, "url": "https://www.instagram.com/p/A.B/c/1", "parent_post_social_id": "7"})",
             R"("https://www.instagram.com/p/A.B/c/1/c/7")"},
            {"null", R"({"type_of": 1, "url": "http://www.instagram.com/p/ABC/c/1", "parent_post_social_id": "7"})",
             R"("http://www.instagram.com/p/ABC/c/1/c/7")"},
            {"null",
             R"({"type_of": 1, "url": "https://www.instagram.com/p/ABC/c/12x/", "parent_post_social_id": true})",
             R"("https://www.instagram.com/p/ABC/c/12x/c/True")"},
            {"null", R"({"type_of": 1, "url": "https://example.com/x"})", R"("https://example.com/x/c/None")"},
            {"null", R"({"type_of": 1})", R"("/c/None")"},
            {"null", R"({"type_of": 1, "url": null})", nullptr},
            {"null", R"({"type_of": 1, "parent_post_url": 5})", nullptr},
            {"null", "[]", nullptr},
        });
}

// Addresses follow the configured site root; the comment address pattern too.
TEST(CalvaneHandlers, AddressesFollowTheSiteRoot) {
    struct Restore {
        ~Restore() { morvish::set_public_site_root(morvish::kDefaultSiteRoot); }
    } restore;
    morvish::set_public_site_root("https://instagram.test/");
    run_cases(url_handler, {{"null", R"({"post_username": "brand"})", R"("https://instagram.test/brand/")"}});
    run_cases(
        comment_url_creator,
        {
            {"null", R"({"type_of": 1, "url": "https://instagram.test/p/ABC/c/1"})",
             R"("https://instagram.test/p/ABC/c/1")"},
            {"null", R"({"type_of": 1, "url": "https://www.instagram.com/p/ABC/c/1", "parent_post_social_id": 2})",
             R"("https://www.instagram.com/p/ABC/c/1/c/2")"},
            {"null", R"({"url": "https://example.com/"})", R"("https://instagram.test/p/0000000000000/")"},
        });
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
    run_cases(comment_post_time_handler,
              {
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
        auto at =
            system_clock::from_time_t(timegm(&tm)) + microseconds(m[1].matched ? std::stoll(m[1].str().substr(1)) : 0);
        EXPECT_LE(before, at) << text;
        EXPECT_LE(at, after) << text;
    }
    EXPECT_TRUE(utc_time_to_iso_format().is_string());
}

}  // namespace
}  // namespace quillmere::calvane
