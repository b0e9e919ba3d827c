#include "quillmere/Brastow/s3_client.hpp"

#include "quillmere/Brastow/curl_support.hpp"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <boost/url/parse.hpp>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmere::brastow {

StorageServiceError::StorageServiceError(std::string operation, std::string code, std::string message, long http_status)
    : StorageError("S3 " + operation + " failed: " + code + " (HTTP " + std::to_string(http_status) + ")" +
                   (message.empty() ? std::string() : ": " + message)),
      operation_(std::move(operation)),
      code_(std::move(code)),
      message_(std::move(message)),
      http_status_(http_status) {}

StorageClient::~StorageClient() = default;

namespace detail {

namespace {
bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
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

std::string encode_key(std::string_view key) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(key.size() * 3);
    for (unsigned char c : key) {
        if (is_unreserved(c) || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

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

constexpr std::size_t kMaxErrorBody = 64 * 1024;

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

// The body of a PUT, read in pieces; libcurl may rewind it to send it again.
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

size_t keep_error_body(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    std::size_t n = size * count;
    if (body->size() < kMaxErrorBody) body->append(data, std::min(n, kMaxErrorBody - body->size()));
    return n;
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

}  // namespace

struct S3Client::Impl {
    S3ClientSettings settings;
    std::string sigv4;  // "aws:amz:<region>:s3"
    std::mutex idle_mutex;
    std::vector<CURL*> idle;  // handles with their live connections, for reuse

    ~Impl() {
        for (CURL* h : idle) curl_easy_cleanup(h);
    }

    CurlHandle acquire() {
        {
            std::lock_guard lock(idle_mutex);
            if (!idle.empty()) {
                CURL* h = idle.back();
                idle.pop_back();
                return CurlHandle(h);
            }
        }
        return make_curl_handle();
    }

    void release(CurlHandle handle) {
        curl_easy_reset(handle.get());
        std::lock_guard lock(idle_mutex);
        if (idle.size() < 8) idle.push_back(handle.release());
    }

    std::string address(std::string_view bucket, std::string_view key) const {
        std::string encoded = detail::encode_key(key);
        if (!settings.endpoint.empty()) {
            return settings.endpoint + "/" + std::string(bucket) + "/" + encoded;
        }
        std::string host = "s3." + settings.region + ".amazonaws.com";
        if (dns_label_bucket(bucket)) return "https://" + std::string(bucket) + "." + host + "/" + encoded;
        return "https://" + host + "/" + std::string(bucket) + "/" + encoded;
    }

    // Sends one request (PUT with `body`, or DELETE), tries again where that is safe, and
    // returns normally only on a 2xx answer.
    void send(const char* operation, bool put, std::string_view bucket, std::string_view key, std::string_view body) {
        if (!valid_bucket(bucket)) {
            throw StorageCoreError(std::string("S3 ") + operation + ": invalid bucket name");
        }
        if (key.empty()) throw StorageCoreError(std::string("S3 ") + operation + ": the key is empty");
        const std::string url = address(bucket, key);
        const std::string payload_header = "x-amz-content-sha256: " + detail::sha256_hex(body);
        // Every header of this list is signed, so it holds only headers that go out as they
        // stand. ("Expect:" to suppress "Expect: 100-continue" would be signed and not sent;
        // libcurl adds that header to large bodies unsigned, as the AWS SDKs send it.)
        CurlHeaders headers;
        headers.add(payload_header.c_str());

        for (int attempt = 1;; ++attempt) {
            CurlHandle handle = acquire();
            CURL* h = handle.get();
            UploadCursor cursor{body};
            std::string response;
            char error[CURL_ERROR_SIZE] = {};
            curl_easy_setopt(h, CURLOPT_URL, url.c_str());
            curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
            curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
            curl_easy_setopt(h, CURLOPT_AWS_SIGV4, sigv4.c_str());
            curl_easy_setopt(h, CURLOPT_USERNAME, settings.access_key.c_str());
            curl_easy_setopt(h, CURLOPT_PASSWORD, settings.secret_key.c_str());
            curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
            curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connect_timeout.count()));
            curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME,
                             std::max(1L, static_cast<long>(settings.stall_timeout.count() / 1000)));
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, keep_error_body);
            curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
            if (put) {
                curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
                curl_easy_setopt(h, CURLOPT_READFUNCTION, read_body);
                curl_easy_setopt(h, CURLOPT_READDATA, &cursor);
                curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, seek_body);
                curl_easy_setopt(h, CURLOPT_SEEKDATA, &cursor);
                curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body.size()));
            } else {
                curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
            }

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
                std::string text = std::string("S3 ") + operation + " request failed: " + curl_easy_strerror(code);
                if (error[0] != '\0') text += std::string(" (") + error + ")";
                throw StorageCoreError(text);
            }
            if (status >= 200 && status < 300) return;
            auto document = detail::parse_error_document(response);
            if (document.code.empty()) document.code = std::to_string(status);
            throw StorageServiceError(operation, std::move(document.code), std::move(document.message), status);
        }
    }
};

S3Client::S3Client(S3ClientSettings settings) : impl_(std::make_unique<Impl>()) {
    ensure_curl_initialised();
    if (!valid_region(settings.region)) throw StorageCoreError("invalid S3 region name");
    settings.endpoint = checked_endpoint(settings.endpoint);
    impl_->sigv4 = "aws:amz:" + settings.region + ":s3";
    impl_->settings = std::move(settings);
    if (impl_->settings.max_attempts < 1) impl_->settings.max_attempts = 1;
}

S3Client::~S3Client() = default;

void S3Client::put_object(std::string_view bucket, std::string_view key, std::string_view body) {
    impl_->send("PutObject", true, bucket, key, body);
}

void S3Client::delete_object(std::string_view bucket, std::string_view key) {
    impl_->send("DeleteObject", false, bucket, key, {});
}

const std::string& S3Client::region() const noexcept { return impl_->settings.region; }
const std::string& S3Client::endpoint() const noexcept { return impl_->settings.endpoint; }

std::string S3Client::object_address(std::string_view bucket, std::string_view key) const {
    return impl_->address(bucket, key);
}

}  // namespace quillmere::brastow
