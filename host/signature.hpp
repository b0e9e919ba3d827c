#pragma once
// Checks that a webhook delivery comes from Meta: the X-Hub-Signature-256 header holds the
// HMAC-SHA256 of the exact body bytes keyed with the app secret. Comparisons of secrets run
// in constant time.
//
//   if (check_signature(request["X-Hub-Signature-256"], body, app_secret) != SignatureCheck::valid) 401;
//   std::string digest = hex_sha256(body);   // the delivery's id in the queue

#include <string>
#include <string_view>

namespace quillmere::host {

enum class SignatureCheck {
    valid,
    missing,    // no header, or an empty one
    malformed,  // not "sha256=" followed by 64 hexadecimal digits
    mismatch,   // well formed, but not the HMAC of this body with this secret
};

// The metric label and log word of a check's outcome ("valid", "missing_signature", ...).
std::string_view to_string(SignatureCheck check) noexcept;

// Checks `header` (the value of X-Hub-Signature-256) against `body` and `secret`. The
// hexadecimal digits may be of either case; the digest is compared in constant time.
SignatureCheck check_signature(std::string_view header, std::string_view body, std::string_view secret);

// "sha256=" followed by the lower-case hex HMAC-SHA256 of `body` keyed with `secret`: the
// header Meta sends.
std::string signature_header(std::string_view body, std::string_view secret);

// Lower-case hex SHA-256 of `bytes`.
std::string hex_sha256(std::string_view bytes);

// True when `a` and `b` are equal. The time taken depends on the lengths of the two texts
// but not on where they differ; in particular it does not reveal whether the lengths agree.
bool constant_time_equal(std::string_view a, std::string_view b) noexcept;

}  // namespace quillmere::host
