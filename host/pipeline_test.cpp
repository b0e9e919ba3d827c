// The pipeline without any source configured: classification, settings, the comment
// record from the webhook and the settings alone, envelopes in item order.
#include "host/pipeline.hpp"

#include "quillmere/calvane/rules.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/details.hpp"
#include "quillmere/tindral/engine.hpp"
#include "support/process.hpp"
#include "support/recording_logger.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json/serialize.hpp>

#include <fstream>

namespace quillmere::host {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;

const char* kBrands = R"([
  {"BrandID": 13011, "BrandName": "Brand", "CategoryID": 1861, "CategoryName": "Cat", "AccountID": 55,
   "InstagramGraphApiID": "17841400000000001", "ProfilePic": "https://pic", "ScreenName": "brand",
   "AuthorName": "The Brand"}
])";

class PipelineTest : public ::testing::Test {
protected:
    PipelineTest() {
        std::ofstream(dir.path() / "brands.json") << kBrands;
        config.settings.file = dir.path() / "brands.json";
        config.settings.channel_group_id = 3;
    }

    std::vector<json::object> process(const std::string& body, json::value delivery = 1) {
        asio::io_context io;
        Pipeline pipeline(config, io.get_executor(), PipelineClients{.logger = logger});
        auto result = asio::co_spawn(io, pipeline.process(body, delivery), asio::use_future);
        io.run();
        return result.get();
    }

    testing::TempDir dir{"quillmere-pipeline"};
    Config config;
    std::shared_ptr<testing::RecordingLogger> logger = std::make_shared<testing::RecordingLogger>();
};

std::vector<std::string> keys(const json::object& o) {
    std::vector<std::string> out;
    for (const auto& m : o) out.emplace_back(m.key());
    return out;
}

const std::vector<std::string> kEnvelopeMembers = {"delivery", "item",  "account_id", "kind",  "event_type",
                                                   "channel",  "topic", "records",    "media", "error"};

TEST_F(PipelineTest, EnvelopesOfABatchInItemOrder) {
    const std::string body = R"({"object":"instagram","entry":[
      {"id":"17841400000000001","time":1714557600,"changes":[
        {"field":"comments","value":{"id":"1790001","text":"Nice\npost","from":{"id":"991","username":"ann"},
                                     "media":{"id":"1780001","media_product_type":"FEED"}}},
        {"field":"mentions","value":{"comment_id":"1790002","media_id":"1780002"}}]},
      {"id":"17841400000000001","time":1714557601,"messaging":[{"sender":{"id":"5"},"message":{"mid":"m","text":"hi"}}]},
      {"id":"99999","time":1714557602,"changes":[
        {"field":"comments","value":{"id":"1790003","media":{"id":"1780003","media_product_type":"REELS"}}}]},
      {"id":"17841400000000001","changes":[{"field":"comments","value":null}]}]})";
    const auto envelopes = process(body, 7);
    ASSERT_EQ(envelopes.size(), 5u);
    const struct {
        const char* kind;
        const char* channel;
        const char* topic;
        std::size_t records;
        const char* error;  // expected start of the error; nullptr for none
    } expected[] = {
        {"COMMENT_ON_FEED", "29", "InstaWebhookCommentsTopic", 1, nullptr},
        {"MENTION_IN_COMMENT", nullptr, "InstaWebhookCommentsTopic", 0, nullptr},
        {"MESSAGE", nullptr, nullptr, 0, nullptr},
        {"COMMENT_ON_REEL", "29", "InstaWebhookCommentsTopic", 0, "no brand settings for account 99999"},
        {nullptr, nullptr, nullptr, 0, "the item cannot be classified: Exception: "},
    };
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        SCOPED_TRACE(i);
        const json::object& e = envelopes[i];
        EXPECT_EQ(keys(e), kEnvelopeMembers);
        EXPECT_EQ(e.at("delivery"), json::value(7));
        EXPECT_EQ(e.at("item"), json::value(i));
        if (expected[i].kind) {
            EXPECT_EQ(e.at("kind"), json::value(expected[i].kind));
            if (expected[i].channel) {
                EXPECT_EQ(e.at("channel"), json::value(expected[i].channel));
            }
            if (expected[i].topic) {
                EXPECT_EQ(e.at("topic"), json::value(expected[i].topic));
            }
        } else {
            EXPECT_TRUE(e.at("kind").is_null());
        }
        EXPECT_EQ(e.at("records").as_array().size(), expected[i].records);
        EXPECT_EQ(e.at("media"), json::array());
        if (expected[i].error)
            EXPECT_EQ(json::value_to<std::string>(e.at("error")).rfind(expected[i].error, 0), 0u) << e.at("error");
        else
            EXPECT_TRUE(e.at("error").is_null()) << e.at("error");
    }
    EXPECT_EQ(envelopes[0].at("account_id"), json::value("17841400000000001"));
    EXPECT_EQ(envelopes[3].at("account_id"), json::value("99999"));
    EXPECT_EQ(envelopes[2].at("event_type"), json::value("message"));
}

// With no source configured the comment record is what the comment table gives for the
// webhook's members and the common details.
TEST_F(PipelineTest, CommentRecordFromTheWebhookAndTheSettings) {
    const std::string body = R"({"entry":[{"id":"17841400000000001","time":1714557600,"changes":[
        {"field":"comments","value":{"id":"1790001","text":"Nice\npost","from":{"id":"17841400000000001","username":"brand"},
                                     "parent_id":"1790000","media":{"id":"1780001","media_product_type":"FEED"}}}]}]})";
    const auto envelopes = process(body);
    ASSERT_EQ(envelopes.size(), 1u);
    EXPECT_EQ(envelopes[0].at("kind"), json::value("COMMENT_REPLY_ON_FEED"));
    const auto& records = envelopes[0].at("records").as_array();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("table"), json::value("comment"));
    const json::object& record = records[0].at("record").as_object();
    const json::object raw = parse_json(record.at("RawData").as_string()).as_object();
    EXPECT_EQ(raw.at("SocialID"), json::value("1790001"));
    EXPECT_EQ(raw.at("PostSocialID"), json::value("1790000"));  // the replied comment
    EXPECT_EQ(raw.at("ParentSocialID"), json::value("1780001"));
    EXPECT_EQ(raw.at("Description"), json::value("Nice post"));
    EXPECT_EQ(raw.at("CreatedDate"), json::value("2024-05-01T10:00:00+0000"));
    EXPECT_EQ(raw.at("SettingID"), json::value(55));
    EXPECT_EQ(raw.at("UserInfo").at("AuthorSocialID"), json::value("17841400000000001"));
    EXPECT_EQ(record.at("isBrandPost"), json::value(true));  // written by the brand itself
    EXPECT_EQ(record.at("ChannelType"), json::value("29"));
    EXPECT_EQ(record.at("ChannelGroup"), json::value(3));
    EXPECT_EQ(record.at("BrandInfo").at("BrandID"), json::value(13011));
}

TEST_F(PipelineTest, ABodyThatIsNotAnObjectIsADeliveryError) {
    for (const char* body : {"not json", "[1]", "", "{\"entry\": [}"}) {
        EXPECT_THROW(process(body), DeliveryError) << body;
    }
}

TEST_F(PipelineTest, ADeliveryWithoutItemsIsReported) {
    const auto envelopes = process(R"({"object":"instagram","entry":[]})");
    ASSERT_EQ(envelopes.size(), 1u);
    EXPECT_TRUE(envelopes[0].at("kind").is_null());
    EXPECT_FALSE(envelopes[0].at("error").is_null());
}

TEST_F(PipelineTest, CountsItemsRecordsAndErrors) {
    asio::io_context io;
    Pipeline pipeline(config, io.get_executor(), PipelineClients{.logger = logger});
    const std::string body = R"({"entry":[{"id":"17841400000000001","changes":[
        {"field":"comments","value":{"id":"1","media":{"id":"2","media_product_type":"FEED"}}},
        {"field":"comments","value":{"id":"3","media":{"id":"4","media_product_type":"AD"}}}]},
        {"id":"nobody","changes":[{"field":"comments","value":{"id":"5","media":{"id":"6","media_product_type":"FEED"}}}]}]})";
    auto result = asio::co_spawn(io, pipeline.process(body, 1), asio::use_future);
    io.run();
    ASSERT_EQ(result.get().size(), 3u);
    const PipelineStats s = pipeline.stats();
    EXPECT_EQ(s.deliveries, 1u);
    EXPECT_EQ(s.items, 3u);
    EXPECT_EQ(s.records, 2u);
    EXPECT_EQ(s.errors, 1u);
    EXPECT_EQ(s.graph_api_in_flight, 0u);
}

}  // namespace
}  // namespace quillmere::host
