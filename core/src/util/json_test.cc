#include "util/json.h"

#include <gtest/gtest.h>

namespace korvel::util::json {
namespace {

TEST(JsonWriter, EscapesExactlyQuotesBackslashesAndControls) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : {Case{"plain", R"("plain")"}, Case{"q\"b\\", R"("q\"b\\")"},
                        Case{"\b\t\n\f\r", R"("\b\t\n\f\r")"}, Case{std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
                        Case{"/ \x7f", "\"/ \x7f\""}, Case{"\u2192 \xc3\xa9", "\"\u2192 \xc3\xa9\""}}) {
    Writer w;
    w.string(c.in);
    EXPECT_EQ(w.text(), c.out);
  }
}

TEST(JsonWriter, WritesCompactContainers) {
  Writer w;
  w.begin_object().key("a").boolean(false).key("b").begin_array().number(0).number(18446744073709551615u).end_array();
  w.key("c").begin_array().end_array().key("d").null().end_object();
  EXPECT_EQ(w.text(), R"({"a":false,"b":[0,18446744073709551615],"c":[],"d":null})");
  EXPECT_EQ(error_object("invalid argument"), R"({"error":"invalid argument"})");
}

TEST(JsonStringObject, AcceptsOnlyObjectsOfStrings) {
  EXPECT_EQ(parse_string_object(R"( {"a":"1","b":"x\"y","a":"2"} )"), (StringMap{{"a", "2"}, {"b", "x\"y"}}));
  EXPECT_EQ(parse_string_object("{}"), StringMap{});
  for (const char* bad : {R"({"a":"1","n":2})", R"(["a"])", R"({"a":"1"} x)", R"({"a":"1",})", "", "nul",
                          "\xef\xbb\xbf{}", R"({"a":"\ud800"})", "{\"a\":\"\xff\"}", R"({"a":"1"}{"b":"2"})"})
    EXPECT_FALSE(parse_string_object(bad)) << bad;
}

TEST(JsonStringObject, KeepsOnlyTheNamedMembersButChecksThemAll) {
  const std::string_view keep[] = {"channel"};
  EXPECT_EQ(parse_string_object(R"({"x":"1","channel":"c"})", keep), (StringMap{{"channel", "c"}}));
  EXPECT_FALSE(parse_string_object(R"({"x":1,"channel":"c"})", keep));
}

// Numbers beyond 64-bit integers or the double range are valid JSON; a member that is not
// read must not make the whole text unusable.
TEST(JsonBigNumbers, ReadAsNullSoTheRestOfTheTextStillCounts) {
  EXPECT_EQ(parse_tool_description(R"({"risk":"high","n":123456789012345678901234567890})").risk, "high");
  EXPECT_EQ(parse_tool_description(R"({"x":1e400,"category":"net"})").category, "net");
  EXPECT_EQ(object_keys(R"({"z":-99999999999999999999999,"a":"1e400"})"), (std::vector<std::string>{"a", "z"}));
  EXPECT_FALSE(parse_string_object(R"({"a":"1","b":123456789012345678901234567890})"));
  EXPECT_TRUE(object_keys(R"({"a":1e400,})").empty());  // still invalid for another reason
  // Only numbers the grammar allows are read past; malformed ones keep the text invalid.
  for (const char* bad : {R"({"a":-----,"b":1e400})", R"({"a":0123456789012345678901234})", R"({"a":1e309e5})",
                          R"({"a":99999999999999999999-1})", R"({"a":1.5e999.0})", R"({"a":--1234,"b":1e400})"})
    EXPECT_TRUE(object_keys(bad).empty()) << bad;
  EXPECT_EQ(parse_tool_description(R"({"risk":"critical","x":-----})").risk, std::nullopt);
}

TEST(JsonBigNumbers, GivePairsWrittenAsTheHostWroteThem) {
  EXPECT_EQ(scalar_members(R"({"a":4e-320,"b":123456789012345678901,"c":-1e400})"),
            (std::vector<std::pair<std::string, std::string>>{
                {"a", "4e-320"}, {"b", "123456789012345678901"}, {"c", "-1e400"}}));
}

TEST(JsonToolDescription, ReadsStringMembersOnlyAndTheLaterDuplicate) {
  ToolDescription d = parse_tool_description(R"({"risk":"low","risk":"HIGH","category":7})");
  EXPECT_EQ(d.risk, "HIGH");
  EXPECT_FALSE(d.category);
  d = parse_tool_description(R"({"risk":"high","risk":5,"category":"x","category":null})");
  EXPECT_FALSE(d.risk);  // the later, non-string occurrence counts and is ignored
  EXPECT_FALSE(d.category);
  EXPECT_FALSE(parse_tool_description(R"(["risk","high"])").risk);
}

TEST(JsonObjectKeys, SortedWithoutRepeats) {
  EXPECT_EQ(object_keys(R"({"b":1,"a":[],"b":{}})"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(object_keys("[1]").empty());
  EXPECT_TRUE(object_keys("not json").empty());
}

TEST(JsonScalarMembers, WriteExponentsPlainly) {
  EXPECT_EQ(scalar_members(R"({"a":1e21,"b":1e-7,"c":1.5E+300})"),
            (std::vector<std::pair<std::string, std::string>>{{"a", "1e21"}, {"b", "1e-7"}, {"c", "1.5e300"}}));
}

TEST(JsonScalarMembers, GiveTextsOfBooleansNumbersAndStrings) {
  EXPECT_EQ(scalar_members(R"({"s":"v","t":true,"f":false,"i":-7,"u":18446744073709551615,"d":1.5,"e":2.0,"n":null,"a":[],"o":{}})"),
            (std::vector<std::pair<std::string, std::string>>{
                {"d", "1.5"}, {"e", "2.0"}, {"f", "false"}, {"i", "-7"}, {"s", "v"}, {"t", "true"}, {"u", "18446744073709551615"}}));
}

}  // namespace
}  // namespace korvel::util::json
