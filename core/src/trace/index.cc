#include "trace/index.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <unordered_set>

namespace korvel::trace {
namespace {

constexpr EventId kNoHolder = std::numeric_limits<EventId>::max();

}  // namespace

TraceIndex::TraceIndex() : TraceIndex(util::random_seed()) {}

TraceIndex::TraceIndex(util::HashSeed seed)
    : seed_(seed), ids_(0, util::SeededStringHash{seed}), sets_(0, util::SeededIdHash{seed}) {}

TraceIndex::LabelId TraceIndex::intern(std::string_view text) {
  if (auto it = ids_.find(text); it != ids_.end()) return it->second;
  const auto id = static_cast<LabelId>(texts_.size());
  const std::string& stored = texts_.emplace_back(text);
  ids_.emplace(stored, id);
  min_holder_.push_back(kNoHolder);
  return id;
}

TraceIndex::LabelSet TraceIndex::intern_all(std::span<const std::string_view> labels) {
  LabelSet set;
  set.reserve(labels.size());
  for (std::string_view text : labels) set.push_back(intern(text));
  std::sort(set.begin(), set.end());
  set.erase(std::unique(set.begin(), set.end()), set.end());
  return set;
}

const TraceIndex::LabelSet* TraceIndex::find(EventId id) const {
  auto it = sets_.find(id);
  return it == sets_.end() ? nullptr : &it->second;
}

void TraceIndex::note_holder(LabelId label, EventId id) {
  EventId& holder = min_holder_[label];
  if (id >= holder) return;
  if (holder != kNoHolder) by_holder_.erase({holder, label});
  holder = id;
  by_holder_.insert({holder, label});
}

// Only `set` removes labels, and only ever from a single event; rescanning is rare.
void TraceIndex::forget_holder(LabelId label, EventId id) {
  EventId& holder = min_holder_[label];
  if (holder != id) return;
  by_holder_.erase({holder, label});
  holder = kNoHolder;
  for (const auto& [other, set] : sets_)
    if (other != id && other < holder && std::binary_search(set.begin(), set.end(), label)) holder = other;
  if (holder != kNoHolder) by_holder_.insert({holder, label});
}

void TraceIndex::store_set(EventId id, LabelSet labels) {
  const LabelSet* old = find(id);
  if (old != nullptr) {
    LabelSet removed;
    std::set_difference(old->begin(), old->end(), labels.begin(), labels.end(), std::back_inserter(removed));
    for (LabelId label : removed) forget_holder(label, id);
  }
  for (LabelId label : labels) note_holder(label, id);
  if (labels.empty()) sets_.erase(id);
  else sets_.insert_or_assign(id, std::move(labels));
}

bool TraceIndex::set(EventId id, std::span<const std::string_view> labels) {
  LabelSet next = intern_all(labels);
  const LabelSet* current = find(id);
  const bool changed = current == nullptr ? !next.empty() : *current != next;
  if (changed) store_set(id, std::move(next));
  return changed;
}

void TraceIndex::merge_into(EventId id, std::span<const std::string_view> labels) {
  if (labels.empty()) return;
  add_labels(id, intern_all(labels));
}

// In place: adding one label to a large set costs a search and a move, not a copy.
void TraceIndex::add_labels(EventId id, const LabelSet& added) {
  LabelSet& set = sets_[id];
  for (LabelId label : added) {
    auto at = std::lower_bound(set.begin(), set.end(), label);
    if (at != set.end() && *at == label) continue;
    set.insert(at, label);
    note_holder(label, id);
  }
}

TraceIndex::LabelSet TraceIndex::missing_from_parents(EventId id, const graph::EventStore& store) const {
  const graph::EventRecord* record = store.get(id);
  if (record == nullptr) return {};  // no record, no edges into it
  const LabelSet* own = find(id);
  LabelSet missing;
  auto consider = [&](LabelId label) {
    if (own == nullptr || !std::binary_search(own->begin(), own->end(), label)) missing.push_back(label);
  };
  // Every id below the prefix is a parent: their labels are those whose smallest holder is below it.
  for (auto it = by_holder_.begin(); it != by_holder_.end() && it->first < record->parents.prefix; ++it)
    consider(it->second);
  for (EventId parent : record->parents.explicit_ids)
    if (const LabelSet* theirs = find(parent))
      for (LabelId label : *theirs) consider(label);
  std::sort(missing.begin(), missing.end());
  missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
  return missing;
}

// Every event whose parent set grew must be recomputed afterwards. Explicit children go on a
// worklist; children through a prefix are all records after the changed event whose prefix
// exceeds it, so they are swept in id order from `sweep_from`, taking those whose prefix
// exceeds the smallest id changed so far. Recomputing an event whose parents did not change
// since its last recomputation changes nothing, so the sweep may revisit events freely; the
// result is the same fixpoint that the depth-first procedure reaches.
void TraceIndex::propagate_from(EventId start, const graph::EventStore& store) {
  const auto& events = store.events();
  std::vector<EventId> work{start};
  std::unordered_set<EventId, util::SeededIdHash> queued(0, util::SeededIdHash{seed_});
  queued.insert(start);
  EventId min_changed = kNoHolder;
  std::size_t sweep_from = events.size();

  auto recompute = [&](EventId id) {
    const LabelSet missing = missing_from_parents(id, store);
    if (missing.empty()) return;
    add_labels(id, missing);
    store.for_each_explicit_child(id, [&](EventId child) {
      if (queued.insert(child).second) work.push_back(child);
    });
    if (id < events.size()) {
      min_changed = std::min(min_changed, id);
      sweep_from = std::min<std::size_t>(sweep_from, id + 1);
    }
  };

  while (true) {
    if (!work.empty()) {
      const EventId id = work.back();
      work.pop_back();
      queued.erase(id);
      recompute(id);
    } else if (sweep_from < events.size()) {
      const std::size_t pos = sweep_from++;
      if (events[pos].parents.prefix > min_changed) recompute(events[pos].id);
    } else {
      break;
    }
  }
}

bool TraceIndex::is_traced_to(EventId id, std::string_view label) const {
  auto label_id = ids_.find(label);
  if (label_id == ids_.end()) return false;
  const LabelSet* set = find(id);
  return set != nullptr && std::binary_search(set->begin(), set->end(), label_id->second);
}

std::vector<std::string> TraceIndex::trace_set(EventId id) const {
  std::vector<std::string> labels;
  if (const LabelSet* set = find(id))
    for (LabelId label : *set) labels.push_back(texts_[label]);
  return labels;
}

}  // namespace korvel::trace
