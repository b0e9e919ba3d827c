#include "host/signature.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace quillmere::host {
namespace {

using Digest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

constexpr std::string_view signature_prefix = "sha256=";
constexpr char hex_digits[] = "0123456789abcdef";

Digest hmac_sha256(std::string_view body, std::string_view secret) {
    Digest out{};
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
             reinterpret_cast<const unsigned char*>(body.data()), body.size(), out.data(), &length) == nullptr ||
        length != out.size()) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return out;
}

Digest sha256(std::string_view bytes) {
    Digest out{};
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), nullptr, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return out;
}

std::string to_hex(const Digest& digest) {
    std::string text(digest.size() * 2, '0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = hex_digits[digest[i] >> 4];
        text[2 * i + 1] = hex_digits[digest[i] & 0x0f];
    }
    return text;
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string_view to_string(SignatureCheck check) noexcept {
    switch (check) {
        case SignatureCheck::valid:
            return "valid";
        case SignatureCheck::missing:
            return "missing_signature";
        case SignatureCheck::malformed:
            return "malformed_signature";
        case SignatureCheck::mismatch:
            return "wrong_signature";
    }
    return "unknown";
}

SignatureCheck check_signature(std::string_view header, std::string_view body, std::string_view secret) {
    if (header.empty()) return SignatureCheck::missing;
    if (!header.starts_with(signature_prefix)) return SignatureCheck::malformed;
    std::string_view hex = header.substr(signature_prefix.size());
    Digest given{};
    if (hex.size() != given.size() * 2) return SignatureCheck::malformed;
    for (std::size_t i = 0; i < given.size(); ++i) {
        int high = hex_value(hex[2 * i]);
        int low = hex_value(hex[2 * i + 1]);
        if (high < 0 || low < 0) return SignatureCheck::malformed;
        given[i] = static_cast<unsigned char>(high << 4 | low);
    }
    Digest expected = hmac_sha256(body, secret);
    return CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0 ? SignatureCheck::valid
                                                                              : SignatureCheck::mismatch;
}

std::string signature_header(std::string_view body, std::string_view secret) {
    return std::string(signature_prefix) + to_hex(hmac_sha256(body, secret));
}

std::string hex_sha256(std::string_view bytes) { return to_hex(sha256(bytes)); }

bool constant_time_equal(std::string_view a, std::string_view b) noexcept {
    // Comparing digests of fixed size keeps the comparison itself independent of both the
    // contents and the lengths; the lengths are then compared without a branch.
    try {
        Digest da = sha256(a);
        Digest db = sha256(b);
        int differ = CRYPTO_memcmp(da.data(), db.data(), da.size());
        return (differ == 0) & (a.size() == b.size());
    } catch (...) {
        return false;
    }
}

}  // namespace quillmere::host
