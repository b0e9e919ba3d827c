#include "quillmere/common/clock.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace qm = quillmere;
using namespace std::chrono;

namespace {

TEST(Clock, IsoFormWithAndWithoutMicroseconds) {
    auto whole = sys_days{year{2024} / 5 / 1} + hours{10} + minutes{2} + seconds{3};
    EXPECT_EQ(qm::iso_format_micro(whole), "2024-05-01T10:02:03");
    EXPECT_EQ(qm::iso_format_micro(whole + microseconds{7}), "2024-05-01T10:02:03.000007");
    EXPECT_EQ(qm::format_utc(whole + milliseconds{999}, "%Y-%m-%dT%H:%M:%S"), "2024-05-01T10:02:03");
}

TEST(Clock, NowIsUtcInTheIsoForm) {
    std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?)");
    EXPECT_TRUE(std::regex_match(qm::utc_now_iso_micro(), form));
}

}  // namespace
