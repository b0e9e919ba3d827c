#include "host/fanout.hpp"

#include "quillmere/common/value.hpp"
#include "quillmere/ostrel/classifier.hpp"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace quillmere::host {
namespace {

namespace json = boost::json;

struct Expected {
    std::size_t index;
    std::string account_id;  // JSON text
    std::string collection;
    std::string body;  // compact JSON text; empty when an error is expected
    std::string error_contains;
};

struct Case {
    const char* name;
    const char* delivery;
    std::vector<Expected> items;
};

const Case kCases[] = {
    {"one change",
     R"({"object":"instagram","entry":[{"id":"17841","time":1700000000,"changes":[{"field":"comments","value":{"id":"1"}}]}]})",
     {{0, R"("17841")", "changes",
       R"({"object":"instagram","entry":[{"id":"17841","time":1700000000,"changes":[{"field":"comments","value":{"id":"1"}}]}]})",
       ""}}},
    {"entries times changes, counted across entries",
     R"({"object":"instagram","entry":[{"id":"A","changes":[{"field":"c1"},{"field":"c2"}]},{"id":"B","changes":[{"field":"c3"}]}]})",
     {{0, R"("A")", "changes", R"({"object":"instagram","entry":[{"id":"A","changes":[{"field":"c1"}]}]})", ""},
      {1, R"("A")", "changes", R"({"object":"instagram","entry":[{"id":"A","changes":[{"field":"c2"}]}]})", ""},
      {2, R"("B")", "changes", R"({"object":"instagram","entry":[{"id":"B","changes":[{"field":"c3"}]}]})", ""}}},
    {"messaging and standby items, each array alone in its body",
     R"({"entry":[{"id":7,"time":5,"messaging":[{"m":1},{"m":2}],"standby":[{"s":1}],"changes":[{"field":"x"}]}]})",
     {{0, "7", "changes", R"({"entry":[{"id":7,"time":5,"changes":[{"field":"x"}]}]})", ""},
      {1, "7", "messaging", R"({"entry":[{"id":7,"time":5,"messaging":[{"m":1}]}]})", ""},
      {2, "7", "messaging", R"({"entry":[{"id":7,"time":5,"messaging":[{"m":2}]}]})", ""},
      {3, "7", "standby", R"({"entry":[{"id":7,"time":5,"standby":[{"s":1}]}]})", ""}}},
    {"entry without id",
     R"({"entry":[{"changes":[{"field":"x"}]}]})",
     {{0, "null", "changes", R"({"entry":[{"changes":[{"field":"x"}]}]})", ""}}},
    {"no entry member", R"({"object":"instagram"})", {{0, "null", "", "", "no \"entry\""}}},
    {"entry not an array", R"({"entry":{"id":"1"}})", {{0, "null", "", "", "not an array"}}},
    {"empty entry array", R"({"entry":[]})", {{0, "null", "", "", "empty"}}},
    {"entry that is not an object, the next one still read",
     R"({"entry":[3,{"id":"B","changes":[{"field":"x"}]}]})",
     {{0, "null", "", "", "entry 0 is not an object"},
      {1, R"("B")", "changes", R"({"entry":[{"id":"B","changes":[{"field":"x"}]}]})", ""}}},
    {"entry with no item",
     R"({"entry":[{"id":"A","changes":[]},{"id":"B"}]})",
     {{0, R"("A")", "", "", "entry 0 holds no"}, {1, R"("B")", "", "", "entry 1 holds no"}}},
    {"item array of the wrong kind beside a good one",
     R"({"entry":[{"id":"A","changes":{"field":"x"},"messaging":[{"m":1}]}]})",
     {{0, R"("A")", "", "", "entry 0: \"changes\" is not an array"},
      {1, R"("A")", "messaging", R"({"entry":[{"id":"A","messaging":[{"m":1}]}]})", ""}}},
    {"a delivery that is not an object", "[1,2]", {{0, "null", "", "", "not a JSON object"}}},
    {"null", "null", {{0, "null", "", "", "not a JSON object"}}},
};

TEST(FanOut, ItemsInOrderWithTheirBodies) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto items = fan_out(parse_json(c.delivery));
        ASSERT_EQ(items.size(), c.items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            SCOPED_TRACE(i);
            const Expected& e = c.items[i];
            EXPECT_EQ(items[i].index, e.index);
            EXPECT_EQ(json::serialize(items[i].account_id), e.account_id);
            EXPECT_EQ(items[i].collection, e.collection);
            if (e.body.empty()) {
                EXPECT_NE(items[i].error.find(e.error_contains), std::string::npos) << items[i].error;
                EXPECT_TRUE(items[i].body.is_null());
            } else {
                EXPECT_EQ(items[i].error, "");
                EXPECT_EQ(json::serialize(items[i].body), e.body);
            }
        }
    }
}

TEST(FanOut, EntryTimeIsKept) {
    const auto items = fan_out(parse_json(R"({"entry":[{"id":"A","time":1700000123,"changes":[{}]}]})"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].entry_time, json::value(1700000123));
}

// Every item of a batch classifies as it does when it arrives alone.
TEST(FanOut, EachBodyClassifiesAsTheItemAlone) {
    const char* batch = R"({"object":"instagram","entry":[
        {"id":"1","time":1,"changes":[
            {"field":"comments","value":{"id":"c1","media":{"id":"m","media_product_type":"FEED"}}},
            {"field":"comments","value":{"id":"c2","parent_id":"c1","media":{"id":"m","media_product_type":"FEED"}}},
            {"field":"mentions","value":{"comment_id":"c3"}}]},
        {"id":"1","time":2,"messaging":[{"message":{"text":"hi"}},{"read":{"mid":"x"}}]},
        {"id":"1","time":3,"standby":[{"message":{"text":"s"}}]}]})";
    const ostrel::InstagramEventType expected[] = {
        ostrel::InstagramEventType::COMMENT_ON_FEED,    ostrel::InstagramEventType::COMMENT_REPLY_ON_FEED,
        ostrel::InstagramEventType::MENTION_IN_COMMENT, ostrel::InstagramEventType::MESSAGE,
        ostrel::InstagramEventType::MESSAGE_READ,       ostrel::InstagramEventType::STANDBY_SIMPLE_MESSAGE};
    const auto items = fan_out(parse_json(batch));
    ASSERT_EQ(items.size(), std::size(expected));
    std::ostringstream out, err;
    for (std::size_t i = 0; i < items.size(); ++i) {
        auto kind = ostrel::classify_instagram_event(items[i].body, out, err);
        ASSERT_TRUE(kind.has_value()) << i;
        EXPECT_EQ(*kind, expected[i]) << i;
    }
    EXPECT_EQ(out.str(), "");
}

// A large batch: every item comes out, in order, with linear work.
TEST(FanOut, ManyItems) {
    std::string text = R"({"entry":[)";
    for (int e = 0; e < 100; ++e) {
        if (e) text += ',';
        text += R"({"id":")" + std::to_string(e) + R"(","changes":[)";
        for (int c = 0; c < 100; ++c)
            text += std::string(c ? "," : "") + R"({"field":"comments","value":{"id":")" + std::to_string(e * 100 + c) +
                    R"("}})";
        text += "]}";
    }
    text += "]}";
    const auto items = fan_out(parse_json(text));
    ASSERT_EQ(items.size(), 10000u);
    for (std::size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ(items[i].index, i);
        const auto& change = items[i].body.at("entry").as_array()[0].as_object().at("changes").as_array();
        ASSERT_EQ(change.size(), 1u);
        ASSERT_EQ(change[0].at("value").at("id"), json::value(std::to_string(i)));
    }
}

}  // namespace
}  // namespace quillmere::host
