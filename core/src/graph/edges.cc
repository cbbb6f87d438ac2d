#include "graph/edges.h"

namespace korvel::graph {

std::vector<EventId> ParentList::to_vector() const {
  std::vector<EventId> ids;
  ids.reserve(size());
  for_each([&](EventId id) { ids.push_back(id); });
  return ids;
}

bool same_ids(const ParentList& a, const ParentList& b) {
  if (a.size() != b.size()) return false;
  for (std::uint64_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace korvel::graph
