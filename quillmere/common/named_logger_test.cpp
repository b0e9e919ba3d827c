#include "quillmere/common/internal/named_logger.hpp"

#include <spdlog/sinks/ostream_sink.h>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Each test uses names of its own and drops them at the end, so that the process-wide
// registry is left as it was found.
class NamedLogger : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& name : names_) spdlog::drop(name);
        spdlog::set_level(spdlog::level::info);
    }
    std::string fresh(const std::string& name) {
        spdlog::drop(name);
        names_.push_back(name);
        return name;
    }
    std::vector<std::string> names_;
};

TEST_F(NamedLogger, ALoggerTheHostRegisteredIsReturnedUnchanged) {
    const std::string name = fresh("named_logger_test.host");
    std::ostringstream out;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
    sink->set_pattern("%n|%l|%v");
    auto host = std::make_shared<spdlog::logger>(name, sink);
    spdlog::register_logger(host);

    auto got = quillmere::named_logger(name);
    EXPECT_EQ(got, host);
    got->warn("seen by the host");
    EXPECT_EQ(out.str(), name + "|warning|seen by the host\n");
}

TEST_F(NamedLogger, AMissingLoggerIsCreatedOnceWithTheRegistrySettings) {
    const std::string name = fresh("named_logger_test.created");
    ASSERT_EQ(spdlog::get(name), nullptr);
    spdlog::set_level(spdlog::level::warn);

    auto first = quillmere::named_logger(name);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name(), name);
    EXPECT_EQ(spdlog::get(name), first) << "registered under its name";
    EXPECT_EQ(first->level(), spdlog::level::warn) << "set up like every logger the registry creates";
    ASSERT_EQ(first->sinks().size(), 1u);
    EXPECT_NE(std::dynamic_pointer_cast<spdlog::sinks::stderr_color_sink_mt>(first->sinks()[0]), nullptr);

    EXPECT_EQ(quillmere::named_logger(name), first) << "a second call finds the first";
}

TEST_F(NamedLogger, ThreadsAskingAtOnceShareOneLogger) {
    const std::string name = fresh("named_logger_test.threads");
    constexpr int kThreads = 8;
    std::vector<std::shared_ptr<spdlog::logger>> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&got, &name, i] { got[i] = quillmere::named_logger(name); });
    for (auto& t : threads) t.join();

    const auto registered = spdlog::get(name);
    ASSERT_NE(registered, nullptr);
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(got[i], registered) << "thread " << i;
}

}  // namespace
