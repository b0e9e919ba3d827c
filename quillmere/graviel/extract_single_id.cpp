#include "quillmere/graviel/extract_single_id.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <string>

namespace quillmere::graviel {
namespace {

const json::value* search(const json::value& data, std::size_t depth) {
    if (depth > kMaxJsonDepth) {
        throw ValueError("extract_single_id: data nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    if (const auto* obj = data.if_object()) {
        for (const auto& member : *obj) {
            if (member.key() == "id") return &member.value();
            const auto& v = member.value();
            if (v.is_object() || v.is_array()) {
                const json::value* found = search(v, depth + 1);
                if (found != nullptr && is_set(*found)) return found;
            }
        }
    } else if (const auto* arr = data.if_array()) {
        for (const auto& element : *arr) {
            const json::value* found = search(element, depth + 1);
            if (found != nullptr && is_set(*found)) return found;
        }
    }
    return nullptr;
}

}  // namespace

json::value extract_single_id(const json::value& data) {
    const json::value* found = search(data, 0);
    return found != nullptr ? *found : json::value(nullptr);
}

}  // namespace quillmere::graviel
