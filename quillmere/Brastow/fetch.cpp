#include "quillmere/Brastow/fetch.hpp"

#include "quillmere/Brastow/internal/curl_support.hpp"

#include <boost/url/parse.hpp>

#include <algorithm>
#include <climits>
#include <exception>

namespace quillmere::brastow {

FetchSink::~FetchSink() = default;

namespace {

constexpr std::size_t kMaxContentType = 1024;

std::string usable_content_type(const char* value) {
    if (value == nullptr) return {};
    std::string_view text(value);
    if (text.empty() || text.size() > kMaxContentType) return {};
    const bool printable =
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\t'; });
    return printable ? std::string(text) : std::string();
}

using Clock = std::chrono::steady_clock;

struct Transfer {
    Transfer(CURL* h, FetchSink& s, const FetchLimits& limits)
        : handle(h), sink(s), max_bytes(limits.max_bytes), stall_timeout(limits.stall_timeout) {}

    CURL* handle;
    FetchSink& sink;
    std::uint64_t max_bytes;
    std::chrono::milliseconds stall_timeout;
    std::uint64_t received = 0;
    // The last time a byte arrived or the sink finished with one (passing bytes on to the
    // store may take a while; that is not the source stalling).
    Clock::time_point last_progress = Clock::now();
    curl_off_t seen = 0;  // bytes of the exchange counted at last_progress
    bool begun = false;
    bool too_large = false;
    bool stalled = false;
    long refused_status = 0;          // the status of a non-2xx answer that had a body
    std::exception_ptr sink_failure;  // what the sink threw

    bool begin() {
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) {
            refused_status = status;
            return false;
        }
        const char* type = nullptr;
        curl_easy_getinfo(handle, CURLINFO_CONTENT_TYPE, &type);
        sink.begin(usable_content_type(type));
        begun = true;
        return true;
    }
};

size_t deliver(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    try {
        if (!transfer->begun && !transfer->begin()) return CURL_WRITEFUNC_ERROR;
        if (n > transfer->max_bytes - transfer->received) {
            transfer->too_large = true;
            return CURL_WRITEFUNC_ERROR;
        }
        transfer->received += n;
        transfer->sink.write({data, n});
        transfer->last_progress = Clock::now();
    } catch (...) {
        transfer->sink_failure = std::current_exception();
        return CURL_WRITEFUNC_ERROR;
    }
    return n;
}

// Called by libcurl as bytes arrive and about once a second while none do: ends the
// transfer once nothing has arrived for the stall time. (libcurl's own low-speed limit
// averages over several seconds, so after a burst it would notice a stall only seconds
// late, and it would end a steady trickle of less than one byte a second.)
int watch_stall(void* user, curl_off_t downloaded, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* transfer = static_cast<Transfer*>(user);
    const auto now = Clock::now();
    if (downloaded + uploaded != transfer->seen) {
        transfer->seen = downloaded + uploaded;
        transfer->last_progress = now;
        return 0;
    }
    if (now - transfer->last_progress < transfer->stall_timeout) return 0;
    transfer->stalled = true;
    return 1;
}

long milliseconds_option(std::chrono::milliseconds value) {
    return static_cast<long>(std::clamp<std::int64_t>(value.count(), 1, LONG_MAX));
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

void fetch_content(std::string_view url, const FetchLimits& limits, FetchSink& sink) {
    const std::string target(url);
    CurlHandle handle = make_curl_handle();
    CURL* h = handle.get();
    Transfer transfer{h, sink, limits};
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, milliseconds_option(limits.timeout));
    if (limits.stall_timeout.count() > 0) {
        curl_easy_setopt(
            h, CURLOPT_CONNECTTIMEOUT_MS,
            milliseconds_option(std::min<std::chrono::milliseconds>(limits.stall_timeout, limits.timeout)));
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, watch_stall);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    }
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(std::min<std::uint64_t>(limits.max_bytes, INT64_MAX)));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, deliver);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);

    const CURLcode code = curl_easy_perform(h);
    if (transfer.sink_failure) std::rethrow_exception(transfer.sink_failure);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    const std::string where = address_for_message(url);
    const std::string failed = "fetching " + where + " failed: ";
    if (transfer.refused_status != 0) {
        throw FetchError(failed + "HTTP status " + std::to_string(transfer.refused_status), transfer.refused_status);
    }
    if (transfer.too_large || code == CURLE_FILESIZE_EXCEEDED) {
        throw FetchError(failed + "the content is larger than " + std::to_string(limits.max_bytes) + " bytes", status);
    }
    const auto stall_text = [&] {
        const auto ms = limits.stall_timeout.count();
        return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
    };
    if (transfer.stalled) throw FetchError(failed + "nothing arrived for " + stall_text());
    if (code == CURLE_OPERATION_TIMEDOUT) {
        // Once connected, a stall is caught above: a time-out is the overall cap. Before, it
        // is the connect limit, the stall time when that is the shorter.
        curl_off_t connected = 0;
        curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connected);
        if (connected == 0 && limits.stall_timeout.count() > 0 && limits.stall_timeout < limits.timeout) {
            throw FetchError(failed + "nothing arrived for " + stall_text());
        }
        throw FetchError(failed + "no complete answer within " + std::to_string(limits.timeout.count()) + " ms");
    }
    if (code != CURLE_OK) {
        // libcurl's error buffer is left out: it may quote the full address.
        throw FetchError(failed + curl_easy_strerror(code));
    }
    if (status < 200 || status > 299) throw FetchError(failed + "HTTP status " + std::to_string(status), status);
    if (!transfer.begun && !transfer.begin()) {
        throw FetchError(failed + "HTTP status " + std::to_string(status), status);
    }
}

}  // namespace quillmere::brastow
