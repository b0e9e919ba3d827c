// The parent post's media kept in object storage (the S3 peer): the post's own media and
// its album children under the post id, a failed fetch reported while the records flow.

#include "host_fixture.hpp"

#include "s3_peer.hpp"

namespace quillmere::testing {
namespace {

class HostMedia : public HostPipeline {};

TEST_F(HostMedia, PostMediaStoredUnderThePostIdAndAFailedFetchReported) {
    S3PeerProcess peer("ap-south-1", {"media"});
    config.storage.configured = true;
    config.storage.bucket = "media";
    config.storage.access_key.value = "S3RVER";
    config.storage.secret_key.value = "S3RVER";
    config.storage.endpoint = peer.endpoint();
    config.storage.environment = "production";

    const std::string base = graph().base_url();
    graph().answer("/cdn/main.jpg", "main-image-bytes");
    graph().answer("/cdn/child.png", "child-image-bytes");  // the second child is not served: 404
    graph().answer("/v21.0/1780950",
                   R"({"id":"1780950","permalink":"https://www.instagram.com/p/ALBUM/","media_type":"CAROUSEL_ALBUM",)"
                   R"("media_url":")" +
                       base + R"(/cdn/main.jpg?token=abc","owner":{"id":")" + kAccount +
                       R"("},"timestamp":"2024-04-30T08:00:00+0000","children":{"data":[)"
                       R"({"media_type":"IMAGE","media_url":")" +
                       base +
                       R"(/cdn/child.png"},)"
                       R"({"media_type":"IMAGE","media_url":")" +
                       base + R"(/cdn/gone.jpg"}]}})");
    auto pipeline = make_pipeline();
    const auto envelopes = process(*pipeline, delivery({comment_change("1790950", "1780950")}));
    ASSERT_EQ(envelopes.size(), 1u);
    const json::object& e = envelopes[0];
    EXPECT_TRUE(e.at("error").is_null()) << e.at("error");
    EXPECT_EQ(e.at("records").as_array().size(), 2u);  // the records flow all the same
    const auto& media = e.at("media").as_array();
    ASSERT_EQ(media.size(), 3u) << json::serialize(media);
    EXPECT_EQ(media[0], parse_json(R"({"key":"1780950.jpg","address":"https://s3.amazonaws.com/media/1780950.jpg"})"));
    EXPECT_EQ(media[1],
              parse_json(R"({"key":"1780950_1.png","address":"https://s3.amazonaws.com/media/1780950_1.png"})"));
    EXPECT_EQ(media[2].at("key"), json::value("1780950_2.jpg"));
    ASSERT_TRUE(media[2].as_object().contains("error"));
    EXPECT_NE(json::value_to<std::string>(media[2].at("error")).find("404"), std::string::npos) << media[2];
    EXPECT_FALSE(media[2].as_object().contains("address"));

    const std::string log = peer.log();
    EXPECT_NE(log.find("PUT /media/1780950.jpg 200"), std::string::npos) << log;
    EXPECT_NE(log.find("PUT /media/1780950_1.png 200"), std::string::npos) << log;
    EXPECT_EQ(log.find("1780950_2"), std::string::npos) << log;  // nothing stored for the failed fetch
    EXPECT_EQ(json::serialize(e).find("S3RVER"), std::string::npos);
}

}  // namespace
}  // namespace quillmere::testing
