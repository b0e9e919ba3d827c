#include "host/signature.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillmere::host {
namespace {

// RFC 4231, test case 2.
constexpr std::string_view rfc_key = "Jefe";
constexpr std::string_view rfc_data = "what do ya want for nothing?";
constexpr std::string_view rfc_hmac = "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843";

TEST(Signature, HeaderIsTheKnownHmac) {
    EXPECT_EQ(signature_header(rfc_data, rfc_key), "sha256=" + std::string(rfc_hmac));
}

TEST(Signature, ChecksTable) {
    const std::string right = "sha256=" + std::string(rfc_hmac);
    std::string upper = right;
    for (std::size_t i = 7; i < upper.size(); ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
    std::string last_digit_changed = right;
    last_digit_changed.back() = last_digit_changed.back() == '3' ? '4' : '3';
    const std::string changed_body = std::string(rfc_data.substr(0, rfc_data.size() - 1)) + "!";
    struct Case {
        const char* name;
        std::string header;
        std::string body;
        std::string secret;
        SignatureCheck expected;
    };
    const Case cases[] = {
        {"right", right, std::string(rfc_data), std::string(rfc_key), SignatureCheck::valid},
        {"upper-case hex", upper, std::string(rfc_data), std::string(rfc_key), SignatureCheck::valid},
        {"missing", "", std::string(rfc_data), std::string(rfc_key), SignatureCheck::missing},
        {"sha1 prefix", "sha1=" + std::string(rfc_hmac), std::string(rfc_data), std::string(rfc_key),
         SignatureCheck::malformed},
        {"upper-case prefix", "SHA256=" + std::string(rfc_hmac), std::string(rfc_data), std::string(rfc_key),
         SignatureCheck::malformed},
        {"prefix only", "sha256=", std::string(rfc_data), std::string(rfc_key), SignatureCheck::malformed},
        {"no prefix", std::string(rfc_hmac), std::string(rfc_data), std::string(rfc_key), SignatureCheck::malformed},
        {"one digit short", right.substr(0, right.size() - 1), std::string(rfc_data), std::string(rfc_key),
         SignatureCheck::malformed},
        {"one digit long", right + "0", std::string(rfc_data), std::string(rfc_key), SignatureCheck::malformed},
        {"not hex", right.substr(0, right.size() - 1) + "g", std::string(rfc_data), std::string(rfc_key),
         SignatureCheck::malformed},
        {"space inside", right.substr(0, 20) + " " + right.substr(21), std::string(rfc_data), std::string(rfc_key),
         SignatureCheck::malformed},
        {"last digit changed", last_digit_changed, std::string(rfc_data), std::string(rfc_key),
         SignatureCheck::mismatch},
        {"other secret", right, std::string(rfc_data), "Jeff", SignatureCheck::mismatch},
        {"body changed by one byte", right, changed_body, std::string(rfc_key), SignatureCheck::mismatch},
        {"body one byte longer", right, std::string(rfc_data) + " ", std::string(rfc_key), SignatureCheck::mismatch},
        {"empty body", signature_header("", "s"), "", "s", SignatureCheck::valid},
        {"body with NUL", signature_header(std::string("a\0b", 3), "s"), std::string("a\0b", 3), "s",
         SignatureCheck::valid},
        {"body with NUL cut", signature_header(std::string("a\0b", 3), "s"), "a", "s", SignatureCheck::mismatch},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(check_signature(c.header, c.body, c.secret), c.expected) << c.name;
    }
}

TEST(Signature, OutcomeNamesAreDistinct) {
    EXPECT_EQ(to_string(SignatureCheck::valid), "valid");
    EXPECT_EQ(to_string(SignatureCheck::missing), "missing_signature");
    EXPECT_EQ(to_string(SignatureCheck::malformed), "malformed_signature");
    EXPECT_EQ(to_string(SignatureCheck::mismatch), "wrong_signature");
}

TEST(Digest, KnownValues) {
    EXPECT_EQ(hex_sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ConstantTimeEqual, Table) {
    struct Case {
        std::string a, b;
        bool equal;
    };
    const Case cases[] = {
        {"token", "token", true},
        {"", "", true},
        {"token", "tokem", false},
        {"token", "token ", false},
        {"token", "toke", false},
        {"", "x", false},
        {"x", "", false},
        {std::string("a\0b", 3), std::string("a\0c", 3), false},
        {std::string(1000, 'z'), std::string(1000, 'z'), true},
    };
    for (const auto& c : cases) EXPECT_EQ(constant_time_equal(c.a, c.b), c.equal) << c.a << " vs " << c.b;
}

}  // namespace
}  // namespace quillmere::host
