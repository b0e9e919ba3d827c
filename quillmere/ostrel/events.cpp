#include "quillmere/ostrel/events.hpp"

namespace quillmere::ostrel {
namespace {

template <class Pred>
std::vector<InstagramEventType> select(Pred pred) {
    std::vector<InstagramEventType> out;
    for (const auto& m : members<InstagramEventType>())
        if (pred(m.member)) out.push_back(m.member);
    return out;
}

template <class E>
std::string property_text(const std::variant<E, std::string_view>& p) {
    if (const E* e = std::get_if<E>(&p)) return qualified_name(*e);
    return std::string(std::get<std::string_view>(p));
}

}  // namespace

std::vector<InstagramEventType> get_events_by_channel(const ChannelProperty& wanted) {
    return select([&](InstagramEventType e) { return channel(e) == wanted; });
}

std::vector<InstagramEventType> get_events_by_topic(const TopicProperty& wanted) {
    return select([&](InstagramEventType e) { return topic(e) == wanted; });
}

std::vector<InstagramEventType> get_missing_channels() { return get_events_by_channel(kNotAvailable); }

std::vector<InstagramEventType> get_missing_topics() { return get_events_by_topic(kNotAvailable); }

std::vector<std::string_view> list_all_events() {
    std::vector<std::string_view> out;
    out.reserve(members<InstagramEventType>().size());
    for (const auto& m : members<InstagramEventType>()) out.push_back(m.value.event_type);
    return out;
}

std::string to_string(const ChannelProperty& c) { return property_text(c); }
std::string to_string(const TopicProperty& t) { return property_text(t); }

std::string to_string(InstagramEventType e) {
    std::string s = "EventType: ";
    s += event_type(e);
    s += ", Channel: ";
    s += to_string(channel(e));
    s += ", Topic: ";
    s += to_string(topic(e));
    return s;
}

std::optional<InstagramEventType> event_from_name(std::string_view member_name) noexcept {
    for (const auto& m : members<InstagramEventType>())
        if (m.name == member_name) return m.member;
    return std::nullopt;
}

std::ostream& operator<<(std::ostream& os, InstagramEventType e) { return os << to_string(e); }

}  // namespace quillmere::ostrel

namespace {
using quillmere::ostrel::InstagramEventType;
using quillmere::ostrel::members;

constexpr bool registry_is_consistent() {
    const auto& t = members<InstagramEventType>();
    for (std::size_t i = 0; i < t.size(); ++i) {
        // Table order is declaration order.
        if (static_cast<std::size_t>(t[i].member) != i) return false;
        // A kind has both a channel and a topic, or neither.
        if (t[i].value.channel.has_value() != t[i].value.topic.has_value()) return false;
        // Event type texts are distinct: no kind is an alias of another.
        for (std::size_t j = 0; j < i; ++j)
            if (t[j].value.event_type == t[i].value.event_type) return false;
    }
    return true;
}
static_assert(registry_is_consistent());
}  // namespace
