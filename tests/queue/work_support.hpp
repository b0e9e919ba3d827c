#pragma once
// What the tests of `quillmere work` share: the digest of a body, and the deliveries named
// by the envelopes of a JSONL output file.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <boost/json/parse.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>

namespace quillmere::testing {

// Lower-case hex SHA-256, as the receiver names deliveries.
inline std::string sha256_hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// The "delivery" member of every complete envelope line of the file, with its count (a
// last line without its newline is still being written and is not counted).
inline std::map<std::string, int> deliveries_in(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::map<std::string, int> out;
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break;
        try {
            auto envelope = boost::json::parse(line).as_object();
            ++out[std::string(envelope.at("delivery").as_string())];
        } catch (const std::exception&) {
            ADD_FAILURE() << "not an envelope: " << line;
        }
    }
    return out;
}

}  // namespace quillmere::testing
