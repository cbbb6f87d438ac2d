// The six built-in rules that every engine evaluates first, in their fixed order.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "policy/types.h"

namespace korvel::policy {

// The rules of the six built-in documents, parsed afresh on every call (nothing is shared
// between engines). A document that failed to parse would be left out silently; none does.
std::vector<PolicyRule> default_rules();

// The six documents' texts, in order.
std::span<const std::string_view> default_documents();

}  // namespace korvel::policy
