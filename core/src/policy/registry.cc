#include "policy/registry.h"

#include <array>
#include <cstddef>
#include <utility>

namespace korvel::policy {
namespace {

constexpr std::array<std::string_view, 4> kRiskNames = {"low", "medium", "high", "critical"};

// `lower` is lower case; only the ASCII letters A to Z of `text` fold to it.
bool equals_folding_ascii(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char folded = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (folded != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view risk_name(RiskLevel risk) {
  const auto index = static_cast<std::size_t>(risk);
  // A value outside the four levels can only come from a bad cast; it reads as the default.
  return index < kRiskNames.size() ? kRiskNames[index] : kRiskNames[1];
}

RiskLevel risk_from_str(std::string_view text) {
  for (const RiskLevel level : {RiskLevel::Low, RiskLevel::High, RiskLevel::Critical}) {
    if (equals_folding_ascii(text, risk_name(level))) return level;
  }
  return RiskLevel::Medium;
}

ToolRegistry::ToolRegistry() : ToolRegistry(util::random_seed()) {}

ToolRegistry::ToolRegistry(util::HashSeed seed) : tools_(0, util::SeededStringHash{seed}) {}

void ToolRegistry::register_tool(std::string name, ToolInfo info) {
  tools_.insert_or_assign(std::move(name), std::move(info));
}

bool ToolRegistry::contains(std::string_view name) const { return find(name) != nullptr; }

ToolInfo ToolRegistry::get(std::string_view name) const {
  const ToolInfo* info = find(name);
  return info != nullptr ? *info : ToolInfo{};
}

const ToolInfo* ToolRegistry::find(std::string_view name) const {
  const auto found = tools_.find(name);
  return found != tools_.end() ? &found->second : nullptr;
}

}  // namespace korvel::policy
