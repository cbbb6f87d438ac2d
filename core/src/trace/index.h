// The trace index: the provenance labels of every event, with labels carried along derivation.
//
// Labels are texts compared byte for byte (the empty text is a label). Each distinct text is
// interned once as a small integer, so a label set is a short sorted vector and unions are
// merges. Queries are hash lookups and never walk the graph. Propagation runs on an explicit
// worklist (no recursion, so chains of any length are safe) and yields exactly the sets that
// the recursive depth-first procedure "pull from parents, push to children on change" yields.
// Parents named through a record's prefix are summed in O(labels) by remembering, per label,
// the smallest id that holds it. Not thread-safe: the engine's lock serialises access.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph/store.h"
#include "util/seeded_hash.h"

namespace korvel::trace {

using graph::EventId;

class TraceIndex {
 public:
  TraceIndex();
  explicit TraceIndex(util::HashSeed seed);

  // Replaces the event's whole label set; returns whether the stored set changed. An empty set
  // removes the entry.
  bool set(EventId id, std::span<const std::string_view> labels);
  // Adds labels to the event's set, creating it if needed; an empty set creates nothing.
  void merge_into(EventId id, std::span<const std::string_view> labels);
  // Recomputes the event's set from its own and its parents' labels and passes any change on
  // to the events derived from it.
  void propagate_from(EventId id, const graph::EventStore& store);

  bool is_traced_to(EventId id, std::string_view label) const;
  // A copy of the event's labels (empty when it has none), in no particular order.
  std::vector<std::string> trace_set(EventId id) const;
  bool has_labels(EventId id) const { return sets_.contains(id); }

 private:
  using LabelId = std::uint32_t;
  using LabelSet = std::vector<LabelId>;  // sorted, no repeats, never empty when stored

  LabelId intern(std::string_view text);
  LabelSet intern_all(std::span<const std::string_view> labels);
  const LabelSet* find(EventId id) const;
  void store_set(EventId id, LabelSet labels);
  void note_holder(LabelId label, EventId id);
  void forget_holder(LabelId label, EventId id);
  void add_labels(EventId id, const LabelSet& added);
  // The labels of the event's parents that the event lacks, sorted.
  LabelSet missing_from_parents(EventId id, const graph::EventStore& store) const;

  util::HashSeed seed_;
  std::deque<std::string> texts_;  // by LabelId; a deque keeps the views below valid
  std::unordered_map<std::string_view, LabelId, util::SeededStringHash, std::equal_to<>> ids_;
  std::unordered_map<EventId, LabelSet, util::SeededIdHash> sets_;
  // The smallest id holding each label, and the same as an ordered set, so that the labels of
  // all ids below k are the entries whose holder is below k.
  std::vector<EventId> min_holder_;
  std::set<std::pair<EventId, LabelId>> by_holder_;
};

}  // namespace korvel::trace
