#include "quillmere/ostrel/classifier.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace json = boost::json;
using namespace quillmere::ostrel;

namespace {

struct Case {
    std::string body;     // in the record JSON text form, so that it reads back identically
    std::string kind;     // member name, or "" for no kind
    std::string printed;  // "" when nothing is printed; else the line without " for event is: <body>\n"
};

std::string comment(const std::string& value, const std::string& field = "comments") {
    return R"({"object": "instagram", "entry": [{"id": "17841400000000001", "time": 1700000000, "changes": [{"field": ")" +
           field + R"(", "value": )" + value + "}]}]}";
}
std::string messaging(const std::string& event) {
    return R"({"object": "instagram", "entry": [{"id": "17841400000000001", "time": 1700000000, "messaging": [)" +
           event + "]}]}";
}
std::string standby(const std::string& event) {
    return R"({"object": "instagram", "entry": [{"id": "17841400000000001", "time": 1700000000, "standby": [)" + event +
           "]}]}";
}

const std::vector<Case>& cases() {
    static const std::vector<Case> c = {
        // Comments on media: the reply test is exact, the look-up upper-cases.
        {comment(R"({"id": "1", "text": "hi", "media": {"id": "9", "media_product_type": "FEED"}, "parent_id": "7"})"),
         "COMMENT_REPLY_ON_FEED", ""},
        {comment(R"({"media": {"media_product_type": "feed"}, "parent_id": "7"})"), "COMMENT_ON_FEED", ""},
        {comment(R"({"media": {"media_product_type": "Feed"}, "parent_id": null})"), "COMMENT_ON_FEED", ""},
        {comment(R"({"media": {"media_product_type": "FEED"}})"), "COMMENT_ON_FEED", ""},
        {comment(R"({"media": {"media_product_type": "REELS"}, "parent_id": "7"})"), "COMMENT_ON_REEL", ""},
        {comment(R"({"media": {"media_product_type": "reels"}})"), "COMMENT_ON_REEL", ""},
        {comment(R"({"media": {"media_product_type": "AD"}, "parent_id": "7"})"), "COMMENT_ON_AD", ""},
        {comment(R"({"media": {"media_product_type": "ad"}})"), "COMMENT_ON_AD", ""},
        // Full Unicode upper-case mapping: LATIN SMALL LETTER LONG S upper-cases to "S".
        {comment("{\"media\": {\"media_product_type\": \"reel\\u017f\"}}"), "COMMENT_ON_REEL", ""},
        {comment("{\"media\": {\"media_product_type\": \"\\u00e0d\"}}"), "", ""},
        {comment(R"({"media": {"media_product_type": "IGTV"}})"), "", ""},
        {comment(R"({"media": {"media_product_type": "FEEDS"}})"), "", ""},
        {comment(R"({"media": {"media_product_type": " FEED"}})"), "", ""},
        {comment(R"({"media": {"media_product_type": ""}})"), "", ""},
        {comment(R"({"media": {"media_product_type": 0}})"), "", ""},
        {comment(R"({"media": {"media_product_type": false}})"), "", ""},
        {comment(R"({"media": {"media_product_type": null}})"), "", ""},
        {comment(R"({"media": {}})"), "", ""},
        {comment(R"({"media": {"media_product_type": 5}})"), "",
         "Exception: 'media_product_type' must be a text, not an integer"},
        {comment(R"({"media": {"media_product_type": ["FEED"]}})"), "",
         "Exception: 'media_product_type' must be a text, not an array"},
        {comment(R"({"media": null})"), "", "Exception: 'media' must be an object, not null"},
        {comment(R"({"media": "FEED"})"), "", "Exception: 'media' must be an object, not a text"},
        {comment("null"), "", "Exception: process_media_event: changes_value must be an object, not null"},
        {comment(R"(["x"])"), "", "Exception: process_media_event: changes_value must be an object, not an array"},

        // Story insights, whatever the value holds; before every other test.
        {comment("null", "story_insights"), "STORY_INSIGHTS", ""},
        {comment(R"({"media": {"media_product_type": "FEED"}})", "story_insights"), "STORY_INSIGHTS", ""},
        {R"({"entry": [{"changes": [{"field": "story_insights"}], "messaging": [{"read": {}}]}]})", "STORY_INSIGHTS",
         ""},

        // Mentions.
        {comment(R"({"comment_id": "5", "media_id": "9"})", "mentions"), "MENTION_IN_COMMENT", ""},
        {comment(R"({"comment_id": null})", "mentions"), "MENTION_IN_COMMENT", ""},
        {comment(R"({"media_id": "9"})", "mentions"), "MENTION_IN_MEDIA", ""},
        {comment(R"({"media": {"media_product_type": "FEED"}, "comment_id": "5"})", "mentions"), "COMMENT_ON_FEED", ""},
        {comment(R"({"comment_id": "5"})", "Mentions"), "", ""},
        {R"({"entry": [{"changes": [{"field": null, "value": {"media": {"media_product_type": "AD"}}}]}]})",
         "COMMENT_ON_AD", ""},
        {R"({"entry": [{"changes": [{"field": null, "value": {}}]}]})", "",
         "Exception: process_mentions_event: changes_field must be a text, not null"},
        {R"({"entry": [{"changes": [{"field": ["mentions"]}]}]})", "",
         "Exception: process_mentions_event: changes_field must be a text, not an array"},

        // Direct messages: marker keys first, in table order.
        {messaging(R"({"sender": {"id": "1"}, "read": {"mid": "m"}, "message": {"mid": "m", "text": "hi"}})"),
         "MESSAGE_READ", ""},
        {messaging(R"({"read": {}, "postback": {"payload": "p"}})"), "POSTBACK", ""},
        {messaging(R"({"request_thread_control": {}, "pass_thread_control": null})"), "PASS_THREAD_CONTROL", ""},
        {messaging(R"({"request_thread_control": null, "read": {}})"), "REQUEST_THREAD_CONTROL", ""},
        {messaging(R"({"message": {"mid": "m", "reply_to": {"story": {"id": "s", "url": "u"}}, "is_deleted": true}})"),
         "REPLY_TO_STORY", ""},
        {messaging(R"({"message": {"mid": "m", "reply_to": {"story": {}}}})"), "MESSAGE", ""},
        {messaging(R"({"message": {"reply_to": {"mid": "m0"}}})"), "MESSAGE", ""},
        {messaging(R"({"reaction": {"mid": "m", "action": "react", "emoji": "x"}, "message": {"text": "a"}})"),
         "MESSAGE_REACT", ""},
        {messaging(R"({"reaction": {"action": "unreact"}})"), "MESSAGE_UNREACT", ""},
        {messaging(R"({"reaction": {"action": "love"}, "message": {"text": "a"}})"), "", ""},
        {messaging(R"({"reaction": {"action": null}, "message": {"text": "a"}})"), "", ""},
        {messaging(R"({"reaction": {"action": 1}, "message": {"text": "a"}})"), "", ""},
        {messaging(R"({"reaction": {"emoji": "x"}, "message": {"text": "a"}})"), "MESSAGE", ""},
        {messaging(R"({"reaction": {"action": ["react"]}})"), "",
         "Exception: a reaction's 'action' must be a text, not an array"},
        {messaging(R"({"reaction": "react"})"), "", "Exception: 'reaction' must be an object, not a text"},
        {messaging(R"({"message": {"mid": "m", "is_deleted": true, "attachments": [{"type": "video"}]}})"),
         "MESSAGE_DELETED", ""},
        {messaging(R"({"message": {"mid": "m", "is_deleted": false}})"), "MESSAGE", ""},
        {messaging(R"({"message": {"mid": "m", "is_deleted": 0, "attachments": [{"type": "template"}]}})"),
         "MESSAGE_TEMPLATE", ""},
        {messaging(R"({"message": {"attachments": [{"type": "image"}, {"type": "video"}]}})"), "MESSAGE_WITH_VIDEO",
         ""},
        {messaging(R"({"message": {"attachments": [{"type": "image", "payload": {"url": "u"}}]}})"), "MESSAGE", ""},
        {messaging(R"({"message": {"attachments": [{"type": null}, {}, {"type": "unsupported_type"}]}})"),
         "UNSUPPORTED_ATTACHMENT", ""},
        {messaging(R"({"message": {"attachments": [{"type": "story_mention"}, {"type": "video"}]}})"), "STORY_MENTION",
         ""},
        {messaging(R"({"message": {"attachments": [{"type": "share"}, {"type": "audio"}]}})"), "MESSAGE", ""},
        {messaging(R"({"message": {"attachments": []}})"), "MESSAGE", ""},
        {messaging(R"({"message": {"attachments": {}}})"), "",
         "Exception: 'attachments' must be an array, not an object"},
        {messaging(R"({"message": {"attachments": ["video"]}})"), "",
         "Exception: an element of 'attachments' must be an object, not a text"},
        {messaging(R"({"message": {"attachments": [{"type": 3}]}})"), "",
         "Exception: an attachment's 'type' must be a text or null, not an integer"},
        {messaging(R"({"sender": {"id": "1"}, "timestamp": 1})"), "", ""},
        {messaging("{}"), "", ""},
        {messaging(R"({"message": null})"), "", "Exception: 'message' must be an object, not null"},
        {messaging(R"({"message": {"reply_to": "s"}})"), "", "Exception: 'reply_to' must be an object, not a text"},
        {messaging("null"), "", "Exception: process_messaging_event: message_value must be an object, not null"},
        {messaging("[]"), "", "Exception: process_messaging_event: message_value must be an object, not an array"},
        {R"({"entry": [{"messaging": [], "standby": [{"read": {}}]}]})", "",
         "Exception: 'messaging' is an empty array: it has no element 0"},
        {R"({"entry": [{"messaging": {"0": {"read": {}}}}]})", "", "KeyError: 0"},
        {R"({"entry": [{"messaging": "read"}]})", "", "Exception: 'messaging' must be an array, not a text"},
        // Messaging alone decides when both are present.
        {R"({"entry": [{"messaging": [{}], "standby": [{"read": {}}]}]})", "", ""},

        // Standby: presence alone counts.
        {standby(R"({"reaction": {"action": "love"}, "read": {}})"), "STANDBY_REACTION", ""},
        {standby(R"({"read": {"mid": "m"}, "take_thread_control": {}})"), "STANDBY_READ", ""},
        {standby(R"({"take_thread_control": null, "message": {"text": "a"}})"), "STANDBY_TAKE_THREAD_CONTROL", ""},
        {standby(R"({"message": {"text": "a", "reply_to": {"mid": "m"}}})"), "STANDBY_REPLY_TO_MESSAGE", ""},
        {standby(R"({"message": {"is_unsupported": true, "is_deleted": false}})"), "STANDBY_MESSAGE_DELETED", ""},
        {standby(R"({"message": {"is_unsupported": true, "text": "a"}})"), "STANDBY_SIMPLE_MESSAGE", ""},
        {standby(R"({"message": {"text": "a", "attachments": [{"type": "image"}]}})"), "STANDBY_SIMPLE_MESSAGE", ""},
        {standby(R"({"message": {"is_unsupported": false, "attachments": [{"type": "image"}]}})"),
         "STANDBY_UNSUPPORTED", ""},
        {standby(R"({"message": {"mid": "m", "attachments": [{"type": "image"}]}})"), "STANDBY_MESSAGE_WITH_IMAGE", ""},
        {standby(R"({"message": {"attachments": [{"type": "template"}, {"type": "video"}]}})"),
         "STANDBY_MESSAGE_WITH_VIDEO", ""},
        {standby(R"({"message": {"attachments": [{"type": "unsupported_type"}]}})"),
         "STANDBY_MESSAGE_WITH_UNSUPPORTED_ATTACHMENT", ""},
        {standby(R"({"message": {"attachments": [{"type": "share", "payload": {"url": "u"}}]}})"),
         "STANDBY_MESSAGE_WITH_SHARE", ""},
        {standby(R"({"message": {"attachments": [{"type": "ig_reel"}]}})"), "STANDBY_MESSAGE_WITH_REEL", ""},
        {standby(R"({"message": {"attachments": [{"type": "story_mention"}]}})"), "STANDBY_STORY_MENTION", ""},
        {standby(R"({"message": {"attachments": [{"type": "audio"}]}})"), "STANDBY_MESSAGE_WITH_AUDIO", ""},
        {standby(R"({"message": {"attachments": [{"type": "template"}]}})"), "", ""},
        {standby(R"({"message": {"mid": "m"}})"), "", ""},
        {standby(R"({"sender": {"id": "1"}})"), "", ""},
        {standby(R"({"message": null})"), "", "Exception: the standby 'message' must be an object, not null"},
        {standby(R"({"message": {"attachments": null}})"), "", "Exception: 'attachments' must be an array, not null"},
        {standby("5"), "", "Exception: process_standby_event: standby_value must be an object, not an integer"},
        {R"({"entry": [{"standby": {}}]})", "", "KeyError: 0"},
        {R"({"entry": [{"standby": []}]})", "", "Exception: 'standby' is an empty array: it has no element 0"},

        // Entry and changes run for every delivery.
        {R"({"entry": [{"changes": [], "messaging": [{"read": {}}]}]})", "",
         "Exception: 'changes' is an empty array: it has no element 0"},
        {R"({"entry": [{"changes": {"field": "mentions"}}]})", "", "KeyError: 0"},
        {R"({"entry": [{"changes": [null]}]})", "", "Exception: changes[0] must be an object, not null"},
        {R"({"entry": [{"changes": null}]})", "", "Exception: 'changes' must be an array, not null"},
        {R"({"entry": {"0": {"messaging": [{"read": {}}]}}})", "", "KeyError: 0"},
        {R"({"entry": []})", "", "Exception: 'entry' is an empty array: it has no element 0"},
        {R"({"entry": "abc"})", "", "Exception: 'entry' must be an array, not a text"},
        {R"({"entry": [5]})", "", "Exception: entry[0] must be an object, not an integer"},
        {R"({"entry": [{}]})", "", ""},
        {R"({})", "", ""},
        {R"({"object": "instagram"})", "", ""},
        {R"([])", "", "Exception: event_data must be an object, not an array"},
        {R"(null)", "", "Exception: event_data must be an object, not null"},
        {R"("{}")", "", "Exception: event_data must be an object, not a text"},
    };
    return c;
}

std::string kind_text(const std::optional<InstagramEventType>& k) { return k ? std::string(name(*k)) : ""; }

std::string expected_output(const Case& c) {
    if (c.printed.empty()) return "";
    return c.printed + " for event is: " + c.body + "\n";
}

TEST(Classifier, TableFromParsedValue) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.body);
        const json::value body = quillmere::parse_json(c.body);
        ASSERT_EQ(quillmere::to_json_text(body), c.body) << "fixture is not in the record text form";
        std::ostringstream out, err;
        EXPECT_EQ(kind_text(classify_instagram_event(body, out, err)), c.kind);
        EXPECT_EQ(out.str(), expected_output(c));
        EXPECT_EQ(err.str().empty(), c.printed.empty()) << err.str();
    }
}

TEST(Classifier, TableFromText) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.body);
        std::ostringstream out, err;
        EXPECT_EQ(kind_text(classify_instagram_event(c.body, out, err)), c.kind);
        EXPECT_EQ(out.str(), expected_output(c));
        EXPECT_EQ(err.str().empty(), c.printed.empty());
    }
}

TEST(Classifier, EveryKindButMentionInFeedIsReachable) {
    std::set<std::string> seen;
    for (const auto& c : cases())
        if (!c.kind.empty()) seen.insert(c.kind);
    for (const auto& m : members<InstagramEventType>()) {
        if (m.member == InstagramEventType::MENTION_IN_FEED)
            EXPECT_FALSE(seen.count(std::string(m.name)));
        else
            EXPECT_TRUE(seen.count(std::string(m.name))) << m.name;
    }
}

TEST(Classifier, DiagnosticTraceNamesStepAndError) {
    struct TraceCase {
        std::string body, trace;
    };
    const std::vector<TraceCase> traces = {
        {R"({"entry": {}})",
         "quillmere.ostrel: classify_instagram_event failed\n  at: reading entry[0]\n  KeyError: 0\n"},
        {R"({"entry": [{"changes": []}]})",
         "quillmere.ostrel: classify_instagram_event failed\n  at: reading changes[0]\n"
         "  IndexError: 'changes' is an empty array: it has no element 0\n"},
        {messaging(R"({"reaction": []})"),
         "quillmere.ostrel: classify_instagram_event failed\n  at: process_messaging_event (messaging[0])\n"
         "  TypeError: 'reaction' must be an object, not an array\n"},
        {standby("null"),
         "quillmere.ostrel: classify_instagram_event failed\n  at: process_standby_event (standby[0])\n"
         "  TypeError: process_standby_event: standby_value must be an object, not null\n"},
        {comment("{\"media\": 1}"),
         "quillmere.ostrel: classify_instagram_event failed\n  at: process_media_event\n"
         "  TypeError: 'media' must be an object, not an integer\n"},
        {"[1]",
         "quillmere.ostrel: classify_instagram_event failed\n  at: reading the body\n"
         "  TypeError: event_data must be an object, not an array\n"},
    };
    for (const auto& t : traces) {
        std::ostringstream out, err;
        EXPECT_EQ(classify_instagram_event(t.body, out, err), std::nullopt);
        EXPECT_EQ(err.str(), t.trace);
    }
}

TEST(Classifier, PlainCallWritesToStandardStreams) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    auto kind = classify_instagram_event(R"({"entry": {"id": 1}})");
    auto ok = classify_instagram_event(json::value(quillmere::parse_json(comment(R"({"comment_id": 1})", "mentions"))));
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(kind, std::nullopt);
    EXPECT_EQ(ok, InstagramEventType::MENTION_IN_COMMENT);
    EXPECT_EQ(out, "KeyError: 0 for event is: {\"entry\": {\"id\": 1}}\n");
    EXPECT_NE(err.find("KeyError: 0"), std::string::npos);
}

TEST(Classifier, TextThatIsNotJsonFailsAndPrintsNothing) {
    for (std::string bad : {"", "{", "{\"entry\": [}", "{} {}", "nul", "{\"a\": 1,}"}) {
        std::ostringstream out, err;
        EXPECT_THROW(classify_instagram_event(bad, out, err), boost::system::system_error) << bad;
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str(), "");
    }
}

TEST(Classifier, TextOverloadsAgree) {
    const std::string body = comment(R"({"media": {"media_product_type": "REELS"}})");
    EXPECT_EQ(classify_instagram_event(body), InstagramEventType::COMMENT_ON_REEL);
    EXPECT_EQ(classify_instagram_event(body.c_str()), InstagramEventType::COMMENT_ON_REEL);
    EXPECT_EQ(classify_instagram_event(std::string_view(body)), InstagramEventType::COMMENT_ON_REEL);
}

TEST(Classifier, LargeAndDeepBodies) {
    // Larger than the classifier's in-frame buffers: the parse spills onto the heap.
    std::string big = messaging(R"({"message": {"text": ")" + std::string(200000, 'x') +
                                R"(", "attachments": [{"type": "video"}]}})");
    EXPECT_EQ(classify_instagram_event(big), InstagramEventType::MESSAGE_WITH_VIDEO);

    // A deep but valid body classifies; deeper than the nesting limit fails to parse.
    auto nested = [](std::size_t depth) {
        return comment("{\"x\": " + std::string(depth, '[') + std::string(depth, ']') + "}", "mentions");
    };
    EXPECT_EQ(classify_instagram_event(nested(quillmere::kMaxJsonDepth - 10)), InstagramEventType::MENTION_IN_MEDIA);
    EXPECT_THROW(classify_instagram_event(nested(quillmere::kMaxJsonDepth + 10)), boost::system::system_error);
}

// One classifier object over the whole table, twice, with bodies that are not JSON, a large
// one and a deep one in between: what the plain calls give, and its lines on its streams.
TEST(Classifier, AReusedClassifierGivesWhatThePlainCallsGive) {
    std::ostringstream out, err;
    Classifier classifier(out, err);
    const std::string big = messaging(R"({"message": {"text": ")" + std::string(100000, 'x') + R"("}})");
    const std::string deep = comment("{\"x\": " + std::string(400, '[') + std::string(400, ']') + "}", "mentions");
    for (int round = 0; round < 2; ++round)
        for (const auto& c : cases()) {
            SCOPED_TRACE(c.body);
            out.str("");
            err.str("");
            EXPECT_EQ(kind_text(classifier.classify(c.body)), c.kind);
            EXPECT_EQ(out.str(), expected_output(c));
            EXPECT_EQ(err.str().empty(), c.printed.empty());
            out.str("");
            EXPECT_EQ(kind_text(classifier.classify(quillmere::parse_json(c.body))), c.kind);
            EXPECT_EQ(out.str(), expected_output(c));

            EXPECT_THROW(classifier.classify(std::string_view("{\"entry\": [")), boost::system::system_error);
            EXPECT_EQ(classifier.classify(big), InstagramEventType::MESSAGE);
            EXPECT_EQ(classifier.classify(deep), InstagramEventType::MENTION_IN_MEDIA);
        }
    Classifier moved = std::move(classifier);
    EXPECT_EQ(moved.classify(comment(R"({"comment_id": 1})", "mentions")), InstagramEventType::MENTION_IN_COMMENT);
}

TEST(StepOperations, RejectArgumentsOfTheWrongKind) {
    const json::value obj = json::object{};
    EXPECT_THROW(process_media_event(nullptr), quillmere::TypeError);
    EXPECT_THROW(process_media_event(json::array{}), quillmere::TypeError);
    EXPECT_THROW(process_mentions_event(obj, json::value(5)), quillmere::TypeError);
    EXPECT_THROW(process_mentions_event(json::value("x"), json::value("mentions")), quillmere::TypeError);
    EXPECT_THROW(process_messaging_event(json::value("x")), quillmere::TypeError);
    EXPECT_THROW(process_standby_event(json::value(1.5)), quillmere::TypeError);
    EXPECT_THROW(process_messaging_event(quillmere::parse_json(R"({"reaction": {"action": {}}})")),
                 quillmere::TypeError);
    EXPECT_THROW(process_standby_event(quillmere::parse_json(R"({"message": {"attachments": "image"}})")),
                 quillmere::TypeError);
}

TEST(StepOperations, DirectCalls) {
    EXPECT_EQ(
        process_media_event(quillmere::parse_json(R"({"media": {"media_product_type": "FEED"}, "parent_id": 1})")),
        InstagramEventType::COMMENT_REPLY_ON_FEED);
    EXPECT_EQ(process_media_event(json::object{}), std::nullopt);
    EXPECT_EQ(process_mentions_event(json::object{}, json::value("mentions")), InstagramEventType::MENTION_IN_MEDIA);
    EXPECT_EQ(process_mentions_event(json::object{{"comment_id", 1}}, json::value("comments")), std::nullopt);
    EXPECT_EQ(process_messaging_event(quillmere::parse_json(R"({"message": {}})")), InstagramEventType::MESSAGE);
    EXPECT_EQ(process_standby_event(quillmere::parse_json(R"({"message": {"is_deleted": null}})")),
              InstagramEventType::STANDBY_MESSAGE_DELETED);
}

}  // namespace
