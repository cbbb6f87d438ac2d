// Causal edges, held compactly.
//
// In a long session nearly every event derives from all events recorded before it. Stored as
// one id per parent that is n²/2 ids; here a record's parents are "the ids [0, prefix) in
// order, then `explicit_ids` in order", so that common shape costs one integer. The store's
// edge list is the concatenation of its records' parent lists and is offered as a view over
// them (`EdgeList`), never as a second copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::graph {

using EventId = std::uint64_t;

enum class EdgeType : std::uint8_t { DataFlow = 0 };

struct Edge {
  EventId from = 0;  // the event that was an input
  EventId to = 0;    // the event derived from it
  EdgeType kind = EdgeType::DataFlow;
  bool operator==(const Edge&) const = default;
};

// A record's parents: the ids 0, 1, ..., prefix - 1, then `explicit_ids`, duplicates kept.
struct ParentList {
  std::uint64_t prefix = 0;
  std::vector<EventId> explicit_ids;

  std::uint64_t size() const { return prefix + explicit_ids.size(); }
  bool empty() const { return size() == 0; }
  EventId operator[](std::uint64_t i) const { return i < prefix ? i : explicit_ids[i - prefix]; }
  std::vector<EventId> to_vector() const;

  template <typename F>
  void for_each(F&& f) const {
    for (EventId id = 0; id < prefix; ++id) f(id);
    for (EventId id : explicit_ids) f(id);
  }
};

}  // namespace korvel::graph
