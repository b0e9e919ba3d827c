#include "quillmere/adapters/spdlog_logger.hpp"

#include "quillmere/common/errors.hpp"

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <sstream>

namespace {

using quillmere::adapters::SpdlogLogger;

struct Captured {
    std::ostringstream out;
    std::shared_ptr<spdlog::logger> logger;
    explicit Captured(const std::string& name) {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
        sink->set_pattern("%n %l %v");
        logger = std::make_shared<spdlog::logger>(name, sink);
        logger->set_level(spdlog::level::info);
    }
};

TEST(SpdlogLogger, WritesEachMessageAtItsLevel) {
    Captured c("levels");
    SpdlogLogger logger(c.logger);
    logger.info("one {} two");
    logger.warning("Rate limit hit. Retrying in 1 seconds.");
    logger.error("Error 404: {\"error\":1}");
    logger.error("no failure being handled", true);
    EXPECT_EQ(c.out.str(),
              "levels info one {} two\n"
              "levels warning Rate limit hit. Retrying in 1 seconds.\n"
              "levels error Error 404: {\"error\":1}\n"
              "levels error no failure being handled\n");
}

TEST(SpdlogLogger, AttachesTheFailureBeingHandledWhenAsked) {
    Captured c("failures");
    SpdlogLogger logger(c.logger);
    try {
        throw quillmere::KeyError("BrandID");
    } catch (const std::exception&) {
        logger.error("cache read failed", true);
        logger.error("without details");
    }
    EXPECT_EQ(c.out.str(),
              "failures error cache read failed\nquillmere::KeyError: BrandID\n"
              "failures error without details\n");
}

TEST(SpdlogLogger, UsesTheLoggerRegisteredUnderItsName) {
    Captured c("quillmere.test.registered");
    spdlog::register_logger(c.logger);
    SpdlogLogger logger("quillmere.test.registered");
    EXPECT_EQ(logger.spdlog_logger(), c.logger);
    logger.warning("w");
    EXPECT_EQ(c.out.str(), "quillmere.test.registered warning w\n");

    SpdlogLogger created("quillmere.test.created");
    EXPECT_EQ(spdlog::get("quillmere.test.created"), created.spdlog_logger());
    EXPECT_EQ(SpdlogLogger("quillmere.test.created").spdlog_logger(), created.spdlog_logger());
    spdlog::drop("quillmere.test.registered");
    spdlog::drop("quillmere.test.created");
    EXPECT_THROW(SpdlogLogger(std::shared_ptr<spdlog::logger>()), std::invalid_argument);
}

}  // namespace
