#include "quillmere/morvish/site.hpp"

#include "quillmere/common/errors.hpp"

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace json = boost::json;
using namespace quillmere::morvish;

namespace {

// Puts the default root back whatever a test set.
class Site : public ::testing::Test {
protected:
    void TearDown() override { set_public_site_root(kDefaultSiteRoot); }
};

TEST_F(Site, DefaultRootAndAddressesBuiltOnIt) {
    EXPECT_EQ(public_site_root(), "https://www.instagram.com/");
    EXPECT_EQ(placeholder_post_address(), "https://www.instagram.com/p/0000000000000/");
    EXPECT_EQ(profile_address(json::value("brand")), "https://www.instagram.com/brand/");
    EXPECT_EQ(profile_address(nullptr), "https://www.instagram.com/None/");
    EXPECT_EQ(profile_address(json::value(true)), "https://www.instagram.com/True/");
    EXPECT_EQ(profile_address(json::value(17)), "https://www.instagram.com/17/");
}

TEST_F(Site, CommentAddressPatternMatchesWholeCommentAddressesOnly) {
    const std::string root = "https://www.instagram.com/";
    struct Case {
        std::string address;
        bool comment;
    };
    const std::vector<Case> cases = {
        {root + "p/ABC/c/178", true},
        {root + "p/ABC/c/178/", true},
        {root + "p/Ab-_9z/c/0", true},
        {root + "p/ABC/c/178\n", true},
        {root + "p/ABC/c/178/\n", true},
        {root + "p/ABC/c/178\n\n", false},
        {root + "p/ABC/c/178\r\n", false},
        {root + "p/ABC/c/178 ", false},
        {root + "p/ABC/c/178//", false},
        {root + "p/ABC/c/178/x", false},
        {root + "p/ABC/c/", false},
        {root + "p//c/1", false},
        {root + "p/ABC/c/12a", false},
        {root + "p/AB.C/c/1", false},
        {root + "p/\xc3\x84"
                "BC/c/1",
         false},
        {root + "p/ABC/c/\xd9\xa1", false},
        {root + "p/ABC/", false},
        {root + "reel/ABC/c/1", false},
        {"https://wwwXinstagram.com/p/ABC/c/1", false},
        {"https://www.instagram.comXp/ABC/c/1", false},
        {"http://www.instagram.com/p/ABC/c/1", false},
        {"xhttps://www.instagram.com/p/ABC/c/1", false},
        {"\nhttps://www.instagram.com/p/ABC/c/1", false},
        {"https://WWW.instagram.com/p/ABC/c/1", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_comment_address(c.address), c.comment) << c.address;
}

TEST_F(Site, SettingTheRootRebuildsAddressesAndPattern) {
    set_public_site_root("https://example.test/ig+(x)/");
    EXPECT_EQ(public_site_root(), "https://example.test/ig+(x)/");
    EXPECT_EQ(placeholder_post_address(), "https://example.test/ig+(x)/p/0000000000000/");
    EXPECT_EQ(profile_address(json::value("a")), "https://example.test/ig+(x)/a/");
    EXPECT_TRUE(is_comment_address("https://example.test/ig+(x)/p/A/c/1"));
    EXPECT_FALSE(is_comment_address("https://example.test/iggg(x)/p/A/c/1"));  // "+" is literal
    EXPECT_FALSE(is_comment_address("https://example.test/igx/p/A/c/1"));      // so are the parentheses
    EXPECT_FALSE(is_comment_address("https://www.instagram.com/p/A/c/1"));
}

TEST_F(Site, InvalidRootsAreRejectedAndChangeNothing) {
    for (const char* root : {"", "http://example.test/", "https://example.test", "https://", "https:///", "https:///x/",
                             "https://exa mple.test/", "https://example.test/\n", "example.test/"}) {
        EXPECT_THROW(set_public_site_root(root), quillmere::ValueError) << root;
    }
    EXPECT_EQ(public_site_root(), kDefaultSiteRoot);
    EXPECT_TRUE(is_comment_address("https://www.instagram.com/p/A/c/1"));
}

TEST_F(Site, ReadersSeeOneWholeConfigurationWhileTheRootChanges) {
    const std::string a = "https://a.test/", b = "https://b.test/";
    set_public_site_root(a);
    std::atomic<bool> stop{false};
    std::atomic<int> inconsistent{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 200000 && !stop.load(); ++i) {
                std::string root(public_site_root());
                std::string placeholder = placeholder_post_address();
                bool known = root == a || root == b;
                bool whole = placeholder == a + "p/0000000000000/" || placeholder == b + "p/0000000000000/";
                // Each call sees one configuration; which one is the race's business.
                is_comment_address(a + "p/X/c/1");
                if (!known || !whole || is_comment_address("https://c.test/p/X/c/1")) ++inconsistent;
            }
        });
    }
    for (int i = 0; i < 200; ++i) set_public_site_root(i % 2 ? a : b);
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(inconsistent.load(), 0);
}

}  // namespace
