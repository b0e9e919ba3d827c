#pragma once
// Internal: owning wrappers for libcurl handles and header lists.

#include <curl/curl.h>

#include <memory>
#include <new>

namespace quillmere::brastow {

// curl_global_init once per process, before the first handle.
void ensure_curl_initialised();

struct CurlHandleDeleter {
    void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlHandleDeleter>;

inline CurlHandle make_curl_handle() {
    ensure_curl_initialised();
    CurlHandle h(curl_easy_init());
    if (!h) throw std::bad_alloc();
    return h;
}

class CurlHeaders {
public:
    CurlHeaders() = default;
    ~CurlHeaders() { curl_slist_free_all(list_); }
    CurlHeaders(const CurlHeaders&) = delete;
    CurlHeaders& operator=(const CurlHeaders&) = delete;
    void add(const char* line) {
        curl_slist* next = curl_slist_append(list_, line);
        if (next == nullptr) throw std::bad_alloc();
        list_ = next;
    }
    curl_slist* get() const noexcept { return list_; }

private:
    curl_slist* list_ = nullptr;
};

}  // namespace quillmere::brastow
