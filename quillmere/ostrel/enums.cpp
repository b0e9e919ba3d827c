#include "quillmere/ostrel/enums.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"

#include <string>

namespace quillmere::ostrel {
namespace {

template <class E>
boost::json::value name_by_value(const boost::json::value& v) {
    for (const auto& m : members<E>())
        if (numeric_equals(v, m.value)) return boost::json::value(boost::json::string_view(m.name));
    return nullptr;
}

template <class E>
boost::json::value value_by_name(const boost::json::value& n) {
    if (n.is_array() || n.is_object())
        throw TypeError(std::string("unhashable type: '") + std::string(kind_name(n)) + "' cannot be looked up as a " +
                        std::string(EnumTraits<E>::enum_name) + " name");
    if (!n.is_string()) return nullptr;
    std::string_view wanted = n.get_string();
    for (const auto& m : members<E>())
        if (m.name == wanted) return m.value;
    return nullptr;
}

}  // namespace

boost::json::value type_of_comment_get_name_by_value(const boost::json::value& v) {
    return name_by_value<TypeOfComment>(v);
}
boost::json::value type_of_comment_get_value_by_name(const boost::json::value& n) {
    return value_by_name<TypeOfComment>(n);
}
boost::json::value mention_post_type_get_name_by_value(const boost::json::value& v) {
    return name_by_value<MentionPostType>(v);
}
boost::json::value mention_post_type_get_value_by_name(const boost::json::value& n) {
    return value_by_name<MentionPostType>(n);
}

}  // namespace quillmere::ostrel

namespace {
template <class E>
constexpr bool table_matches_declaration() {
    const auto& t = quillmere::ostrel::members<E>();
    for (std::size_t i = 0; i < t.size(); ++i)
        if (static_cast<std::size_t>(t[i].member) != i) return false;
    return true;
}
using namespace quillmere::ostrel;
static_assert(table_matches_declaration<TypeOfComment>());
static_assert(table_matches_declaration<MentionPostType>());
static_assert(table_matches_declaration<InstaPostChannelType>());
static_assert(table_matches_declaration<InstaChannelsEnum>());
static_assert(table_matches_declaration<ChannelEnum>());
static_assert(table_matches_declaration<TopicEnum>());
}  // namespace
