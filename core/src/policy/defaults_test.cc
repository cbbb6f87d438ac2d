#include "policy/defaults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel::policy {
namespace {

PolicyRule deny_rule(std::string name, std::string severity, std::string message) {
  PolicyRule rule;
  rule.name = std::move(name);
  rule.action = PolicyAction::Deny;
  rule.severity = std::move(severity);
  rule.message = std::move(message);
  return rule;
}

std::vector<PolicyRule> expected_defaults() {
  std::vector<PolicyRule> rules;

  PolicyRule external =
      deny_rule("korvel.default.external-trace-containment", "critical",
                "Outbound network action blocked: data traces to external source");
  external.when.category = "network_outbound";
  external.when.traced_to = "external";
  rules.push_back(external);

  PolicyRule local =
      deny_rule("korvel.default.local-sensitive-containment", "critical",
                "Outbound network action blocked: data traces to local sensitive source");
  local.when.category = "network_outbound";
  local.when.traced_to = "local_sensitive";
  rules.push_back(local);

  PolicyRule credentials = deny_rule("korvel.default.credential-exposure-block", "critical",
                                     "Outbound action blocked: data contains detected credentials");
  credentials.when.category = "network_outbound";
  credentials.when.traced_to = "injected";
  rules.push_back(credentials);

  PolicyRule tainted =
      deny_rule("korvel.default.tainted-data-block", "critical",
                "Action blocked: data contains detected sensitive content (credentials, PII)");
  tainted.when.traced_to = "injected";
  rules.push_back(tainted);

  PolicyRule gating = deny_rule("korvel.default.high-risk-gating", "high",
                                "High-risk tool requires recorded user input in session");
  gating.when.risk = std::vector<std::string>{"high", "critical"};
  gating.requires_ = RequiresConditions{std::vector<std::string>{"user", "operator"}, std::nullopt};
  rules.push_back(gating);

  PolicyRule rate =
      deny_rule("korvel.default.rate-limit", "medium", "Tool call rate limit exceeded (30/min)");
  rate.when.calls_in_window = WindowCount{30, 1};
  rules.push_back(rate);

  return rules;
}

TEST(DefaultRules, AreTheSixBuiltInRulesInOrderFieldByField) {
  const std::vector<PolicyRule> rules = default_rules();
  const std::vector<PolicyRule> expected = expected_defaults();
  ASSERT_EQ(rules.size(), expected.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(rules[i].name, expected[i].name);
    EXPECT_EQ(rules[i].description, std::nullopt);
    EXPECT_EQ(rules[i].when, expected[i].when);
    EXPECT_EQ(rules[i].action, PolicyAction::Deny);
    EXPECT_EQ(rules[i].severity, expected[i].severity);
    EXPECT_EQ(rules[i].message, expected[i].message);
    EXPECT_EQ(rules[i].requires_, expected[i].requires_);
    EXPECT_EQ(rules[i].params, std::nullopt);
  }
}

TEST(DefaultRules, EveryCallGivesAFreshEqualList) {
  std::vector<PolicyRule> first = default_rules();
  first.front().name = "changed";
  EXPECT_EQ(default_rules(), expected_defaults());
}

}  // namespace
}  // namespace korvel::policy
