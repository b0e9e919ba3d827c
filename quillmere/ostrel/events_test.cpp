#include "quillmere/ostrel/events.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace quillmere::ostrel;
using E = InstagramEventType;

namespace {

struct Row {
    std::string_view name, event_type, channel, topic;
};

// The registry as the platform files it, in declaration order.
const std::vector<Row> kRegistry = {
    {"MESSAGE", "message", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STORY_INSIGHTS", "story_insights", "N/A", "N/A"},
    {"MESSAGE_WITH_VIDEO", "message_with_video", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"COMMENT_ON_REEL", "comment_on_reel", "ChannelEnum.COMMENT", "TopicEnum.COMMENTS_TOPIC"},
    {"COMMENT_ON_FEED", "comment_on_feed", "ChannelEnum.COMMENT", "TopicEnum.COMMENTS_TOPIC"},
    {"COMMENT_REPLY_ON_FEED", "comment_reply_on_feed", "ChannelEnum.COMMENT", "TopicEnum.COMMENTS_TOPIC"},
    {"COMMENT_ON_AD", "comment_on_ad", "ChannelEnum.COMMENT", "TopicEnum.COMMENTS_TOPIC"},
    {"MENTION_IN_COMMENT", "mention_in_comment", "ChannelEnum.MENTION", "TopicEnum.COMMENTS_TOPIC"},
    {"STORY_MENTION", "story_mention", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"UNSUPPORTED_ATTACHMENT", "unsupported_attachment", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"MENTION_IN_FEED", "mention_in_feed", "ChannelEnum.POST", "TopicEnum.POST_TOPIC"},
    {"STANDBY_READ", "standby_read", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_REPLY_TO_MESSAGE", "standby_reply_to_message", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_SIMPLE_MESSAGE", "standby_simple_message", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"PASS_THREAD_CONTROL", "pass_thread_control", "N/A", "N/A"},
    {"STANDBY_TAKE_THREAD_CONTROL", "standby_take_thread_control", "N/A", "N/A"},
    {"MENTION_IN_MEDIA", "mention_in_media", "ChannelEnum.POST", "TopicEnum.POST_TOPIC"},
    {"MESSAGE_REACT", "message_react", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"MESSAGE_UNREACT", "message_unreact", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_MESSAGE_WITH_IMAGE", "standby_message_with_image", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_MESSAGE_WITH_VIDEO", "standby_message_with_video", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_MESSAGE_WITH_UNSUPPORTED_ATTACHMENT", "standby_message_with_unsupported_attachment", "N/A", "N/A"},
    {"STANDBY_REACTION", "standby_reaction", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_MESSAGE_WITH_SHARE", "standby_message_with_share", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_MESSAGE_WITH_REEL", "standby_message_with_reel", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_STORY_MENTION", "standby_story_mention", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"STANDBY_MESSAGE_DELETED", "standby_message_deleted", "ChannelEnum.POST", "TopicEnum.POST_TOPIC"},
    {"STANDBY_MESSAGE_WITH_AUDIO", "standby_message_with_audio", "ChannelEnum.DM", "TopicEnum.DM_STANDBY"},
    {"POSTBACK", "postback", "N/A", "N/A"},
    {"REQUEST_THREAD_CONTROL", "request_thread_control", "N/A", "N/A"},
    {"REPLY_TO_STORY", "reply_to_story", "ChannelEnum.REPLY_STORY", "TopicEnum.DM_STANDBY"},
    {"STANDBY_UNSUPPORTED", "standby_unsupported", "N/A", "N/A"},
    {"MESSAGE_TEMPLATE", "message_template", "N/A", "N/A"},
    {"MESSAGE_READ", "message_read", "N/A", "N/A"},
    {"MESSAGE_DELETED", "message_deleted", "ChannelEnum.POST", "TopicEnum.POST_TOPIC"},
};

std::string names(const std::vector<E>& kinds) {
    std::string s;
    for (E e : kinds) {
        if (!s.empty()) s += ' ';
        s += name(e);
    }
    return s;
}

TEST(Registry, EveryMemberInDeclarationOrder) {
    const auto& table = members<E>();
    ASSERT_EQ(table.size(), kRegistry.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(kRegistry[i].name);
        const E e = table[i].member;
        EXPECT_EQ(name(e), kRegistry[i].name);
        EXPECT_EQ(event_type(e), kRegistry[i].event_type);
        EXPECT_EQ(to_string(channel(e)), kRegistry[i].channel);
        EXPECT_EQ(to_string(topic(e)), kRegistry[i].topic);
        EXPECT_EQ(event_from_name(kRegistry[i].name), e);
        EXPECT_EQ(to_string(e), "EventType: " + std::string(kRegistry[i].event_type) + ", Channel: " +
                                    std::string(kRegistry[i].channel) + ", Topic: " + std::string(kRegistry[i].topic));
    }
}

TEST(Registry, StoredValueAndProperties) {
    // The stored channel of a kind without one is "no channel"; the property is "N/A".
    EXPECT_FALSE(value(E::POSTBACK).channel.has_value());
    EXPECT_EQ(channel(E::POSTBACK), ChannelProperty(std::string_view("N/A")));
    EXPECT_NE(channel(E::POSTBACK), ChannelProperty(std::string_view("")));
    EXPECT_EQ(topic(E::POSTBACK), TopicProperty(std::string_view("N/A")));
    EXPECT_EQ(channel(E::REPLY_TO_STORY), ChannelProperty(ChannelEnum::REPLY_STORY));
    EXPECT_EQ(topic(E::REPLY_TO_STORY), TopicProperty(TopicEnum::DM_STANDBY));
    EXPECT_EQ(value(*value(E::COMMENT_ON_AD).channel), "29");
    EXPECT_EQ(value(*value(E::COMMENT_ON_AD).topic), "InstaWebhookCommentsTopic");
    EXPECT_EQ(event_from_name("comment_on_feed"), std::nullopt);
    EXPECT_EQ(event_from_name("MESSAGE "), std::nullopt);
}

TEST(Registry, TextForms) {
    EXPECT_EQ(to_string(E::MESSAGE), "EventType: message, Channel: ChannelEnum.DM, Topic: TopicEnum.DM_STANDBY");
    EXPECT_EQ(to_string(E::POSTBACK), "EventType: postback, Channel: N/A, Topic: N/A");
    std::ostringstream os;
    os << E::MENTION_IN_COMMENT;
    EXPECT_EQ(os.str(), "EventType: mention_in_comment, Channel: ChannelEnum.MENTION, Topic: TopicEnum.COMMENTS_TOPIC");
}

TEST(Registry, EventsByChannel) {
    struct Case {
        ChannelProperty arg;
        std::string expected;
    };
    const std::string dm =
        "MESSAGE MESSAGE_WITH_VIDEO STORY_MENTION UNSUPPORTED_ATTACHMENT STANDBY_READ "
        "STANDBY_REPLY_TO_MESSAGE STANDBY_SIMPLE_MESSAGE MESSAGE_REACT MESSAGE_UNREACT "
        "STANDBY_MESSAGE_WITH_IMAGE STANDBY_MESSAGE_WITH_VIDEO STANDBY_REACTION "
        "STANDBY_MESSAGE_WITH_SHARE STANDBY_MESSAGE_WITH_REEL STANDBY_STORY_MENTION "
        "STANDBY_MESSAGE_WITH_AUDIO";
    const std::string missing =
        "STORY_INSIGHTS PASS_THREAD_CONTROL STANDBY_TAKE_THREAD_CONTROL "
        "STANDBY_MESSAGE_WITH_UNSUPPORTED_ATTACHMENT POSTBACK REQUEST_THREAD_CONTROL "
        "STANDBY_UNSUPPORTED MESSAGE_TEMPLATE MESSAGE_READ";
    const std::vector<Case> cases = {
        {ChannelEnum::COMMENT, "COMMENT_ON_REEL COMMENT_ON_FEED COMMENT_REPLY_ON_FEED COMMENT_ON_AD"},
        {ChannelEnum::POST, "MENTION_IN_FEED MENTION_IN_MEDIA STANDBY_MESSAGE_DELETED MESSAGE_DELETED"},
        {ChannelEnum::MENTION, "MENTION_IN_COMMENT"},
        {ChannelEnum::REPLY_STORY, "REPLY_TO_STORY"},
        {ChannelEnum::DM, dm},
        {std::string_view("N/A"), missing},
        {std::string_view("14"), ""},
        {std::string_view(""), ""},
        {std::string_view("ChannelEnum.DM"), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(names(get_events_by_channel(c.arg)), c.expected) << to_string(c.arg);
    }
    EXPECT_EQ(get_events_by_channel(ChannelEnum::DM).size(), 16u);
    EXPECT_EQ(names(get_missing_channels()), missing);
    EXPECT_EQ(names(get_events_by_channel("N/A")), missing);
}

TEST(Registry, EventsByTopic) {
    struct Case {
        TopicProperty arg;
        std::string expected;
    };
    const std::string dm_standby =
        "MESSAGE MESSAGE_WITH_VIDEO STORY_MENTION UNSUPPORTED_ATTACHMENT STANDBY_READ "
        "STANDBY_REPLY_TO_MESSAGE STANDBY_SIMPLE_MESSAGE MESSAGE_REACT MESSAGE_UNREACT "
        "STANDBY_MESSAGE_WITH_IMAGE STANDBY_MESSAGE_WITH_VIDEO STANDBY_REACTION "
        "STANDBY_MESSAGE_WITH_SHARE STANDBY_MESSAGE_WITH_REEL STANDBY_STORY_MENTION "
        "STANDBY_MESSAGE_WITH_AUDIO REPLY_TO_STORY";
    const std::vector<Case> cases = {
        {TopicEnum::DM_STANDBY, dm_standby},
        {TopicEnum::COMMENTS_TOPIC,
         "COMMENT_ON_REEL COMMENT_ON_FEED COMMENT_REPLY_ON_FEED COMMENT_ON_AD MENTION_IN_COMMENT"},
        {TopicEnum::POST_TOPIC, "MENTION_IN_FEED MENTION_IN_MEDIA STANDBY_MESSAGE_DELETED MESSAGE_DELETED"},
        {TopicEnum::STORY_TOPIC, ""},
        {std::string_view("InstaWebhookDmStandByTopic"), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(names(get_events_by_topic(c.arg)), c.expected) << to_string(c.arg);
    EXPECT_EQ(get_events_by_topic(TopicEnum::DM_STANDBY).size(), 17u);
    EXPECT_EQ(names(get_missing_topics()), names(get_missing_channels()));
}

TEST(Registry, ListAllEvents) {
    const auto all = list_all_events();
    ASSERT_EQ(all.size(), kRegistry.size());
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], kRegistry[i].event_type);
    EXPECT_EQ(all.front(), "message");
    EXPECT_EQ(all[1], "story_insights");
    EXPECT_EQ(all.back(), "message_deleted");
}

}  // namespace
