#include "host/sink.hpp"
#include "host/clickhouse_sink.hpp"

#include "quillmere/calvane/rules.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/pemrith/rules.hpp"
#include "quillmere/tindral/engine.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <fstream>
#include <set>
#include <sstream>

namespace quillmere::host {
namespace {

namespace json = boost::json;

std::string read(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(JsonlSink, OneLinePerEnvelopeAppendedToTheFile) {
    testing::TempDir dir("quillmere-sink");
    Config config;
    config.output.jsonl = dir.path() / "out.jsonl";
    std::ofstream(config.output.jsonl) << "kept from before\n";
    const std::vector<json::object> envelopes = {
        parse_json(R"({"delivery":1,"item":0,"text":"caf\u00e9"})").as_object(),
        parse_json(R"({"delivery":1,"item":1})").as_object()};
    {
        auto sink = open_sink(config);
        sink->write(envelopes);
        // Written before write returns: readable while the sink is still open.
        EXPECT_EQ(
            read(config.output.jsonl),
            "kept from before\n{\"delivery\":1,\"item\":0,\"text\":\"caf\xc3\xa9\"}\n{\"delivery\":1,\"item\":1}\n");
        const std::string before = read(config.output.jsonl);
        sink->write({});
        EXPECT_EQ(read(config.output.jsonl), before);  // no envelope, no line
    }
}

TEST(JsonlSink, AFileThatCannotBeOpenedIsAConfigError) {
    Config config;
    config.output.jsonl = "/nonexistent-dir/out.jsonl";
    try {
        open_sink(config);
        ADD_FAILURE();
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("output.jsonl: ", 0), 0u) << e.what();
    }
}

TEST(ClickHouseSink, NeedsAClickHouseSection) {
    Config config;
    config.output.clickhouse = true;
    EXPECT_THROW(open_sink(config), ConfigError);
}

TEST(RecordsTable, ColumnsOfTheLookupAndOfTheRuleTables) {
    std::set<std::string> names;
    for (const auto& c : record_columns()) EXPECT_TRUE(names.insert(c.name).second) << c.name;
    for (const char* c :
         {"tweetidorfbid", "url", "instagramgraphapiid", "u_followerscount", "u_followingcount", "u_tweetcount",
          "u_authorid", "isbrandpost", "categoryid", "brandid", "channelgroupid", "record", "stored_at"})
        EXPECT_TRUE(names.contains(c)) << c;
    for (const auto* table : {&calvane::rules_obj(), &pemrith::rules_obj()})
        for (const auto& [target, rule] : *table) {
            if (rule.clickhouse_column_name) {
                EXPECT_TRUE(names.contains(*rule.clickhouse_column_name)) << target;
            }
        }
    const auto ddl = records_table_ddl();
    ASSERT_EQ(ddl.size(), 2u);
    EXPECT_EQ(ddl[0], "CREATE DATABASE IF NOT EXISTS orbenix");
    EXPECT_NE(ddl[1].find("CREATE TABLE IF NOT EXISTS orbenix.mentiondetails ("), std::string::npos);
    EXPECT_NE(ddl[1].find("ENGINE = ReplacingMergeTree(stored_at) ORDER BY (channelgroupid, brandid, categoryid, "
                          "tweetidorfbid)"),
              std::string::npos);
}

TEST(RecordsTable, RowOfAParentRecord) {
    const json::value request = parse_json(R"({
        "id":"1780001","permalink":"https://www.instagram.com/p/X/","caption":"#a #b","timestamp":"2024-04-30T08:00:00+0000",
        "media_type":"IMAGE","owner":{"id":"17841","followers_count":12,"follows_count":"3","media_count":null},
        "username":"brand","setting_id":55,"brand_id":13011,"category_id":"1861","channel_group_id":3,
        "author_social_id":"17841","post_id":"1780001","is_brand_post":true})");
    const auto record = tindral::apply_rules(pemrith::rules_obj(), request);
    ASSERT_TRUE(record.has_value());
    const json::object row = record_row(*record, "parent");
    EXPECT_EQ(row.at("tweetidorfbid"), json::value("1780001"));
    EXPECT_EQ(row.at("url"), json::value("https://www.instagram.com/p/X/"));
    EXPECT_EQ(row.at("u_followerscount"), json::value(12));
    EXPECT_EQ(row.at("u_followingcount"), json::value(3));
    EXPECT_EQ(row.at("u_tweetcount"), json::value(0));
    EXPECT_EQ(row.at("u_authorid"), json::value("17841"));
    EXPECT_EQ(row.at("isbrandpost"), json::value(1));
    EXPECT_EQ(row.at("categoryid"), json::value(1861));
    EXPECT_EQ(row.at("brandid"), json::value(13011));
    EXPECT_EQ(row.at("channelgroupid"), json::value(3));
    EXPECT_EQ(row.at("settingid"), json::value("55"));
    EXPECT_EQ(row.at("Hastagcloud"), json::value(R"(["a", "b"])"));
    EXPECT_EQ(row.at("isdarkpost"), json::value("false"));  // RawData.IsDarkPost, the first rule naming it
    EXPECT_EQ(row.at("record_table"), json::value("parent"));
    EXPECT_EQ(parse_json(row.at("record").as_string()), json::value(*record));
    EXPECT_GT(row.at("stored_at").to_number<std::uint64_t>(), 1'700'000'000'000'000u);
}

TEST(RecordsTable, RowOfACommentRecord) {
    const json::value request = parse_json(R"({
        "post_id":"1790001","comment_time":"2024-05-01T10:00:00+0000","comment_text":"hi","post_author_id":"991",
        "author_social_id":"17841","brand_id":"13011","category_id":1861,"channel_group_id":"3",
        "parent_post_social_id":"1780001","main_post_social_id":"1780001",
        "parent_post_url":"https://www.instagram.com/p/X/","permalink":"https://www.instagram.com/p/X/"})");
    const auto record = tindral::apply_rules(calvane::rules_obj(), request);
    ASSERT_TRUE(record.has_value());
    const json::object row = record_row(*record, "comment");
    EXPECT_EQ(row.at("tweetidorfbid"), json::value("1790001"));
    EXPECT_EQ(row.at("url"), json::value("https://www.instagram.com/p/X/c/1790001"));
    EXPECT_EQ(row.at("u_authorid"), json::value("991"));
    EXPECT_EQ(row.at("isbrandpost"), json::value(0));
    EXPECT_EQ(row.at("brandid"), json::value(13011));  // decimal text as its integer
    EXPECT_EQ(row.at("channelgroupid"), json::value(3));
    EXPECT_EQ(row.at("postsocialid"), json::value("1780001"));
    EXPECT_EQ(row.at("isdarkpost"), json::value("0"));  // RawData.Typeofcomment in a comment
    EXPECT_EQ(row.at("Hastagcloud"), json::value(""));  // not a comment column
}

}  // namespace
}  // namespace quillmere::host
