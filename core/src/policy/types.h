// The policy document schema: what a YAML policy text may hold once it has been read.
// Plain values; rules are immutable once loaded.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvel::policy {

// A generic YAML value, for `params`, which is kept as parsed and read by nothing.
struct YamlValue {
  enum class Kind : std::uint8_t { Null, Scalar, Sequence, Mapping };
  Kind kind = Kind::Null;
  std::string scalar;                                        // Scalar: the text as written
  std::vector<YamlValue> items;                              // Sequence
  std::vector<std::pair<YamlValue, YamlValue>> entries;      // Mapping, in document order
  bool operator==(const YamlValue&) const = default;
};

struct WindowCount {
  std::uint32_t count = 0;
  std::uint32_t window_minutes = 0;
  bool operator==(const WindowCount&) const = default;
};

// Either one risk name or a list of them.
using RiskCondition = std::variant<std::string, std::vector<std::string>>;

struct WhenConditions {
  std::optional<std::string> tool;
  std::optional<std::string> category;
  std::optional<std::string> traced_to;
  std::optional<RiskCondition> risk;
  std::optional<std::string> agent_id;
  std::optional<WindowCount> calls_in_window;
  std::optional<WindowCount> agent_failures_in_window;
  bool operator==(const WhenConditions&) const = default;
};

struct RequiresConditions {
  std::optional<std::vector<std::string>> session_has_input_from;
  std::optional<std::string> approval_from;
  bool operator==(const RequiresConditions&) const = default;
};

enum class PolicyAction : std::uint8_t { Deny, Escalate, Halt };

// "Rule {} triggered" filled with the rule's name: the reason of a firing rule, YAML or Datalog,
// that gives no message of its own.
inline std::string rule_triggered(std::string_view rule) {
  std::string reason("Rule ");
  reason.append(rule).append(" triggered");
  return reason;
}

// The result kind of an evaluation, a Datalog verdict and a decision.
enum class Outcome : std::uint8_t { Allow = 0, Deny = 1, Escalate = 2 };

struct PolicyRule {
  std::string name;
  std::optional<std::string> description;
  WhenConditions when;
  PolicyAction action = PolicyAction::Deny;
  std::optional<std::string> severity;
  std::optional<std::string> message;
  std::optional<RequiresConditions> requires_;  // the YAML key is `requires`
  std::optional<YamlValue> params;
  bool operator==(const PolicyRule&) const = default;
};

struct PolicyDoc {
  std::vector<PolicyRule> policies;
};

// The loader's error. `Io` exists for completeness; nothing in this library produces it.
struct LoadError {
  enum class Kind : std::uint8_t { Parse, Io };
  Kind kind = Kind::Parse;
  std::string message;              // with its path prefix, e.g. "policies[0]: missing field `action`"
  std::optional<std::uint64_t> line;    // 1-based, when known
  std::optional<std::uint64_t> column;  // 1-based, when known
  bool operator==(const LoadError&) const = default;
};

}  // namespace korvel::policy
