#include "host/settings.hpp"

#include "host/config.hpp"
#include "quillmere/common/value.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <fstream>

namespace quillmere::host {
namespace {

namespace json = boost::json;

const char* kSettings = R"([
  {"BrandID": 1, "InstagramGraphApiID": "17841"},
  {"BrandID": 2, "InstagramGraphApiID": 9001},
  {"BrandID": 3, "InstagramGraphApiID": "17841"},
  {"BrandID": 4},
  {"BrandID": 5, "InstagramGraphApiID": null}
])";

// Brand ids found for an account id, as JSON text ("" for none).
std::string brands(const BrandSettings& s, const json::value& id) {
    const json::array* found = s.find(id);
    if (!found) return "";
    std::string out;
    for (const auto& setting : *found) out += json::serialize(setting.at("BrandID")) + ",";
    return out;
}

TEST(BrandSettings, FindsTheSettingsOfAnAccount) {
    const BrandSettings settings(parse_json(kSettings));
    EXPECT_EQ(settings.size(), 5u);
    EXPECT_EQ(settings.accounts(), 2u);
    const struct {
        const char* id;
        const char* brands;
    } cases[] = {
        {R"("17841")", "1,3,"},                       // every setting of the account, in file order
        {"17841", "1,3,"},                            // the integer finds the text
        {"9001", "2,"},         {R"("9001")", "2,"},  // the text finds the integer
        {R"("09001")", ""},                           // not the same id
        {R"(" 9001")", ""},     {R"("9001x")", ""},     {R"("1")", ""}, {"null", ""},
        {"[9001]", ""},         {R"({"id":9001})", ""}, {"true", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(brands(settings, parse_json(c.id)), c.brands) << c.id;
}

TEST(BrandSettings, NoSettingsFindNothing) {
    const BrandSettings none;
    EXPECT_EQ(none.find(json::value("17841")), nullptr);
    EXPECT_EQ(none.size(), 0u);
}

TEST(BrandSettings, RejectsWhatCannotBeIndexed) {
    const char* bad[] = {R"({"BrandID":1})", "[1]", R"([{"InstagramGraphApiID":[1]}])", "null"};
    for (const char* text : bad) {
        try {
            BrandSettings s{parse_json(text)};
            ADD_FAILURE() << text;
        } catch (const ConfigError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("settings.file: ", 0), 0u) << e.what();
        }
    }
}

TEST(BrandSettings, LoadsAFileAndNamesItInErrors) {
    testing::TempDir dir("quillmere-settings");
    const auto good = dir.path() / "brands.json";
    std::ofstream(good) << kSettings;
    EXPECT_EQ(BrandSettings::load(good).accounts(), 2u);

    const auto broken = dir.path() / "broken.json";
    std::ofstream(broken) << "[{\"BrandID\": 1,";
    const std::filesystem::path files[] = {broken, dir.path() / "missing.json"};
    for (const auto& file : files) {
        try {
            BrandSettings::load(file);
            ADD_FAILURE() << file;
        } catch (const ConfigError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("settings.file: ", 0), 0u) << message;
            EXPECT_NE(message.find(file.string()), std::string::npos) << message;
        }
    }
}

}  // namespace
}  // namespace quillmere::host
