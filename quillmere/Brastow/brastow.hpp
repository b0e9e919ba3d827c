#pragma once
// Object storage: the manager that stores, replaces, deletes and addresses media objects,
// and the file extension of a media address.
//
//   quillmere::brastow::Brastow media(access_key, secret_key, "production");
//   std::string address = media.upload_file("https://cdn.example/p.jpg", "media", "posts/1.jpg");

#include "quillmere/Brastow/export.hpp"
#include "quillmere/Brastow/fetch.hpp"
#include "quillmere/Brastow/s3_client.hpp"
#include "quillmere/Brastow/storage_client.hpp"

#include <boost/json/value.hpp>

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace quillmere::brastow {

// The object store's global service host, used by both forms of public address.
inline constexpr std::string_view kGlobalServiceHost = "s3.amazonaws.com";

// How a manager stores objects, beyond its client.
struct BrastowOptions {
    // Fetching content given as an address: stall limit (30 s), overall cap (1 hour) and
    // largest body (200 MiB); see FetchLimits.
    FetchLimits fetch;
    // true (the default): each object is stored with a Content-Type, so that it is served
    // as what it is. Content fetched from an address gets the answer's own Content-Type, or
    // when the answer has none the one of the key's extension; content given as text or
    // bytes gets the one of the key's extension (content_type_for_key). A key without a
    // known extension gets none (S3 then serves binary/octet-stream). false: objects are
    // stored without a Content-Type.
    bool store_content_type = true;
};

class QUILLMERE_BRASTOW_API Brastow {
public:
    // Builds an S3 client for `region` with the given credentials: Amazon S3 when
    // `endpoint` is empty, otherwise the S3-compatible server at `endpoint` (path-style),
    // with the other settings at their defaults (multipart upload above 16 MiB, in 16 MiB
    // parts; see S3ClientSettings). Throws StorageCoreError for an invalid region or
    // endpoint. `environ` is the deployment environment's name; "production" in any case
    // selects path-style public addresses.
    Brastow(std::string_view access_key, std::string_view secret_key, boost::json::value environ,
            std::string_view region = kDefaultRegion, std::string_view endpoint = {}, BrastowOptions options = {});
    // A manager over a client of the caller's (an S3Client with settings of its own, or
    // another store).
    Brastow(std::unique_ptr<StorageClient> s3_client, boost::json::value environ, BrastowOptions options = {});

    // Stores an object under `bucket`/`file_name` and returns its public address. A text
    // that begins with "http" is an address: its content is fetched with one GET and
    // passed on to the store as it arrives (with the S3 client, held up to one part at a
    // time). A status other than 2xx, a stall, the overall time-out or a body over the size
    // limit throw FetchError and store nothing; an object already under the key stays as
    // it was. Any other text is stored as its bytes; bytes are stored as given. Failures
    // reach the caller; the object is stored before the address is formed, so a non-text
    // environ throws after storing.
    std::string upload_file(std::string_view file_content_or_url, std::string_view bucket, std::string_view file_name);
    std::string upload_file(std::span<const std::byte> file_content, std::string_view bucket,
                            std::string_view file_name);
    // The same as upload_file; storing under an existing key replaces the object.
    std::string update_file(std::string_view file_content_or_url, std::string_view bucket, std::string_view file_name);
    std::string update_file(std::span<const std::byte> file_content, std::string_view bucket,
                            std::string_view file_name);

    // "<file_name> deleted successfully from <bucket>" after the client's delete returns
    // (whether or not the object existed); "Error deleting <file_name>: <description>"
    // for a StorageError. Other failures reach the caller.
    std::string delete_file(std::string_view bucket, std::string_view file_name);

    // https://s3.amazonaws.com/<bucket>/<file_name> when environ lower-cased is
    // "production", https://<bucket>.s3.amazonaws.com/<file_name> otherwise; the key is
    // not encoded. "Error getting URL for <file_name>: <description>" on any failure
    // (an environ that is not a text). Does not contact the store.
    std::string get_file_url(std::string_view bucket, std::string_view file_name) const;

    StorageClient& s3_client() const noexcept { return *s3_client_; }
    const boost::json::value& environ() const noexcept { return environ_; }
    const BrastowOptions& options() const noexcept { return options_; }

private:
    std::string store(std::string_view content, std::string_view bucket, std::string_view file_name);
    std::string public_address(std::string_view bucket, std::string_view file_name) const;

    std::unique_ptr<StorageClient> s3_client_;
    boost::json::value environ_;
    BrastowOptions options_;
};

// The Content-Type for a key's extension (the text after the last "." of its last "/"
// segment, in any case): "image/jpeg" for "a/b.JPG", "video/mp4" for "c.mp4"; "" for a key
// without an extension or with one not in the table (common image, video, audio and
// document types).
QUILLMERE_BRASTOW_API std::string_view content_type_for_key(std::string_view key);

// The extension of a media address with its leading point, lower-cased (".png"), or
// ".jpg" when none is found. The file name is taken from the path of the address in the
// query field "url" when the address has a query, else from the address's own path; when
// it has no extension, the first "." + letters/digits followed by "?" or the end of `url`
// is used. Throws quillmere::TypeError naming `url` when it is not a string.
QUILLMERE_BRASTOW_API std::string get_file_extension(const boost::json::value& url);

// ".jpg" for an empty value, otherwise "." followed by the text form of `extension`.
QUILLMERE_BRASTOW_API std::string func_call(const boost::json::value& extension);

}  // namespace quillmere::brastow
