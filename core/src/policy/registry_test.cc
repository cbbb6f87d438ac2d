#include "policy/registry.h"

#include <gtest/gtest.h>

#include <string>

namespace korvel::policy {
namespace {

TEST(RiskLevel, NamesByLevel) {
  EXPECT_EQ(risk_name(RiskLevel::Low), "low");
  EXPECT_EQ(risk_name(RiskLevel::Medium), "medium");
  EXPECT_EQ(risk_name(RiskLevel::High), "high");
  EXPECT_EQ(risk_name(RiskLevel::Critical), "critical");
}

TEST(RiskLevel, ReadingFoldsAsciiCaseOnlyAndDefaultsToMedium) {
  struct Case {
    const char* text;
    RiskLevel expected;
  };
  const Case cases[] = {
      {"low", RiskLevel::Low},
      {"LOW", RiskLevel::Low},
      {"High", RiskLevel::High},
      {"cRiTiCaL", RiskLevel::Critical},
      {"medium", RiskLevel::Medium},
      {"", RiskLevel::Medium},
      {" high", RiskLevel::Medium},
      {"high ", RiskLevel::Medium},
      {"hig", RiskLevel::Medium},
      {"highest", RiskLevel::Medium},
      {"h\xc4\xb1gh", RiskLevel::Medium},  // dotless i: not an ASCII letter
  };
  for (const Case& c : cases) EXPECT_EQ(risk_from_str(c.text), c.expected) << '"' << c.text << '"';
  EXPECT_EQ(risk_from_str(std::string_view("low\0", 4)), RiskLevel::Medium);
}

TEST(ToolRegistry, EmptyRegistryHoldsNothing) {
  const ToolRegistry registry;
  EXPECT_FALSE(registry.contains(""));
  EXPECT_FALSE(registry.contains("fetch"));
  EXPECT_EQ(registry.find("fetch"), nullptr);
}

TEST(ToolRegistry, GetOfAnUnknownNameIsTheDefaultEntry) {
  ToolRegistry registry;
  registry.register_tool("fetch", ToolInfo{"network_outbound", RiskLevel::High});
  EXPECT_EQ(registry.get("other"), (ToolInfo{std::nullopt, RiskLevel::Medium}));
}

TEST(ToolRegistry, RegisteringAgainReplacesTheWholeEntry) {
  ToolRegistry registry;
  registry.register_tool("fetch", ToolInfo{"network_outbound", RiskLevel::High});
  registry.register_tool("fetch", ToolInfo{std::nullopt, RiskLevel::Low});
  EXPECT_EQ(registry.get("fetch"), (ToolInfo{std::nullopt, RiskLevel::Low}));
  ASSERT_NE(registry.find("fetch"), nullptr);
  EXPECT_EQ(registry.find("fetch")->category, std::nullopt);
}

TEST(ToolRegistry, NamesCompareByteForByte) {
  ToolRegistry registry(util::HashSeed{1, 2});
  registry.register_tool("Fetch", ToolInfo{"a", RiskLevel::Low});
  registry.register_tool("fetch", ToolInfo{"b", RiskLevel::Critical});
  registry.register_tool("", ToolInfo{"empty", RiskLevel::High});
  EXPECT_EQ(registry.get("Fetch").category, "a");
  EXPECT_EQ(registry.get("fetch").category, "b");
  EXPECT_EQ(registry.get("").category, "empty");
  EXPECT_FALSE(registry.contains("FETCH"));
  EXPECT_FALSE(registry.contains("fetch "));
  EXPECT_FALSE(registry.contains(std::string_view("fetch\0", 6)));
}

TEST(ToolRegistry, GetReturnsACopy) {
  ToolRegistry registry;
  registry.register_tool("fetch", ToolInfo{"network_outbound", RiskLevel::High});
  ToolInfo copy = registry.get("fetch");
  copy.category = "changed";
  EXPECT_EQ(registry.get("fetch").category, "network_outbound");
}

}  // namespace
}  // namespace korvel::policy
