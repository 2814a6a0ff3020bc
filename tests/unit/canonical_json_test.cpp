#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "base/json_text.hpp"
#include "docs/canonical_json.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using nlohmann::json;

std::string canon_text(std::string_view text) { return to_canonical_json(json::parse(text)); }
std::string canon_double(double d) { return to_canonical_json(json(d)); }

// RFC 8785's reference pairs. Members here are ordered by their UTF-8 bytes, not by UTF-16
// code units, so in weird.json the names U+1F602 and U+FB33 trade places; every other pair
// matches byte for byte.
TEST(CanonicalJson, ReferencePairs) {
  for (const char* name : {"arrays", "french", "structures", "unicode", "values", "weird"}) {
    const std::string input = test::slurp(test::testdata_path(std::string("jcs/input/") + name + ".json"));
    std::string expected = test::slurp(test::testdata_path(std::string("jcs/output/") + name + ".json"));
    if (std::string(name) == "weird") {
      const std::string smiley = "\"\xF0\x9F\x98\x82\":\"Smiley\"";
      const std::string dalet = "\"\xEF\xAC\xB3\":\"Hebrew Letter Dalet With Dagesh\"";
      const size_t a = expected.find(dalet);
      const size_t b = expected.find(smiley);
      ASSERT_NE(a, std::string::npos);
      ASSERT_NE(b, std::string::npos);
      ASSERT_LT(b, a);  // the reference puts the smiley (UTF-16 D83D) first
      expected = expected.substr(0, b) + dalet + "," + smiley + expected.substr(a + dalet.size());
    }
    EXPECT_EQ(to_canonical_json(json::parse(input)), expected) << name;
  }
}

TEST(CanonicalJson, StructureAndMemberOrder) {
  EXPECT_EQ(canon_text(" { \"b\" : 1 ,\n \"a\" : [ true , null ] } "), R"({"a":[true,null],"b":1})");
  EXPECT_EQ(canon_text(R"({"aa":1,"a":2,"B":3})"), R"({"B":3,"a":2,"aa":1})");
  EXPECT_EQ(canon_text(R"({"x":[],"y":{},"z":""})"), R"({"x":[],"y":{},"z":""})");
  EXPECT_EQ(canon_text("[[[[]]],{\"k\":[1,{\"j\":false}]}]"), "[[[[]]],{\"k\":[1,{\"j\":false}]}]");
  EXPECT_EQ(to_canonical_json(json()), "null");
  EXPECT_EQ(to_canonical_json(json::binary({1, 2})), "null");
}

TEST(CanonicalJson, NumbersInEcmaScriptForm) {
  EXPECT_EQ(canon_double(1.0), "1");
  EXPECT_EQ(canon_double(2.50), "2.5");
  EXPECT_EQ(canon_double(-0.0), "0");
  EXPECT_EQ(canon_double(1e-7), "1e-7");
  EXPECT_EQ(canon_double(0.000001), "0.000001");
  EXPECT_EQ(canon_double(1e21), "1e+21");
  EXPECT_EQ(canon_double(1e20), "100000000000000000000");
  EXPECT_EQ(canon_double(123e18), "123000000000000000000");
  EXPECT_EQ(canon_double(9223372036854775808.0), "9223372036854775808");
  EXPECT_EQ(canon_double(-1.5e-7), "-1.5e-7");
  EXPECT_EQ(canon_double(123.456), "123.456");
  EXPECT_EQ(canon_double(-0.5), "-0.5");
  EXPECT_EQ(canon_double(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(canon_double(5e-324), "5e-324");
  EXPECT_EQ(canon_double(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
  EXPECT_EQ(canon_double(1.2345678901234567e21), "1.2345678901234568e+21");
  EXPECT_EQ(canon_double(4.5e-6), "0.0000045");
  EXPECT_EQ(canon_double(1e-6), "0.000001");
  // Integral values below 1e21 are written with the exact digits of the double, not padded
  // with zeros after the shortest digits.
  EXPECT_EQ(canon_double(9.999999999999999e20), "999999999999999868928");
  EXPECT_EQ(canon_double(1152921504606846976.0), "1152921504606846976");
  // Texts parsed from a document: floating-point only when written with a fraction or exponent.
  EXPECT_EQ(canon_text("[1.0, 1, 1e0, 100E-2, -0]"), "[1,1,1,1,0]");
}

TEST(CanonicalJson, IntegersKeepEveryDigit) {
  EXPECT_EQ(to_canonical_json(json(18446744073709551615ULL)), "18446744073709551615");
  EXPECT_EQ(to_canonical_json(json(std::numeric_limits<int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(canon_text("[18446744073709551615,-9223372036854775808,9007199254740993]"),
            "[18446744073709551615,-9223372036854775808,9007199254740993]");
  // Beyond 64 bits the parser gives a double.
  EXPECT_EQ(canon_text("18446744073709551616"), "18446744073709551616");
  EXPECT_EQ(canon_text("-0"), "0");
}

TEST(CanonicalJson, StringsEscapedByteWise) {
  const std::string s = std::string("\t/") + "\xC3\xA9" + "\x01";
  EXPECT_EQ(to_canonical_json(json(s)), "\"\\t/\xC3\xA9\\u0001\"");
  EXPECT_EQ(to_canonical_json(json(std::string("\b\f\n\r\"\\\x1f\x7f", 8))),
            "\"\\b\\f\\n\\r\\\"\\\\\\u001f\x7f\"");
  EXPECT_EQ(to_canonical_json(json(std::string("a\0b", 3))), "\"a\\u0000b\"");
  // Bytes that are not UTF-8 pass through unchanged.
  EXPECT_EQ(to_canonical_json(json(std::string("\xFF\xFE"))), "\"\xFF\xFE\"");
  // Names follow the same rules.
  EXPECT_EQ(canon_text(R"({"a\nb":"\u0000"})"), "{\"a\\nb\":\"\\u0000\"}");
}

TEST(CanonicalJson, EqualValuesGiveEqualBytes) {
  EXPECT_EQ(canon_text(R"({"name":"caf\u00e9","n":1.0})"), canon_text("{\"n\":1,\"name\":\"caf\xC3\xA9\"}"));
  EXPECT_EQ(canon_text("{\"a\":{\"c\":3,\"b\":2}}"), canon_text("{ \"a\" : { \"b\" : 2 , \"c\" : 3 } }"));
}

TEST(CanonicalJson, RoundTripsThroughTheParser) {
  // Every double read back from its canonical text is the same double.
  uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (int i = 0; i < 20000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    double d;
    std::memcpy(&d, &state, sizeof d);
    if (!std::isfinite(d)) continue;
    const std::string text = canon_double(d);
    const json back = json::parse(text);
    ASSERT_TRUE(back.is_number()) << text;
    EXPECT_EQ(back.get<double>(), d == 0 ? 0.0 : d) << text;
  }
}

// Nesting: the writer keeps its own stack, and text from outside is refused past the limit.
TEST(CanonicalJson, DeepNesting) {
  json deep = json::array();
  for (int i = 0; i < 100000; ++i) deep = json::array({std::move(deep)});
  const std::string text = to_canonical_json(deep);
  EXPECT_EQ(text.size(), 2u * 100001u);
  EXPECT_EQ(text.substr(0, 3), "[[[");

  auto nested = [](int levels, const std::string& inner) {
    return std::string(static_cast<size_t>(levels), '[') + inner + std::string(static_cast<size_t>(levels), ']');
  };
  for (const auto& [text_in, ok] : std::vector<std::pair<std::string, bool>>{
           {nested(kMaxJsonDepth, ""), true},
           {nested(kMaxJsonDepth + 1, ""), false},
           {"{\"a\":" + nested(kMaxJsonDepth - 1, "") + "}", true},
           {"{\"a\":" + nested(kMaxJsonDepth, "") + "}", false},
           {nested(kMaxJsonDepth, "\"[[[{{{\\\"[[\""), true},  // brackets inside strings do not count
           {nested(32000, ""), false},
           {std::string("[1]\0", 4) + nested(kMaxJsonDepth + 1, ""), true}}) {  // the parser ends at a NUL
    const json parsed = parse_json(text_in.begin(), text_in.end());
    EXPECT_EQ(!parsed.is_discarded(), ok) << text_in.substr(0, 80);
    if (ok) {
      EXPECT_TRUE(json_depth_within(parsed, kMaxJsonDepth));
    }
  }
  EXPECT_FALSE(json_depth_within(deep, kMaxJsonDepth));
  EXPECT_TRUE(json_depth_within(json(5), 0));
}

}  // namespace
}  // namespace guardian
