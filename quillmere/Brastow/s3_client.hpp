#pragma once
// Amazon S3 (and S3-compatible servers) over libcurl, signed with AWS Signature Version 4.

#include "quillmere/Brastow/storage_client.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace quillmere::brastow {

struct S3ClientSettings {
    std::string access_key;
    std::string secret_key;
    std::string region = "ap-south-1";
    // Empty: Amazon S3 at https://s3.<region>.amazonaws.com, addressing a bucket as the
    // first label of the host (virtual-hosted style) when its name is a DNS label without
    // points, and in the path otherwise. Set ("http://127.0.0.1:9000", optionally with a path
    // prefix): an S3-compatible server, always addressed path-style:
    // <endpoint>/<bucket>/<key>.
    std::string endpoint;
    std::chrono::milliseconds connect_timeout{60'000};
    // A request fails once no byte has moved for this long.
    std::chrono::milliseconds stall_timeout{60'000};
    // Attempts per request; transport failures (but not time-outs) and HTTP 500, 502, 503
    // and 504 answers are tried again after retry_delay, then twice that, and so on. Both
    // calls are idempotent.
    int max_attempts = 3;
    std::chrono::milliseconds retry_delay{200};
};

// Safe to use from many threads at once; idle connections are kept for reuse.
class S3Client final : public StorageClient {
public:
    // Throws StorageCoreError for a region that is not a region name or an endpoint that is
    // not an http(s) address without query, fragment or credentials.
    explicit S3Client(S3ClientSettings settings);
    ~S3Client() override;
    S3Client(const S3Client&) = delete;
    S3Client& operator=(const S3Client&) = delete;

    // StorageCoreError for an empty key or a bucket name outside [A-Za-z0-9._-]{1,255} and
    // for transport failures; StorageServiceError for an error answer.
    void put_object(std::string_view bucket, std::string_view key, std::string_view body) override;
    void delete_object(std::string_view bucket, std::string_view key) override;

    const std::string& region() const noexcept;
    const std::string& endpoint() const noexcept;
    // The address a request for the object goes to (the key percent-encoded).
    std::string object_address(std::string_view bucket, std::string_view key) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

namespace detail {
// The key as it stands in a request path: every byte but A-Z a-z 0-9 - . _ ~ and "/" as
// %XX with upper-case hex.
std::string encode_key(std::string_view key);
// Lower-case hex SHA-256 of `data`.
std::string sha256_hex(std::string_view data);
// Code and Message of an S3 error document ("" when absent), XML entities decoded.
struct ErrorDocument {
    std::string code;
    std::string message;
};
ErrorDocument parse_error_document(std::string_view xml);
}  // namespace detail

}  // namespace quillmere::brastow
