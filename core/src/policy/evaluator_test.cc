#include "policy/evaluator.h"

#include <gtest/gtest.h>

#include <functional>

#include "policy/defaults.h"
#include "policy/loader.h"

namespace korvel::policy {
namespace {

using graph::EventId;

// A session built by hand: events recorded the way the engine records them, every event
// deriving from all earlier ones.
struct Session {
  std::uint64_t now = 10'000'000;
  graph::Clock clock = [this] { return now; };
  graph::EventStore store{clock};
  trace::TraceIndex trace;
  ToolRegistry tools;
  SessionIndex session;

  EventId add(graph::EventPayload payload, std::string_view label = {}) {
    const EventId id = store.insert(std::move(payload), graph::ParentList{session.events().size(), {}});
    if (!label.empty()) {
      const std::string_view labels[] = {label};
      trace.set(id, labels);
    }
    trace.propagate_from(id, store);
    session.add(*store.get(id));
    return id;
  }
  EventId ingest(std::uint8_t trust, std::string_view label = {}) {
    return add(graph::ContentIngested{"", "", {}, 0, trust}, label);
  }
  void tool(std::string name, RiskLevel risk, std::optional<std::string> category = std::nullopt) {
    tools.register_tool(std::move(name), ToolInfo{std::move(category), risk});
  }
  Verdict propose(std::string_view tool_name, const std::vector<PolicyRule>& rules) {
    const EventId id = add(graph::ToolCallProposed{std::string(tool_name), {}, 0, {}, ""});
    return evaluate(EvaluationInput{rules, id, tool_name, store, trace, tools, session, {}, std::nullopt, clock});
  }
};

std::vector<PolicyRule> rules_from(std::string_view yaml) {
  auto parsed = parse_policies(yaml);
  if (auto* error = std::get_if<LoadError>(&parsed)) ADD_FAILURE() << load_error_text(*error);
  auto* rules = std::get_if<std::vector<PolicyRule>>(&parsed);
  return rules ? *rules : std::vector<PolicyRule>{};
}

std::vector<PolicyRule> defaults_then(std::string_view yaml) {
  auto rules = default_rules();
  for (auto& r : rules_from(yaml)) rules.push_back(std::move(r));
  return rules;
}

Verdict deny(std::string rule, std::string reason) { return Verdict{std::move(reason), std::move(rule), Outcome::Deny}; }
Verdict escalate(std::string rule, std::string reason) {
  return Verdict{std::move(reason), std::move(rule), Outcome::Escalate};
}
const Verdict kAllow{};

struct Case {
  const char* what;
  std::string yaml;  // rules, after the built-in ones when `with_defaults`
  bool with_defaults;
  std::function<void(Session&)> setup;  // registers tools, records earlier events
  std::string tool;
  Verdict expected;
};

const std::string kNetworkRules = "policies:\n  - {name: esc, when: {tool: net}, action: escalate}\n";

const Case kCases[] = {
    {"unregistered tool is denied before any rule", "policies:\n  - {name: e, when: {}, action: escalate}\n",
     false, [](Session&) {}, "nope", deny("korvel.builtin.unregistered-tool", "Tool 'nope' is not registered")},
    {"unregistered with no rules at all", "policies: []", false, [](Session&) {}, "",
     deny("korvel.builtin.unregistered-tool", "Tool '' is not registered")},
    {"registered, nothing fires: allow", "policies: []", true, [](Session& s) { s.tool("t", RiskLevel::Low); }, "t",
     kAllow},
    {"empty when escalates with the default reason", "policies:\n  - {name: any, when: {}, action: escalate}\n", true,
     [](Session& s) { s.tool("t", RiskLevel::Low); }, "t", escalate("any", "Rule any triggered")},
    {"the earlier of two firing rules decides",
     "policies:\n  - {name: first, when: {}, action: halt, message: m1}\n  - {name: second, when: {}, action: escalate}\n",
     false, [](Session& s) { s.tool("t", RiskLevel::Low); }, "t", deny("first", "m1")},
    {"a loaded rule cannot pre-empt a built-in one", kNetworkRules, true,
     [](Session& s) {
       s.tool("net", RiskLevel::Low, "network_outbound");
       s.ingest(3, "external");
     },
     "net",
     deny("korvel.default.external-trace-containment",
          "Outbound network action blocked: data traces to external source")},
    {"tool name must match exactly", "policies:\n  - {name: r, when: {tool: T}, action: deny}\n", false,
     [](Session& s) { s.tool("t", RiskLevel::Low); }, "t", kAllow},
    {"a tool without category fails every category test",
     "policies:\n  - {name: r, when: {category: ''}, action: deny}\n", false,
     [](Session& s) { s.tool("t", RiskLevel::Low); }, "t", kAllow},
    {"risk list matches the registered risk", "policies:\n  - {name: r, when: {risk: [low, high]}, action: deny}\n",
     false, [](Session& s) { s.tool("t", RiskLevel::High); }, "t", deny("r", "Rule r triggered")},
    {"risk names are lower case", "policies:\n  - {name: r, when: {risk: High}, action: deny}\n", false,
     [](Session& s) { s.tool("t", RiskLevel::High); }, "t", kAllow},
    {"an empty risk list never matches", "policies:\n  - {name: r, when: {risk: []}, action: deny}\n", false,
     [](Session& s) { s.tool("t", RiskLevel::High); }, "t", kAllow},
    {"traced_to asks the proposal's own labels",
     "policies:\n  - {name: r, when: {traced_to: local_sensitive}, action: deny}\n", false,
     [](Session& s) {
       s.tool("t", RiskLevel::Low);
       s.ingest(2, "local_sensitive");
     },
     "t", deny("r", "Rule r triggered")},
    {"agent_failures_in_window never fires",
     "policies:\n  - {name: r, when: {agent_failures_in_window: {count: 0, window_minutes: 5}}, action: deny}\n",
     false, [](Session& s) { s.tool("t", RiskLevel::Low); }, "t", kAllow},
    {"agent_id is not consulted", "policies:\n  - {name: r, when: {agent_id: someone}, action: deny}\n", false,
     [](Session& s) { s.tool("t", RiskLevel::Low); }, "t", deny("r", "Rule r triggered")},
    {"count 0 fires on the first call, which counts itself",
     "policies:\n  - {name: r, when: {calls_in_window: {count: 0, window_minutes: 1}}, action: deny}\n", false,
     [](Session& s) { s.tool("t", RiskLevel::Low); }, "t", deny("r", "Rule r triggered")},
    {"window of 0 minutes counts only calls stamped now",
     "policies:\n  - {name: r, when: {calls_in_window: {count: 1, window_minutes: 0}}, action: deny}\n", false,
     [](Session& s) {
       s.tool("t", RiskLevel::Low);
       s.propose("t", {});
       s.now += 1;
       s.propose("t", {});
     },
     "t", deny("r", "Rule r triggered")},
    {"window of 0 minutes ignores a call one millisecond old",
     "policies:\n  - {name: r, when: {calls_in_window: {count: 1, window_minutes: 0}}, action: deny}\n", false,
     [](Session& s) {
       s.tool("t", RiskLevel::Low);
       s.propose("t", {});
       s.now += 1;
     },
     "t", kAllow},
    {"the largest window reaches back to the epoch",
     "policies:\n  - {name: r, when: {calls_in_window: {count: 1, window_minutes: 4294967295}}, action: deny}\n",
     false,
     [](Session& s) {
       s.tool("t", RiskLevel::Low);
       s.propose("t", {});
       s.now = 1;
     },
     "t", deny("r", "Rule r triggered")},
    {"requires with only approval_from never fires",
     "policies:\n  - {name: r, when: {}, requires: {approval_from: boss}, action: deny}\n", false,
     [](Session& s) { s.tool("t", RiskLevel::Low); }, "t", kAllow},
    {"requires with an empty list fires",
     "policies:\n  - {name: r, when: {}, requires: {session_has_input_from: []}, action: deny}\n", false,
     [](Session& s) {
       s.tool("t", RiskLevel::Low);
       s.ingest(2);
     },
     "t", deny("r", "Rule r triggered")},
    {"requires met by a matching trust level",
     "policies:\n  - {name: r, when: {}, requires: {session_has_input_from: [operator]}, action: deny}\n", false,
     [](Session& s) {
       s.tool("t", RiskLevel::Low);
       s.ingest(1);
     },
     "t", kAllow},
    {"high-risk gating: system and external input do not count", "policies: []", true,
     [](Session& s) {
       s.tool("t", RiskLevel::Critical, "files");
       s.ingest(0);
       s.ingest(3, "external");
     },
     "t", deny("korvel.default.high-risk-gating", "High-risk tool requires recorded user input in session")},
    {"high-risk gating: user input satisfies it", "policies: []", true,
     [](Session& s) {
       s.tool("t", RiskLevel::High, "files");
       s.ingest(2);
     },
     "t", kAllow},
};

class EvaluatorTable : public ::testing::TestWithParam<Case> {};

TEST_P(EvaluatorTable, GivesTheExpectedVerdict) {
  const Case& c = GetParam();
  Session s;
  c.setup(s);
  const auto rules = c.with_defaults ? defaults_then(c.yaml) : rules_from(c.yaml);
  EXPECT_EQ(s.propose(c.tool, rules), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, EvaluatorTable, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name;
  for (char ch : std::string(info.param.what)) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

// Each built-in rule, by the smallest session that makes it fire, and the same session less the
// one thing that makes it fire.
struct BuiltInCase {
  const char* rule;
  const char* reason;
  std::function<void(Session&)> fires;
  std::function<void(Session&)> does_not;
};

void network_tool(Session& s) { s.tool("t", RiskLevel::Low, "network_outbound"); }

const BuiltInCase kBuiltIns[] = {
    {"korvel.default.external-trace-containment", "Outbound network action blocked: data traces to external source",
     [](Session& s) { network_tool(s); s.ingest(3, "external"); },
     [](Session& s) { s.tool("t", RiskLevel::Low, "network"); s.ingest(3, "external"); }},
    {"korvel.default.local-sensitive-containment",
     "Outbound network action blocked: data traces to local sensitive source",
     [](Session& s) { network_tool(s); s.ingest(2, "local_sensitive"); },
     [](Session& s) { network_tool(s); s.ingest(2, "Local_sensitive"); }},
    {"korvel.default.credential-exposure-block", "Outbound action blocked: data contains detected credentials",
     [](Session& s) { network_tool(s); s.ingest(2, "injected"); }, [](Session& s) { network_tool(s); s.ingest(2); }},
    {"korvel.default.tainted-data-block", "Action blocked: data contains detected sensitive content (credentials, PII)",
     [](Session& s) { s.tool("t", RiskLevel::Low); s.ingest(2, "injected"); },
     [](Session& s) { s.tool("t", RiskLevel::Low); s.ingest(2, "injecte"); }},
    {"korvel.default.high-risk-gating", "High-risk tool requires recorded user input in session",
     [](Session& s) { s.tool("t", RiskLevel::High); s.ingest(0); },
     [](Session& s) { s.tool("t", RiskLevel::Medium); s.ingest(0); }},
    {"korvel.default.rate-limit", "Tool call rate limit exceeded (30/min)",
     [](Session& s) {
       s.tool("t", RiskLevel::Low);
       for (int i = 0; i < 30; ++i) {
         s.propose("t", default_rules());
         s.now += 2000;  // the 31st call is 60 s after the first: still inside
       }
     },
     [](Session& s) {
       s.tool("t", RiskLevel::Low);
       for (int i = 0; i < 30; ++i) {
         s.propose("t", default_rules());
         s.now += 2100;  // the first call falls out of the window
       }
     }},
};

class BuiltInRules : public ::testing::TestWithParam<BuiltInCase> {};

TEST_P(BuiltInRules, FireOnTheirSessionAndNotWithoutIt) {
  const BuiltInCase& c = GetParam();
  Session firing;
  c.fires(firing);
  EXPECT_EQ(firing.propose("t", default_rules()), deny(c.rule, c.reason));
  Session quiet;
  c.does_not(quiet);
  EXPECT_EQ(quiet.propose("t", default_rules()), kAllow);
}

INSTANTIATE_TEST_SUITE_P(Defaults, BuiltInRules, ::testing::ValuesIn(kBuiltIns), [](const auto& info) {
  std::string name;
  for (char ch : std::string(info.param.rule).substr(15)) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

TEST(EvaluatorDatalogStage, RunsOnlyWhenNoRuleFiredAndReadsScalarParams) {
  Session s;
  s.tool("t", RiskLevel::Low);
  const EventId id = s.add(graph::ToolCallProposed{"t", {}, 0, {}, ""});
  using datalog::Term;
  using datalog::Value;
  const std::vector<datalog::DatalogRule> rules{
      {{"deny", {Term::Var("A"), Term::Const(Value::Str("no-url")), Term::Const(Value::Str("has url"))}},
       {{"param", {Term::Var("A"), Term::Const(Value::Str("url")), Term::Var("U")}}}}};
  auto run = [&](std::string_view params, const std::vector<PolicyRule>& yaml) {
    return evaluate(EvaluationInput{yaml, id, "t", s.store, s.trace, s.tools, s.session, rules, params, s.clock});
  };
  EXPECT_EQ(run(R"({"url":"x"})", {}), deny("no-url", "has url"));
  EXPECT_EQ(run(R"({"url":null})", {}), kAllow);
  EXPECT_EQ(run("not json", {}), kAllow);
  EXPECT_EQ(run(R"({"url":1})", rules_from("policies:\n  - {name: y, when: {}, action: escalate}\n")),
            escalate("y", "Rule y triggered"));
}

}  // namespace
}  // namespace korvel::policy
