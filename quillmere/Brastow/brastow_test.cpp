#include "quillmere/Brastow/brastow.hpp"

#include "quillmere/common/errors.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

namespace json = boost::json;
using namespace quillmere::brastow;

struct Call {
    std::string operation;
    std::string bucket;
    std::string key;
    std::string body;
    std::string content_type;
    bool operator==(const Call&) const = default;
};

// Records every call; `fail` (when set) runs first and may throw.
class RecordingClient : public StorageClient {
public:
    std::vector<Call>* calls;
    std::function<void()> fail;
    explicit RecordingClient(std::vector<Call>* c) : calls(c) {}
    void put_object(std::string_view bucket, std::string_view key, std::string_view body,
                    const ObjectAttributes& attributes) override {
        if (fail) fail();
        calls->push_back({"put", std::string(bucket), std::string(key), std::string(body), attributes.content_type});
    }
    void delete_object(std::string_view bucket, std::string_view key) override {
        if (fail) fail();
        calls->push_back({"delete", std::string(bucket), std::string(key), "", ""});
    }
};

struct Manager {
    std::vector<Call> calls;
    RecordingClient* client;
    Brastow brastow;
    explicit Manager(json::value environ = "staging", BrastowOptions options = {})
        : client(new RecordingClient(&calls)),
          brastow(std::unique_ptr<StorageClient>(client), std::move(environ), std::move(options)) {}
};

TEST(GetFileUrl, FormDependsOnEnvironmentOnly) {
    struct Case {
        const char* environ;
        const char* expected;
    };
    const Case cases[] = {
        {"production", "https://s3.amazonaws.com/media/a.png"}, {"Production", "https://s3.amazonaws.com/media/a.png"},
        {"PRODUCTION", "https://s3.amazonaws.com/media/a.png"}, {"prod", "https://media.s3.amazonaws.com/a.png"},
        {"staging", "https://media.s3.amazonaws.com/a.png"},    {"production ", "https://media.s3.amazonaws.com/a.png"},
        {"", "https://media.s3.amazonaws.com/a.png"},
    };
    for (const auto& c : cases) {
        Manager m(c.environ);
        EXPECT_EQ(m.brastow.get_file_url("media", "a.png"), c.expected) << c.environ;
    }
}

TEST(GetFileUrl, KeyStandsUnencoded) {
    Manager prod("production");
    EXPECT_EQ(prod.brastow.get_file_url("media", "dir/my photo ü.png"),
              "https://s3.amazonaws.com/media/dir/my photo ü.png");
    Manager dev("dev");
    EXPECT_EQ(dev.brastow.get_file_url("media", "a b%2F?.png"), "https://media.s3.amazonaws.com/a b%2F?.png");
    EXPECT_TRUE(prod.calls.empty());
}

TEST(GetFileUrl, EnvironNotTextGivesErrorText) {
    Manager none(nullptr);
    EXPECT_EQ(none.brastow.get_file_url("media", "a.png"),
              "Error getting URL for a.png: environ must be a str, not null");
    Manager number(7);
    EXPECT_EQ(number.brastow.get_file_url("media", "k"), "Error getting URL for k: environ must be a str, not int");
}

TEST(UploadFile, StoresBytesExactlyAndReturnsAddress) {
    Manager m("Production");
    const std::string raw("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff", 17);
    std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(raw.data()),
                                 reinterpret_cast<const std::byte*>(raw.data()) + raw.size());
    EXPECT_EQ(m.brastow.upload_file(bytes, "media", "x/1.png"), "https://s3.amazonaws.com/media/x/1.png");
    ASSERT_EQ(m.calls.size(), 1u);
    EXPECT_EQ(m.calls[0], (Call{"put", "media", "x/1.png", raw, "image/png"}));
}

TEST(UploadFile, BytesThatLookLikeAnAddressAreContent) {
    Manager m;
    const std::string text = "http://127.0.0.1:1/never-fetched";
    EXPECT_EQ(m.brastow.upload_file(std::as_bytes(std::span(text)), "b", "k"), "https://b.s3.amazonaws.com/k");
    EXPECT_EQ(m.calls, (std::vector<Call>{{"put", "b", "k", text, ""}}));
}

TEST(UploadFile, TextNotBeginningWithLowerCaseHttpIsContent) {
    for (const char* text : {"HTTP://127.0.0.1:1/x", " http://127.0.0.1:1/x", "Http://x", "hello", ""}) {
        Manager m;
        m.brastow.upload_file(text, "b", "k");
        EXPECT_EQ(m.calls, (std::vector<Call>{{"put", "b", "k", text, ""}})) << text;
    }
}

TEST(UploadFile, FailedFetchStoresNothing) {
    Manager m;
    // Nothing listens on port 1 of the loopback interface.
    EXPECT_THROW(m.brastow.upload_file("http://127.0.0.1:1/photo.png", "b", "k"), FetchError);
    EXPECT_THROW(m.brastow.upload_file("httpx://127.0.0.1:1/photo.png", "b", "k"), FetchError);
    EXPECT_THROW(m.brastow.upload_file("http", "b", "k"), FetchError);
    EXPECT_TRUE(m.calls.empty());
}

TEST(UploadFile, StoreFailureReachesCallerUnchanged) {
    Manager m;
    m.client->fail = [] { throw StorageServiceError("PutObject", "NoSuchBucket", "no bucket", 404); };
    try {
        m.brastow.upload_file("content", "b", "k");
        FAIL() << "no exception";
    } catch (const StorageServiceError& e) {
        EXPECT_EQ(e.code(), "NoSuchBucket");
        EXPECT_STREQ(e.what(), "S3 PutObject failed: NoSuchBucket (HTTP 404): no bucket");
    }
}

TEST(UploadFile, ObjectIsStoredBeforeAddressFails) {
    Manager m(nullptr);
    EXPECT_THROW(m.brastow.upload_file("content", "b", "k"), quillmere::TypeError);
    EXPECT_EQ(m.calls, (std::vector<Call>{{"put", "b", "k", "content", ""}}));
}

TEST(UpdateFile, IssuesTheSameRequestAsUpload) {
    Manager up("production"), upd("production");
    const std::string raw("a\0b", 3);
    EXPECT_EQ(up.brastow.upload_file(std::as_bytes(std::span(raw)), "b", "k"),
              upd.brastow.update_file(std::as_bytes(std::span(raw)), "b", "k"));
    EXPECT_EQ(up.brastow.upload_file("text", "b", "k2"), upd.brastow.update_file("text", "b", "k2"));
    EXPECT_EQ(up.calls, upd.calls);
    EXPECT_EQ(up.calls.size(), 2u);
}

TEST(DeleteFile, ReportsSuccessOrStorageFailure) {
    Manager m;
    EXPECT_EQ(m.brastow.delete_file("media", "a.png"), "a.png deleted successfully from media");
    EXPECT_EQ(m.calls, (std::vector<Call>{{"delete", "media", "a.png", "", ""}}));

    m.client->fail = [] { throw StorageCoreError("S3 DeleteObject request failed: Timeout was reached"); };
    EXPECT_EQ(m.brastow.delete_file("media", "a.png"),
              "Error deleting a.png: S3 DeleteObject request failed: Timeout was reached");
    m.client->fail = [] { throw StorageServiceError("DeleteObject", "AccessDenied", "Access Denied", 403); };
    EXPECT_EQ(m.brastow.delete_file("media", "a.png"),
              "Error deleting a.png: S3 DeleteObject failed: AccessDenied (HTTP 403): Access Denied");
}

TEST(DeleteFile, OtherFailuresReachCaller) {
    Manager m;
    m.client->fail = [] { throw std::runtime_error("boom"); };
    EXPECT_THROW(m.brastow.delete_file("media", "a.png"), std::runtime_error);
}

TEST(Constructor, RejectsInvalidClientSettings) {
    EXPECT_THROW(Brastow("ak", "sk", "production", "ap:south-1"), StorageCoreError);
    EXPECT_THROW(Brastow("ak", "sk", "production", "ap-south-1", "ftp://127.0.0.1:9000"), StorageCoreError);
    EXPECT_THROW(Brastow(std::unique_ptr<StorageClient>(), "production"), std::invalid_argument);
    Brastow ok("ak", "sk", "Production");
    EXPECT_EQ(ok.environ(), json::value("Production"));
    EXPECT_EQ(ok.get_file_url("b", "k"), "https://s3.amazonaws.com/b/k");
}

TEST(Constructor, Defaults) {
    // Built without a region, the manager's client signs for ap-south-1 and sends its
    // requests to that region's host.
    Brastow m("ak", "sk", "production");
    auto* client = dynamic_cast<S3Client*>(&m.s3_client());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->region(), "ap-south-1");
    EXPECT_EQ(client->endpoint(), "");
    EXPECT_EQ(client->object_address("media", "a.png"), "https://media.s3.ap-south-1.amazonaws.com/a.png");
    EXPECT_EQ(S3ClientSettings{}.region, "ap-south-1");

    EXPECT_EQ(m.options().fetch.stall_timeout, std::chrono::seconds(30));
    EXPECT_EQ(m.options().fetch.timeout, std::chrono::hours(1));
    EXPECT_EQ(m.options().fetch.max_bytes, 200u * 1024 * 1024);
    EXPECT_TRUE(m.options().store_content_type);
    EXPECT_EQ(S3ClientSettings{}.multipart_threshold, 16u * 1024 * 1024);
    EXPECT_EQ(S3ClientSettings{}.part_size, 16u * 1024 * 1024);
}

TEST(ContentType, StoredForTheKeyUnlessTurnedOff) {
    Manager typed;
    typed.brastow.upload_file("x", "b", "posts/1.JPG");
    typed.brastow.upload_file("x", "b", "clip.mp4");
    typed.brastow.upload_file("x", "b", "no-extension");
    typed.brastow.update_file(std::as_bytes(std::span(std::string_view("x"))), "b", "a.webp");
    EXPECT_EQ(typed.calls, (std::vector<Call>{{"put", "b", "posts/1.JPG", "x", "image/jpeg"},
                                              {"put", "b", "clip.mp4", "x", "video/mp4"},
                                              {"put", "b", "no-extension", "x", ""},
                                              {"put", "b", "a.webp", "x", "image/webp"}}));
    Manager plain("staging", BrastowOptions{.fetch = {}, .store_content_type = false});
    plain.brastow.upload_file("x", "b", "posts/1.jpg");
    EXPECT_EQ(plain.calls, (std::vector<Call>{{"put", "b", "posts/1.jpg", "x", ""}}));
}

TEST(ContentType, ForKey) {
    const std::pair<const char*, const char*> cases[] = {
        {"a.png", "image/png"},
        {"dir/b.JPEG", "image/jpeg"},
        {"c.Jpg", "image/jpeg"},
        {"v/clip.MOV", "video/quicktime"},
        {"x.webm", "video/webm"},
        {"s.mp3", "audio/mpeg"},
        {"d.pdf", "application/pdf"},
        {"archive.tar.gz", "application/gzip"},
        {"a.3gp", "video/3gpp"},
        {"a.avif", "image/avif"},
        {"a.zip", "application/zip"},
        {"photo", ""},
        {"photo.", ""},
        {".png", "image/png"},
        {"dir.png/photo", ""},
        {"a.unknown", ""},
        {"a.pngx", ""},
        {"a.p", ""},
        {"a.PnG/", ""},
        {"", ""},
        {"a.Ã©", ""},
    };
    for (const auto& [key, type] : cases) EXPECT_EQ(content_type_for_key(key), type) << key;
}

// The store's default writer collects the pieces and stores them whole on commit only.
TEST(ObjectWriter, DefaultCollectsAndStoresOnCommit) {
    std::vector<Call> calls;
    RecordingClient client(&calls);
    {
        auto writer = client.open_object("b", "k.png", {.content_type = "image/png"});
        writer->write("ab");
        writer->write(std::string_view("\0c", 2));
        EXPECT_TRUE(calls.empty());
        writer->commit();
    }
    EXPECT_EQ(calls, (std::vector<Call>{{"put", "b", "k.png", std::string("ab\0c", 4), "image/png"}}));
    {
        auto dropped = client.open_object("b", "k2", {});
        dropped->write("never stored");
    }
    EXPECT_EQ(calls.size(), 1u);
}

TEST(FuncCall, EmptyGivesJpgOtherwisePointAndTextForm) {
    EXPECT_EQ(func_call("png"), ".png");
    EXPECT_EQ(func_call("PNG"), ".PNG");
    EXPECT_EQ(func_call(nullptr), ".jpg");
    EXPECT_EQ(func_call(""), ".jpg");
    EXPECT_EQ(func_call(0), ".jpg");
    EXPECT_EQ(func_call(false), ".jpg");
    EXPECT_EQ(func_call(5), ".5");
    EXPECT_EQ(func_call(true), ".True");
}

TEST(GetFileExtension, Table) {
    struct Case {
        std::string url;
        const char* expected;
    };
    const Case cases[] = {
        {"https://cdn.example.com/x/photo.PNG", ".png"},
        {"https://cdn.example.com/a/archive.tar.gz", ".gz"},
        {"https://cdn.example.com/x/photo", ".jpg"},
        {"", ".jpg"},
        // The query has no "url" field: the path used is empty and the pattern finds ".PNG?".
        {"https://cdn.example.com/x/photo.PNG?sig=abc", ".png"},
        {"https://cdn.example.com/x/photo.PNG?sig=abc.WEBP", ".png"},
        {"https://cdn.example.com/x/photo?sig=a.b", ".b"},
        {"https://proxy.example.com/fetch?url=https%3A%2F%2Fcdn.example.com%2Fv%2Fclip.MP4%3Fa%3D1", ".mp4"},
        {"https://proxy.example.com/fetch?w=1&url=https://cdn.example.com/v/clip.MOV&url=x.png", ".mov"},
        {"https://proxy.example.com/fetch?url=&url=https://cdn.example.com/v/a.gif", ".gif"},
        {"https://proxy.example.com/fetch?u%72l=%2Fv%2Fb.Webp", ".webp"},
        {"https://proxy.example.com/fetch?url=%2Fv%2Fmy+clip.MKV", ".mkv"},
        // The pattern search runs over the whole address, not the inner one.
        {"https://proxy.example.com/fetch/z.png?url=/v/noext", ".png"},
        {"https://proxy.example.com/fetch/z.png?url", ".png"},
        {"https://proxy.example.com/fetch?url=/v/noext.Avi", ".avi"},
        // Path ends in "file.": the file name has an empty extension; the pattern search follows.
        {"https://cdn.example.com/x/file.", ".jpg"},
        {"https://cdn.example.com/x.y/file.", ".jpg"},
        {"https://cdn.example.com/x/photo.jpeg/", ".jpeg"},
        {"https://cdn.example.com/x/photo.png;v=1", ".png"},
        {"https://cdn.example.com/x;a.b/photo", ".jpg"},
        {"https://cdn.example.com/x/photo.png#frag.gif", ".png"},
        {"https://cdn.example.com/x/photo#frag.GIF", ".gif"},
        {"https://cdn.example.com/x/photo.gif\n", ".gif"},
        {"photo.HEIC", ".heic"},
        {"/x/.hidden", ".hidden"},
        {"https://cdn.example.com", ".com"},
        {"https://cdn.example.com/", ".jpg"},
        // Not well formed, read leniently.
        {"https://cdn.example.com/x/my photo.PNG", ".png"},
        {"https://cdn.example.com/x/f\xc3\xbcr.Png", ".png"},
        {"https://cdn.example.com/x/100%.png", ".png"},
        {"  https://cdn.example.com/x/a|b.JPG", ".jpg"},
        {"https://cdn.example.com/x/a.TIFF?x=|", ".tiff"},
        // The extension is the file name's own text: nothing is percent-encoded, letters of
        // any script are lower-cased.
        {"https://cdn.example.com/x/a.\xd0\xa4\xd0\x9e\xd0\xa2\xd0\x9e", ".\xd1\x84\xd0\xbe\xd1\x82\xd0\xbe"},
        {"https://cdn.example.com/x/a.b c", ".b c"},
        {"https://cdn.example.com/x/a.%41B", ".%41b"},
        {"https://proxy.example.com/fetch?url=%2Fv%2Fa.%C3%89T%C3%89", ".\xc3\xa9t\xc3\xa9"},
        // The port is not checked; an unbalanced bracket in the host fails.
        {"https://cdn.example.com:80x/x/a.png", ".png"},
        {"https://[::1/x/a.png", ".jpg"},
        {"mailto:x;y.png", ".png"},
    };
    for (const auto& c : cases) EXPECT_EQ(get_file_extension(json::value(c.url)), c.expected) << c.url;
}

TEST(GetFileExtension, RejectsNonText) {
    for (const json::value& v : {json::value(nullptr), json::value(3), json::value(json::array{"a.png"})}) {
        try {
            get_file_extension(v);
            FAIL() << "no exception";
        } catch (const quillmere::TypeError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("url must be a str")) << e.what();
        }
    }
}

}  // namespace
