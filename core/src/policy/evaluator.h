// The policy evaluator: judges one proposed tool call.
//
// An unregistered tool is denied outright; otherwise the rules are tried in order and the first
// that fires decides; then the Datalog rules, if any; otherwise the call is allowed. Reads its
// inputs and the clock, changes nothing, never fails. The window and session-input tests read
// a `SessionIndex` kept beside the session's event list, so each costs a binary search or a
// flag test instead of a pass over the whole session.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/store.h"
#include "policy/datalog.h"
#include "policy/registry.h"
#include "policy/types.h"
#include "trace/index.h"

namespace korvel::policy {

inline constexpr std::string_view kUnregisteredToolRule = "korvel.builtin.unregistered-tool";

struct Verdict {
  std::string reason;
  std::optional<std::string> rule_id;
  Outcome outcome = Outcome::Allow;
  bool operator==(const Verdict&) const = default;
};

// "system", "operator", "user", "external", "unknown" for the levels 0 to 4.
std::string_view trust_level_name(std::uint8_t level);

// The session's events in recording order, with what the evaluator asks of them kept current.
class SessionIndex {
 public:
  // Appends a stored event of the session.
  void add(const graph::EventRecord& record);

  const std::vector<graph::EventId>& events() const { return events_; }
  // The number of proposals in the session stamped at or after `cutoff_ms`.
  std::uint64_t proposals_since(std::uint64_t cutoff_ms) const;
  // Whether the session holds ingested content of a trust level named in `names`.
  bool has_input_from(std::span<const std::string> names) const;

 private:
  std::vector<graph::EventId> events_;
  // Kept sorted: the clock may step backwards, and a window count must stay exact then too.
  std::vector<std::uint64_t> proposal_times_;
  std::array<bool, 5> trust_seen_{};
};

struct EvaluationInput {
  std::span<const PolicyRule> rules;
  graph::EventId event_id = 0;
  std::string_view tool;
  const graph::EventStore& store;
  const trace::TraceIndex& trace;
  const ToolRegistry& tools;
  const SessionIndex& session;
  std::span<const datalog::DatalogRule> datalog_rules;  // empty: no Datalog stage
  std::optional<std::string_view> params;
  const graph::Clock& clock;
};

Verdict evaluate(const EvaluationInput& input);

}  // namespace korvel::policy
