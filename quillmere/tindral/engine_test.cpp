#include "quillmere/tindral/engine.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace json = boost::json;
namespace qm = quillmere;
using namespace quillmere::tindral;

namespace {

// Captures what the engine's named logger writes, as "<logger>|<level>|<message>" lines.
class EngineLog : public ::testing::Test {
protected:
    void SetUp() override {
        logger_ = spdlog::get(std::string(kLoggerName));
        ASSERT_TRUE(logger_) << "the engine registers its logger when it is loaded";
        saved_ = logger_->sinks();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
        sink->set_pattern("%n|%l|%v");
        logger_->sinks() = {sink};
    }
    void TearDown() override { logger_->sinks() = saved_; }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(out_.str());
        for (std::string l; std::getline(in, l);) result.push_back(l);
        return result;
    }
    void expect_failure(const std::optional<json::object>& record, const std::string& message) {
        EXPECT_FALSE(record.has_value());
        EXPECT_EQ(lines(), std::vector<std::string>{"quillmere.tindral|error|Error in apply_rules: " + message});
    }

    std::ostringstream out_;
    std::shared_ptr<spdlog::logger> logger_;
    std::vector<spdlog::sink_ptr> saved_;
};

json::value J(std::string_view text) { return qm::parse_json(text); }

Rule keyed(std::initializer_list<json::value_ref> keys, json::value default_value = nullptr) {
    Rule r;
    r.keys = json::array(keys);
    r.default_value = std::move(default_value);
    return r;
}

std::vector<std::string> member_names(const json::object& o) {
    std::vector<std::string> names;
    for (const auto& m : o) names.emplace_back(m.key());
    return names;
}

using Engine = EngineLog;

TEST_F(Engine, MembersInTheOrderRulesFirstReachThem) {
    RuleTable rules = {
        {"RawData.SocialID", keyed({"id"})},
        {"BrandInfo.BrandID", keyed({"brand"})},
        {"RawData.UserInfo.AuthorName", keyed({"name"})},
        {"ServiceName", keyed({}, "svc")},
    };
    auto record = apply_rules(rules, J(R"({"name": "Ana", "brand": 7, "id": "17"})"));
    ASSERT_TRUE(record);
    EXPECT_EQ(member_names(*record), (std::vector<std::string>{"RawData", "BrandInfo", "ServiceName"}));
    EXPECT_EQ((*record)["RawData"], R"({"SocialID": "17", "UserInfo": {"AuthorName": "Ana"}})");
    EXPECT_EQ((*record)["BrandInfo"], J(R"({"BrandID": 7})"));
    EXPECT_EQ((*record)["ServiceName"], "svc");
    EXPECT_TRUE(lines().empty());
}

TEST(GetValueFromKeys, FirstNonNullAlongDottedPaths) {
    const json::object request = J(R"({
        "none": null, "five": 5, "zero": 0, "no": false, "blank": "", "list": [{"a": 1}],
        "obj": {"inner": {"deep": "d"}, "nil": null, "e": {}}, "": {"": "empty-named"},
        "a.b": "dotted-name"})")
                                     .as_object();
    struct Case {
        const char* keys;
        const char* expected;
    };
    const Case cases[] = {
        {R"(["none", "five"])", "5"},
        {R"(["zero", "five"])", "0"},
        {R"(["no"])", "false"},
        {R"(["blank", "five"])", R"("")"},
        {R"(["obj.e", "five"])", "{}"},
        {R"(["obj.inner.deep"])", R"("d")"},
        {R"(["obj.inner"])", R"({"deep": "d"})"},
        {R"(["obj.nil", "obj.missing", "obj.inner.deep.x", "five.x", "five"])", "5"},
        {R"(["list.0.a", "list.a"])", "null"},
        {R"(["."])", R"("empty-named")"},
        {R"(["a.b"])", "null"},
        {R"(["missing"])", "null"},
        {R"([])", "null"},
        {R"(["five", 3])", "5"},  // a later non-text path is never reached
    };
    for (const auto& c : cases) {
        EXPECT_EQ(get_value_from_keys(J(c.keys), request), J(c.expected)) << c.keys;
    }
    // The result is the request's own member, not a copy.
    EXPECT_EQ(&get_value_from_keys(J(R"(["obj.inner"])"), request), &request.at("obj").at("inner"));
}

TEST(GetValueFromKeys, MalformedKeysAreTypeErrors) {
    const json::object request = J(R"({"a": null})").as_object();
    EXPECT_THROW(get_value_from_keys(J(R"("a")"), request), qm::TypeError);
    EXPECT_THROW(get_value_from_keys(J(R"(["a", 3])"), request), qm::TypeError);
    EXPECT_THROW(get_value_from_keys(J(R"({"a": 1})"), request), qm::TypeError);
}

TEST_F(Engine, DefaultsSkipsAndHandlerCalls) {
    std::vector<std::string> calls;
    auto recorder = [&calls](std::string tag) {
        return Handler([&calls, tag](const json::value& v, const json::value* data) -> json::value {
            calls.push_back(tag + ":" + qm::to_json_text(v) + (data ? "" : ":nodata"));
            return json::value(tag + "-out");
        });
    };
    Rule bare;                           // no keys, default or handler: null
    Rule skip_no_keys = keyed({}, "d");  // writes nothing, handler not called
    skip_no_keys.handler_function = recorder("a");
    skip_no_keys.skip_if_missing = true;
    Rule skip_not_found = keyed({"missing"}, "d");
    skip_not_found.handler_function = recorder("b");
    skip_not_found.skip_if_missing = true;  // writes nothing, handler not called
    Rule default_to_handler = keyed({"missing"}, 42);
    default_to_handler.handler_function = recorder("c");  // called with the default
    Rule null_keys = keyed({}, json::array{1});           // null keys: no keys
    null_keys.keys = nullptr;
    Rule found_to_handler = keyed({"x"});
    found_to_handler.handler_function = recorder("e");
    Rule skip_found = keyed({"x"});
    skip_found.skip_if_missing = true;
    skip_found.mandatory = true;

    RuleTable rules = {{"Bare", bare},
                       {"SkipNoKeys", skip_no_keys},
                       {"SkipNotFound", skip_not_found},
                       {"DefaultToHandler", default_to_handler},
                       {"NullKeys", null_keys},
                       {"Found", found_to_handler},
                       {"SkipFound", skip_found}};
    auto record = apply_rules(rules, J(R"({"x": {"y": [1.5]}})"));
    ASSERT_TRUE(record);
    EXPECT_EQ(json::value(*record), J(R"({"Bare": null, "DefaultToHandler": "c-out", "NullKeys": [1],
        "Found": "e-out", "SkipFound": {"y": [1.5]}, "RawData": "{}"})"));
    EXPECT_EQ(member_names(*record).back(), "RawData");
    EXPECT_EQ(calls, (std::vector<std::string>{"c:42", "e:{\"y\": [1.5]}"}));
}

TEST_F(Engine, HandlersSeeTheCallersRequestObject) {
    json::value request = J(R"({"k": 1})");
    const json::value* seen = nullptr;
    Rule r = keyed({"k"});
    r.handler_function = [&](const json::value& v, const json::value* data) {
        seen = data;
        return json::value(v.as_int64() + 1);
    };
    auto record = apply_rules(RuleTable{{"RawData.K", r}}, request);
    ASSERT_TRUE(record);
    EXPECT_EQ(seen, &request);
    EXPECT_EQ((*record)["RawData"], R"({"K": 2})");
}

TEST_F(Engine, LaterRuleForTheSameTargetWinsInThePlaceOfTheFirst) {
    RuleTable rules = {
        {"A", keyed({}, 1)}, {"B.x", keyed({}, 2)}, {"A", keyed({}, 3)}, {"B.y", keyed({}, 4)}, {"B.x", keyed({}, 5)}};
    auto record = apply_rules(rules, json::object());
    ASSERT_TRUE(record);
    EXPECT_EQ(qm::to_json_text(*record), R"({"A": 3, "B": {"x": 5, "y": 4}, "RawData": "{}"})");
}

TEST_F(Engine, EmptyPartsOfATargetAreMembersNamedByTheEmptyText) {
    RuleTable rules = {{"RawData..x.", keyed({}, 1)}, {"", keyed({}, 2)}};
    auto record = apply_rules(rules, json::object());
    ASSERT_TRUE(record);
    EXPECT_EQ((*record)["RawData"], R"({"": {"x": {"": 1}}})");
    EXPECT_EQ((*record)[""], 2);
}

TEST_F(Engine, AnonymousAuthorGetsSocialIdZeroText) {
    struct Case {
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {R"("Anonymous")", R"({"UserInfo": {"AuthorSocialID": "0", "AuthorName": "Anonymous", "X": 1}})"},
        {R"("anonymous")", R"({"UserInfo": {"AuthorSocialID": 99, "AuthorName": "anonymous", "X": 1}})"},
        {R"("Anonymous ")", R"({"UserInfo": {"AuthorSocialID": 99, "AuthorName": "Anonymous ", "X": 1}})"},
        {R"(["Anonymous"])", R"({"UserInfo": {"AuthorSocialID": 99, "AuthorName": ["Anonymous"], "X": 1}})"},
    };
    for (const auto& c : cases) {
        RuleTable rules = {{"RawData.UserInfo.AuthorSocialID", keyed({"id"})},
                           {"RawData.UserInfo.AuthorName", keyed({}, J(c.name))},
                           {"RawData.UserInfo.X", keyed({}, 1)}};
        auto record = apply_rules(rules, J(R"({"id": 99})"));
        ASSERT_TRUE(record);
        EXPECT_EQ((*record)["RawData"], c.expected) << c.name;
    }
    // Without an AuthorSocialID rule the member is added at the end of UserInfo.
    auto record =
        apply_rules(RuleTable{{"RawData.UserInfo.AuthorName", keyed({}, "Anonymous")}, {"RawData.Z", keyed({}, true)}},
                    json::object());
    ASSERT_TRUE(record);
    EXPECT_EQ((*record)["RawData"], R"({"UserInfo": {"AuthorName": "Anonymous", "AuthorSocialID": "0"}, "Z": true})");
}

TEST_F(Engine, RawDataIsTheRecordJsonText) {
    RuleTable rules = {{"RawData.Text", keyed({"t"})},
                       {"RawData.F", keyed({"f"})},
                       {"RawData.L", keyed({"l"})},
                       {"BrandInfo.Text", keyed({"t"})}};
    auto record = apply_rules(rules, J(R"({"t": "caf\u00e9 \"/\\ \n\ud83d\ude00", "f": 1e16,
                                           "l": [1.0, 0.1, 1e-05, null, {}]})"));
    ASSERT_TRUE(record);
    EXPECT_EQ((*record)["RawData"],
              R"({"Text": "caf\u00e9 \"/\\ \n\ud83d\ude00", "F": 1e+16, "L": [1.0, 0.1, 1e-05, null, {}]})");
    EXPECT_EQ((*record)["BrandInfo"].at("Text"), "caf\xc3\xa9 \"/\\ \n\xf0\x9f\x98\x80");
}

TEST_F(Engine, FailuresReturnNullAndLogOneLine) {
    Rule throwing = keyed({});
    throwing.handler_function = [](const json::value&, const json::value*) -> json::value {
        throw std::runtime_error("handler broke {}");
    };
    Rule key_error = keyed({});
    key_error.handler_function = [](const json::value&, const json::value*) -> json::value {
        throw qm::KeyError("author_social_id");
    };
    Rule text_keys;
    text_keys.keys = "a";
    Rule object_keys;
    object_keys.keys = J(R"({"a": 1})");
    Rule int_path = keyed({"missing", 7});

    struct Case {
        const char* what;
        RuleTable rules;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"handler throws", {{"A", keyed({}, 1)}, {"B", throwing}}, "handler broke {}"},
        {"key error", {{"B", key_error}}, "missing key 'author_social_id'"},
        {"keys as one text", {{"RawData.A", text_keys}}, "rule 'RawData.A': keys must be a list of texts, not str"},
        {"keys as an object", {{"A", object_keys}}, "rule 'A': keys must be a list of texts, not dict"},
        {"path not a text", {{"A", int_path}}, "a path in keys must be a text, not int"},
        {"intermediate text",
         {{"RawData.UserInfo", keyed({}, "x")}, {"RawData.UserInfo.AuthorName", keyed({}, "n")}},
         "cannot write 'RawData.UserInfo.AuthorName': member 'RawData.UserInfo' holds a str, not an object"},
        {"intermediate top",
         {{"A", keyed({}, 1)}, {"A.B.C", keyed({}, 2)}},
         "cannot write 'A.B.C': member 'A' holds a int, not an object"},
        {"RawData a text", {{"RawData", keyed({}, "x")}}, "RawData must be an object, not str"},
        {"RawData null", {{"RawData", keyed({})}}, "RawData must be an object, not null"},
        {"UserInfo a list",
         {{"RawData.UserInfo", keyed({}, json::array())}},
         "RawData.UserInfo must be an object, not list"},
    };
    for (const auto& c : cases) {
        out_.str("");
        SCOPED_TRACE(c.what);
        expect_failure(apply_rules(c.rules, J(R"({"a": 1})")), c.message);
    }
}

TEST_F(Engine, NonObjectRequestIsATypeErrorBeforeAnyRule) {
    int calls = 0;
    Rule r;
    r.handler_function = [&](const json::value&, const json::value*) {
        ++calls;
        return json::value();
    };
    RuleTable rules = {{"A", r}};
    for (const char* request : {"[]", "null", R"("x")", "1"}) {
        EXPECT_THROW(apply_rules(rules, J(request)), qm::TypeError) << request;
        EXPECT_THROW(apply_rules(J(R"({"A": {}})"), J(request), HandlerMap{}), qm::TypeError) << request;
    }
    EXPECT_THROW(apply_rules(J("[]"), json::object(), HandlerMap{}), qm::TypeError);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(lines().empty());
}

TEST_F(Engine, JsonTablesResolveHandlersByName) {
    HandlerMap handlers = {
        {"double", [](const json::value& v, const json::value*) { return json::value(v.as_int64() * 2); }},
        {"data_x", [](const json::value&, const json::value* d) { return d->at("x"); }},
    };
    json::value rules = J(R"({
        "RawData.A": {"keys": ["x"], "handler_function": "double", "clickhouse_column_name": "a"},
        "RawData.B": {"keys": [], "default_value": 4, "handler_function": null},
        "RawData.C": {"default_value": 5, "handler_function": "", "mandatory": "yes"},
        "RawData.D": {"keys": ["missing"], "default_value": 7, "handler_function": "data_x"},
        "RawData.E": {"keys": ["missing"], "skip_if_missing": 1, "handler_function": "unknown"},
        "RawData.F": {"skip_if_missing": "yes", "handler_function": 5},
        "RawData.G": {"keys": null, "skip_if_missing": 0},
        "Top": {}
    })");
    auto record = apply_rules(rules, J(R"({"x": 21})"), handlers);
    ASSERT_TRUE(record);
    EXPECT_EQ(qm::to_json_text(*record),
              R"({"RawData": "{\"A\": 42, \"B\": 4, \"C\": 5, \"D\": 21, \"G\": null}", "Top": null})");
    EXPECT_TRUE(lines().empty());
}

TEST_F(Engine, MalformedJsonTablesFailAtApplication) {
    HandlerMap handlers = {{"ok", [](const json::value& v, const json::value*) { return v; }}, {"empty", Handler()}};
    struct Case {
        const char* rules;
        std::string message;
    };
    const Case cases[] = {
        {R"({"A": {}, "B": "not a rule"})", "rule 'B' must be an object, not str"},
        {R"({"A": [1]})", "rule 'A' must be an object, not list"},
        {R"({"A": {"keys": "a"}})", "rule 'A': keys must be a list of texts, not str"},
        {R"({"A": {"keys": ["missing", ["a"]]}})", "a path in keys must be a text, not list"},
        {R"({"A": {"handler_function": "nope"}})", "rule 'A': handler_function \"nope\" is not callable"},
        {R"({"A": {"handler_function": "empty"}})", "rule 'A': handler_function \"empty\" is not callable"},
        {R"({"A": {"handler_function": 5}})", "rule 'A': handler_function 5 is not callable"},
        {R"({"A": {"handler_function": ["ok"]}})", "rule 'A': handler_function [\"ok\"] is not callable"},
        {R"({"RawData": {"default_value": 1}})", "RawData must be an object, not int"},
        {R"({"A": {"default_value": 1}, "A.B": {"handler_function": "ok"}})",
         "cannot write 'A.B': member 'A' holds a int, not an object"},
    };
    for (const auto& c : cases) {
        out_.str("");
        SCOPED_TRACE(c.rules);
        expect_failure(apply_rules(J(c.rules), J(R"({"a": 1})"), handlers), c.message);
    }
}

TEST_F(Engine, AHostLoggerRegisteredUnderTheNameReceivesTheLine) {
    std::ostringstream host_out;
    auto host_sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(host_out);
    host_sink->set_pattern("host %l %v");
    auto host = std::make_shared<spdlog::logger>(std::string(kLoggerName), host_sink);
    spdlog::drop(std::string(kLoggerName));
    spdlog::register_logger(host);
    Rule r = keyed({});
    r.handler_function = [](const json::value&, const json::value*) -> json::value { throw qm::ValueError("bad"); };
    EXPECT_FALSE(apply_rules(RuleTable{{"A", r}}, json::object()));
    EXPECT_EQ(host_out.str(), "host error Error in apply_rules: bad\n");
    EXPECT_TRUE(lines().empty());
    spdlog::drop(std::string(kLoggerName));
    spdlog::register_logger(logger_);
}

}  // namespace
