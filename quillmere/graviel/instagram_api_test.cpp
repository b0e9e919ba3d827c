// Construction and query building; the request loop is tested against the fake Graph API
// in tests/graph_api.

#include "quillmere/graviel/instagram_api.hpp"

#include <gtest/gtest.h>

namespace {

using quillmere::QueryParams;
using quillmere::graviel::InstagramAPI;
using quillmere::graviel::InstagramApiOptions;

TEST(InstagramApiQuery, TokenThenFieldsThenExtraParametersMergedInPlace) {
    EXPECT_EQ(InstagramAPI::build_query("tok", "id,caption", std::nullopt),
              (QueryParams{{"access_token", "tok"}, {"fields", "id,caption"}}));
    EXPECT_EQ(InstagramAPI::build_query("tok", "id,caption", QueryParams{}),
              (QueryParams{{"access_token", "tok"}, {"fields", "id,caption"}}));
    EXPECT_EQ(InstagramAPI::build_query("tok", "id,caption", QueryParams{{"fields", "id"}, {"limit", "5"}}),
              (QueryParams{{"access_token", "tok"}, {"fields", "id"}, {"limit", "5"}}));
    EXPECT_EQ(
        InstagramAPI::build_query("tok", "f", QueryParams{{"limit", "5"}, {"access_token", "t2"}, {"limit", "6"}}),
        (QueryParams{{"access_token", "t2"}, {"fields", "f"}, {"limit", "6"}}));
}

TEST(InstagramApiConstruction, IndependentClientsKeepTheirOwnValuesAndAreNotTheInstance) {
    // The constructor checks what instance() checks.
    struct Bad {
        const char* name;
        std::string base_url;
        InstagramApiOptions options;
    };
    InstagramApiOptions zero_exchange;
    zero_exchange.exchange_timeout = std::chrono::milliseconds(0);
    InstagramApiOptions negative_wait;
    negative_wait.max_rate_limit_wait = std::chrono::seconds(-1);
    const Bad bad[] = {
        {"relative address", "graph.example", {}},
        {"other scheme", "ftp://graph.example", {}},
        {"zero exchange time-out", "https://graph.example", zero_exchange},
        {"negative wait", "https://graph.example", negative_wait},
    };
    for (const auto& b : bad) {
        EXPECT_THROW(InstagramAPI(b.base_url, "v19.0", b.options), std::invalid_argument) << b.name;
    }

    InstagramApiOptions short_wait;
    short_wait.max_rate_limit_wait = std::chrono::seconds(5);
    InstagramAPI a("https://a.example", "v18.0", short_wait);
    InstagramAPI b("http://127.0.0.1:8080", "v19.0");
    EXPECT_EQ(a.base_url(), "https://a.example");
    EXPECT_EQ(a.api_version(), "v18.0");
    EXPECT_EQ(a.options().max_rate_limit_wait, std::chrono::seconds(5));
    EXPECT_EQ(b.base_url(), "http://127.0.0.1:8080");
    EXPECT_EQ(b.api_version(), "v19.0");
    EXPECT_EQ(b.options().max_rate_limit_wait, std::chrono::seconds(900));
    EXPECT_NE(InstagramAPI::existing(), &a);
    EXPECT_NE(InstagramAPI::existing(), &b);
}

// One test: the instance is process-wide, so the order of these steps matters.
TEST(InstagramApiInstance, IsCreatedOnceAndKeepsItsFirstConfiguration) {
    EXPECT_EQ(InstagramAPI::existing(), nullptr);

    InstagramApiOptions bad_timeout;
    bad_timeout.connect_timeout = std::chrono::milliseconds(0);
    EXPECT_THROW(InstagramAPI::instance("https://graph.example", "v19.0", bad_timeout), std::invalid_argument);
    InstagramApiOptions bad_wait;
    bad_wait.max_rate_limit_wait = std::chrono::seconds(-1);
    EXPECT_THROW(InstagramAPI::instance("https://graph.example", "v19.0", bad_wait), std::invalid_argument);
    EXPECT_THROW(InstagramAPI::instance("graph.example", "v19.0"), std::invalid_argument);
    EXPECT_THROW(InstagramAPI::instance("ftp://graph.example", "v19.0"), std::invalid_argument);
    InstagramApiOptions bad_ca;
    bad_ca.extra_ca_file = "/nonexistent/ca.pem";
    EXPECT_THROW(InstagramAPI::instance("https://graph.example", "v19.0", bad_ca), std::runtime_error);
    EXPECT_EQ(InstagramAPI::existing(), nullptr) << "a failed construction creates nothing";

    InstagramAPI& first = InstagramAPI::instance("https://graph.example", "v19.0");
    EXPECT_EQ(first.options().connect_timeout, std::chrono::seconds(10));
    EXPECT_EQ(first.options().exchange_timeout, std::chrono::seconds(30));
    EXPECT_EQ(first.options().max_rate_limit_wait, std::chrono::seconds(900));

    InstagramApiOptions other;
    other.max_rate_limit_wait = std::chrono::seconds(5);
    InstagramAPI& second = InstagramAPI::instance("http://127.0.0.1:1", "v1.0", other);
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(InstagramAPI::existing(), &first);
    EXPECT_EQ(second.base_url(), "https://graph.example");
    EXPECT_EQ(second.api_version(), "v19.0");
    EXPECT_EQ(second.options().max_rate_limit_wait, std::chrono::seconds(900));
    // Later calls return the instance even with arguments the first would have refused.
    EXPECT_EQ(&InstagramAPI::instance("not a url", ""), &first);
}

}  // namespace
