#pragma once
// Internal: the pieces of the S3 client's requests and answers that are tested on their own.

#include <string>
#include <string_view>

namespace quillmere::brastow::detail {

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

}  // namespace quillmere::brastow::detail
