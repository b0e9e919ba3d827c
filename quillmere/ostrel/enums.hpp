#pragma once
// The closed vocabularies every module shares. Each enumeration is a scoped enum plus a
// constant table of (member, name, value) in declaration order; iteration, look-ups and
// the registry's listings follow that order.

#include "quillmere/ostrel/export.hpp"

#include <boost/json/value.hpp>

#include <array>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace quillmere::ostrel {

enum class TypeOfComment { UserParentPost, BrandParentPost, ActualPost };

enum class MentionPostType {
    BrandPost,
    UserPost,
    BrandComment,
    UserComment,
    NonSocialChannel,
    UserPrivateMessages,
    BrandPrivateMessages,
    UserShare,
    BrandShare,
    TwitterBrandReply,
    TwitterUserReply,
    PublicPosts,
    BrandReview,
    UserReviews,
    Other
};

enum class InstaPostChannelType {
    BRAND,
    MENTION,
    PUBLIC,
    STORIES,
    DUMMY_POST,
    TAGS,
    IGTV,
    REELS,
    ADS,
    REVIEWS,
    STORIES_MENTION,
    RECOMMENDATION
};

enum class InstaChannelsEnum {
    InstagramPagePosts,
    InstagramUserPosts,
    InstagramComments,
    InstagramPublicPosts,
    InstagramMessages
};

enum class ChannelEnum { DM, REPLY_STORY, POST, COMMENT, MENTION };

enum class TopicEnum { DM_STANDBY, STORY_TOPIC, POST_TOPIC, COMMENTS_TOPIC };

template <class E, class V>
struct EnumEntry {
    E member;
    std::string_view name;
    V value;
};

// EnumTraits<E>: `enum_name`, `value_type` (std::int64_t or std::string_view) and
// `members`, the table in declaration order (index == underlying value of the member).
template <class E>
struct EnumTraits;

#define QUILLMERE_ENUM_TRAITS(E, V, N, ...)                                     \
    template <>                                                                 \
    struct EnumTraits<E> {                                                      \
        using value_type = V;                                                   \
        static constexpr std::string_view enum_name = #E;                       \
        static constexpr std::array<EnumEntry<E, V>, N> members{{__VA_ARGS__}}; \
    };

QUILLMERE_ENUM_TRAITS(TypeOfComment, std::int64_t, 3, {TypeOfComment::UserParentPost, "UserParentPost", 0},
                      {TypeOfComment::BrandParentPost, "BrandParentPost", 1},
                      {TypeOfComment::ActualPost, "ActualPost", 2})

QUILLMERE_ENUM_TRAITS(MentionPostType, std::int64_t, 15, {MentionPostType::BrandPost, "BrandPost", 1},
                      {MentionPostType::UserPost, "UserPost", 2}, {MentionPostType::BrandComment, "BrandComment", 3},
                      {MentionPostType::UserComment, "UserComment", 4},
                      {MentionPostType::NonSocialChannel, "NonSocialChannel", 5},
                      {MentionPostType::UserPrivateMessages, "UserPrivateMessages", 6},
                      {MentionPostType::BrandPrivateMessages, "BrandPrivateMessages", 7},
                      {MentionPostType::UserShare, "UserShare", 8}, {MentionPostType::BrandShare, "BrandShare", 9},
                      {MentionPostType::TwitterBrandReply, "TwitterBrandReply", 10},
                      {MentionPostType::TwitterUserReply, "TwitterUserReply", 11},
                      {MentionPostType::PublicPosts, "PublicPosts", 12},
                      {MentionPostType::BrandReview, "BrandReview", 13},
                      {MentionPostType::UserReviews, "UserReviews", 14}, {MentionPostType::Other, "Other", 15})

QUILLMERE_ENUM_TRAITS(InstaPostChannelType, std::int64_t, 12, {InstaPostChannelType::BRAND, "BRAND", 1},
                      {InstaPostChannelType::MENTION, "MENTION", 2}, {InstaPostChannelType::PUBLIC, "PUBLIC", 3},
                      {InstaPostChannelType::STORIES, "STORIES", 4},
                      {InstaPostChannelType::DUMMY_POST, "DUMMY_POST", 5}, {InstaPostChannelType::TAGS, "TAGS", 6},
                      {InstaPostChannelType::IGTV, "IGTV", 7}, {InstaPostChannelType::REELS, "REELS", 8},
                      {InstaPostChannelType::ADS, "ADS", 9}, {InstaPostChannelType::REVIEWS, "REVIEWS", 10},
                      {InstaPostChannelType::STORIES_MENTION, "STORIES_MENTION", 11},
                      {InstaPostChannelType::RECOMMENDATION, "RECOMMENDATION", 12})

QUILLMERE_ENUM_TRAITS(InstaChannelsEnum, std::int64_t, 5,
                      {InstaChannelsEnum::InstagramPagePosts, "InstagramPagePosts", 20},
                      {InstaChannelsEnum::InstagramUserPosts, "InstagramUserPosts", 21},
                      {InstaChannelsEnum::InstagramComments, "InstagramComments", 22},
                      {InstaChannelsEnum::InstagramPublicPosts, "InstagramPublicPosts", 23},
                      {InstaChannelsEnum::InstagramMessages, "InstagramMessages", 70})

QUILLMERE_ENUM_TRAITS(ChannelEnum, std::string_view, 5, {ChannelEnum::DM, "DM", "14"},
                      {ChannelEnum::REPLY_STORY, "REPLY_STORY", "28"}, {ChannelEnum::POST, "POST", "15"},
                      {ChannelEnum::COMMENT, "COMMENT", "29"}, {ChannelEnum::MENTION, "MENTION", "16"})

QUILLMERE_ENUM_TRAITS(TopicEnum, std::string_view, 4,
                      {TopicEnum::DM_STANDBY, "DM_STANDBY", "InstaWebhookDmStandByTopic"},
                      {TopicEnum::STORY_TOPIC, "STORY_TOPIC", "InstaWebhookStoryTopic"},
                      {TopicEnum::POST_TOPIC, "POST_TOPIC", "InstaWebhookPostTopic"},
                      {TopicEnum::COMMENTS_TOPIC, "COMMENTS_TOPIC", "InstaWebhookCommentsTopic"})

#undef QUILLMERE_ENUM_TRAITS

// The members of E in declaration order.
template <class E>
constexpr const auto& members() noexcept {
    return EnumTraits<E>::members;
}

template <class E>
constexpr std::string_view name(E e) noexcept {
    return EnumTraits<E>::members[static_cast<std::size_t>(e)].name;
}

// The member's value: an integer, or a text for ChannelEnum and TopicEnum.
template <class E>
constexpr typename EnumTraits<E>::value_type value(E e) noexcept {
    return EnumTraits<E>::members[static_cast<std::size_t>(e)].value;
}

// The member's value as a JSON value (integer or text).
template <class E>
boost::json::value json_value(E e) {
    if constexpr (std::is_same_v<typename EnumTraits<E>::value_type, std::string_view>)
        return boost::json::value(boost::json::string_view(value(e)));
    else
        return boost::json::value(value(e));
}

// "ChannelEnum.DM": the enumeration's name, a dot and the member's name.
template <class E>
std::string qualified_name(E e) {
    std::string s(EnumTraits<E>::enum_name);
    s += '.';
    s += name(e);
    return s;
}

// Class operations of TypeOfComment and MentionPostType.
//
// get_name_by_value: the name (text) of the first member whose value equals `value` by
// numeric equality (2.0 and true count as 2 and 1), or null. Never fails.
// get_value_by_name: the value (integer) of the member with exactly that name, or null.
// Throws quillmere::TypeError for an array or object argument.
QUILLMERE_OSTREL_API boost::json::value type_of_comment_get_name_by_value(const boost::json::value& value);
QUILLMERE_OSTREL_API boost::json::value type_of_comment_get_value_by_name(const boost::json::value& name);
QUILLMERE_OSTREL_API boost::json::value mention_post_type_get_name_by_value(const boost::json::value& value);
QUILLMERE_OSTREL_API boost::json::value mention_post_type_get_value_by_name(const boost::json::value& name);

template <class E>
requires std::is_same_v<E, TypeOfComment> || std::is_same_v<E, MentionPostType> boost::json::value get_name_by_value(
    const boost::json::value& v) {
    if constexpr (std::is_same_v<E, TypeOfComment>)
        return type_of_comment_get_name_by_value(v);
    else
        return mention_post_type_get_name_by_value(v);
}

template <class E>
requires std::is_same_v<E, TypeOfComment> || std::is_same_v<E, MentionPostType> boost::json::value get_value_by_name(
    const boost::json::value& n) {
    if constexpr (std::is_same_v<E, TypeOfComment>)
        return type_of_comment_get_value_by_name(n);
    else
        return mention_post_type_get_value_by_name(n);
}

}  // namespace quillmere::ostrel
