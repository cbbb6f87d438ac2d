// The tool registry: the risk level and optional category of every tool the host registered.
// Names compare byte for byte. Keyed with a per-registry random seed; nothing iterates it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "util/seeded_hash.h"

namespace korvel::policy {

enum class RiskLevel : std::uint8_t { Low = 0, Medium = 1, High = 2, Critical = 3 };

// "low", "medium", "high", "critical".
std::string_view risk_name(RiskLevel risk);

// "low", "high" and "critical" with ASCII letters in any case; everything else is medium.
RiskLevel risk_from_str(std::string_view text);

struct ToolInfo {
  std::optional<std::string> category;
  RiskLevel risk = RiskLevel::Medium;
  bool operator==(const ToolInfo&) const = default;
};

class ToolRegistry {
 public:
  ToolRegistry();
  explicit ToolRegistry(util::HashSeed seed);

  // Stores the entry, replacing any earlier entry of that name whole.
  void register_tool(std::string name, ToolInfo info);
  bool contains(std::string_view name) const;
  // A copy of the entry; risk medium and no category for a name not registered.
  ToolInfo get(std::string_view name) const;
  // The entry itself, or null; for the evaluator, which must not copy on the hot path.
  const ToolInfo* find(std::string_view name) const;

 private:
  std::unordered_map<std::string, ToolInfo, util::SeededStringHash, std::equal_to<>> tools_;
};

}  // namespace korvel::policy
