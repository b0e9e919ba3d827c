#include "quillmere/sendrum/settings.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace quillmere::sendrum {
namespace {

json::value J(std::string_view text) { return parse_json(text); }
std::string T(const json::value& v) { return to_json_text(v); }

std::string keys_of(const LookupTable& t) {
    std::string out;
    for (const auto& e : t.entries()) out += T(e.key) + ":" + std::to_string(e.settings.size()) + " ";
    return out;
}

TEST(LookupTable, GroupsSettingsByKeyInOrderOfFirstAppearance) {
    json::value settings = J(R"([{"k":"a","n":1},{"k":"b","n":2},{"k":"a","n":3}])");
    LookupTable t = build_single_key_lookup_table(settings, "k");
    EXPECT_EQ(keys_of(t), R"("a":2 "b":1 )");
    const json::array* a = get_setting_by_single_key(t, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(T(*a), R"([{"k": "a", "n": 1}, {"k": "a", "n": 3}])");
    // The stored array itself, not a copy.
    EXPECT_EQ(a, get_setting_by_single_key(t, "a"));
    EXPECT_EQ(a, &t.entries()[0].settings);
}

TEST(LookupTable, SkipsOnlyAbsentAndNullKeys) {
    json::value settings = J(R"([{"k":null},{"x":1},{"k":0},{"k":""},{"k":false}])");
    LookupTable t = build_single_key_lookup_table(settings, "k");
    // false and 0 are one key (booleans compare as 1/0), "" is another.
    EXPECT_EQ(keys_of(t), R"(0:2 "":1 )");
    EXPECT_EQ(get_setting_by_single_key(t, nullptr), nullptr);
}

TEST(LookupTable, KeyEquality) {
    json::value settings = J(R"([{"k":7},{"k":"7"},{"k":7.0},{"k":true},{"k":1.5},{"k":18446744073709551615}])");
    LookupTable t = build_single_key_lookup_table(settings, "k");
    EXPECT_EQ(keys_of(t), R"(7:2 "7":1 true:1 1.5:1 18446744073709551615:1 )");
    struct Case {
        const char* key;
        std::size_t count;
    } cases[] = {{"7", 2},
                 {"7.0", 2},
                 {"\"7\"", 1},
                 {"1", 1},
                 {"1.0", 1},
                 {"true", 1},
                 {"1.5", 1},
                 {"18446744073709551615", 1},
                 {"1.8446744073709552e19", 0},
                 {"\"a\"", 0},
                 {"8", 0},
                 {"false", 0}};
    for (const auto& c : cases) {
        const json::array* found = get_setting_by_single_key(t, J(c.key));
        EXPECT_EQ(found ? found->size() : 0u, c.count) << c.key;
    }
}

TEST(LookupTable, ContainerKeysFail) {
    EXPECT_THROW(build_single_key_lookup_table(J(R"([{"k":1},{"k":[1]}])"), "k"), TypeError);
    EXPECT_THROW(build_single_key_lookup_table(J(R"([{"k":{}}])"), "k"), TypeError);
    LookupTable t = build_single_key_lookup_table(J(R"([{"k":1}])"), "k");
    EXPECT_THROW(get_setting_by_single_key(t, J("[1]")), TypeError);
    EXPECT_THROW(get_setting_by_single_key(t, J("{}")), TypeError);
}

TEST(Projections, RequiredFieldsInTheirOrder) {
    json::value settings = J(R"([{"BrandID":1,"BrandName":"x","Other":3},{"BrandName":null}])");
    EXPECT_EQ(T(extract_required_fields(settings, J(R"(["BrandName","BrandID","BrandName"])"))),
              R"([{"BrandName": "x", "BrandID": 1}, {"BrandName": null, "BrandID": null}])");
    EXPECT_EQ(T(extract_required_fields(settings, J("[]"))), "[{}, {}]");
}

TEST(Projections, MappingRenamesInMappingOrder) {
    json::value settings = J(R"([{"BrandID":1,"BrandName":"x"},{}])");
    EXPECT_EQ(T(extract_required_fields_v2(settings, J(R"({"name":"BrandName","brand":"BrandID","id":"BrandID"})"))),
              R"([{"name": "x", "brand": 1, "id": 1}, {"name": null, "brand": null, "id": null}])");
    EXPECT_EQ(T(extract_required_fields_v2(settings, J(R"({"brand":"BrandID"})"))),
              R"([{"brand": 1}, {"brand": null}])");
}

TEST(Projections, EmptySettings) {
    EXPECT_TRUE(build_single_key_lookup_table(J("[]"), "k").empty());
    EXPECT_EQ(T(extract_required_fields(J("[]"), J(R"(["a"])"))), "[]");
    EXPECT_EQ(T(extract_required_fields_v2(J("[]"), J(R"({"a":"b"})"))), "[]");
}

TEST(Settings, ArgumentKindsAreEnforced) {
    struct Case {
        const char* name;
        std::function<void()> call;
        const char* message;
    };
    const json::value ok_settings = J(R"([{"a":1}])");
    Case cases[] = {
        {"build settings null", [] { build_single_key_lookup_table(nullptr, "k"); },
         "settings must be a list, not 'null'"},
        {"build settings object", [] { build_single_key_lookup_table(J("{}"), "k"); },
         "settings must be a list, not 'dict'"},
        {"build key_field", [&] { build_single_key_lookup_table(ok_settings, 1); },
         "key_field must be a str, not 'int'"},
        {"fields settings", [] { extract_required_fields("x", J("[]")); }, "settings must be a list, not 'str'"},
        {"fields required_fields", [&] { extract_required_fields(ok_settings, "a"); },
         "required_fields must be a list, not 'str'"},
        {"fields required_fields element", [&] { extract_required_fields(ok_settings, J("[1]")); },
         "required_fields must hold member names (str), not 'int'"},
        {"v2 settings", [] { extract_required_fields_v2(nullptr, J("{}")); }, "settings must be a list, not 'null'"},
        {"v2 field_mapping", [&] { extract_required_fields_v2(ok_settings, J("[]")); },
         "field_mapping must be a dict, not 'list'"},
        {"v2 field_mapping value", [&] { extract_required_fields_v2(ok_settings, J(R"({"a":2})")); },
         "field_mapping must map output names to member names (str), not 'int'"},
        {"setting not an object (build)", [] { build_single_key_lookup_table(J(R"([{"k":1},3])"), "k"); },
         "each setting must be a dict, not 'int'"},
        {"setting not an object (fields)", [] { extract_required_fields(J(R"([{},[]])"), J("[]")); },
         "each setting must be a dict, not 'list'"},
        {"setting not an object (v2)", [] { extract_required_fields_v2(J(R"([null])"), J("{}")); },
         "each setting must be a dict, not 'null'"},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.name << ": no error";
        } catch (const TypeError& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.name;
        }
    }
}

}  // namespace
}  // namespace quillmere::sendrum
