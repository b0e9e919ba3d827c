#include "quillmere/Brastow/brastow.hpp"

#include "quillmere/Brastow/s3_client.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <exception>

namespace quillmere::brastow {

namespace {

bool is_production(std::string_view environ) {
    constexpr std::string_view kProduction = "production";
    if (environ.size() != kProduction.size()) return false;
    for (std::size_t i = 0; i < environ.size(); ++i) {
        char c = environ[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kProduction[i]) return false;
    }
    return true;
}

std::string_view as_text(std::span<const std::byte> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

Brastow::Brastow(std::string_view access_key, std::string_view secret_key, boost::json::value environ,
                 std::string_view region, std::string_view endpoint, BrastowOptions options)
    : Brastow(std::make_unique<S3Client>(S3ClientSettings{.access_key = std::string(access_key),
                                                          .secret_key = std::string(secret_key),
                                                          .region = std::string(region),
                                                          .endpoint = std::string(endpoint)}),
              std::move(environ), std::move(options)) {}

Brastow::Brastow(std::unique_ptr<StorageClient> s3_client, boost::json::value environ, BrastowOptions options)
    : s3_client_(std::move(s3_client)), environ_(std::move(environ)), options_(std::move(options)) {
    if (!s3_client_) throw std::invalid_argument("Brastow needs a storage client");
}

namespace {

// Passes a fetched body on to the store as it arrives; nothing is stored unless commit()
// is reached.
class StoreWhileFetching final : public FetchSink {
public:
    StoreWhileFetching(StorageClient& client, std::string_view bucket, std::string_view key, bool with_type)
        : client_(client), bucket_(bucket), key_(key), with_type_(with_type) {}

    void begin(std::string_view content_type) override {
        ObjectAttributes attributes;
        if (with_type_) {
            attributes.content_type = content_type.empty() ? content_type_for_key(key_) : content_type;
        }
        writer_ = client_.open_object(bucket_, key_, attributes);
    }
    void write(std::string_view bytes) override { writer_->write(bytes); }
    void commit() { writer_->commit(); }

private:
    StorageClient& client_;
    std::string_view bucket_;
    std::string_view key_;
    bool with_type_;
    std::unique_ptr<ObjectWriter> writer_;
};

}  // namespace

std::string Brastow::store(std::string_view content, std::string_view bucket, std::string_view file_name) {
    ObjectAttributes attributes;
    if (options_.store_content_type) attributes.content_type = content_type_for_key(file_name);
    s3_client_->put_object(bucket, file_name, content, attributes);
    return public_address(bucket, file_name);
}

std::string Brastow::upload_file(std::string_view file_content_or_url, std::string_view bucket,
                                 std::string_view file_name) {
    if (!file_content_or_url.starts_with("http")) return store(file_content_or_url, bucket, file_name);
    StoreWhileFetching sink(*s3_client_, bucket, file_name, options_.store_content_type);
    fetch_content(file_content_or_url, options_.fetch, sink);
    sink.commit();
    return public_address(bucket, file_name);
}

std::string Brastow::upload_file(std::span<const std::byte> file_content, std::string_view bucket,
                                 std::string_view file_name) {
    return store(as_text(file_content), bucket, file_name);
}

std::string Brastow::update_file(std::string_view file_content_or_url, std::string_view bucket,
                                 std::string_view file_name) {
    return upload_file(file_content_or_url, bucket, file_name);
}

std::string Brastow::update_file(std::span<const std::byte> file_content, std::string_view bucket,
                                 std::string_view file_name) {
    return upload_file(file_content, bucket, file_name);
}

std::string Brastow::delete_file(std::string_view bucket, std::string_view file_name) {
    try {
        s3_client_->delete_object(bucket, file_name);
    } catch (const StorageError& e) {
        return "Error deleting " + std::string(file_name) + ": " + e.what();
    }
    return std::string(file_name) + " deleted successfully from " + std::string(bucket);
}

std::string Brastow::get_file_url(std::string_view bucket, std::string_view file_name) const {
    try {
        return public_address(bucket, file_name);
    } catch (const std::exception& e) {
        return "Error getting URL for " + std::string(file_name) + ": " + e.what();
    }
}

std::string Brastow::public_address(std::string_view bucket, std::string_view file_name) const {
    if (!environ_.is_string()) {
        throw TypeError("environ must be a str, not " + std::string(kind_name(environ_)));
    }
    std::string out = "https://";
    if (is_production(environ_.get_string())) {
        out += kGlobalServiceHost;
        out += '/';
        out += bucket;
    } else {
        out += bucket;
        out += '.';
        out += kGlobalServiceHost;
    }
    out += '/';
    out += file_name;
    return out;
}

std::string func_call(const boost::json::value& extension) {
    if (is_empty(extension)) return ".jpg";
    std::string out = ".";
    append_text_form(out, extension);
    return out;
}

}  // namespace quillmere::brastow
