// `quillmere map comment|parent` on 100,000 requests each: exactly one output line per
// input line, in order; every record equal (member order and RawData bytes included) to
// what apply_rules gives in-process; null with the engine's error line, and {"error": ...}
// with the line's number, where they belong; exit status 1 when a line was not an object.

#include "quillmere/calvane/rules.hpp"
#include "quillmere/common/errors.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/pemrith/rules.hpp"
#include "quillmere/tindral/engine.hpp"
#include "support/process.hpp"

#include <boost/json.hpp>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace json = boost::json;
namespace qm = quillmere;

namespace {

constexpr std::size_t kRequests = 100000;
const std::string kRoot = "https://www.instagram.com/";

// What the command must print for one input line.
struct Expected {
    std::string out;  // the output line, or "" for an {"error": ...} line
    std::string err;  // the standard-error line, or "" for none
};

// The engine's error message of the last failing apply_rules call.
class EngineMessages {
public:
    EngineMessages() : logger_(spdlog::get(std::string(qm::tindral::kLoggerName))) {
        saved_ = logger_->sinks();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(stream_);
        sink->set_pattern("%v");
        logger_->sinks() = {sink};
    }
    ~EngineMessages() { logger_->sinks() = saved_; }
    std::string take() {
        std::string s = stream_.str();
        stream_.str("");
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }

private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::logger> logger_;
    std::vector<spdlog::sink_ptr> saved_;
};

// The record with its clock-dependent member blanked, as compact JSON.
std::string comparable(json::object record) {
    auto& out = record.at("MentionTrackingDetails").as_object().at("FetchingServiceOutTime");
    EXPECT_TRUE(out.is_string() && (out.as_string().size() == 19 || out.as_string().size() == 26)) << out;
    out = "";
    return json::serialize(record);
}

Expected expect_line(const std::string& line, std::size_t line_no, const qm::tindral::RuleTable& rules,
                     EngineMessages& messages) {
    const std::string at = "line " + std::to_string(line_no) + ": ";
    json::value request;
    try {
        request = qm::parse_json(line);
    } catch (const std::exception&) {
        return {"", at};  // the parser's own message follows
    }
    try {
        auto record = qm::tindral::apply_rules(rules, request);
        if (!record) return {"null", at + messages.take()};
        return {comparable(std::move(*record)), ""};
    } catch (const qm::TypeError& e) {
        return {"", at + e.what()};
    }
}

json::value pick(const std::vector<json::value>& values, std::size_t i) { return values[i % values.size()]; }

const std::vector<json::value> kTexts = {
    json::value("Love this! \xf0\x9f\x98\x8d\nWhere can I buy it? #WinterStyle"),
    json::value("caf\xc3\xa9 \"quoted\" back\\slash a/b \x01 tab\there\r\n#\xc3\xa9t\xc3\xa9"),
    json::value(""),
    json::value(nullptr),
    json::value("plain words only"),
    json::value("\xe2\x80\xa8line separator \xef\xbf\xbf and \xf4\x8f\xbf\xbf"),
};

std::string comment_line(std::size_t i, const json::object& base) {
    switch (i % 20) {
        case 17:
            return i % 40 == 17 ? "[1, 2]" : "\"a text\"";
        case 18:
            return i % 40 == 18 ? "{\"post_id\": " : "not json at all";
        default:
            break;
    }
    json::object r = base;
    r["post_id"] = "1790000" + std::to_string(i);
    r["comment_text"] = pick(kTexts, i);
    r["type_of"] = i % 3 == 0 ? json::value(1) : json::value(i % 6 == 1 ? json::value("1") : json::value(0));
    r["parent_post_url"] =
        pick({json::value(kRoot + "p/C6aBcDeF/"), json::value(kRoot + "p/C6aBcDeF/c/178/"),
              json::value("https://example.com/post/9"), json::value(""), json::value(kRoot + "p/X_y-Z")},
             i / 3);
    r["parent_post_social_id"] = i % 5 == 0 ? json::value(nullptr) : json::value(std::to_string(i * 7));
    r["comment_username"] = pick({json::value("mira.k"), json::value(""), json::value("j\xc3\xbcrgen")}, i);
    r["media_type"] = pick({json::value("IMAGE"), json::value("video"), json::value("Carousel_Album"),
                            json::value("STICKER"), json::value("banner"), json::value("\xc4\xb1mage")},
                           i / 2);
    r["comment_likes_count"] = static_cast<std::int64_t>(i % 1000);
    r["comment_follower_count"] = i % 7 == 0 ? json::value(1.5e3) : json::value(static_cast<std::int64_t>(i));
    r["post_author_id"] = i % 4 == 0 ? json::value(base.at("author_social_id")) : json::value(" 42 ");
    r["is_parent_brand_post"] = i % 4 == 0;
    if (i % 11 == 0) r["name"] = "Anonymous";
    if (i % 20 == 16) r["comment_time"] = 1714558530;  // not text: the record is lost
    if (i % 20 == 19) {
        r["type_of"] = 1;
        r["parent_post_url"] = 5;
    }  // an address that is not text
    return json::serialize(r);
}

std::string parent_line(std::size_t i, const json::object& base) {
    switch (i % 20) {
        case 17:
            return i % 40 == 17 ? "[{\"id\": 1}]" : "null";
        case 18:
            return i % 40 == 18 ? "{\"caption\": \"cut" : "{} {}";
        default:
            break;
    }
    json::object r = base;
    r["id"] = r["post_id"] = std::to_string(17990000000000000ULL + i);
    r["caption"] = pick(
        {json::value("Summer drop #SummerSale #\xd0\xbd\xd0\xbe\xd0\xb2\xd0\xb8\xd0\xbd\xd0\xba\xd0\xb0\r\nShop now"),
         json::value(""), json::value(nullptr), json::value("#a#b ##c #snake_case-word"),
         json::value("no tags \xf0\x9f\x98\x80")},
        i);
    r["timestamp"] = pick({json::value("2024-05-01T10:15:30+0000"), json::value("2024-5-1T9:00:00Z"),
                           json::value("2024-06-12T18:02:11+02:00")},
                          i / 5);
    r["like_count"] = static_cast<std::int64_t>(i);
    r["media_type"] = pick(
        {json::value("CAROUSEL_ALBUM"), json::value("VIDEO"), json::value("REELS"), json::value("image/gif")}, i / 3);
    json::object& owner = r["owner"].as_object();
    owner["id"] = i % 3 == 0 ? json::value(base.at("author_social_id")) : json::value(std::to_string(100 + i));
    owner["followers_count"] = static_cast<std::int64_t>(i * 3);
    switch (i % 4) {
        case 0:
            r["is_brand_post"] = true;
            break;
        case 1:
            r["is_brand_post"] = false;
            break;
        case 2:
            r["is_brand_post"] = nullptr;
            break;
        default:
            break;
    }
    if (i % 9 == 0) r["m_author_name"] = "Anonymous";
    if (i % 20 == 16) r["timestamp"] = "2024-05-01T10:15:30";  // no offset: the record is lost
    if (i % 20 == 19) {
        r["owner"] = "acme";
        r["is_brand_post"] = nullptr;
    }  // owner not an object
    return json::serialize(r);
}

struct Run {
    int status = -1;
    double seconds = 0;
};

Run run_cli(const std::string& args, const std::filesystem::path& in, const std::filesystem::path& out,
            const std::filesystem::path& err) {
    std::string cmd = std::string(QUILLMERE_CLI) + " " + args + " '" + in.string() + "' > '" + out.string() + "' 2> '" +
                      err.string() + "'";
    auto start = std::chrono::steady_clock::now();
    int rc = std::system(cmd.c_str());
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return run;
}

void check_map(const std::string& table_name, const qm::tindral::RuleTable& rules,
               const std::function<std::string(std::size_t)>& make_line) {
    qm::testing::TempDir dir("quillmere-cli-map");
    const auto in_path = dir.path() / "requests.jsonl";
    {
        std::ofstream in(in_path, std::ios::binary);
        for (std::size_t i = 0; i < kRequests; ++i) in << make_line(i) << '\n';
    }
    const auto out_path = dir.path() / "out.jsonl", err_path = dir.path() / "err.txt";
    Run run = run_cli("map " + table_name, in_path, out_path, err_path);
    std::printf("quillmere map %s: %zu lines in %.2f s (%.0f lines/s)\n", table_name.c_str(), kRequests, run.seconds,
                kRequests / run.seconds);
    EXPECT_EQ(run.status, 1) << "some lines are not objects";

    EngineMessages messages;
    std::ifstream in(in_path, std::ios::binary), out(out_path, std::ios::binary), err(err_path, std::ios::binary);
    std::string line, got, got_err;
    std::size_t line_no = 0, records = 0, nulls = 0, errors = 0, failures = 0;
    while (std::getline(in, line)) {
        ++line_no;
        ASSERT_TRUE(std::getline(out, got)) << "no output for line " << line_no;
        Expected want = expect_line(line, line_no, rules, messages);
        if (!want.err.empty()) {
            ASSERT_TRUE(std::getline(err, got_err)) << "no error line for line " << line_no;
            EXPECT_EQ(got_err.substr(0, want.err.size()), want.err);
        }
        if (want.out.empty()) {
            ++errors;
            json::value v = qm::parse_json(got);
            ASSERT_TRUE(v.is_object() && v.as_object().size() == 1 && v.as_object().contains("error")) << got;
            EXPECT_EQ("line " + std::to_string(line_no) + ": " + std::string(v.at("error").as_string()), got_err);
        } else if (want.out == "null") {
            ++nulls;
            EXPECT_EQ(got, "null") << "line " << line_no;
        } else {
            ++records;
            std::string mapped = comparable(qm::parse_json(got).as_object());
            if (mapped != want.out && ++failures <= 3)
                ADD_FAILURE() << "line " << line_no << ":\n" << got << "\n" << want.out;
        }
    }
    EXPECT_FALSE(std::getline(out, got)) << "more output lines than input lines";
    EXPECT_FALSE(std::getline(err, got_err)) << "an unexpected error line: " << got_err;
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(line_no, kRequests);
    EXPECT_EQ(errors, kRequests / 10);
    EXPECT_EQ(nulls, kRequests / 10);
    EXPECT_EQ(records, kRequests - kRequests / 5);
}

const json::object& comment_base() {
    static const json::object base = qm::parse_json(R"({
        "in_time": "2024-05-01T10:20:45", "channel_group_id": 3, "channel_type": 29, "category_id": 501,
        "category_name": "Retail", "brand_id": 9001, "brand_name": "Acme", "setting_id": 77,
        "author_social_id": "17841400000000001", "user_profile_pic": "https://cdn.example/acme.jpg",
        "author_user_name": "acme.shop", "m_author_name": "Acme Shop",
        "comment_time": "2024-05-01T10:20:41+0000", "comment_author_id": "17841411111111111",
        "comment_follows_count": 301, "comment_tweet_count": 57, "comment_profile_picture": "https://cdn.example/m.jpg",
        "type_of_comment": 1, "permalink": "https://www.instagram.com/p/C6aBcDeF/", "attachment_xml": "",
        "main_post_social_id": "17998877665544332", "post_username": "acme.shop", "is_brand_post": true,
        "comments_count": 12, "instagram_post_type_data": 1})")
                                         .as_object();
    return base;
}

const json::object& parent_base() {
    static const json::object base = qm::parse_json(R"({
        "permalink": "https://www.instagram.com/p/C6aBcDeFgHi/", "comments_count": 12,
        "owner": {"name": "Acme Shop", "username": "acme.shop", "follows_count": 120, "media_count": 890,
                  "profile_picture_url": "https://cdn.example/acme.jpg"},
        "username": "acme.shop", "shortcode": "C6aBcDeFgHi", "media_product_type": "FEED",
        "children": {"data": [{"media_type": "IMAGE", "media_url": "https://cdn.example/1.jpg", "id": "18011"}]},
        "in_time": "2024-05-01T10:16:00", "channel_group_id": 3, "channel_type": "15", "category_id": 501,
        "category_name": "Retail", "brand_id": 9001, "brand_name": "Acme", "setting_id": 77,
        "author_social_id": "17841400000000001", "m_author_name": "Acme Shop",
        "post_id_with_ig_id": "3300000000000000001_17841400000000001", "is_dark_post": false,
        "instagram_post_type_data": 1, "type_of_comment": 2, "post_author_id": "17841400000000001"})")
                                         .as_object();
    return base;
}

TEST(CliMap, CommentTableOnAHundredThousandRequests) {
    check_map("comment", qm::calvane::rules_obj(), [](std::size_t i) { return comment_line(i, comment_base()); });
}

TEST(CliMap, ParentTableOnAHundredThousandRequests) {
    check_map("parent", qm::pemrith::rules_obj(), [](std::size_t i) { return parent_line(i, parent_base()); });
}

TEST(CliMap, CleanInputExitsZeroWithNothingOnStandardError) {
    qm::testing::TempDir dir("quillmere-cli-map");
    const auto in_path = dir.path() / "in.jsonl", out_path = dir.path() / "out.jsonl", err_path = dir.path() / "err";
    {
        std::ofstream in(in_path, std::ios::binary);
        in << comment_line(1, comment_base()) << "\n" << comment_line(2, comment_base()) << "\n";
    }
    EXPECT_EQ(run_cli("map comment", in_path, out_path, err_path).status, 0);
    EXPECT_EQ(std::filesystem::file_size(err_path), 0u);
    std::ifstream out(out_path);
    std::string line;
    std::size_t n = 0;
    while (std::getline(out, line)) {
        ++n;
        EXPECT_TRUE(qm::parse_json(line).at("RawData").is_string());
    }
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(run_cli("map comment", dir.path() / "missing.jsonl", out_path, err_path).status, 2);
}

}  // namespace
