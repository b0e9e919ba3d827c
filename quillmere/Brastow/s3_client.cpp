#include "quillmere/Brastow/s3_client.hpp"

#include "quillmere/Brastow/internal/curl_support.hpp"
#include "quillmere/Brastow/internal/s3_detail.hpp"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <boost/url/parse.hpp>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace quillmere::brastow {

namespace {

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Every byte but the unreserved ones (and "/" when `keep_slash`) as %XX, upper-case hex.
std::string percent_encode(std::string_view text, bool keep_slash) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (is_unreserved(c) || (keep_slash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string decode_entities(std::string_view text) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            auto hit = std::find_if(std::begin(kEntities), std::end(kEntities),
                                    [&](const auto& e) { return text.substr(i).starts_with(e.first); });
            if (hit != std::end(kEntities)) {
                out += hit->second;
                i += hit->first.size();
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

void append_escaped_xml(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
}

std::string element_text(std::string_view xml, std::string_view name) {
    std::string open = "<" + std::string(name) + ">";
    std::string close = "</" + std::string(name) + ">";
    auto start = xml.find(open);
    if (start == std::string_view::npos) return {};
    start += open.size();
    auto end = xml.find(close, start);
    if (end == std::string_view::npos) return {};
    return decode_entities(xml.substr(start, end - start));
}

}  // namespace

namespace detail {

std::string encode_key(std::string_view key) { return percent_encode(key, true); }

std::string sha256_hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw StorageCoreError("SHA-256 digest failed");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 0xF];
    }
    return out;
}

ErrorDocument parse_error_document(std::string_view xml) {
    return {element_text(xml, "Code"), element_text(xml, "Message")};
}

}  // namespace detail

namespace {

constexpr std::size_t kMaxAnswerBody = 64 * 1024;
constexpr std::uint64_t kMinPartSize = 5ull * 1024 * 1024;
constexpr std::uint64_t kMaxPartSize = 5ull * 1024 * 1024 * 1024;
constexpr std::uint64_t kMaxParts = 10'000;

bool valid_region(std::string_view region) {
    return !region.empty() && std::all_of(region.begin(), region.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

bool valid_bucket(std::string_view bucket) {
    return !bucket.empty() && bucket.size() <= 255 && std::all_of(bucket.begin(), bucket.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    });
}

// Refuses, before any request, names that would address something other than one object
// (an empty key would be a request on the bucket itself).
void check_names(const char* operation, std::string_view bucket, std::string_view key) {
    if (!valid_bucket(bucket)) throw StorageCoreError(std::string("S3 ") + operation + ": invalid bucket name");
    if (key.empty()) throw StorageCoreError(std::string("S3 ") + operation + ": the key is empty");
}

// A bucket that can be the first label of a host name under a wildcard certificate.
bool dns_label_bucket(std::string_view bucket) {
    if (bucket.size() < 3 || bucket.size() > 63) return false;
    auto alnum = [](unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    if (!alnum(bucket.front()) || !alnum(bucket.back())) return false;
    return std::all_of(bucket.begin(), bucket.end(), [&](unsigned char c) { return alnum(c) || c == '-'; });
}

std::string checked_endpoint(std::string_view endpoint) {
    if (endpoint.empty()) return {};
    auto parsed = boost::urls::parse_absolute_uri(endpoint);
    if (!parsed || (parsed->scheme() != "http" && parsed->scheme() != "https") || parsed->encoded_host().empty() ||
        parsed->has_userinfo() || parsed->has_query() || parsed->has_fragment()) {
        throw StorageCoreError(
            "the S3 endpoint must be an http or https address without credentials, query or "
            "fragment");
    }
    std::string out(endpoint);
    while (out.ends_with('/')) out.pop_back();
    return out;
}

// The body of a request, read in pieces; libcurl may rewind it to send it again.
struct UploadCursor {
    std::string_view body;
    std::size_t offset = 0;
};

size_t read_body(char* buffer, size_t size, size_t count, void* user) {
    auto* cursor = static_cast<UploadCursor*>(user);
    std::size_t n = std::min(size * count, cursor->body.size() - cursor->offset);
    std::copy_n(cursor->body.data() + cursor->offset, n, buffer);
    cursor->offset += n;
    return n;
}

int seek_body(void* user, curl_off_t offset, int origin) {
    auto* cursor = static_cast<UploadCursor*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > cursor->body.size()) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    cursor->offset = static_cast<std::size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

// What the service answered: the start of its body and its ETag header.
struct Answer {
    std::string body;
    std::string etag;
};

size_t keep_answer_body(char* data, size_t size, size_t count, void* user) {
    auto* body = &static_cast<Answer*>(user)->body;
    std::size_t n = size * count;
    if (body->size() < kMaxAnswerBody) body->append(data, std::min(n, kMaxAnswerBody - body->size()));
    return n;
}

size_t keep_etag(char* data, size_t size, size_t count, void* user) {
    std::string_view line(data, size * count);
    constexpr std::string_view kName = "etag:";
    if (line.size() > kName.size() && std::equal(kName.begin(), kName.end(), line.begin(), [](char a, char b) {
            return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
        })) {
        line.remove_prefix(kName.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
            line.remove_suffix(1);
        static_cast<Answer*>(user)->etag = std::string(line);
    }
    return size * count;
}

bool retryable(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return true;
        default:
            return false;
    }
}

bool retryable(long status) { return status == 500 || status == 502 || status == 503 || status == 504; }

// One request on one object.
struct Request {
    const char* operation;  // for messages: "PutObject", "UploadPart"...
    const char* method;     // "PUT", "POST" or "DELETE"
    std::string_view bucket;
    std::string_view key;
    // In canonical form, as it is signed: names in order, values percent-encoded, "name="
    // for a name without value.
    std::string query;
    std::string_view body;
    std::string_view content_type;  // sent (and signed) when not empty
};

// The connection to the service: settings, signing, idle handles for reuse.
class Service {
public:
    explicit Service(S3ClientSettings s) : settings(std::move(s)), sigv4_("aws:amz:" + settings.region + ":s3") {}
    ~Service() {
        for (CURL* h : idle_) curl_easy_cleanup(h);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    const S3ClientSettings settings;

    std::string address(std::string_view bucket, std::string_view key) const {
        std::string encoded = detail::encode_key(key);
        if (!settings.endpoint.empty()) {
            return settings.endpoint + "/" + std::string(bucket) + "/" + encoded;
        }
        std::string host = "s3." + settings.region + ".amazonaws.com";
        if (dns_label_bucket(bucket)) return "https://" + std::string(bucket) + "." + host + "/" + encoded;
        return "https://" + host + "/" + std::string(bucket) + "/" + encoded;
    }

    // Sends the request, tries again where that is safe, and returns normally only on a
    // 2xx answer.
    Answer perform(const Request& request) {
        std::string url = address(request.bucket, request.key);
        if (!request.query.empty()) url += "?" + request.query;
        const std::string payload_header = "x-amz-content-sha256: " + detail::sha256_hex(request.body);
        const std::string type_header = "Content-Type: " + std::string(request.content_type);
        // Every header of this list is signed, so it holds only headers that go out as they
        // stand. ("Expect:" to suppress "Expect: 100-continue" would be signed and not sent;
        // libcurl adds that header to uploads unsigned, as the AWS SDKs send it.)
        CurlHeaders headers;
        headers.add(payload_header.c_str());
        if (!request.content_type.empty()) headers.add(type_header.c_str());
        const bool has_body = std::string_view(request.method) != "DELETE";

        for (int attempt = 1;; ++attempt) {
            CurlHandle handle = acquire();
            CURL* h = handle.get();
            UploadCursor cursor{request.body};
            Answer answer;
            char error[CURL_ERROR_SIZE] = {};
            curl_easy_setopt(h, CURLOPT_URL, url.c_str());
            curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
            curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
            curl_easy_setopt(h, CURLOPT_AWS_SIGV4, sigv4_.c_str());
            curl_easy_setopt(h, CURLOPT_USERNAME, settings.access_key.c_str());
            curl_easy_setopt(h, CURLOPT_PASSWORD, settings.secret_key.c_str());
            curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
            curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connect_timeout.count()));
            curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME,
                             std::max(1L, static_cast<long>(settings.stall_timeout.count() / 1000)));
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, keep_answer_body);
            curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer);
            curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, keep_etag);
            curl_easy_setopt(h, CURLOPT_HEADERDATA, &answer);
            if (has_body) {
                // An upload with the method named: a POST of libcurl's own would add a form
                // Content-Type, which S3 would keep as the object's.
                curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
                curl_easy_setopt(h, CURLOPT_READFUNCTION, read_body);
                curl_easy_setopt(h, CURLOPT_READDATA, &cursor);
                curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, seek_body);
                curl_easy_setopt(h, CURLOPT_SEEKDATA, &cursor);
                curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            }
            if (std::string_view(request.method) != "PUT") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method);

            CURLcode code = curl_easy_perform(h);
            long status = 0;
            curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
            release(std::move(handle));
            bool again = attempt < settings.max_attempts && (code != CURLE_OK ? retryable(code) : retryable(status));
            if (again) {
                std::this_thread::sleep_for(settings.retry_delay * (1 << std::min(attempt - 1, 10)));
                continue;
            }
            if (code != CURLE_OK) {
                std::string text =
                    std::string("S3 ") + request.operation + " request failed: " + curl_easy_strerror(code);
                if (error[0] != '\0') text += std::string(" (") + error + ")";
                throw StorageCoreError(text);
            }
            if (status >= 200 && status < 300) return answer;
            auto document = detail::parse_error_document(answer.body);
            if (document.code.empty()) document.code = std::to_string(status);
            throw StorageServiceError(request.operation, std::move(document.code), std::move(document.message), status);
        }
    }

private:
    CurlHandle acquire() {
        {
            std::lock_guard lock(idle_mutex_);
            if (!idle_.empty()) {
                CURL* h = idle_.back();
                idle_.pop_back();
                return CurlHandle(h);
            }
        }
        return make_curl_handle();
    }

    void release(CurlHandle handle) {
        curl_easy_reset(handle.get());
        std::lock_guard lock(idle_mutex_);
        if (idle_.size() < 8) idle_.push_back(handle.release());
    }

    const std::string sigv4_;  // "aws:amz:<region>:s3"
    std::mutex idle_mutex_;
    std::vector<CURL*> idle_;  // handles with their live connections
};

// One multipart upload: started on construction, aborted on destruction unless completed.
class MultipartUpload {
public:
    MultipartUpload(Service& service, std::string_view bucket, std::string_view key, const ObjectAttributes& attributes)
        : service_(service), bucket_(bucket), key_(key) {
        Answer answer = service_.perform({.operation = "CreateMultipartUpload",
                                          .method = "POST",
                                          .bucket = bucket_,
                                          .key = key_,
                                          .query = "uploads=",
                                          .body = {},
                                          .content_type = attributes.content_type});
        upload_id_ = element_text(answer.body, "UploadId");
        if (upload_id_.empty()) throw StorageCoreError("S3 CreateMultipartUpload: the answer holds no UploadId");
    }
    ~MultipartUpload() { abort(); }
    MultipartUpload(const MultipartUpload&) = delete;
    MultipartUpload& operator=(const MultipartUpload&) = delete;

    void upload_part(std::string_view data) {
        const std::uint64_t number = etags_.size() + 1;
        if (number > kMaxParts) {
            throw StorageCoreError("S3 UploadPart: the object needs more than " + std::to_string(kMaxParts) +
                                   " parts of " + std::to_string(service_.settings.part_size) + " bytes");
        }
        Answer answer = service_.perform({.operation = "UploadPart",
                                          .method = "PUT",
                                          .bucket = bucket_,
                                          .key = key_,
                                          .query = "partNumber=" + std::to_string(number) + "&" + id_query(),
                                          .body = data,
                                          .content_type = {}});
        if (answer.etag.empty()) throw StorageCoreError("S3 UploadPart: the answer holds no ETag");
        etags_.push_back(std::move(answer.etag));
    }

    void complete() {
        std::string document = "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
        for (std::size_t i = 0; i < etags_.size(); ++i) {
            document += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>";
            append_escaped_xml(document, etags_[i]);
            document += "</ETag></Part>";
        }
        document += "</CompleteMultipartUpload>";
        Answer answer = service_.perform({.operation = "CompleteMultipartUpload",
                                          .method = "POST",
                                          .bucket = bucket_,
                                          .key = key_,
                                          .query = id_query(),
                                          .body = document,
                                          .content_type = "application/xml"});
        // S3 may report a failure of this call in the body of a 200 answer.
        auto error = detail::parse_error_document(answer.body);
        if (!error.code.empty()) {
            throw StorageServiceError("CompleteMultipartUpload", std::move(error.code), std::move(error.message), 200);
        }
        completed_ = true;
    }

private:
    std::string id_query() const { return "uploadId=" + percent_encode(upload_id_, false); }

    // Frees the parts sent so far; a failure here is not reported (the store discards
    // unfinished uploads by its own rules).
    void abort() noexcept {
        if (completed_) return;
        try {
            service_.perform({.operation = "AbortMultipartUpload",
                              .method = "DELETE",
                              .bucket = bucket_,
                              .key = key_,
                              .query = id_query(),
                              .body = {},
                              .content_type = {}});
        } catch (...) {}
        completed_ = true;
    }

    Service& service_;
    std::string bucket_;
    std::string key_;
    std::string upload_id_;
    std::vector<std::string> etags_;
    bool completed_ = false;
};

void put_whole(Service& service, std::string_view bucket, std::string_view key, std::string_view body,
               const ObjectAttributes& attributes) {
    service.perform({.operation = "PutObject",
                     .method = "PUT",
                     .bucket = bucket,
                     .key = key,
                     .query = {},
                     .body = body,
                     .content_type = attributes.content_type});
}

// Holds the content up to the multipart threshold; past it, sends each part as it fills.
class S3ObjectWriter final : public ObjectWriter {
public:
    S3ObjectWriter(Service& service, std::string_view bucket, std::string_view key, const ObjectAttributes& attributes)
        : service_(service), bucket_(bucket), key_(key), attributes_(attributes) {}

    void write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const std::uint64_t limit = upload_ ? service_.settings.part_size : service_.settings.multipart_threshold;
            if (buffer_.size() >= limit) {
                // The buffer is full and more is coming: what it holds is not the last part.
                send_full_parts();
                continue;
            }
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), limit - buffer_.size()));
            if (buffer_.capacity() < buffer_.size() + take) {
                buffer_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
                    limit, std::max<std::uint64_t>({buffer_.size() + take, 2 * buffer_.capacity(), 64 * 1024}))));
            }
            buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
            bytes.remove_prefix(take);
        }
    }

    void commit() override {
        if (!upload_) {
            put_whole(service_, bucket_, key_, held(), attributes_);
        } else {
            if (!buffer_.empty()) upload_->upload_part(held());
            upload_->complete();
        }
        std::vector<char>().swap(buffer_);
    }

private:
    std::string_view held() const { return {buffer_.data(), buffer_.size()}; }

    void send_full_parts() {
        if (!upload_) upload_.emplace(service_, bucket_, key_, attributes_);
        const std::size_t part = static_cast<std::size_t>(service_.settings.part_size);
        std::size_t sent = 0;
        for (; buffer_.size() - sent >= part; sent += part) upload_->upload_part(held().substr(sent, part));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(sent));
    }

    Service& service_;
    std::string bucket_;
    std::string key_;
    ObjectAttributes attributes_;
    std::vector<char> buffer_;
    std::optional<MultipartUpload> upload_;
};

}  // namespace

struct S3Client::Impl : Service {
    using Service::Service;
};

namespace {
S3ClientSettings checked(S3ClientSettings settings) {
    ensure_curl_initialised();
    if (!valid_region(settings.region)) throw StorageCoreError("invalid S3 region name");
    settings.endpoint = checked_endpoint(settings.endpoint);
    if (settings.part_size < kMinPartSize || settings.part_size > kMaxPartSize) {
        throw StorageCoreError("the S3 part size must be 5 MiB to 5 GiB");
    }
    if (settings.max_attempts < 1) settings.max_attempts = 1;
    return settings;
}
}  // namespace

S3Client::S3Client(S3ClientSettings settings) : impl_(std::make_unique<Impl>(checked(std::move(settings)))) {}

S3Client::~S3Client() = default;

void S3Client::put_object(std::string_view bucket, std::string_view key, std::string_view body,
                          const ObjectAttributes& attributes) {
    check_names("PutObject", bucket, key);
    const S3ClientSettings& settings = impl_->settings;
    if (body.size() <= settings.multipart_threshold) {
        put_whole(*impl_, bucket, key, body, attributes);
        return;
    }
    const std::uint64_t part = std::max(settings.part_size, (body.size() + kMaxParts - 1) / kMaxParts);
    MultipartUpload upload(*impl_, bucket, key, attributes);
    for (std::size_t at = 0; at < body.size(); at += part) upload.upload_part(body.substr(at, part));
    upload.complete();
}

void S3Client::delete_object(std::string_view bucket, std::string_view key) {
    check_names("DeleteObject", bucket, key);
    impl_->perform({.operation = "DeleteObject",
                    .method = "DELETE",
                    .bucket = bucket,
                    .key = key,
                    .query = {},
                    .body = {},
                    .content_type = {}});
}

std::unique_ptr<ObjectWriter> S3Client::open_object(std::string_view bucket, std::string_view key,
                                                    const ObjectAttributes& attributes) {
    check_names("PutObject", bucket, key);
    return std::make_unique<S3ObjectWriter>(*impl_, bucket, key, attributes);
}

const std::string& S3Client::region() const noexcept { return impl_->settings.region; }
const std::string& S3Client::endpoint() const noexcept { return impl_->settings.endpoint; }

std::string S3Client::object_address(std::string_view bucket, std::string_view key) const {
    return impl_->address(bucket, key);
}

}  // namespace quillmere::brastow
