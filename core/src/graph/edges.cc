#include "graph/edges.h"

namespace korvel::graph {

std::vector<EventId> ParentList::to_vector() const {
  std::vector<EventId> ids;
  ids.reserve(size());
  for_each([&](EventId id) { ids.push_back(id); });
  return ids;
}

}  // namespace korvel::graph
