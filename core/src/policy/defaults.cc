#include "policy/defaults.h"

#include <array>
#include <string_view>
#include <variant>

#include "policy/loader.h"

namespace korvel::policy {
namespace {

// One rule per document. Each text starts with an empty line and ends with a newline.
constexpr std::array<std::string_view, 6> kDefaultDocuments = {
    R"yaml(
policies:
  - name: korvel.default.external-trace-containment
    when:
      category: network_outbound
      traced_to: external
    action: deny
    severity: critical
    message: "Outbound network action blocked: data traces to external source"
)yaml",
    R"yaml(
policies:
  - name: korvel.default.local-sensitive-containment
    when:
      category: network_outbound
      traced_to: local_sensitive
    action: deny
    severity: critical
    message: "Outbound network action blocked: data traces to local sensitive source"
)yaml",
    R"yaml(
policies:
  - name: korvel.default.credential-exposure-block
    when:
      category: network_outbound
      traced_to: injected
    action: deny
    severity: critical
    message: "Outbound action blocked: data contains detected credentials"
)yaml",
    R"yaml(
policies:
  - name: korvel.default.tainted-data-block
    when:
      traced_to: injected
    action: deny
    severity: critical
    message: "Action blocked: data contains detected sensitive content (credentials, PII)"
)yaml",
    R"yaml(
policies:
  - name: korvel.default.high-risk-gating
    when:
      risk: [high, critical]
    requires:
      session_has_input_from: [user, operator]
    action: deny
    severity: high
    message: "High-risk tool requires recorded user input in session"
)yaml",
    R"yaml(
policies:
  - name: korvel.default.rate-limit
    when:
      calls_in_window:
        count: 30
        window_minutes: 1
    action: deny
    severity: medium
    message: "Tool call rate limit exceeded (30/min)"
)yaml",
};

}  // namespace

std::span<const std::string_view> default_documents() { return kDefaultDocuments; }

std::vector<PolicyRule> default_rules() {
  std::vector<PolicyRule> rules;
  for (const std::string_view document : kDefaultDocuments) {
    ParseResult parsed = parse_policies(document);
    if (auto* loaded = std::get_if<std::vector<PolicyRule>>(&parsed)) {
      for (PolicyRule& rule : *loaded) rules.push_back(std::move(rule));
    }
  }
  return rules;
}

}  // namespace korvel::policy
