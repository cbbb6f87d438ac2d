#include "policy/evaluator.h"

#include <algorithm>
#include <type_traits>
#include <variant>

#include "util/json.h"

namespace korvel::policy {
namespace {

constexpr std::uint64_t kMinuteMs = 60'000;
constexpr std::string_view kTrustNames[] = {"system", "operator", "user", "external", "unknown"};


Verdict unregistered(std::string_view tool) {
  // "Tool '{}' is not registered", built by appending (g++ 12 warns falsely on replace here).
  std::string reason("Tool '");
  reason.append(tool).append("' is not registered");
  return Verdict{std::move(reason), std::string(kUnregisteredToolRule), Outcome::Deny};
}

Verdict fired(const PolicyRule& rule) {
  Verdict verdict;
  verdict.reason = rule.message ? *rule.message : rule_triggered(rule.name);
  verdict.rule_id = rule.name;
  verdict.outcome = rule.action == PolicyAction::Escalate ? Outcome::Escalate : Outcome::Deny;
  return verdict;
}

bool risk_matches(const RiskCondition& condition, std::string_view risk) {
  if (const auto* one = std::get_if<std::string>(&condition)) return *one == risk;
  const auto& names = std::get<std::vector<std::string>>(condition);
  return std::find(names.begin(), names.end(), risk) != names.end();
}

bool calls_exceed(const WindowCount& window, const SessionIndex& session, std::uint64_t now) {
  if (session.events().empty()) return false;
  const std::uint64_t span = std::uint64_t{window.window_minutes} * kMinuteMs;  // no overflow in 64 bits
  const std::uint64_t cutoff = span > now ? 0 : now - span;
  return session.proposals_since(cutoff) > window.count;
}

// Whether the rule's `requires` leaves it free to fire.
bool requirement_missing(const std::optional<RequiresConditions>& requires_, const SessionIndex& session) {
  if (!requires_) return true;
  if (!requires_->session_has_input_from) return false;  // counts as met
  const auto& names = *requires_->session_has_input_from;
  if (session.events().empty() || names.empty()) return true;
  return !session.has_input_from(names);
}

struct ToolFacts {
  std::string_view risk;
  const std::optional<std::string>& category;
};

bool rule_fires(const PolicyRule& rule, const EvaluationInput& in, const ToolFacts& tool, std::uint64_t now) {
  const WhenConditions& when = rule.when;
  if (when.tool && *when.tool != in.tool) return false;
  if (when.category && (!tool.category || *tool.category != *when.category)) return false;
  if (when.traced_to && !in.trace.is_traced_to(in.event_id, *when.traced_to)) return false;
  if (when.risk && !risk_matches(*when.risk, tool.risk)) return false;
  if (when.calls_in_window && !calls_exceed(*when.calls_in_window, in.session, now)) return false;
  if (when.agent_failures_in_window) return false;  // no failure count is kept: never fires
  return requirement_missing(rule.requires_, in.session);
}

std::optional<Verdict> datalog_stage(const EvaluationInput& in) {
  if (in.datalog_rules.empty()) return std::nullopt;
  datalog::DatalogBuiltins builtins{in.params ? util::json::scalar_members(*in.params)
                                              : std::vector<std::pair<std::string, std::string>>{},
                                    in.tool, in.store, in.trace, in.event_id};
  auto verdict = datalog::evaluate_datalog(in.datalog_rules, builtins);
  if (!verdict) return std::nullopt;
  return Verdict{std::move(verdict->message), std::move(verdict->rule), verdict->outcome};
}

}  // namespace

std::string_view trust_level_name(std::uint8_t level) {
  return level < std::size(kTrustNames) ? kTrustNames[level] : std::string_view{};
}

void SessionIndex::add(const graph::EventRecord& record) {
  events_.push_back(record.id);
  std::visit(
      [&](const auto& payload) {
        using Kind = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<Kind, graph::ToolCallProposed>) {
          // Appending is the usual case; a clock that stepped back inserts in place.
          auto at = std::upper_bound(proposal_times_.begin(), proposal_times_.end(), record.timestamp_ms);
          proposal_times_.insert(at, record.timestamp_ms);
        } else if constexpr (std::is_same_v<Kind, graph::ContentIngested>) {
          if (payload.trust_level < trust_seen_.size()) trust_seen_[payload.trust_level] = true;
        }
      },
      record.payload);
}

std::uint64_t SessionIndex::proposals_since(std::uint64_t cutoff_ms) const {
  auto first = std::lower_bound(proposal_times_.begin(), proposal_times_.end(), cutoff_ms);
  return static_cast<std::uint64_t>(proposal_times_.end() - first);
}

bool SessionIndex::has_input_from(std::span<const std::string> names) const {
  for (std::size_t level = 0; level < trust_seen_.size(); ++level)
    if (trust_seen_[level] && std::find(names.begin(), names.end(), kTrustNames[level]) != names.end())
      return true;
  return false;
}

Verdict evaluate(const EvaluationInput& in) {
  const ToolInfo* info = in.tools.find(in.tool);
  if (info == nullptr) return unregistered(in.tool);
  const ToolFacts tool{risk_name(info->risk), info->category};
  const std::uint64_t now = in.clock();
  for (const PolicyRule& rule : in.rules)
    if (rule_fires(rule, in, tool, now)) return fired(rule);
  if (auto verdict = datalog_stage(in)) return *verdict;
  return Verdict{};
}

}  // namespace korvel::policy
