// The policy loader: one YAML text in, the rules of its single document out, or the error.
//
// The text is the host's and may be hostile, so reading it is bounded: nesting depth, alias
// expansion and the work per byte are all capped (constants below); no input can overflow the
// stack, take unbounded memory or time. Pure: no state survives a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "policy/types.h"

namespace korvel::policy {

// Collections may nest this deep (the root collection is level 1); one level more is an error.
inline constexpr std::size_t kMaxNestingDepth = 128;
// Nodes and scalar bytes that aliases may add to the document, counted as if every alias were
// replaced by a copy of its anchored node.
inline constexpr std::uint64_t kMaxAliasNodes = 100'000;
inline constexpr std::uint64_t kMaxAliasBytes = 8u << 20;

using ParseResult = std::variant<std::vector<PolicyRule>, LoadError>;

// The `policies` list of the one document in `bytes`, in document order; on any problem the
// first one found, and no rule at all. Never throws.
ParseResult parse_policies(std::string_view bytes);

// `Parse(Error("<path>: <message>", line: L, column: C))`, the position part only when known.
std::string load_error_text(const LoadError& error);

}  // namespace korvel::policy
