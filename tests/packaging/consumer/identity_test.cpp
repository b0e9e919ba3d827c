// The types that cross module boundaries are one and the same type in every module and in
// this program: an error thrown inside a module is caught here by its type and has this
// program's type information; an error thrown here is recognised by the rule engine; an
// object of one module is reached through the interface of another with dynamic_cast.

#include <quillmere/adapters/clickhouse_client.hpp>
#include <quillmere/common/errors.hpp>
#include <quillmere/ludrake/analytics.hpp>
#include <quillmere/morvish/details.hpp>
#include <quillmere/ostrel/classifier.hpp>
#include <quillmere/tindral/engine.hpp>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace json = boost::json;
namespace qm = quillmere;

namespace {

struct Thrown {
    const char* where;
    std::function<void()> call;
    const std::type_info& type;  // this program's type information of the expected error
    std::string message;
};

// A catch clause of the expected type in this program takes what `call` throws.
template <class Error>
void expect_caught_as(const Thrown& t) {
    bool caught = false;
    try {
        t.call();
    } catch (const Error& e) {
        caught = true;
        EXPECT_EQ(std::string(e.what()), t.message);
    } catch (...) {
        ADD_FAILURE() << t.where << ": not caught by its type";
    }
    EXPECT_TRUE(caught) << t.where;
}

// The type information of the object that `call` throws.
const std::type_info* dynamic_type_of(const Thrown& t) {
    try {
        t.call();
    } catch (const std::exception& e) {
        return &typeid(e);
    }
    return nullptr;
}

TEST(Identity, ErrorsThrownInAModuleAreThisProgramsTypes) {
    const Thrown cases[] = {
        {"ostrel", [] { qm::ostrel::process_media_event(json::value(nullptr)); }, typeid(qm::TypeError),
         "process_media_event: changes_value must be an object, not null"},
        {"morvish", [] { qm::morvish::extract_brand_ids_and_category_ids(json::value("x")); }, typeid(qm::TypeError),
         "data must be a list, not 'str'"},
        {"morvish", [] { qm::morvish::extract_brand_ids_and_category_ids(json::array{json::object{}}); },
         typeid(qm::KeyError), "BrandID"},
    };
    for (const Thrown& t : cases) {
        SCOPED_TRACE(std::string(t.where) + ": " + t.message);
        if (t.type == typeid(qm::KeyError))
            expect_caught_as<qm::KeyError>(t);
        else
            expect_caught_as<qm::TypeError>(t);

        // One identity, not two equal names: the object's type information (reached through
        // the vtable the module built it with) is the very object this program refers to.
        const std::type_info* dynamic = dynamic_type_of(t);
        ASSERT_NE(dynamic, nullptr);
        EXPECT_EQ(dynamic, &t.type) << dynamic->name() << " has a second copy of its type information";
    }
}

TEST(Identity, DynamicCastOfAModulesErrorInThisProgram) {
    try {
        qm::morvish::extract_brand_ids_and_category_ids(json::array{json::object{{"BrandID", 1}}});
        FAIL() << "no CategoryID: a KeyError";
    } catch (const std::exception& e) {
        const auto* key_error = dynamic_cast<const qm::KeyError*>(&e);
        ASSERT_NE(key_error, nullptr);
        EXPECT_EQ(key_error->key(), "CategoryID");
        EXPECT_EQ(dynamic_cast<const qm::TypeError*>(&e), nullptr);
        EXPECT_NE(dynamic_cast<const std::runtime_error*>(&e), nullptr);
    }
}

// The rule engine names a missing key when a handler throws a KeyError: it recognises, with
// a dynamic_cast inside libquillmere_tindral, the error this program throws.
TEST(Identity, TheRuleEngineRecognisesErrorsThrownHere) {
    auto logger = spdlog::get(std::string(qm::tindral::kLoggerName));
    ASSERT_NE(logger, nullptr);
    std::ostringstream out;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
    sink->set_pattern("%v");
    const auto saved = logger->sinks();
    logger->sinks() = {sink};

    struct Case {
        std::function<void()> raise;
        std::string line;
    };
    const Case cases[] = {
        {[] { throw qm::KeyError("zz"); }, "Error in apply_rules: missing key 'zz'\n"},
        {[] { throw qm::TypeError("value must be a str"); }, "Error in apply_rules: value must be a str\n"},
    };
    for (const Case& c : cases) {
        out.str("");
        qm::tindral::HandlerMap handlers{{"raise", [&c](const json::value&, const json::value*) -> json::value {
                                              c.raise();
                                              return nullptr;
                                          }}};
        const json::value table = json::parse(R"({"A": {"keys": ["a"], "handler_function": "raise"}})");
        EXPECT_FALSE(qm::tindral::apply_rules(table, json::object{{"a", 1}}, handlers).has_value());
        EXPECT_EQ(out.str(), c.line);
    }
    logger->sinks() = saved;
}

// An object built by the adapters module, seen through the interface of module ludrake.
TEST(Identity, DynamicCastAcrossTwoModules) {
    qm::adapters::ClickHouseClient client(qm::adapters::ClickHouseOptions{});
    qm::ludrake::AnalyticsClient& database = client;
    EXPECT_EQ(dynamic_cast<qm::adapters::ClickHouseClient*>(&database), &client);
    EXPECT_EQ(&typeid(database), &typeid(qm::adapters::ClickHouseClient));
}

}  // namespace
