// Test support: the store's and the trace index's algorithms written out literally, one edge
// and one label text at a time, to check the compact structures against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "graph/edges.h"

namespace korvel::testing {

using graph::Edge;
using graph::EventId;

struct LiteralStore {
  std::vector<std::vector<EventId>> parents;  // by id
  std::vector<Edge> edges;

  EventId insert(const std::vector<EventId>& from) {
    const EventId id = parents.size();
    for (EventId f : from) edges.push_back(Edge{f, id, graph::EdgeType::DataFlow});
    parents.push_back(from);
    return id;
  }

  bool stored(EventId id) const { return id < parents.size(); }

  std::vector<EventId> causal_chain(EventId id) const {
    std::set<EventId> visited;
    std::vector<EventId> stack{id};
    while (!stack.empty()) {
      EventId x = stack.back();
      stack.pop_back();
      if (!visited.insert(x).second) continue;
      if (stored(x))
        for (EventId p : parents[x]) stack.push_back(p);
    }
    visited.erase(id);
    return {visited.begin(), visited.end()};
  }
};

struct LiteralTrace {
  std::map<EventId, std::set<std::string>> sets;

  bool set(EventId id, const std::set<std::string>& labels) {
    auto it = sets.find(id);
    const std::set<std::string> current = it == sets.end() ? std::set<std::string>{} : it->second;
    bool changed = current != labels;
    if (labels.empty()) sets.erase(id);
    else sets[id] = labels;
    return changed;
  }

  void merge_into(EventId id, const std::set<std::string>& labels) {
    if (labels.empty()) return;
    sets[id].insert(labels.begin(), labels.end());
  }

  // Recursive, scanning the whole edge list twice, exactly as the procedure reads.
  void propagate_from(EventId id, const LiteralStore& store) {
    std::set<std::string> next;
    if (auto it = sets.find(id); it != sets.end()) next = it->second;
    for (const Edge& e : store.edges)
      if (e.to == id)
        if (auto it = sets.find(e.from); it != sets.end()) next.insert(it->second.begin(), it->second.end());
    if (!set(id, next)) return;
    for (const Edge& e : store.edges)
      if (e.from == id) propagate_from(e.to, store);
  }

  std::set<std::string> get(EventId id) const {
    auto it = sets.find(id);
    return it == sets.end() ? std::set<std::string>{} : it->second;
  }
};

// Parents for event `id` of a random graph: sometimes "every earlier event", sometimes a random
// prefix, plus explicit ids that include repeats, ids not stored yet (cycles) and unknown ids.
inline graph::ParentList random_parents(std::mt19937_64& rng, EventId id) {
  graph::ParentList parents;
  const auto roll = rng() % 4;
  if (roll == 0) parents.prefix = id;
  else if (roll == 1 && id > 0) parents.prefix = rng() % (id + 1);
  const auto extra = rng() % 4;
  for (std::uint64_t i = 0; i < extra; ++i) {
    const auto kind = rng() % 8;
    if (kind == 0) parents.explicit_ids.push_back(id + 1 + rng() % 4);  // a later id
    else if (kind == 1) parents.explicit_ids.push_back(1000000 + rng() % 3);  // never stored
    else if (kind == 2 && !parents.explicit_ids.empty()) parents.explicit_ids.push_back(parents.explicit_ids.back());
    else parents.explicit_ids.push_back(rng() % (id + 1));  // includes the event itself
  }
  return parents;
}

}  // namespace korvel::testing
