#include "policy/datalog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <unordered_set>

namespace korvel::policy::datalog {
namespace {

TEST(DatalogValue, EqualityNeedsTheSameKindAndPayload) {
  EXPECT_EQ(Value::Str("5"), Value::Str("5"));
  EXPECT_EQ(Value::Id(5), Value::Id(5));
  EXPECT_NE(Value::Str("5"), Value::Id(5));
  EXPECT_NE(Value::Str("a"), Value::Str("A"));
  EXPECT_NE(Value::Str(""), Value::Id(0));
  EXPECT_NE(Value::Id(1), Value::Id(2));
}

TEST(DatalogValue, EqualValuesHashEqually) {
  const ValueHash hash;
  EXPECT_EQ(hash(Value::Str("label")), hash(Value::Str(std::string("label"))));
  EXPECT_EQ(hash(Value::Id(42)), hash(Value::Id(42)));
  std::unordered_set<Value, ValueHash> set = {Value::Str("5"), Value::Id(5), Value::Str("5"),
                                              Value::Id(5), Value::Str("")};
  EXPECT_EQ(set.size(), 3u);
  EXPECT_TRUE(set.contains(Value::Id(5)));
  EXPECT_FALSE(set.contains(Value::Id(6)));
}

TEST(DatalogValue, TextForm) {
  EXPECT_EQ(to_text(Value::Id(0)), "0");
  EXPECT_EQ(to_text(Value::Id(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(to_text(Value::Str("")), "");
  EXPECT_EQ(to_text(Value::Str("a \"quoted\" text")), "a \"quoted\" text");
}

TEST(DatalogRule, VerdictRulesAreExactlyDenyAndEscalate) {
  const auto rule_with_head = [](std::string predicate) {
    return DatalogRule{Atom{std::move(predicate), {}}, {}};
  };
  EXPECT_TRUE(is_verdict_rule(rule_with_head("deny")));
  EXPECT_TRUE(is_verdict_rule(rule_with_head("escalate")));
  EXPECT_FALSE(is_verdict_rule(rule_with_head("Deny")));
  EXPECT_FALSE(is_verdict_rule(rule_with_head("deny ")));
  EXPECT_FALSE(is_verdict_rule(rule_with_head("allow")));
  EXPECT_FALSE(is_verdict_rule(rule_with_head("")));
}

}  // namespace
}  // namespace korvel::policy::datalog
