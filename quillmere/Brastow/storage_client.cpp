#include "quillmere/Brastow/storage_client.hpp"

namespace quillmere::brastow {

StorageServiceError::StorageServiceError(std::string operation, std::string code, std::string message, long http_status)
    : StorageError("S3 " + operation + " failed: " + code + " (HTTP " + std::to_string(http_status) + ")" +
                   (message.empty() ? std::string() : ": " + message)),
      operation_(std::move(operation)),
      code_(std::move(code)),
      message_(std::move(message)),
      http_status_(http_status) {}

ObjectWriter::~ObjectWriter() = default;
StorageClient::~StorageClient() = default;

namespace {

class CollectingWriter final : public ObjectWriter {
public:
    CollectingWriter(StorageClient& client, std::string_view bucket, std::string_view key,
                     const ObjectAttributes& attributes)
        : client_(client), bucket_(bucket), key_(key), attributes_(attributes) {}
    void write(std::string_view bytes) override { body_.append(bytes); }
    void commit() override { client_.put_object(bucket_, key_, body_, attributes_); }

private:
    StorageClient& client_;
    std::string bucket_;
    std::string key_;
    ObjectAttributes attributes_;
    std::string body_;
};

}  // namespace

std::unique_ptr<ObjectWriter> StorageClient::open_object(std::string_view bucket, std::string_view key,
                                                         const ObjectAttributes& attributes) {
    return std::make_unique<CollectingWriter>(*this, bucket, key, attributes);
}

}  // namespace quillmere::brastow
