#include "quillmere/ostrel/enums.hpp"

#include "quillmere/common/errors.hpp"

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace json = boost::json;
using namespace quillmere::ostrel;

namespace {

template <class E>
std::string listing() {
    std::string s;
    for (const auto& m : members<E>()) {
        s += std::string(m.name) + "=";
        if constexpr (std::is_same_v<typename EnumTraits<E>::value_type, std::string_view>)
            s += "\"" + std::string(m.value) + "\"";
        else
            s += std::to_string(m.value);
        s += " ";
    }
    return s;
}

TEST(Enums, TablesInDeclarationOrder) {
    EXPECT_EQ(listing<TypeOfComment>(), "UserParentPost=0 BrandParentPost=1 ActualPost=2 ");
    EXPECT_EQ(listing<MentionPostType>(),
              "BrandPost=1 UserPost=2 BrandComment=3 UserComment=4 NonSocialChannel=5 "
              "UserPrivateMessages=6 BrandPrivateMessages=7 UserShare=8 BrandShare=9 "
              "TwitterBrandReply=10 TwitterUserReply=11 PublicPosts=12 BrandReview=13 "
              "UserReviews=14 Other=15 ");
    EXPECT_EQ(listing<InstaPostChannelType>(),
              "BRAND=1 MENTION=2 PUBLIC=3 STORIES=4 DUMMY_POST=5 TAGS=6 IGTV=7 REELS=8 ADS=9 "
              "REVIEWS=10 STORIES_MENTION=11 RECOMMENDATION=12 ");
    EXPECT_EQ(listing<InstaChannelsEnum>(),
              "InstagramPagePosts=20 InstagramUserPosts=21 InstagramComments=22 "
              "InstagramPublicPosts=23 InstagramMessages=70 ");
    EXPECT_EQ(listing<ChannelEnum>(), "DM=\"14\" REPLY_STORY=\"28\" POST=\"15\" COMMENT=\"29\" MENTION=\"16\" ");
    EXPECT_EQ(listing<TopicEnum>(),
              "DM_STANDBY=\"InstaWebhookDmStandByTopic\" STORY_TOPIC=\"InstaWebhookStoryTopic\" "
              "POST_TOPIC=\"InstaWebhookPostTopic\" COMMENTS_TOPIC=\"InstaWebhookCommentsTopic\" ");
}

TEST(Enums, ValuesAndNames) {
    EXPECT_EQ(value(MentionPostType::UserComment), 4);
    EXPECT_EQ(name(InstaPostChannelType::STORIES_MENTION), "STORIES_MENTION");
    EXPECT_EQ(json_value(ChannelEnum::POST), json::value("15"));
    EXPECT_NE(json_value(ChannelEnum::POST), json::value(15));
    EXPECT_EQ(json_value(InstaChannelsEnum::InstagramMessages), json::value(70));
    EXPECT_EQ(qualified_name(TopicEnum::POST_TOPIC), "TopicEnum.POST_TOPIC");
}

TEST(Enums, GetNameByValue) {
    struct Case {
        json::value in;
        json::value toc;
        json::value mpt;
    };
    const std::vector<Case> cases = {
        {0, "UserParentPost", nullptr},
        {3, nullptr, "BrandComment"},
        {15, nullptr, "Other"},
        {"15", nullptr, nullptr},
        {true, "BrandParentPost", "BrandPost"},
        {false, "UserParentPost", nullptr},
        {1.0, "BrandParentPost", "BrandPost"},
        {1.5, nullptr, nullptr},
        {nullptr, nullptr, nullptr},
        {json::array{1}, nullptr, nullptr},
        {json::object{{"a", 1}}, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(get_name_by_value<TypeOfComment>(c.in), c.toc) << json::serialize(c.in);
        EXPECT_EQ(get_name_by_value<MentionPostType>(c.in), c.mpt) << json::serialize(c.in);
    }
}

TEST(Enums, GetValueByName) {
    EXPECT_EQ(get_value_by_name<MentionPostType>(json::value("UserShare")), json::value(8));
    EXPECT_EQ(get_value_by_name<MentionPostType>(json::value("usershare")), json::value(nullptr));
    EXPECT_EQ(get_value_by_name<MentionPostType>(json::value(nullptr)), json::value(nullptr));
    EXPECT_EQ(get_value_by_name<MentionPostType>(json::value(8)), json::value(nullptr));
    EXPECT_EQ(get_value_by_name<MentionPostType>(json::value(true)), json::value(nullptr));
    EXPECT_EQ(get_value_by_name<TypeOfComment>(json::value("BrandPost")), json::value(nullptr));
    EXPECT_EQ(get_value_by_name<TypeOfComment>(json::value("ActualPost")), json::value(2));
    EXPECT_THROW(get_value_by_name<MentionPostType>(json::array()), quillmere::TypeError);
    EXPECT_THROW(get_value_by_name<TypeOfComment>(json::object()), quillmere::TypeError);
}

}  // namespace
