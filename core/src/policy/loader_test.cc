#include "policy/loader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvel::policy {
namespace {

constexpr std::size_t kMiB = 1u << 20;

// The rendered error, or "<loaded>" when the text loads.
std::string error_text(std::string_view yaml) {
  const ParseResult result = parse_policies(yaml);
  const auto* error = std::get_if<LoadError>(&result);
  return error != nullptr ? load_error_text(*error) : "<loaded>";
}

std::vector<PolicyRule> rules_of(std::string_view yaml) {
  ParseResult result = parse_policies(yaml);
  if (const auto* error = std::get_if<LoadError>(&result)) {
    ADD_FAILURE() << load_error_text(*error);
    return {};
  }
  return std::get<std::vector<PolicyRule>>(std::move(result));
}

PolicyRule only_rule(std::string_view yaml) {
  std::vector<PolicyRule> rules = rules_of(yaml);
  if (rules.size() != 1) {
    ADD_FAILURE() << rules.size() << " rules in\n" << yaml;
    return {};
  }
  return rules.front();
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// ---------------------------------------------------------------------------------------------
// Rejected documents and their exact error texts.

struct ErrorCase {
  const char* name;
  std::string yaml;
  std::string expected;
};

class LoaderErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(LoaderErrorTest, RendersTheExactError) {
  EXPECT_EQ(error_text(GetParam().yaml), GetParam().expected) << GetParam().yaml;
}

const ErrorCase kErrorCases[] = {
    // Missing fields: the record's path, the position of its mapping.
    {"MissingPoliciesAtRoot", "version: 1\n",
     R"(Parse(Error("missing field `policies`", line: 1, column: 1)))"},
    {"MissingActionInSecondRule",
     "policies:\n  - name: a\n    when: {}\n    action: deny\n  - name: b\n    when: {}\n",
     R"(Parse(Error("policies[1]: missing field `action`", line: 5, column: 5)))"},
    {"MissingName", "policies:\n  - when: {}\n    action: deny\n",
     R"(Parse(Error("policies[0]: missing field `name`", line: 2, column: 5)))"},
    {"MissingWhen", "policies:\n  - name: a\n    action: deny\n",
     R"(Parse(Error("policies[0]: missing field `when`", line: 2, column: 5)))"},
    {"KeysAreCaseSensitive", "policies:\n  - Name: a\n    name: b\n    when: {}\n",
     R"(Parse(Error("policies[0]: missing field `action`", line: 2, column: 5)))"},
    {"MissingWindowMinutes",
     "policies:\n  - name: a\n    when:\n      calls_in_window:\n        count: 3\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window: missing field `window_minutes`", line: 5, column: 9)))"},
    {"MissingCountInFlowMapping",
     "policies:\n  - {name: a, action: deny, when: {agent_failures_in_window: {window_minutes: 1}}}\n",
     R"(Parse(Error("policies[0].when.agent_failures_in_window: missing field `count`", line: 2, column: 62)))"},
    {"EmptyRuleItemIsAnEmptyMapping", "policies:\n  -\n  - name: a\n",
     R"(Parse(Error("policies[0]: missing field `name`", line: 2, column: 4)))"},

    // Duplicate fields: the record's path, the position of the repeated key.
    {"DuplicatePolicies", "policies: []\npolicies: []\n",
     R"(Parse(Error("duplicate field `policies`", line: 2, column: 1)))"},
    {"DuplicateName", "policies:\n  - name: a\n    name: b\n    when: {}\n    action: deny\n",
     R"(Parse(Error("policies[0]: duplicate field `name`", line: 3, column: 5)))"},
    {"DuplicateAfterNullValue",
     "policies:\n  - name: a\n    when: {tool: ~, tool: b}\n    action: deny\n",
     R"(Parse(Error("policies[0].when: duplicate field `tool`", line: 3, column: 21)))"},
    {"DuplicateQuotedAndPlainKey", "policies:\n  - name: a\n    \"name\": b\n",
     R"(Parse(Error("policies[0]: duplicate field `name`", line: 3, column: 5)))"},
    {"DuplicateInRequires",
     "policies:\n  - name: a\n    when: {}\n    action: deny\n    requires: {approval_from: x, approval_from: y}\n",
     R"(Parse(Error("policies[0].requires: duplicate field `approval_from`", line: 5, column: 34)))"},
    {"DuplicateInWindowCount",
     "policies:\n  - name: a\n    when: {calls_in_window: {count: 1, count: 2, window_minutes: 1}}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window: duplicate field `count`", line: 3, column: 40)))"},

    // Unknown action: the value's path and position.
    {"ActionCapitalised", "policies:\n  - name: a\n    when: {}\n    action: Deny\n",
     R"(Parse(Error("policies[0].action: unknown variant `Deny`, expected one of `deny`, `escalate`, `halt`", line: 4, column: 13)))"},
    {"ActionNumber", "policies:\n  - name: a\n    when: {}\n    action: 1\n",
     R"(Parse(Error("policies[0].action: unknown variant `1`, expected one of `deny`, `escalate`, `halt`", line: 4, column: 13)))"},
    {"ActionEmpty", "policies:\n  - name: a\n    when: {}\n    action:\n",
     R"(Parse(Error("policies[0].action: unknown variant ``, expected one of `deny`, `escalate`, `halt`", line: 4, column: 12)))"},
    {"ActionMapping", "policies:\n  - name: a\n    when: {}\n    action: {deny: 1}\n",
     R"(Parse(Error("policies[0].action: invalid type: map, expected enum PolicyAction", line: 4, column: 13)))"},

    // Risk of neither shape: the value's position, or its sequence's.
    {"RiskInteger", "policies:\n  - name: a\n    when: {risk: 2}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.risk: data did not match any variant of untagged enum RiskCondition", line: 3, column: 18)))"},
    {"RiskBoolean", "policies:\n  - name: a\n    when: {risk: True}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.risk: data did not match any variant of untagged enum RiskCondition", line: 3, column: 18)))"},
    {"RiskInfinity", "policies:\n  - name: a\n    when: {risk: -.inf}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.risk: data did not match any variant of untagged enum RiskCondition", line: 3, column: 18)))"},
    {"RiskListWithNumber",
     "policies:\n  - name: a\n    when: {risk: [high, 0x1F]}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.risk: data did not match any variant of untagged enum RiskCondition", line: 3, column: 18)))"},
    {"RiskListWithNull",
     "policies:\n  - name: a\n    when:\n      risk: [high, ~]\n    action: deny\n",
     R"(Parse(Error("policies[0].when.risk: data did not match any variant of untagged enum RiskCondition", line: 4, column: 13)))"},
    {"RiskNestedList", "policies:\n  - name: a\n    when: {risk: [[high]]}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.risk: data did not match any variant of untagged enum RiskCondition", line: 3, column: 18)))"},
    {"RiskMapping",
     "policies:\n  - name: a\n    when:\n      risk:\n        level: high\n    action: deny\n",
     R"(Parse(Error("policies[0].when.risk: data did not match any variant of untagged enum RiskCondition", line: 5, column: 9)))"},

    // Integers out of the u32 range: the number in decimal.
    {"CountNegative",
     "policies:\n  - name: a\n    when: {calls_in_window: {count: -1, window_minutes: 1}}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.count: invalid value: integer `-1`, expected u32", line: 3, column: 37)))"},
    {"WindowAboveU32",
     "policies:\n  - name: a\n    when: {calls_in_window: {count: 1, window_minutes: 4294967296}}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.window_minutes: invalid value: integer `4294967296`, expected u32", line: 3, column: 56)))"},
    {"HexAboveU32",
     "policies:\n  - name: a\n    when:\n      calls_in_window: {count: 0x100000000, window_minutes: 1}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.count: invalid value: integer `4294967296`, expected u32", line: 4, column: 32)))"},
    {"NegativeOctal",
     "policies:\n  - name: a\n    when:\n      calls_in_window: {count: -0o17, window_minutes: 1}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.count: invalid value: integer `-15`, expected u32", line: 4, column: 32)))"},
    {"BeyondSixtyFourBits",
     "policies:\n  - name: a\n    when:\n      calls_in_window: {count: 99999999999999999999999, window_minutes: 1}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.count: invalid value: integer `99999999999999999999999`, expected u32", line: 4, column: 32)))"},

    // Records that are not mappings, lists that are not sequences.
    {"RootString", "hello\n",
     R"(Parse(Error("invalid type: string \"hello\", expected struct PolicyDoc", line: 1, column: 1)))"},
    {"RootSequence", "- policies\n",
     R"(Parse(Error("invalid type: sequence, expected struct PolicyDoc", line: 1, column: 1)))"},
    {"RootNull", "~\n",
     R"(Parse(Error("invalid type: unit value, expected struct PolicyDoc", line: 1, column: 1)))"},
    {"RuleInteger", "policies: [5]\n",
     R"(Parse(Error("policies[0]: invalid type: integer `5`, expected struct PolicyRule", line: 1, column: 12)))"},
    {"RuleQuotedString",
     "policies:\n  - name: a\n    when: {}\n    action: deny\n  - 'rule \"two\"'\n",
     R"(Parse(Error("policies[1]: invalid type: string \"rule \\\"two\\\"\", expected struct PolicyRule", line: 5, column: 5)))"},
    {"PoliciesMapping", "policies: {}\n",
     R"(Parse(Error("policies: invalid type: map, expected a sequence", line: 1, column: 11)))"},
    {"PoliciesNull", "policies: ~\n",
     R"(Parse(Error("policies: invalid type: unit value, expected a sequence", line: 1, column: 11)))"},
    {"PoliciesQuotedEmpty", "policies: ''\n",
     R"(Parse(Error("policies: invalid type: string \"\", expected a sequence", line: 1, column: 11)))"},
    {"WhenSequence", "policies:\n  - name: a\n    when: [tool]\n    action: deny\n",
     R"(Parse(Error("policies[0].when: invalid type: sequence, expected struct WhenConditions", line: 3, column: 11)))"},
    {"WhenNull", "policies:\n  - name: a\n    when: null\n    action: deny\n",
     R"(Parse(Error("policies[0].when: invalid type: unit value, expected struct WhenConditions", line: 3, column: 11)))"},
    {"RequiresWord", "policies:\n  - name: a\n    when: {}\n    action: deny\n    requires: yes\n",
     R"(Parse(Error("policies[0].requires: invalid type: string \"yes\", expected struct RequiresConditions", line: 5, column: 15)))"},
    {"WindowCountInteger",
     "policies:\n  - name: a\n    when:\n      calls_in_window: 5\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window: invalid type: integer `5`, expected struct WindowCount", line: 4, column: 24)))"},
    {"InputsNotSequence",
     "policies:\n  - name: a\n    when: {}\n    action: deny\n    requires:\n      session_has_input_from: user\n",
     R"(Parse(Error("policies[0].requires.session_has_input_from: invalid type: string \"user\", expected a sequence", line: 6, column: 31)))"},
    {"InputsElementNotText",
     "policies:\n  - name: a\n    when: {}\n    action: deny\n    requires: {session_has_input_from: [user, [x]]}\n",
     R"(Parse(Error("policies[0].requires.session_has_input_from[1]: invalid type: sequence, expected a string", line: 5, column: 47)))"},
    {"CountFloat",
     "policies:\n  - name: a\n    when:\n      calls_in_window: {count: 1.5, window_minutes: 1}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.count: invalid type: floating point `1.5`, expected u32", line: 4, column: 32)))"},
    {"CountQuoted",
     "policies:\n  - name: a\n    when:\n      calls_in_window: {count: \"5\", window_minutes: 1}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.count: invalid type: string \"5\", expected u32", line: 4, column: 32)))"},
    {"CountBoolean",
     "policies:\n  - name: a\n    when:\n      calls_in_window: {count: FALSE, window_minutes: 1}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.count: invalid type: boolean `false`, expected u32", line: 4, column: 32)))"},
    {"CountWithUnderscore",
     "policies:\n  - name: a\n    when:\n      calls_in_window: {count: 1_000, window_minutes: 1}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.calls_in_window.count: invalid type: string \"1_000\", expected u32", line: 4, column: 32)))"},
    {"NameSequence", "policies:\n  - name: [a]\n    when: {}\n    action: deny\n",
     R"(Parse(Error("policies[0].name: invalid type: sequence, expected a string", line: 2, column: 11)))"},
    {"ToolMapping", "policies:\n  - name: a\n    when: {tool: {x: 1}}\n    action: deny\n",
     R"(Parse(Error("policies[0].when.tool: invalid type: map, expected a string", line: 3, column: 18)))"},

    // Exactly one document.
    {"EmptyText", "", R"(Parse(Error("EOF while parsing a value", line: 1, column: 1)))"},
    {"OnlyComments", "# nothing here\n",
     R"(Parse(Error("EOF while parsing a value", line: 2, column: 1)))"},
    {"TwoDocuments", "policies: []\n---\npolicies: []\n",
     R"(Parse(Error("deserializing from YAML containing more than one document is not supported", line: 2, column: 1)))"},
    {"SecondDocumentOutranksFirstDocumentsProblem", "version: 1\n---\npolicies: []\n",
     R"(Parse(Error("deserializing from YAML containing more than one document is not supported", line: 2, column: 1)))"},
    {"ThreeDocumentsPointAtTheSecond", "---\npolicies: []\n---\npolicies: []\n---\npolicies: []\n",
     R"(Parse(Error("deserializing from YAML containing more than one document is not supported", line: 3, column: 1)))"},

    // Syntax errors, in libyaml's words and at its position.
    {"UnclosedQuote", "policies: []\nx: \"abc\n",
     R"(Parse(Error("found unexpected end of stream", line: 3, column: 1)))"},
    {"BadIndentation", "policies:\n  - name: a\n     when: {}\n",
     R"(Parse(Error("mapping values are not allowed in this context", line: 3, column: 10)))"},
    {"TabIndentation", "policies:\n\t- name: a\n",
     R"(Parse(Error("found character that cannot start any token", line: 2, column: 1)))"},
    {"InvalidUtf8", "policies: []\nx: \"caf\xc3\xa9 \xff\"\n",
     R"(Parse(Error("invalid leading UTF-8 octet", line: 2, column: 10)))"},
    {"ControlCharacter", std::string("policies: []\nx: a\0b\n", 20),
     R"(Parse(Error("control characters are not allowed", line: 2, column: 5)))"},

    // Aliases that do not resolve.
    {"UnknownAnchor", "policies: *rules\n",
     R"(Parse(Error("unknown anchor `rules`", line: 1, column: 11)))"},
    {"AliasBeforeItsAnchor", "x: *a\ny: &a 1\npolicies: []\n",
     R"(Parse(Error("unknown anchor `a`", line: 1, column: 4)))"},
    {"RecursiveAlias", "x: &a [1, *a]\npolicies: []\n",
     R"(Parse(Error("recursive alias `*a`: it lies inside its own anchored node", line: 1, column: 11)))"},
};

INSTANTIATE_TEST_SUITE_P(Table, LoaderErrorTest, testing::ValuesIn(kErrorCases),
                         [](const testing::TestParamInfo<ErrorCase>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Accepted documents.

TEST(Loader, EmptyPolicyListsLoadNoRule) {
  EXPECT_TRUE(rules_of("policies: []\n").empty());
  EXPECT_TRUE(rules_of("policies:\n").empty());
  EXPECT_TRUE(rules_of("---\npolicies: []\n...\n").empty());
}

TEST(Loader, ReadsEveryField) {
  const PolicyRule rule = only_rule(R"(
policies:
  - name: full
    description: every field
    when:
      tool: fetch
      category: network_outbound
      traced_to: external
      risk: [high, critical]
      agent_id: agent-7
      calls_in_window: {count: 30, window_minutes: 1}
      agent_failures_in_window:
        count: 0o17
        window_minutes: 0x1F
    action: escalate
    severity: high
    message: "Escalated: \"fetch\""
    requires:
      session_has_input_from: [user, operator]
      approval_from: admin
    params: {limit: 5, tags: [a, ~]}
)");
  PolicyRule expected;
  expected.name = "full";
  expected.description = "every field";
  expected.when.tool = "fetch";
  expected.when.category = "network_outbound";
  expected.when.traced_to = "external";
  expected.when.risk = std::vector<std::string>{"high", "critical"};
  expected.when.agent_id = "agent-7";
  expected.when.calls_in_window = WindowCount{30, 1};
  expected.when.agent_failures_in_window = WindowCount{15, 31};
  expected.action = PolicyAction::Escalate;
  expected.severity = "high";
  expected.message = "Escalated: \"fetch\"";
  expected.requires_ = RequiresConditions{std::vector<std::string>{"user", "operator"}, "admin"};
  YamlValue params{YamlValue::Kind::Mapping, {}, {}, {}};
  YamlValue tags{YamlValue::Kind::Sequence, {}, {}, {}};
  tags.items = {YamlValue{YamlValue::Kind::Scalar, "a", {}, {}}, YamlValue{}};
  params.entries = {{YamlValue{YamlValue::Kind::Scalar, "limit", {}, {}},
                     YamlValue{YamlValue::Kind::Scalar, "5", {}, {}}},
                    {YamlValue{YamlValue::Kind::Scalar, "tags", {}, {}}, tags}};
  expected.params = params;
  EXPECT_EQ(rule, expected);
}

TEST(Loader, KeepsDocumentOrderAndRepeatedNames) {
  const std::vector<PolicyRule> rules = rules_of(
      "policies:\n"
      "  - {name: same, when: {}, action: deny}\n"
      "  - {name: same, when: {}, action: halt}\n"
      "  - {name: other, when: {}, action: 'escalate'}\n");
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[0].action, PolicyAction::Deny);
  EXPECT_EQ(rules[1].action, PolicyAction::Halt);
  EXPECT_EQ(rules[2].action, PolicyAction::Escalate);
  EXPECT_EQ(rules[1].name, "same");
  EXPECT_EQ(rules[2].name, "other");
}

TEST(Loader, WhenWithoutValueIsEmpty) {
  EXPECT_EQ(only_rule("policies:\n  - name: a\n    when:\n    action: deny\n").when,
            WhenConditions{});
  EXPECT_EQ(only_rule("policies:\n  - name: a\n    when: {}\n    action: deny\n").when,
            WhenConditions{});
}

// Wherever text is expected, a scalar is its written text, whatever YAML would read it as.
TEST(Loader, ScalarsGivenForTextAreTakenAsWritten) {
  const PolicyRule rule = only_rule(
      "policies:\n"
      "  - name: true\n"
      "    when: {tool: 123, category: 0x1F, traced_to: 1.50, agent_id: '~'}\n"
      "    action: deny\n"
      "    severity: |\n      two\n      lines\n"
      "    requires: {session_has_input_from: [~, 2, FALSE]}\n");
  EXPECT_EQ(rule.name, "true");
  EXPECT_EQ(rule.when.tool, "123");
  EXPECT_EQ(rule.when.category, "0x1F");
  EXPECT_EQ(rule.when.traced_to, "1.50");
  EXPECT_EQ(rule.when.agent_id, "~");
  EXPECT_EQ(rule.severity, "two\nlines\n");
  EXPECT_EQ(rule.requires_->session_has_input_from, (std::vector<std::string>{"~", "2", "FALSE"}));
}

TEST(Loader, PlainNullsLeaveOptionalKeysAbsent) {
  const PolicyRule rule = only_rule(
      "policies:\n"
      "  - name: a\n"
      "    description: ~\n"
      "    severity: null\n"
      "    message: NULL\n"
      "    params: Null\n"
      "    requires:\n"
      "    when: {tool: ~, category: , risk: null, calls_in_window: ~, agent_failures_in_window: null}\n"
      "    action: deny\n");
  EXPECT_EQ(rule.description, std::nullopt);
  EXPECT_EQ(rule.severity, std::nullopt);
  EXPECT_EQ(rule.message, std::nullopt);
  EXPECT_EQ(rule.params, std::nullopt);
  EXPECT_EQ(rule.requires_, std::nullopt);
  EXPECT_EQ(rule.when, WhenConditions{});
  // Only plain nulls: a quoted one is text.
  EXPECT_EQ(only_rule("policies: [{name: a, when: {}, action: deny, message: 'null'}]").message,
            "null");
}

TEST(Loader, RequiresWithoutInputsIsKeptAsPresent) {
  const PolicyRule rule = only_rule(
      "policies: [{name: a, when: {}, action: deny, requires: {approval_from: ops, session_has_input_from: ~}}]");
  ASSERT_TRUE(rule.requires_.has_value());
  EXPECT_EQ(rule.requires_->session_has_input_from, std::nullopt);
  EXPECT_EQ(rule.requires_->approval_from, "ops");
  EXPECT_EQ(only_rule("policies: [{name: a, when: {}, action: deny, requires: {}}]").requires_,
            RequiresConditions{});
}

TEST(Loader, RiskShapes) {
  struct Case {
    const char* risk;
    RiskCondition expected;
  };
  const Case cases[] = {
      {"high", std::string("high")},
      {"High", std::string("High")},
      {"'2'", std::string("2")},
      {"!!str 2", std::string("2")},
      {"yes", std::string("yes")},
      {"[high, critical]", std::vector<std::string>{"high", "critical"}},
      {"[]", std::vector<std::string>{}},
      {"['3', low]", std::vector<std::string>{"3", "low"}},
  };
  for (const Case& c : cases) {
    const std::string yaml =
        std::string("policies: [{name: a, action: deny, when: {risk: ") + c.risk + "}}]";
    EXPECT_EQ(only_rule(yaml).when.risk, c.expected) << c.risk;
  }
}

TEST(Loader, WindowIntegers) {
  struct Case {
    const char* count;
    std::uint32_t expected;
  };
  const Case cases[] = {{"0", 0},     {"+7", 7},    {"007", 7},
                        {"0o17", 15}, {"0x1f", 31}, {"4294967295", 4294967295u}};
  for (const Case& c : cases) {
    const std::string yaml =
        std::string(
            "policies: [{name: a, action: deny, when: {calls_in_window: {window_minutes: 1, count: ") +
        c.count + "}}}]";
    EXPECT_EQ(only_rule(yaml).when.calls_in_window->count, c.expected) << c.count;
  }
}

TEST(Loader, SkipsUnknownKeysWithAnyValueAtEveryLevel) {
  const PolicyRule rule = only_rule(R"(
version: {nested: [1, {deep: [x, y]}], more: &m {a: b}}
policies:
  - name: a
    priority: 5
    ? [complex, key]
    : {with: value}
    when:
      tool: t
      unknown: [1, 2, *m]
      calls_in_window: {count: 1, window_minutes: 2, unit: minutes}
    action: deny
    requires: {session_has_input_from: [user], extra: {x: [y]}}
trailer: |
  block text
)");
  EXPECT_EQ(rule.name, "a");
  EXPECT_EQ(rule.when.tool, "t");
  EXPECT_EQ(rule.when.calls_in_window, (WindowCount{1, 2}));
  EXPECT_EQ(rule.requires_->session_has_input_from, std::vector<std::string>{"user"});
}

TEST(Loader, AliasesStandForCopiesOfTheirNodes) {
  const std::vector<PolicyRule> rules = rules_of(R"(
shared:
  when: &outbound {category: network_outbound, risk: &levels [high, critical]}
  key: &key tool
policies:
  - &first
    name: first
    when: *outbound
    action: deny
  - *first
  - name: second
    when: {*key : fetch, risk: *levels}
    action: escalate
)");
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[0], rules[1]);
  EXPECT_EQ(rules[0].when.category, "network_outbound");
  EXPECT_EQ(rules[2].when.tool, "fetch");
  EXPECT_EQ(rules[2].when.risk, (RiskCondition{std::vector<std::string>{"high", "critical"}}));
}

TEST(Loader, AliasTakesTheLatestAnchorOfItsName) {
  const PolicyRule rule = only_rule(R"(
a: &name first
b: &name second
policies: [{name: *name, when: {}, action: deny}]
)");
  EXPECT_EQ(rule.name, "second");
}

TEST(Loader, AliasesInsideAnchoredNodesKeepTheirOwnTarget) {
  // The inner alias means the first `x`, even after `x` is redefined.
  const PolicyRule rule = only_rule(R"(
a: &x one
b: &outer [*x, two]
c: &x three
policies: [{name: a, when: {}, action: deny, params: [*outer, *x]}]
)");
  ASSERT_TRUE(rule.params.has_value());
  ASSERT_EQ(rule.params->items.size(), 2u);
  const YamlValue& outer = rule.params->items[0];
  ASSERT_EQ(outer.items.size(), 2u);
  EXPECT_EQ(outer.items[0].scalar, "one");
  EXPECT_EQ(rule.params->items[1].scalar, "three");
}

// A replayed node keeps the position where it is written (an anchored node starts at its anchor).
TEST(Loader, DuplicateKeyThroughAnAlias) {
  EXPECT_EQ(error_text("k: &k name\npolicies: [{name: a, *k : b}]\n"),
            R"(Parse(Error("policies[0]: duplicate field `name`", line: 1, column: 4)))");
}

// ---------------------------------------------------------------------------------------------
// Error rendering.

TEST(LoadErrorText, EscapesTheMessageAndOmitsAnUnknownPosition) {
  const LoadError with_position{LoadError::Kind::Parse, "a \"b\" \\ c\nd\te", 3, 7};
  EXPECT_EQ(load_error_text(with_position),
            R"(Parse(Error("a \"b\" \\ c\nd\te", line: 3, column: 7)))");
  const LoadError without{LoadError::Kind::Parse, "no position", std::nullopt, std::nullopt};
  EXPECT_EQ(load_error_text(without), R"(Parse(Error("no position")))");
  const LoadError control{LoadError::Kind::Parse, std::string("x\x01y\x7f", 4), std::nullopt,
                          std::nullopt};
  EXPECT_EQ(load_error_text(control), R"(Parse(Error("x\u{1}y\u{7f}")))");
  const LoadError io{LoadError::Kind::Io, "disk", std::nullopt, std::nullopt};
  EXPECT_EQ(load_error_text(io), R"(Io("disk"))");
}

TEST(LoadErrorText, UserTextInMessagesIsEscapedOnce) {
  EXPECT_EQ(
      error_text("policies: [{name: a, when: {}, action: \"de\\\\ny\\n\"}]"),
      R"(Parse(Error("policies[0].action: unknown variant `de\\ny\n`, expected one of `deny`, `escalate`, `halt`", line: 1, column: 40)))");
}

// ---------------------------------------------------------------------------------------------
// Bounds: nesting, alias expansion and large inputs of every shape. Each of these must finish
// promptly; the benchmark measures how promptly.

// A rule whose params hold `levels` nested flow sequences; the rule itself is three levels deep.
std::string rule_with_nested_params(std::size_t levels) {
  return "policies:\n  - name: a\n    when: {}\n    action: deny\n    params: " +
         repeat("[", levels) + repeat("]", levels) + "\n";
}

TEST(LoaderBounds, NestingUpToTheBoundLoads) {
  const PolicyRule rule = only_rule(rule_with_nested_params(kMaxNestingDepth - 3));
  std::size_t depth = 0;
  for (const YamlValue* v = &*rule.params; v->kind == YamlValue::Kind::Sequence;
       v = &v->items.front()) {
    ++depth;
    if (v->items.empty()) break;
  }
  EXPECT_EQ(depth, kMaxNestingDepth - 3);
}

TEST(LoaderBounds, OneLevelTooDeepFailsAtTheCollectionThatCrossesIt) {
  // "    params: " is 12 columns; the 126th `[` is the 129th level.
  EXPECT_EQ(error_text(rule_with_nested_params(kMaxNestingDepth - 2)),
            R"(Parse(Error("document nested deeper than 128 levels", line: 5, column: 138)))");
}

TEST(LoaderBounds, DeepFlowNestingFailsFast) {
  EXPECT_EQ(error_text(repeat("{", kMiB)),
            R"(Parse(Error("document nested deeper than 128 levels", line: 1, column: 129)))");
  EXPECT_EQ(error_text("x: " + repeat("[", kMiB)),
            R"(Parse(Error("document nested deeper than 128 levels", line: 1, column: 131)))");
  EXPECT_EQ(error_text("x: " + repeat("[{a: ", kMiB / 5)),
            R"(Parse(Error("document nested deeper than 128 levels", line: 1, column: 320)))");
}

TEST(LoaderBounds, DeepBlockNestingFailsFast) {
  std::string mappings;
  for (std::size_t i = 0; mappings.size() < kMiB; ++i) mappings += std::string(i, ' ') + "a:\n";
  EXPECT_EQ(error_text(mappings),
            R"(Parse(Error("document nested deeper than 128 levels", line: 129, column: 129)))");
  EXPECT_EQ(error_text("x:\n" + repeat("- ", kMiB / 2)),
            R"(Parse(Error("document nested deeper than 128 levels", line: 2, column: 255)))");
}

TEST(LoaderBounds, AliasesCannotCarryANodePastTheDepthBound) {
  const std::string yaml = "a: &a " + repeat("[", 100) + repeat("]", 100) +
                           "\nb: " + repeat("[", 50) + "*a" + repeat("]", 50) + "\npolicies: []\n";
  EXPECT_EQ(error_text(yaml),
            R"(Parse(Error("document nested deeper than 128 levels", line: 2, column: 54)))");
}

TEST(LoaderBounds, AliasBombIsRejected) {
  std::string yaml = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
  const std::string names = "abcdefghi";
  for (std::size_t i = 1; i < names.size(); ++i) {
    yaml += std::string(1, names[i]) + ": &" + names[i] + " [" +
            repeat(std::string("*") + names[i - 1] + ", ", 9) + "*" + names[i - 1] + "]\n";
  }
  yaml += "policies: []\n";
  // Each alias of line 5 adds 11111 nodes; its eighth carries the total past 100000.
  EXPECT_EQ(error_text(yaml),
            R"(Parse(Error("aliases expand to more than 100000 nodes", line: 5, column: 36)))");
}

TEST(LoaderBounds, AliasesOfLargeScalarsAreBoundedByBytes) {
  const std::string yaml =
      "a: &a " + std::string(1000, 'x') + "\npolicies: []\nb: [" + repeat("*a, ", 9000) + "]\n";
  // 8388 aliases of 1000 bytes fit; the next one is at column 5 + 4 * 8388.
  EXPECT_EQ(
      error_text(yaml),
      R"(Parse(Error("aliases expand to more than 8388608 bytes of scalars", line: 3, column: 33557)))");
}

TEST(LoaderBounds, ManyAliasesOfASmallNodeAreBoundedByNodes) {
  const std::string yaml = "a: &a [x]\npolicies: []\nb: [" + repeat("*a, ", kMiB / 4) + "]\n";
  // Each alias adds two nodes: the 50001st crosses the bound.
  EXPECT_EQ(error_text(yaml),
            R"(Parse(Error("aliases expand to more than 100000 nodes", line: 3, column: 200005)))");
}

std::string rules_document(std::size_t min_bytes) {
  std::string yaml = "policies:\n";
  for (std::size_t i = 0; yaml.size() < min_bytes; ++i) {
    const std::string n = std::to_string(i);
    yaml += "  - name: rule-" + n +
            "\n    when:\n      category: network_outbound\n      traced_to: external\n"
            "      risk: [high, critical]\n    action: deny\n    severity: critical\n"
            "    message: \"Blocked by rule " +
            n + "\"\n";
  }
  return yaml;
}

TEST(LoaderBounds, LargeDocumentsOfManyShapesLoad) {
  const std::vector<PolicyRule> rules = rules_of(rules_document(kMiB));
  ASSERT_GT(rules.size(), 5000u);
  EXPECT_EQ(rules.back().message, "Blocked by rule " + std::to_string(rules.size() - 1));

  const std::string bodies[] = {
      "x: \"" + std::string(kMiB, 'a') + "\"\n",      "x: " + repeat("word ", kMiB / 5) + "\n",
      "x: [" + repeat("a,", kMiB / 2) + "]\n",        "x:\n" + repeat("- a\n", kMiB / 4),
      "x: {" + repeat("k: v, ", kMiB / 6) + "}\n",    "x: [" + repeat("[], ", kMiB / 4) + "]\n",
      "x: &big [" + repeat("[], ", kMiB / 4) + "]\n", "x: [" + repeat("&a x, ", kMiB / 6) + "]\n",
      repeat("# comment line\n", kMiB / 15),
  };
  for (const std::string& body : bodies) EXPECT_TRUE(rules_of("policies: []\n" + body).empty());

  std::string keys = "policies: []\n";
  for (std::size_t i = 0; keys.size() < kMiB; ++i) keys += "key" + std::to_string(i) + ": v\n";
  EXPECT_TRUE(rules_of(keys).empty());
}

TEST(LoaderBounds, LargeDocumentsThatFailStillFailCleanly) {
  EXPECT_EQ(error_text(repeat("\n", kMiB)),
            R"(Parse(Error("EOF while parsing a value", line: 1048577, column: 1)))");
  EXPECT_EQ(
      error_text(repeat("---\n", kMiB / 4)),
      R"(Parse(Error("deserializing from YAML containing more than one document is not supported", line: 2, column: 1)))");
  EXPECT_EQ(error_text("policies: [" + repeat("{name: a, when: {}, action: deny}, ", kMiB / 36) +
                       "{name: b}]"),
            "Parse(Error(\"policies[" + std::to_string(kMiB / 36) +
                "]: missing field `when`\", line: 1, column: " +
                std::to_string(12 + 35 * (kMiB / 36)) + "))");
}

// An empty view may carry a null pointer; the YAML reader must never see one.
TEST(ParsePolicies, EmptyViewWithoutDataIsAnEmptyText) {
  auto result = parse_policies(std::string_view{});
  ASSERT_TRUE(std::holds_alternative<LoadError>(result));
  EXPECT_EQ(load_error_text(std::get<LoadError>(result)), R"(Parse(Error("EOF while parsing a value", line: 1, column: 1)))");
}

}  // namespace
}  // namespace korvel::policy
