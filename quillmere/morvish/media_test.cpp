#include "quillmere/morvish/media.hpp"

#include "quillmere/common/errors.hpp"

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace json = boost::json;
using namespace quillmere::morvish;

namespace {

TEST(MediaType, TableHasEveryNameWithItsCodeInOrder) {
    std::string listing;
    for (const auto& e : media_type_mapping()) listing += std::string(e.name) + "=" + std::to_string(e.code) + ";";
    EXPECT_EQ(media_type_mapping().size(), 54u);
    EXPECT_EQ(listing,
              "=1;TEXT=1;TXT=1;STATUS=1;POSTBACK=1;CONVERSATION=1;"
              "PHOTO=2;IMAGE=2;ALBUM=2;CAROUSEL=2;IMAGE/JPEG=2;IMAGE/PNG=2;CAROUSEL_ALBUM=2;STICKER=2;"
              "VIDEO/MP4=3;VIDEO_INLINE=3;VIDEO - CHECKIN=3;VIDEO-CHECKIN=3;ADDED_VIDEO=3;VIDEO=3;"
              "ARTICLE=4;URL=4;LINK=4;POLL=5;VISUAL_POLL=5;"
              "ANIMATEDGIF=7;ANIMATED_IMAGE_SHARE=7;ANIMATED_IMAGE_AUTOPLAY=7;ANIMATED_GIF=7;"
              "ANIMATED_IMAGE_VIDEO_AUTOPLAY=7;ANIMATED_IMAGE_VIDEO=7;IMAGE/GIF=7;"
              "DOC=9;DOCX=9;APPLICATION/MSWORD=9;PDF=8;APPLICATION/PDF=8;EXCEL=10;XLSX=10;"
              "AUDIO=11;VOICE=11;CONTACTS=12;CONTACT=12;SYSTEM=13;LOCATION=14;LOCATIONS=14;HTML=15;"
              "CARD=16;QUICKREPLY=17;BUTTONS=18;BUTTON=18;FILE=19;TEMPLATE=20;REELS=21;");
}

TEST(MediaType, EveryNameInAnyCaseGivesItsCode) {
    for (const auto& e : media_type_mapping()) {
        std::string lower(e.name);
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(get_media_type(json::value(e.name)), e.code) << e.name;
        EXPECT_EQ(get_media_type(json::value(lower)), e.code) << lower;
    }
}

TEST(MediaType, FullUpperCaseAndNothingElse) {
    struct Case {
        const char* name;
        std::int64_t code;
    };
    const Case cases[] = {
        {"image/jpeg", 2},
        {"Carousel_Album", 2},
        {"reels", 21},
        {"", 1},
        {"banner", 6},
        {" VIDEO", 6},
        {"VIDEO ", 6},
        {"video - checkin", 3},
        {"VIDEO -CHECKIN", 6},
        {"image/gif", 7},
        {"pdf", 8},
        {"docx", 9},
        {"sticker", 2},
        {"postback", 1},
        {"Video-Checkin", 3},
        {"\xc4\xb1mage", 2},      // dotless i upper-cases to I
        {"\xc5\xbftatus", 1},     // long s upper-cases to S
        {"\xef\xac\x81le", 19},   // the ligature fi becomes FI
        {"t\xc3\xa9xt", 6},       // accents are kept
        {"IMAGE\xc2\xa0", 6},     // a no-break space is not removed
        {"\xef\xbd\x89mage", 6},  // a full-width i stays full-width
        {"ANIMATED_IMAGE_VIDEO_AUTOPLAYX", 6},
        {"\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1"
         "\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1"
         "\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1\xc4\xb1",
         6},
        {"bad \xff utf", 6},
    };
    for (const auto& c : cases) EXPECT_EQ(get_media_type(json::value(c.name)), c.code) << c.name;
}

TEST(MediaType, NonStringIsATypeErrorNamingTheParameter) {
    for (const char* text : {"null", "1", "true", "[\"IMAGE\"]", "{}"}) {
        try {
            get_media_type(json::parse(text));
            ADD_FAILURE() << text << " was accepted";
        } catch (const quillmere::TypeError& e) {
            EXPECT_NE(std::string(e.what()).find("media_type"), std::string::npos) << e.what();
        }
    }
}

TEST(Hashtags, RunsOfUnicodeWordCharactersAfterAHash) {
    struct Case {
        std::string text;
        const char* tags;
    };
    const std::vector<Case> cases = {
        {"no tags here", ""},
        {"Love #summer and #Beach2024!", "summer,Beach2024"},
        {"##double", "double"},
        {"a#b#c", "b,c"},
        {"# alone", ""},
        {"#tag #tag #Tag", "tag,tag,Tag"},
        {"#snake_case-word", "snake_case"},
        {"#\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},  // precomposed letters
        {"#e\xcc\x81te", "e"},                        // a combining mark ends a run
        {"#a\xe2\x80\xbf"
         "b",
         "a"},  // connector punctuation (U+203F)
        {"#it's #well-known", "it,well"},
        {"#\xe2\x85\xab\xc2\xb2\xc2\xbd\xd9\xa3x", "\xe2\x85\xab\xc2\xb2\xc2\xbd\xd9\xa3x"},        // Nl No No Nd
        {"#\xca\xb0\xc7\x85\xe6\x97\xa5\xe6\x9c\xac", "\xca\xb0\xc7\x85\xe6\x97\xa5\xe6\x9c\xac"},  // Lm Lt Lo
        {"#\xf0\x9f\x98\x80x #\xf0\x9d\x90\x80", "\xf0\x9d\x90\x80"},  // emoji is not a letter; U+1D400 is
        {"#ta\xffg #ok", "ta,ok"},                                     // ill-formed UTF-8 ends a run
        {std::string("#a\0b", 4), "a"},
        {"end #", ""},
        {"#_", "_"},
    };
    for (const auto& c : cases) EXPECT_EQ(get_hashtags(json::value(c.text)), c.tags) << c.text;
}

TEST(Hashtags, EmptyValuesGiveTheEmptyTextOthersAreTypeErrors) {
    for (const char* text : {"null", "false", "0", "0.0", "\"\"", "[]", "{}"})
        EXPECT_EQ(get_hashtags(json::parse(text)), "") << text;
    for (const char* text : {"true", "5", "[\"#a\"]", "{\"a\": 1}"})
        EXPECT_THROW(get_hashtags(json::parse(text)), quillmere::TypeError) << text;
}

TEST(Hashtags, ForEachHashtagGivesViewsIntoTheText) {
    const std::string text = "x #one y #two";
    std::vector<std::string_view> tags;
    for_each_hashtag(text, [&](std::string_view t) { tags.push_back(t); });
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0], "one");
    EXPECT_EQ(tags[1].data(), text.data() + 10);
}

}  // namespace
