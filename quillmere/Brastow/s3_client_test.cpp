#include "quillmere/Brastow/s3_client.hpp"

#include "quillmere/Brastow/internal/s3_detail.hpp"

#include <gtest/gtest.h>

namespace {

using namespace quillmere::brastow;

S3ClientSettings settings(std::string region, std::string endpoint = {}, int max_attempts = 3) {
    S3ClientSettings s;
    s.access_key = "AKIDEXAMPLE";
    s.secret_key = "wJalrXUtnFEMI-secret";
    s.region = std::move(region);
    s.endpoint = std::move(endpoint);
    s.max_attempts = max_attempts;
    return s;
}

TEST(EncodeKey, OnlyUnreservedAndSlashStayAsTheyAre) {
    EXPECT_EQ(detail::encode_key("AZaz09-._~/x"), "AZaz09-._~/x");
    EXPECT_EQ(detail::encode_key("my photo.png"), "my%20photo.png");
    EXPECT_EQ(detail::encode_key("f\xc3\xbcr"), "f%C3%BCr");
    EXPECT_EQ(detail::encode_key("!'()*+,;=:@?#&$%"), "%21%27%28%29%2A%2B%2C%3B%3D%3A%40%3F%23%26%24%25");
    EXPECT_EQ(detail::encode_key(std::string("\0\x7f\xff", 3)), "%00%7F%FF");
}

TEST(Sha256Hex, KnownDigests) {
    EXPECT_EQ(detail::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(detail::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ErrorDocument, CodeAndMessageWithEntities) {
    auto doc = detail::parse_error_document(
        "<?xml version=\"1.0\"?>\n<Error><Code>XAmzContentSHA256Mismatch</Code><Message>The &apos;x&apos; &lt;a&gt; "
        "&amp;amp; &quot;q&quot; &unknown;</Message><RequestId>1</RequestId></Error>");
    EXPECT_EQ(doc.code, "XAmzContentSHA256Mismatch");
    EXPECT_EQ(doc.message, "The 'x' <a> &amp; \"q\" &unknown;");
    auto empty = detail::parse_error_document("<html>Bad gateway</html>");
    EXPECT_EQ(empty.code, "");
    EXPECT_EQ(empty.message, "");
}

TEST(S3Client, AddressesAwsVirtualHostedWherePossible) {
    S3Client aws(settings("eu-west-1"));
    EXPECT_EQ(aws.object_address("media", "a b/ü.png"), "https://media.s3.eu-west-1.amazonaws.com/a%20b/%C3%BC.png");
    EXPECT_EQ(aws.object_address("my.media", "k"), "https://s3.eu-west-1.amazonaws.com/my.media/k");
    EXPECT_EQ(aws.object_address("Media", "k"), "https://s3.eu-west-1.amazonaws.com/Media/k");
    EXPECT_EQ(aws.object_address("ab", "k"), "https://s3.eu-west-1.amazonaws.com/ab/k");
    EXPECT_EQ(aws.region(), "eu-west-1");
    EXPECT_EQ(aws.endpoint(), "");
}

TEST(S3Client, AddressesEndpointPathStyle) {
    S3Client local(settings("ap-south-1", "http://127.0.0.1:9000/"));
    EXPECT_EQ(local.endpoint(), "http://127.0.0.1:9000");
    EXPECT_EQ(local.region(), "ap-south-1");
    EXPECT_EQ(local.object_address("media", "x/a b"), "http://127.0.0.1:9000/media/x/a%20b");
    S3Client prefixed(settings("ap-south-1", "https://store.example/s3"));
    EXPECT_EQ(prefixed.object_address("media", "k"), "https://store.example/s3/media/k");
}

TEST(S3Client, RejectsInvalidSettings) {
    for (const char* region : {"", "ap:south-1", "eu/west", "a.b", "eu west"}) {
        EXPECT_THROW(S3Client(settings(region)), StorageCoreError) << region;
    }
    for (const char* endpoint :
         {"ftp://127.0.0.1", "127.0.0.1:9000", "http://user:pw@127.0.0.1:9000", "http://127.0.0.1:9000/?x=1",
          "http://127.0.0.1:9000/#f", "http:///x", "not an address"}) {
        try {
            S3Client client(settings("ap-south-1", endpoint));
            ADD_FAILURE() << endpoint;
        } catch (const StorageCoreError& e) {
            EXPECT_EQ(std::string(e.what()).find("pw"), std::string::npos);
        }
    }
}

TEST(S3Client, PartSizeWithinWhatS3Takes) {
    for (std::uint64_t size : {0ull, 5ull * 1024 * 1024 - 1, 5ull * 1024 * 1024 * 1024 + 1}) {
        auto s = settings("ap-south-1");
        s.part_size = size;
        EXPECT_THROW(S3Client{s}, StorageCoreError) << size;
    }
    for (std::uint64_t size : {5ull * 1024 * 1024, 5ull * 1024 * 1024 * 1024}) {
        auto s = settings("ap-south-1");
        s.part_size = size;
        EXPECT_NO_THROW(S3Client{s}) << size;
    }
}

TEST(S3Client, InvalidBucketOrEmptyKeyFailsBeforeAnyRequest) {
    // Nothing listens on port 1: a request that went out would fail as a transport error.
    S3Client client(settings("ap-south-1", "http://127.0.0.1:1", 1));
    for (const char* bucket : {"", "a/b", "a b", "a?b", "bücket"}) {
        try {
            client.put_object(bucket, "k", "x", {});
            ADD_FAILURE() << bucket;
        } catch (const StorageCoreError& e) {
            EXPECT_STREQ(e.what(), "S3 PutObject: invalid bucket name") << bucket;
        }
    }
    try {
        client.delete_object("media", "");
        ADD_FAILURE();
    } catch (const StorageCoreError& e) {
        EXPECT_STREQ(e.what(), "S3 DeleteObject: the key is empty");
    }
    EXPECT_THROW(client.open_object("a b", "k", {}), StorageCoreError);
    EXPECT_THROW(client.open_object("media", "", {}), StorageCoreError);
}

TEST(S3Client, TransportFailureIsCoreFailureWithoutSecret) {
    S3Client client(settings("ap-south-1", "http://127.0.0.1:1", 1));
    try {
        client.put_object("media", "k", "body", {});
        ADD_FAILURE();
    } catch (const StorageCoreError& e) {
        std::string what = e.what();
        EXPECT_TRUE(what.starts_with("S3 PutObject request failed: ")) << what;
        EXPECT_EQ(what.find("wJalrXUtnFEMI"), std::string::npos) << what;
    }
}

TEST(StorageServiceError, DescriptionNamesOperationCodeStatusAndMessage) {
    StorageServiceError e("DeleteObject", "NoSuchBucket", "The specified bucket does not exist", 404);
    EXPECT_STREQ(e.what(), "S3 DeleteObject failed: NoSuchBucket (HTTP 404): The specified bucket does not exist");
    StorageServiceError bare("PutObject", "502", "", 502);
    EXPECT_STREQ(bare.what(), "S3 PutObject failed: 502 (HTTP 502)");
    EXPECT_EQ(bare.http_status(), 502);
}

}  // namespace
