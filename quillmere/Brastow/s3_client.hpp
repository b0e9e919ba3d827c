#pragma once
// Amazon S3 (and S3-compatible servers) over libcurl, signed with AWS Signature Version 4.

#include "quillmere/Brastow/export.hpp"
#include "quillmere/Brastow/storage_client.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillmere::brastow {

// The region a client signs for when none is given.
inline constexpr std::string_view kDefaultRegion = "ap-south-1";

struct S3ClientSettings {
    std::string access_key;
    std::string secret_key;
    std::string region{kDefaultRegion};
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
    // A body larger than this many bytes (16 MiB) is stored as a multipart upload, so that a
    // retry resends one part, not the whole body; a body up to it goes in one PutObject.
    std::uint64_t multipart_threshold = 16ull * 1024 * 1024;
    // The size of each part but the last (16 MiB); S3 takes 5 MiB to 5 GiB. A body given
    // whole that would need more than 10,000 parts is cut into larger ones; a body written
    // in pieces fails at its 10,001st part.
    std::uint64_t part_size = 16ull * 1024 * 1024;
};

// Safe to use from many threads at once; idle connections are kept for reuse.
class QUILLMERE_BRASTOW_API S3Client final : public StorageClient {
public:
    // Throws StorageCoreError for a region that is not a region name, an endpoint that is
    // not an http(s) address without query, fragment or credentials, or a part size outside
    // 5 MiB to 5 GiB.
    explicit S3Client(S3ClientSettings settings);
    ~S3Client() override;
    S3Client(const S3Client&) = delete;
    S3Client& operator=(const S3Client&) = delete;

    // StorageCoreError for an empty key or a bucket name outside [A-Za-z0-9._-]{1,255}
    // (before any request) and for transport failures; StorageServiceError for an error
    // answer. A multipart upload that fails is aborted.
    void put_object(std::string_view bucket, std::string_view key, std::string_view body,
                    const ObjectAttributes& attributes) override;
    void delete_object(std::string_view bucket, std::string_view key) override;
    // Holds up to multipart_threshold bytes; past it, starts a multipart upload and sends
    // each part as it fills, holding at most one part. The writer must not outlive the
    // client.
    std::unique_ptr<ObjectWriter> open_object(std::string_view bucket, std::string_view key,
                                              const ObjectAttributes& attributes) override;

    const std::string& region() const noexcept;
    const std::string& endpoint() const noexcept;
    // The address a request for the object goes to (the key percent-encoded).
    std::string object_address(std::string_view bucket, std::string_view key) const;

private:
    struct QUILLMERE_BRASTOW_NO_EXPORT Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::brastow
