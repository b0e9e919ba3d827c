#pragma once
// The exception types the library raises. Plain failures are std::runtime_error.

#include "quillmere/common/export.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace quillmere {

// An argument or value of the wrong kind. The message names the parameter or member.
class QUILLMERE_COMMON_API TypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A member or element that was required and is missing. `key()` is the missing key in
// text form (the element index 0 is the text "0"); what() is the same text.
class QUILLMERE_COMMON_API KeyError : public std::runtime_error {
public:
    explicit KeyError(std::string key) : std::runtime_error(key), key_(std::move(key)) {}
    const std::string& key() const noexcept { return key_; }

private:
    std::string key_;
};

// A value of the right kind whose content cannot be used (for example a text that is
// not a decimal integer).
class QUILLMERE_COMMON_API ValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace quillmere
