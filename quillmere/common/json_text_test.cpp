#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <limits>
#include <string>
#include <vector>

namespace qm = quillmere;
namespace json = boost::json;

namespace {

std::string float_text(double d) {
    std::string s;
    qm::write_float_text(s, d);
    return s;
}

TEST(JsonText, FloatsAreShortestWithFractionOrExponent) {
    struct Case {
        double in;
        const char* out;
    };
    const Case cases[] = {
        {1.0, "1.0"},
        {0.1, "0.1"},
        {1e16, "1e+16"},
        {1e-05, "1e-05"},
        {0.0001, "0.0001"},
        {1.2345678901234568e+17, "1.2345678901234568e+17"},
        {9999999999999998.0, "9999999999999998.0"},
        {123456789012345.6, "123456789012345.6"},
        {100.0, "100.0"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {-2.5, "-2.5"},
        {0.30000000000000004, "0.30000000000000004"},
        {1e22, "1e+22"},
        {5e-324, "5e-324"},
        {1.5e300, "1.5e+300"},
        {-1e-7, "-1e-07"},
        {12.0e-3, "0.012"},
        {std::numeric_limits<double>::infinity(), "1e+999"},
        {-std::numeric_limits<double>::infinity(), "-1e+999"},
    };
    for (const auto& c : cases) EXPECT_EQ(float_text(c.in), c.out) << c.out;
}

TEST(JsonText, SeparatorsOrderAndScalars) {
    auto v = qm::parse_json(R"({"b": [1, -2, 18446744073709551615, true, false, null, []],
        "a": {}, "c": {"z": 1.5, "y": "x"}})");
    EXPECT_EQ(qm::to_json_text(v), R"({"b": [1, -2, 18446744073709551615, true, false, null, []], "a": {}, )"
                                   R"("c": {"z": 1.5, "y": "x"}})");
}

TEST(JsonText, StringEscapes) {
    struct Case {
        std::string in;
        const char* out;
    };
    const Case cases[] = {
        {"plain / text", R"("plain / text")"},     {"q\"b\\", R"("q\"b\\")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},         {std::string("\x01\x1f\x7f", 3), R"("\u0001\u001f\u007f")"},
        {std::string("\0", 1), R"("\u0000")"},     {"caf\xc3\xa9", R"("caf\u00e9")"},
        {"\xe2\x82\xac", R"("\u20ac")"},           {"\xf0\x9f\x98\x80", R"("\ud83d\ude00")"},
        {"\xef\xbf\xbf", R"("\uffff")"},           {"bad \xff byte", R"("bad \ufffd byte")"},
        {"cut \xe2\x82", R"("cut \ufffd\ufffd")"},
    };
    for (const auto& c : cases) {
        std::string s;
        qm::write_string_text(s, c.in);
        EXPECT_EQ(s, c.out) << c.out;
    }
}

TEST(JsonText, KeysAreEscapedToo) {
    json::object o;
    o["\xc3\xa9t\xc3\xa9"] = "\"";
    EXPECT_EQ(qm::to_json_text(o), R"({"\u00e9t\u00e9": "\""})");
}

TEST(JsonText, RoundTripsThroughTheParser) {
    auto v = qm::parse_json(R"({"k": ["\u00e9\ud83d\ude00", 0.1, 1e300, -7, {"n": null}]})");
    EXPECT_EQ(qm::parse_json(qm::to_json_text(v)), v);
    // Literals beyond the double range parse as infinities and must still write as JSON.
    auto big = qm::parse_json("[1e400, -1e400, 123456789012345678901234567890]");
    EXPECT_EQ(qm::to_json_text(big), "[1e+999, -1e+999, 1.2345678901234568e+29]");
    EXPECT_EQ(qm::parse_json(qm::to_json_text(big)), big);
}

TEST(JsonText, RefusesValuesNestedBeyondTheLimit) {
    json::value v = json::array();
    for (std::size_t i = 0; i < qm::kMaxJsonDepth + 1; ++i) {
        json::array a;
        a.push_back(std::move(v));
        v = std::move(a);
    }
    EXPECT_THROW(qm::to_json_text(v), std::runtime_error);
}

TEST(JsonText, LongRunsAndEscapesAtEveryPosition) {
    // The plain-run scan reads eight bytes at a time: put each kind of character at every
    // offset of a longer text.
    const std::string specials[] = {"\"", "\\", "\n", std::string("\0", 1), "\x7f", "\xc3\xa9", "\xf0\x9f\x98\x80"};
    const std::string escaped[] = {R"(\")", R"(\\)", R"(\n)", R"(\u0000)", R"(\u007f)", R"(\u00e9)", R"(\ud83d\ude00)"};
    for (std::size_t k = 0; k < std::size(specials); ++k)
        for (std::size_t at = 0; at < 20; ++at) {
            std::string in = std::string(at, 'a') + specials[k] + std::string(19 - at, 'b');
            std::string out;
            qm::write_string_text(out, in);
            EXPECT_EQ(out, "\"" + std::string(at, 'a') + escaped[k] + std::string(19 - at, 'b') + "\"")
                << k << " " << at;
        }
}

// The compact form against the serializer it stands in for.
TEST(JsonText, CompactFormIsWhatTheSerializerWrites) {
    std::vector<json::value> values;
    for (int c = 0; c < 256; ++c) {
        const std::string ch(1, static_cast<char>(c));
        values.emplace_back(ch);
        values.emplace_back("0123456789" + ch + "abcdefghijklmnop" + ch + ch);
    }
    for (const char* text : {"0", "-0", "1.5", "-2.5e-300", "1e300", "0.1", "123456789012345678",
                             "-9223372036854775808", "18446744073709551615", "1e400", "true", "false", "null", "[]",
                             "{}", R"({"a": [1, 2.25, {"b\u0001": "\u00e9\ud83d\ude00"}], "": null})"})
        values.push_back(qm::parse_json(text));
    for (const json::value& v : values) {
        std::string out = "prefix";
        qm::write_compact_json(out, v);
        EXPECT_EQ(out, "prefix" + json::serialize(v)) << json::serialize(v);
    }
}

// Inside a compact string: the record text with its quotes and backslashes escaped.
TEST(JsonText, InStringFormIsTheTextAsACompactStringHoldsIt) {
    for (const char* text : {R"({"k": "q\"b\\ \n\t/ \u0001 \u00e9 \ud83d\ude00", "n": [1.0, null, true, {}]})",
                             R"("\\\"")", "[]", "0.5", R"({"": {"": ""}})"}) {
        const json::value v = qm::parse_json(text);
        std::string in_string;
        qm::write_json_text_in_string(in_string, v, 0);
        EXPECT_EQ("\"" + in_string + "\"", json::serialize(json::value(qm::to_json_text(v)))) << text;
    }
    std::string key;
    qm::write_string_text_in_string(key, "a\"\xc3\xa9");
    EXPECT_EQ(key, R"(\"a\\\"\\u00e9\")");
    // The nesting limit counts from the outermost value in both forms.
    json::value v = json::array();
    for (std::size_t i = 0; i + 2 < qm::kMaxJsonDepth; ++i) v = json::array{std::move(v)};
    std::string out;
    EXPECT_NO_THROW(qm::write_json_text(out, v, 1));
    EXPECT_THROW(qm::write_json_text(out, v, 2), std::runtime_error);
    EXPECT_NO_THROW(qm::write_json_text_in_string(out, v, 1));
    EXPECT_THROW(qm::write_json_text_in_string(out, v, 2), std::runtime_error);
}

}  // namespace
