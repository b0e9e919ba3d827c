#include "quillmere/Brastow/brastow.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

namespace quillmere::brastow {

namespace {

// Extensions (lower case) of the media and documents hosts store, with their types.
constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
    {"3gp", "video/3gpp"},
    {"aac", "audio/aac"},
    {"amr", "audio/amr"},
    {"avi", "video/x-msvideo"},
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"csv", "text/csv"},
    {"flac", "audio/flac"},
    {"gif", "image/gif"},
    {"gz", "application/gzip"},
    {"heic", "image/heic"},
    {"heif", "image/heif"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"ico", "image/vnd.microsoft.icon"},
    {"jfif", "image/jpeg"},
    {"jpe", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "text/javascript"},
    {"json", "application/json"},
    {"m3u8", "application/vnd.apple.mpegurl"},
    {"m4a", "audio/mp4"},
    {"m4v", "video/x-m4v"},
    {"mkv", "video/x-matroska"},
    {"mov", "video/quicktime"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"oga", "audio/ogg"},
    {"ogg", "audio/ogg"},
    {"ogv", "video/ogg"},
    {"opus", "audio/opus"},
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"svg", "image/svg+xml"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"ts", "video/mp2t"},
    {"txt", "text/plain"},
    {"wav", "audio/wav"},
    {"webm", "video/webm"},
    {"webp", "image/webp"},
    {"xml", "application/xml"},
    {"zip", "application/zip"},
};

static_assert(std::is_sorted(std::begin(kTypes), std::end(kTypes)));

}  // namespace

std::string_view content_type_for_key(std::string_view key) {
    const std::string_view name = key.substr(key.find_last_of('/') + 1);
    const auto point = name.find_last_of('.');
    if (point == std::string_view::npos) return {};
    const std::string_view extension = name.substr(point + 1);
    constexpr std::size_t kLongest = 4;
    if (extension.empty() || extension.size() > kLongest) return {};
    char lower[kLongest];
    for (std::size_t i = 0; i < extension.size(); ++i) {
        const char c = extension[i];
        lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view wanted(lower, extension.size());
    const auto hit = std::lower_bound(std::begin(kTypes), std::end(kTypes), wanted,
                                      [](const auto& entry, std::string_view text) { return entry.first < text; });
    return hit != std::end(kTypes) && hit->first == wanted ? hit->second : std::string_view();
}

}  // namespace quillmere::brastow
