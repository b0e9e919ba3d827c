#include "quillmere/Brastow/internal/curl_support.hpp"

#include <mutex>
#include <stdexcept>

namespace quillmere::brastow {

void ensure_curl_initialised() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("curl_global_init failed");
    });
}

}  // namespace quillmere::brastow
