// The compiled engine against a reference: a short, direct reading of the algorithm (walk
// the table, write into a record object, fix the author, write RawData) applied to random
// tables and requests. Every way of applying a table (a typed table as it is, compiled, into
// caller storage, as a compact line, a JSON table as it is and compiled) must give the same
// record bytes, or the same error line.

#include "quillmere/tindral/engine.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/serialize.hpp>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace json = boost::json;
namespace qm = quillmere;
using namespace quillmere::tindral;

namespace {

// --- the reference ----------------------------------------------------------------------

struct Outcome {
    std::optional<json::object> record;
    std::string error;  // the message after "Error in apply_rules: "
};

std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        std::size_t dot = path.find('.', start);
        parts.push_back(path.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) return parts;
        start = dot + 1;
    }
}

std::string kind(const json::value& v) { return std::string(qm::kind_name(v)); }

// A rule as the reference reads it: the parts of a rule record, whatever the table's form.
struct RefRule {
    std::string target;
    const json::value* record = nullptr;  // JSON tables: the rule record
    json::value keys, default_value;
    bool skip = false;
    bool has_handler = false;
    const Handler* handler = nullptr;
    std::string handler_text;  // JSON tables: the handler_function member as JSON text
};

Outcome reference(const std::vector<RefRule>& rules, const json::object& request, const json::value& request_value) {
    json::object record;
    try {
        for (const RefRule& r : rules) {
            if (r.record && !r.record->is_object())
                throw qm::TypeError("rule '" + r.target + "' must be an object, not " + kind(*r.record));
            const json::value* value = nullptr;
            if (qm::is_empty(r.keys)) {
                if (r.skip) continue;
                value = &r.default_value;
            } else {
                if (!r.keys.is_array())
                    throw qm::TypeError("rule '" + r.target + "': keys must be a list of texts, not " + kind(r.keys));
                for (const json::value& path : r.keys.as_array()) {
                    if (!path.is_string()) throw qm::TypeError("a path in keys must be a text, not " + kind(path));
                    const json::value* at = &request_value;
                    for (std::string_view part : split(path.as_string())) {
                        const json::object* o = at->if_object();
                        at = o ? o->if_contains(part) : nullptr;
                        if (!at) break;
                    }
                    if (at && !at->is_null()) {
                        value = at;
                        break;
                    }
                }
                if (!value) {
                    if (r.skip) continue;
                    value = &r.default_value;
                }
            }
            json::value result = *value;
            if (r.has_handler) {
                if (!r.handler)
                    throw qm::TypeError("rule '" + r.target + "': handler_function " + r.handler_text +
                                        " is not callable");
                result = (*r.handler)(*value, &request_value);
            }
            json::object* at = &record;
            auto parts = split(r.target);
            std::string walked;
            for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
                walked += (i ? "." : "") + std::string(parts[i]);
                json::value& member = at->contains(parts[i]) ? at->at(parts[i]) : (*at)[parts[i]] = json::object();
                if (!member.is_object())
                    throw qm::TypeError("cannot write '" + r.target + "': member '" + walked + "' holds a " +
                                        kind(member) + ", not an object");
                at = &member.as_object();
            }
            (*at)[parts.back()] = std::move(result);
        }
        std::string text = "{}";
        if (json::value* raw = record.if_contains("RawData")) {
            if (!raw->is_object()) throw qm::TypeError("RawData must be an object, not " + kind(*raw));
            if (json::value* user = raw->as_object().if_contains("UserInfo")) {
                if (!user->is_object()) throw qm::TypeError("RawData.UserInfo must be an object, not " + kind(*user));
                const json::value* name = user->as_object().if_contains("AuthorName");
                if (name && name->is_string() && name->as_string() == "Anonymous")
                    user->as_object()["AuthorSocialID"] = "0";
            }
            text = qm::to_json_text(*raw);
            *raw = text;
        } else {
            record["RawData"] = text;
        }
        return {std::move(record), ""};
    } catch (const qm::KeyError& e) {
        return {std::nullopt, "missing key '" + e.key() + "'"};
    } catch (const std::exception& e) {
        return {std::nullopt, e.what()};
    }
}

// --- random tables and requests -----------------------------------------------------------

json::value J(std::string_view text) { return qm::parse_json(text); }

const std::vector<json::value>& values() {
    static const std::vector<json::value> v = {
        nullptr,
        0,
        1,
        -1,
        1.5,
        true,
        false,
        "x",
        "",
        "Anonymous",
        "anonymous",
        "caf\xc3\xa9 \"q\" \\ \n \xf0\x9f\x98\x80",
        json::array(),
        json::object(),
        J(R"([1, "a", {"b": null}])"),
        J(R"({"AuthorName": "Anonymous", "X": 1})"),
        J(R"({"UserInfo": {"AuthorName": "Anonymous", "AuthorSocialID": 5}, "K": [2.5e-7]})"),
        J(R"({"UserInfo": "not an object"})"),
        J(R"({"AuthorName": ["Anonymous"]})"),
    };
    return v;
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
    const json::value& value() { return values()[below(values().size())]; }

    std::string target() {
        static const char* parts[] = {"RawData", "UserInfo", "AuthorName", "AuthorSocialID", "A", "B", ""};
        std::string t = chance(65) ? "RawData" : parts[below(7)];
        for (std::size_t n = below(4); n > 0; --n) t += std::string(".") + parts[1 + below(6)];
        return t;
    }

    json::value keys() {
        static const char* paths[] = {"a", "b", "c", "n", "o.x", "o.y.z", "arr.x", "", "o", "missing"};
        const std::size_t pick = below(60);
        if (pick == 0) return "a";               // a single text: malformed
        if (pick == 1) return J(R"({"a": 1})");  // malformed
        if (pick < 4) return nullptr;            // no keys
        if (pick < 6) return json::object();     // empty: no keys
        if (pick < 20) return json::array();     // no keys
        switch (pick) {
            default: {
                json::array a;
                for (std::size_t n = 1 + below(3); n > 0; --n) {
                    if (chance(5))
                        a.emplace_back(7);  // a path that is not a text
                    else
                        a.emplace_back(paths[below(10)]);
                }
                return a;
            }
        }
    }

    json::object request() {
        json::object r;
        static const char* names[] = {"a", "b", "c", "n", "", "extra"};
        for (const char* name : names)
            if (chance(60)) r[name] = value();
        if (chance(70)) {
            json::object o;
            if (chance(70)) o["x"] = value();
            if (chance(50)) o["y"] = chance(70) ? json::value(json::object{{"z", value()}}) : value();
            r["o"] = std::move(o);
        } else if (chance(30)) {
            r["o"] = value();
        }
        if (chance(30)) r["arr"] = json::array{json::object{{"x", 1}}};
        if (chance(20)) r["n"] = nullptr;
        return r;
    }

private:
    std::mt19937_64 rng_;
};

// Handlers by name, for both table forms.
const HandlerMap& handlers() {
    static const HandlerMap h = {
        {"same", [](const json::value& v, const json::value*) { return v; }},
        {"anonymous", [](const json::value&, const json::value*) { return json::value("Anonymous"); }},
        {"object",
         [](const json::value& v, const json::value*) {
             return json::value(json::object{{"UserInfo", json::object{{"AuthorName", "Anonymous"}}}, {"v", v}});
         }},
        {"members", [](const json::value&, const json::value* d) { return json::value(d->as_object().size()); }},
        {"fails", [](const json::value&, const json::value*) -> json::value { throw qm::ValueError("it broke"); }},
        {"key", [](const json::value&, const json::value*) -> json::value { throw qm::KeyError("k"); }},
        {"empty", Handler()},
    };
    return h;
}

struct Case {
    RuleTable table;                // the typed form
    json::value json_table;         // the JSON form, with names from handlers()
    std::vector<RefRule> ref;       // the typed form as the reference reads it
    std::vector<RefRule> json_ref;  // the JSON form as the reference reads it
    json::value request;
};

Case make_case(Generator& g) {
    Case c;
    json::object jt;
    const std::size_t rules = 1 + g.below(12);
    static const char* names[] = {"same", "anonymous", "object", "members", "fails", "key"};
    for (std::size_t i = 0; i < rules; ++i) {
        Rule r;
        r.keys = g.keys();
        r.default_value = g.value();
        r.skip_if_missing = g.chance(35);
        r.mandatory = g.chance(50);
        const char* handler = g.chance(40) ? names[g.below(g.chance(90) ? 4 : 6)] : nullptr;
        if (handler) r.handler_function = handlers().at(handler);
        std::string target = g.target();
        c.table.emplace_back(target, r);

        json::object record;
        if (!g.chance(10)) record["keys"] = r.keys;  // absent keys: none
        if (!r.default_value.is_null() || g.chance(50)) record["default_value"] = r.default_value;
        if (handler)
            record["handler_function"] = handler;
        else if (g.chance(10))
            record["handler_function"] = g.chance(50) ? json::value(nullptr) : json::value("");
        if (r.skip_if_missing || g.chance(30)) record["skip_if_missing"] = r.skip_if_missing;
        record["mandatory"] = r.mandatory;
        record["clickhouse_column_name"] = "col";
        json::value rule_record = record;
        if (g.chance(2)) rule_record = "not a rule";
        if (g.chance(2)) rule_record = json::object{{"handler_function", g.chance(50) ? "unknown" : "empty"}};
        if (g.chance(2)) rule_record = json::object{{"handler_function", 5}, {"keys", json::array{"a"}}};
        jt[target] = rule_record;
    }
    c.json_table = std::move(jt);
    for (const auto& [target, rule] : c.table)
        c.ref.push_back({target, nullptr, rule.keys, rule.default_value, rule.skip_if_missing,
                         static_cast<bool>(rule.handler_function),
                         rule.handler_function ? &rule.handler_function : nullptr, ""});
    for (const auto& m : c.json_table.as_object()) {
        RefRule r;
        r.target = std::string(m.key());
        r.record = &m.value();
        if (const json::object* o = m.value().if_object()) {
            r.keys = qm::get_or(*o, "keys", qm::null_value());
            r.default_value = qm::get_or(*o, "default_value", qm::null_value());
            r.skip = qm::is_set(qm::get_or(*o, "skip_if_missing", qm::null_value()));
            const json::value& h = qm::get_or(*o, "handler_function", qm::null_value());
            r.has_handler = qm::is_set(h);
            r.handler_text = qm::to_json_text(h);
            if (const json::string* name = h.if_string()) {
                auto it = handlers().find(std::string_view(*name));
                if (it != handlers().end() && it->second) r.handler = &it->second;
            }
        }
        c.json_ref.push_back(std::move(r));
    }
    c.request = g.request();
    return c;
}

// --- the comparison -----------------------------------------------------------------------

class Compiled : public ::testing::Test {
protected:
    void SetUp() override {
        logger_ = spdlog::get(std::string(kLoggerName));
        saved_ = logger_->sinks();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(log_);
        sink->set_pattern("%v");
        logger_->sinks() = {sink};
    }
    void TearDown() override { logger_->sinks() = saved_; }

    // The error line logged since the last call, without "Error in apply_rules: ".
    std::string take_log() {
        std::string s = log_.str();
        log_.str("");
        const std::string prefix = "Error in apply_rules: ";
        if (s.empty()) return s;
        EXPECT_EQ(s.rfind(prefix, 0), 0u) << s;
        EXPECT_EQ(s.find('\n'), s.size() - 1) << "more than one line: " << s;
        return s.substr(prefix.size(), s.size() - prefix.size() - 1);
    }

    // One way of applying, against the reference.
    void expect_same(const char* how, const Outcome& want, const std::optional<json::object>& got) {
        const std::string logged = take_log();
        if (!want.record) {
            EXPECT_FALSE(got) << how << ": a record where the reference failed with " << want.error;
            EXPECT_EQ(logged, want.error) << how;
        } else {
            ASSERT_TRUE(got) << how << ": failed with " << logged;
            EXPECT_EQ(json::serialize(*got), json::serialize(*want.record)) << how;
            EXPECT_EQ(logged, "") << how;
        }
    }

    void check(const Case& c) {
        const json::object& request = c.request.as_object();
        const Outcome want = reference(c.ref, request, c.request);
        expect_same("typed table", want, apply_rules(c.table, c.request));
        const CompiledRules compiled(c.table);
        EXPECT_EQ(compiled.size(), c.table.size());
        expect_same("compiled", want, apply_rules(compiled, c.request));
        {
            unsigned char buffer[4096];
            json::monotonic_resource resource(buffer, sizeof buffer);
            json::storage_ptr sp(&resource);
            auto record = apply_rules(compiled, c.request, sp);
            if (record) {
                EXPECT_EQ(record->storage().get(), sp.get());
            }
            expect_same("compiled, caller storage", want, record);
        }
        std::string line = "before|";
        const bool ok = append_record_json(compiled, c.request, line);
        const std::string logged = take_log();
        EXPECT_EQ(ok, want.record.has_value());
        EXPECT_EQ(line, want.record ? "before|" + json::serialize(*want.record) : "before|");
        EXPECT_EQ(logged, want.error);

        const Outcome want_json = reference(c.json_ref, request, c.request);
        expect_same("JSON table", want_json, apply_rules(c.json_table, c.request, handlers()));
        const CompiledRules compiled_json(c.json_table, handlers());
        expect_same("compiled JSON table", want_json, apply_rules(compiled_json, c.request));
    }

    std::ostringstream log_;
    std::shared_ptr<spdlog::logger> logger_;
    std::vector<spdlog::sink_ptr> saved_;
};

TEST_F(Compiled, RandomTablesGiveWhatTheReferenceGives) {
    Generator g(20240611);
    std::size_t records = 0, failures = 0;
    for (int i = 0; i < 3000; ++i) {
        Case c = make_case(g);
        SCOPED_TRACE("case " + std::to_string(i) + ": table " + qm::to_json_text(c.json_table) + " request " +
                     qm::to_json_text(c.request));
        check(c);
        (reference(c.ref, c.request.as_object(), c.request).record ? records : failures)++;
        if (HasFailure()) break;
    }
    // Both outcomes are well represented.
    EXPECT_GT(records, 800u);
    EXPECT_GT(failures, 300u);
}

TEST_F(Compiled, ATableChangedInPlaceIsCompiledAgain) {
    Rule a;
    a.keys = json::array{"a"};
    RuleTable table = {{"RawData.A", a}, {"Top", a}};
    const json::value request = J(R"({"a": 1, "b": 2})");
    EXPECT_EQ(apply_rules(table, request)->at("RawData"), R"({"A": 1})");
    table[0].second.keys = json::array{"b"};
    EXPECT_EQ(apply_rules(table, request)->at("RawData"), R"({"A": 2})");
    table[0].first = "RawData.B";
    EXPECT_EQ(apply_rules(table, request)->at("RawData"), R"({"B": 2})");
    table[1].second.skip_if_missing = true;
    table[1].second.keys = json::array{"missing"};
    EXPECT_FALSE(apply_rules(table, request)->contains("Top"));
    table[0].second.handler_function = [](const json::value& v, const json::value*) {
        return json::value(v.as_int64() * 10);
    };
    EXPECT_EQ(apply_rules(table, request)->at("RawData"), R"({"B": 20})");
    table[0].second.handler_function = [](const json::value& v, const json::value*) {
        return json::value(v.as_int64() * 100);
    };  // same shape, another handler: read from the table itself
    EXPECT_EQ(apply_rules(table, request)->at("RawData"), R"({"B": 200})");
    table[0].second.keys = json::array();
    table[0].second.default_value = 3;  // defaults too
    EXPECT_EQ(apply_rules(table, request)->at("RawData"), R"({"B": 300})");
    table.push_back({"RawData.C", a});
    EXPECT_EQ(apply_rules(table, request)->at("RawData"), R"({"B": 300, "C": 1})");

    // Another table in the same place.
    std::optional<RuleTable> slot;
    slot.emplace(RuleTable{{"RawData.X", a}});
    EXPECT_EQ(apply_rules(*slot, request)->at("RawData"), R"({"X": 1})");
    slot.reset();
    Rule b;
    b.keys = json::array{"b"};
    slot.emplace(RuleTable{{"RawData.Y", b}});
    EXPECT_EQ(apply_rules(*slot, request)->at("RawData"), R"({"Y": 2})");
}

TEST_F(Compiled, AHandlerMayApplyTablesItself) {
    Rule inner;
    inner.keys = json::array{"a"};
    static RuleTable inner_table = {{"RawData.In", inner}};
    static const CompiledRules inner_compiled(inner_table);
    Rule outer;
    outer.keys = json::array{"a"};
    outer.handler_function = [](const json::value& v, const json::value*) {
        json::object request{{"a", v.as_int64() + 1}};
        auto typed = apply_rules(inner_table, request);
        auto compiled = apply_rules(inner_compiled, request);
        return json::value(json::array{typed->at("RawData"), compiled->at("RawData")});
    };
    RuleTable table = {{"RawData.Out", outer}, {"RawData.After", inner}};
    auto record = apply_rules(table, J(R"({"a": 1})"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->at("RawData"), R"({"Out": ["{\"In\": 2}", "{\"In\": 2}"], "After": 1})");
    std::string line;
    ASSERT_TRUE(append_record_json(CompiledRules(table), J(R"({"a": 5})"), line));
    EXPECT_EQ(line, R"({"RawData":"{\"Out\": [\"{\\\"In\\\": 6}\", \"{\\\"In\\\": 6}\"], \"After\": 5}"})");
}

TEST_F(Compiled, ManyThreadsApplyOneTable) {
    Rule a, b, anon;
    a.keys = json::array{"a", "b"};
    b.keys = json::array{"o.x"};
    b.handler_function = [](const json::value& v, const json::value*) { return json::value(qm::to_json_text(v)); };
    anon.default_value = "Anonymous";
    const RuleTable table = {
        {"RawData.A", a}, {"BrandInfo.B", b}, {"RawData.UserInfo.AuthorName", anon}, {"RawData.UserInfo.B", b}};
    const CompiledRules compiled(table);
    std::vector<json::value> requests;
    std::vector<std::string> expected;
    for (int i = 0; i < 50; ++i) {
        requests.push_back(json::object{{"a", i % 3 ? json::value(i) : json::value(nullptr)},
                                        {"b", "b" + std::to_string(i)},
                                        {"o", json::object{{"x", json::array{i, "é"}}}}});
        expected.push_back(json::serialize(*apply_rules(compiled, requests.back())));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::string line;
            for (int i = 0; i < 2000; ++i) {
                const std::size_t k = static_cast<std::size_t>(i * 7 + t) % requests.size();
                line.clear();
                append_record_json(compiled, requests[k], line);
                if (line != expected[k]) ++mismatches;
                if (json::serialize(*apply_rules(table, requests[k])) != expected[k]) ++mismatches;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(take_log(), "");
}

TEST_F(Compiled, RequestsThatAreNotObjectsAreRejectedEverywhere) {
    const CompiledRules compiled(RuleTable{{"A", Rule{}}});
    for (const char* text : {"[]", "null", "3", R"("x")"}) {
        const json::value request = J(text);
        std::string line = "kept";
        EXPECT_THROW(apply_rules(compiled, request), qm::TypeError) << text;
        EXPECT_THROW(append_record_json(compiled, request, line), qm::TypeError) << text;
        EXPECT_EQ(line, "kept");
    }
    EXPECT_THROW(CompiledRules(J("[]"), HandlerMap{}), qm::TypeError);
    EXPECT_EQ(take_log(), "");
}

TEST_F(Compiled, TheCompactLineIsWhatTheSerializerWritesForTheRecord) {
    // Texts that the two escaping forms treat differently, numbers in Boost's own form,
    // nested members outside RawData, and RawData written as a value.
    Rule text, number, nested, raw;
    text.keys = json::array{"t"};
    number.keys = json::array{"f"};
    nested.keys = json::array{"o"};
    raw.keys = json::array{"r"};
    const RuleTable table = {{"RawData.T", text},   {"T", text},         {"F", number}, {"RawData.F", number},
                             {"Brand.O.P", nested}, {"Brand.Q", number}, {"Other", raw}};
    const CompiledRules compiled(table);
    const json::value request =
        J(R"({"t": "a\"b\\c\u0001\u001f\u007f\u00e9\ud83d\ude00/\n\t", "f": 1.5e300, "o": {"k": [0.1, -0.0, 1e-7]},
              "r": {"x": "\u2028"}})");
    const auto record = apply_rules(compiled, request);
    ASSERT_TRUE(record);
    std::string line;
    ASSERT_TRUE(append_record_json(compiled, request, line));
    EXPECT_EQ(line, json::serialize(*record));
    EXPECT_EQ(json::value_to<std::string>(qm::parse_json(line).at("RawData")), record->at("RawData").as_string());
}

}  // namespace
