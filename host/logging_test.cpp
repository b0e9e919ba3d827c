#include "host/logging.hpp"

#include "quillmere/adapters/spdlog_logger.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include <fstream>
#include <string>
#include <vector>

namespace quillmere::host {
namespace {

std::vector<std::string> lines_of(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// What clients may put into what is logged (paths, peer names): each must stay one line.
const std::vector<std::string> awkward_messages = {
    "plain",
    "with \"quotes\" and \\backslash\\",
    "two\nlines\r\nand a tab\t",
    std::string("nul \0 and bell \a and escape \x1b[31m", 34),
    "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
    "bad utf-8 \xff \xc3 \xed\xa0\x80 \xf4\x90\x80\x80 end",
};

TEST(Logging, JsonLinesOnePerEventThatParse) {
    quillmere::testing::TempDir dir;
    auto file = dir.path() / "log.jsonl";
    setup_logging(LogConfig{.level = "info", .json = true}, file);
    adapters::SpdlogLogger logger(host_logger());
    for (const auto& message : awkward_messages) logger.warning(message);
    logger.info("the last");

    auto lines = lines_of(file);
    ASSERT_EQ(lines.size(), awkward_messages.size() + 1);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        boost::system::error_code error;
        auto value = boost::json::parse(lines[i], error);
        ASSERT_FALSE(error) << lines[i];
        const auto& object = value.as_object();
        EXPECT_EQ(object.at("logger").as_string(), "quillmere");
        EXPECT_EQ(object.at("level").as_string(), i < awkward_messages.size() ? "warning" : "info");
        std::string time(object.at("time").as_string());
        EXPECT_EQ(time.size(), std::string("2024-05-01T10:00:00.123456Z").size()) << time;
        EXPECT_EQ(time.back(), 'Z');
    }
    // Valid text comes back as it was; a byte that is not UTF-8 becomes U+FFFD.
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(boost::json::parse(lines[i]).at("message").as_string(), awkward_messages[i]);
    }
    EXPECT_EQ(boost::json::parse(lines[5]).at("message").as_string(),
              "bad utf-8 \xef\xbf\xbd \xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd "
              "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd end");
}

TEST(Logging, TextLinesEscapeControlCharactersAndFilterByLevel) {
    quillmere::testing::TempDir dir;
    auto file = dir.path() / "log.txt";
    setup_logging(LogConfig{.level = "warning", .json = false}, file);
    adapters::SpdlogLogger logger(host_logger());
    logger.info("not shown at warning");
    for (const auto& message : awkward_messages) logger.warning(message);

    auto lines = lines_of(file);
    ASSERT_EQ(lines.size(), awkward_messages.size());
    EXPECT_NE(lines[0].find(" warning quillmere: plain"), std::string::npos) << lines[0];
    EXPECT_NE(lines[2].find("two\\nlines\\x0d\\nand a tab\\x09"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("nul \\x00 and bell \\x07 and escape \\x1b[31m"), std::string::npos) << lines[3];
    for (const auto& line : lines) {
        for (char c : line) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << line;
    }
}

TEST(Logging, UnknownLevelNamesTheKey) {
    try {
        setup_logging(LogConfig{.level = "loud", .json = false});
        FAIL() << "no error";
    } catch (const ConfigError& error) {
        EXPECT_NE(std::string(error.what()).find("log.level"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("loud"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace quillmere::host
