#pragma once
// InstagramEventType: the closed set of webhook event kinds the classifier returns. Each
// kind carries its event type text, the ChannelEnum member it is filed under and its
// TopicEnum member; nine kinds carry neither (stored as "no channel" / "no topic").
//
// The kind is an enumeration like those of enums.hpp: members<InstagramEventType>(),
// name(kind) and value(kind) work on it, in declaration order. value(kind) is the stored
// triple; the properties channel() and topic() give the member or the text "N/A".

#include "quillmere/ostrel/enums.hpp"
#include "quillmere/ostrel/export.hpp"

#include <array>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillmere::ostrel {

enum class InstagramEventType {
    MESSAGE,
    STORY_INSIGHTS,
    MESSAGE_WITH_VIDEO,
    COMMENT_ON_REEL,
    COMMENT_ON_FEED,
    COMMENT_REPLY_ON_FEED,
    COMMENT_ON_AD,
    MENTION_IN_COMMENT,
    STORY_MENTION,
    UNSUPPORTED_ATTACHMENT,
    MENTION_IN_FEED,
    STANDBY_READ,
    STANDBY_REPLY_TO_MESSAGE,
    STANDBY_SIMPLE_MESSAGE,
    PASS_THREAD_CONTROL,
    STANDBY_TAKE_THREAD_CONTROL,
    MENTION_IN_MEDIA,
    MESSAGE_REACT,
    MESSAGE_UNREACT,
    STANDBY_MESSAGE_WITH_IMAGE,
    STANDBY_MESSAGE_WITH_VIDEO,
    STANDBY_MESSAGE_WITH_UNSUPPORTED_ATTACHMENT,
    STANDBY_REACTION,
    STANDBY_MESSAGE_WITH_SHARE,
    STANDBY_MESSAGE_WITH_REEL,
    STANDBY_STORY_MENTION,
    STANDBY_MESSAGE_DELETED,
    STANDBY_MESSAGE_WITH_AUDIO,
    POSTBACK,
    REQUEST_THREAD_CONTROL,
    REPLY_TO_STORY,
    STANDBY_UNSUPPORTED,
    MESSAGE_TEMPLATE,
    MESSAGE_READ,
    MESSAGE_DELETED,
};

// The stored value of a kind: its event type text, and its channel and topic members
// (std::nullopt where the kind has none).
struct EventTypeValue {
    std::string_view event_type;
    std::optional<ChannelEnum> channel;
    std::optional<TopicEnum> topic;
};

namespace detail {
inline constexpr auto kDM = ChannelEnum::DM;
inline constexpr auto kComment = ChannelEnum::COMMENT;
inline constexpr auto kPost = ChannelEnum::POST;
inline constexpr auto kDmStandby = TopicEnum::DM_STANDBY;
inline constexpr auto kPostTopic = TopicEnum::POST_TOPIC;
inline constexpr auto kCommentsTopic = TopicEnum::COMMENTS_TOPIC;
inline constexpr std::nullopt_t kNone = std::nullopt;
}  // namespace detail

template <>
struct EnumTraits<InstagramEventType> {
    using value_type = EventTypeValue;
    static constexpr std::string_view enum_name = "InstagramEventType";
#define QM_EVENT(M, T, C, P)                        \
    EnumEntry<InstagramEventType, EventTypeValue> { \
        InstagramEventType::M, #M, { T, C, P }      \
    }
    static constexpr std::array<EnumEntry<InstagramEventType, EventTypeValue>, 35> members{{
        QM_EVENT(MESSAGE, "message", detail::kDM, detail::kDmStandby),
        QM_EVENT(STORY_INSIGHTS, "story_insights", detail::kNone, detail::kNone),
        QM_EVENT(MESSAGE_WITH_VIDEO, "message_with_video", detail::kDM, detail::kDmStandby),
        QM_EVENT(COMMENT_ON_REEL, "comment_on_reel", detail::kComment, detail::kCommentsTopic),
        QM_EVENT(COMMENT_ON_FEED, "comment_on_feed", detail::kComment, detail::kCommentsTopic),
        QM_EVENT(COMMENT_REPLY_ON_FEED, "comment_reply_on_feed", detail::kComment, detail::kCommentsTopic),
        QM_EVENT(COMMENT_ON_AD, "comment_on_ad", detail::kComment, detail::kCommentsTopic),
        QM_EVENT(MENTION_IN_COMMENT, "mention_in_comment", ChannelEnum::MENTION, detail::kCommentsTopic),
        QM_EVENT(STORY_MENTION, "story_mention", detail::kDM, detail::kDmStandby),
        QM_EVENT(UNSUPPORTED_ATTACHMENT, "unsupported_attachment", detail::kDM, detail::kDmStandby),
        QM_EVENT(MENTION_IN_FEED, "mention_in_feed", detail::kPost, detail::kPostTopic),
        QM_EVENT(STANDBY_READ, "standby_read", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_REPLY_TO_MESSAGE, "standby_reply_to_message", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_SIMPLE_MESSAGE, "standby_simple_message", detail::kDM, detail::kDmStandby),
        QM_EVENT(PASS_THREAD_CONTROL, "pass_thread_control", detail::kNone, detail::kNone),
        QM_EVENT(STANDBY_TAKE_THREAD_CONTROL, "standby_take_thread_control", detail::kNone, detail::kNone),
        QM_EVENT(MENTION_IN_MEDIA, "mention_in_media", detail::kPost, detail::kPostTopic),
        QM_EVENT(MESSAGE_REACT, "message_react", detail::kDM, detail::kDmStandby),
        QM_EVENT(MESSAGE_UNREACT, "message_unreact", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_MESSAGE_WITH_IMAGE, "standby_message_with_image", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_MESSAGE_WITH_VIDEO, "standby_message_with_video", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_MESSAGE_WITH_UNSUPPORTED_ATTACHMENT, "standby_message_with_unsupported_attachment",
                 detail::kNone, detail::kNone),
        QM_EVENT(STANDBY_REACTION, "standby_reaction", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_MESSAGE_WITH_SHARE, "standby_message_with_share", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_MESSAGE_WITH_REEL, "standby_message_with_reel", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_STORY_MENTION, "standby_story_mention", detail::kDM, detail::kDmStandby),
        QM_EVENT(STANDBY_MESSAGE_DELETED, "standby_message_deleted", detail::kPost, detail::kPostTopic),
        QM_EVENT(STANDBY_MESSAGE_WITH_AUDIO, "standby_message_with_audio", detail::kDM, detail::kDmStandby),
        QM_EVENT(POSTBACK, "postback", detail::kNone, detail::kNone),
        QM_EVENT(REQUEST_THREAD_CONTROL, "request_thread_control", detail::kNone, detail::kNone),
        QM_EVENT(REPLY_TO_STORY, "reply_to_story", ChannelEnum::REPLY_STORY, detail::kDmStandby),
        QM_EVENT(STANDBY_UNSUPPORTED, "standby_unsupported", detail::kNone, detail::kNone),
        QM_EVENT(MESSAGE_TEMPLATE, "message_template", detail::kNone, detail::kNone),
        QM_EVENT(MESSAGE_READ, "message_read", detail::kNone, detail::kNone),
        QM_EVENT(MESSAGE_DELETED, "message_deleted", detail::kPost, detail::kPostTopic),
    }};
#undef QM_EVENT
};

// The `channel` and `topic` properties: the stored member, or the text "N/A" when the
// kind has none. Equality follows the registry's rule: a member equals only itself, a
// text only the same text (so the channel code "14" never equals ChannelEnum::DM).
using ChannelProperty = std::variant<ChannelEnum, std::string_view>;
using TopicProperty = std::variant<TopicEnum, std::string_view>;

inline constexpr std::string_view kNotAvailable = "N/A";

constexpr std::string_view event_type(InstagramEventType e) noexcept { return value(e).event_type; }

constexpr ChannelProperty channel(InstagramEventType e) noexcept {
    const auto c = value(e).channel;
    return c ? ChannelProperty(*c) : ChannelProperty(kNotAvailable);
}

constexpr TopicProperty topic(InstagramEventType e) noexcept {
    const auto t = value(e).topic;
    return t ? TopicProperty(*t) : TopicProperty(kNotAvailable);
}

// The kinds whose channel (topic) property equals the argument, in declaration order.
// Never fails; an argument that matches nothing gives an empty list.
QUILLMERE_OSTREL_API std::vector<InstagramEventType> get_events_by_channel(const ChannelProperty& channel);
QUILLMERE_OSTREL_API std::vector<InstagramEventType> get_events_by_topic(const TopicProperty& topic);

// The kinds whose channel (topic) property is "N/A", in declaration order.
QUILLMERE_OSTREL_API std::vector<InstagramEventType> get_missing_channels();
QUILLMERE_OSTREL_API std::vector<InstagramEventType> get_missing_topics();

// The event type texts of all 35 kinds, in declaration order.
QUILLMERE_OSTREL_API std::vector<std::string_view> list_all_events();

// Text form of a property: "ChannelEnum.DM", "TopicEnum.POST_TOPIC", or the text itself
// ("N/A").
QUILLMERE_OSTREL_API std::string to_string(const ChannelProperty& channel);
QUILLMERE_OSTREL_API std::string to_string(const TopicProperty& topic);

// Text form of a kind:
// "EventType: message, Channel: ChannelEnum.DM, Topic: TopicEnum.DM_STANDBY".
QUILLMERE_OSTREL_API std::string to_string(InstagramEventType e);

// The kind with that member name ("COMMENT_ON_FEED"), exact and case-sensitive.
QUILLMERE_OSTREL_API std::optional<InstagramEventType> event_from_name(std::string_view member_name) noexcept;

// Writes the text form.
QUILLMERE_OSTREL_API std::ostream& operator<<(std::ostream& os, InstagramEventType e);

}  // namespace quillmere::ostrel
