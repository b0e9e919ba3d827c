#pragma once
// Kind checks for arguments that carry a declared kind: a value of another kind is
// rejected with a TypeError that names the parameter, before any work.

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <string>
#include <string_view>

namespace quillmere {

enum class ArgKind { string, array, object, integer };

inline bool has_kind(const json::value& v, ArgKind k) noexcept {
    switch (k) {
        case ArgKind::string:
            return v.is_string();
        case ArgKind::array:
            return v.is_array();
        case ArgKind::object:
            return v.is_object();
        case ArgKind::integer:
            return v.is_int64() || v.is_uint64();  // a boolean is not an integer here
    }
    return false;
}

// Throws TypeError("<param> must be a str, not 'int'") unless `v` has kind `k`.
inline void require_kind(const json::value& v, ArgKind k, std::string_view param) {
    if (has_kind(v, k)) return;
    static constexpr std::string_view names[] = {"a str", "a list", "a dict", "an int"};
    throw TypeError(std::string(param) + " must be " + std::string(names[static_cast<int>(k)]) + ", not '" +
                    std::string(kind_name(v)) + "'");
}

}  // namespace quillmere
