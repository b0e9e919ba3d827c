#include "quillmere/common/internal/case_mapping.hpp"

#include <gtest/gtest.h>

namespace qm = quillmere;

namespace {

TEST(CaseMapping, FullUnicodeMappingInTheRootLocale) {
    struct Case {
        const char* in;
        const char* lower;
        const char* upper;
    };
    const Case cases[] = {
        {"Image/JPEG", "image/jpeg", "IMAGE/JPEG"},
        {"", "", ""},
        {"stra\xc3\x9f"
         "e",
         "stra\xc3\x9f"
         "e",
         "STRASSE"},                                // ß -> SS
        {"\xc4\xb1mage", "\xc4\xb1mage", "IMAGE"},  // dotless ı -> I
        {"\xc4\xb0", "i\xcc\x87", "\xc4\xb0"},      // İ -> i + combining dot
        {"\xce\xa3\xce\x91\xce\xa3", "\xcf\x83\xce\xb1\xcf\x82", "\xce\xa3\xce\x91\xce\xa3"},  // final sigma
        {"\xd0\xa4\xd0\x9e\xd0\xa2\xd0\x9e", "\xd1\x84\xd0\xbe\xd1\x82\xd0\xbe", "\xd0\xa4\xd0\x9e\xd0\xa2\xd0\x9e"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qm::to_lower_full(c.in), c.lower) << c.in;
        EXPECT_EQ(qm::to_upper_full(c.in), c.upper) << c.in;
    }
}

}  // namespace
