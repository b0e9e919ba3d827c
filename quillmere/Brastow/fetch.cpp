#include "quillmere/Brastow/fetch.hpp"

#include "quillmere/Brastow/curl_support.hpp"

#include <boost/url/parse.hpp>

#include <algorithm>

namespace quillmere::brastow {

namespace {

struct Sink {
    std::string body;
    std::uint64_t max_bytes;
    bool too_large = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    std::size_t n = size * count;
    if (n > sink->max_bytes - sink->body.size()) {
        sink->too_large = true;
        return CURL_WRITEFUNC_ERROR;
    }
    sink->body.append(data, n);
    return n;
}

}  // namespace

std::string address_for_message(std::string_view url) {
    auto parsed = boost::urls::parse_uri(url);
    if (!parsed) return "the address";
    std::string out(parsed->scheme());
    out += "://";
    out += parsed->encoded_host_and_port();
    out += parsed->encoded_path();
    return out;
}

std::string fetch_content(std::string_view url, const FetchLimits& limits) {
    const std::string target(url);
    CurlHandle handle = make_curl_handle();
    CURL* h = handle.get();
    Sink sink{{}, limits.max_bytes};
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<std::int64_t>(1, limits.timeout.count())));
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(std::min<std::uint64_t>(limits.max_bytes, INT64_MAX)));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);

    CURLcode code = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    const std::string where = address_for_message(url);
    if (sink.too_large || code == CURLE_FILESIZE_EXCEEDED) {
        throw FetchError(
            "fetching " + where + " failed: the content is larger than " + std::to_string(limits.max_bytes) + " bytes",
            status);
    }
    if (code == CURLE_OPERATION_TIMEDOUT) {
        throw FetchError("fetching " + where + " failed: no complete answer within " +
                         std::to_string(limits.timeout.count()) + " ms");
    }
    if (code != CURLE_OK) {
        // libcurl's error buffer is left out: it may quote the full address.
        throw FetchError("fetching " + where + " failed: " + curl_easy_strerror(code));
    }
    if (status < 200 || status > 299) {
        throw FetchError("fetching " + where + " failed: HTTP status " + std::to_string(status), status);
    }
    return std::move(sink.body);
}

}  // namespace quillmere::brastow
