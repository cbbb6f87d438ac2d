#include "graph/store.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <unordered_set>

namespace korvel::graph {

std::uint64_t system_clock_ms() {
  using namespace std::chrono;
  const auto since_epoch = system_clock::now().time_since_epoch();
  const auto ms = duration_cast<milliseconds>(since_epoch).count();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

EventStore::EventStore(Clock clock, util::HashSeed seed)
    : clock_(std::move(clock)), seed_(seed), first_child_of_unstored_(0, util::SeededIdHash{seed}) {}

EventId EventStore::insert(EventPayload payload, ParentList parents) {
  const EventId id = next_id_;
  if (next_id_ != std::numeric_limits<EventId>::max()) ++next_id_;  // saturates
  const std::uint64_t timestamp_ms = clock_();

  // The prefix names ids before this one only, so that children can be found by position.
  if (parents.prefix > events_.size()) {
    std::vector<EventId> ids;
    for (EventId extra = events_.size(); extra < parents.prefix; ++extra) ids.push_back(extra);
    ids.insert(ids.end(), parents.explicit_ids.begin(), parents.explicit_ids.end());
    parents.prefix = events_.size();
    parents.explicit_ids = std::move(ids);
  }

  // Only ids stored before this insertion are found, so the record never hashes itself.
  std::vector<Digest> explicit_digests;
  for (EventId parent : parents.explicit_ids)
    if (parent < digests_.size()) explicit_digests.push_back(digests_[parent]);
  const std::span<const Digest> runs[] = {
      std::span<const Digest>(digests_.data(), parents.prefix), explicit_digests};
  const Digest integrity = compute_integrity_runs(id, kSchemaVersion, timestamp_ms, payload, runs);

  edge_count_ += parents.size();
  EventRecord& record = events_.emplace_back(
      EventRecord{id, timestamp_ms, kSchemaVersion, std::move(parents), std::move(payload), integrity});
  digests_.push_back(integrity);
  index_children(record);
  return id;
}

EventId EventStore::insert(EventPayload payload, std::span<const std::pair<EventId, EdgeType>> edges) {
  ParentList parents;
  parents.explicit_ids.reserve(edges.size());
  for (const auto& [from, kind] : edges) parents.explicit_ids.push_back(from);
  return insert(std::move(payload), std::move(parents));
}

std::uint64_t EventStore::first_child(EventId id) const {
  if (id < first_child_.size()) return first_child_[id];
  auto it = first_child_of_unstored_.find(id);
  return it == first_child_of_unstored_.end() ? 0 : it->second;
}

void EventStore::index_children(const EventRecord& record) {
  // Children named while this id was not stored yet move to the dense index.
  auto pending = first_child_of_unstored_.find(record.id);
  first_child_.push_back(pending == first_child_of_unstored_.end() ? 0 : pending->second);
  if (pending != first_child_of_unstored_.end()) first_child_of_unstored_.erase(pending);

  const std::vector<EventId>& ids = record.parents.explicit_ids;
  constexpr std::size_t kLinearDedupLimit = 32;
  std::unordered_set<EventId, util::SeededIdHash> seen(0, util::SeededIdHash{seed_});
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const EventId parent = ids[i];
    if (parent < record.parents.prefix) continue;  // found through the prefix
    // A record that names a parent twice is one child.
    const bool repeated = ids.size() <= kLinearDedupLimit
                              ? std::find(ids.begin(), ids.begin() + i, parent) != ids.begin() + i
                              : !seen.insert(parent).second;
    if (repeated) continue;
    std::uint64_t& head = parent < first_child_.size() ? first_child_[parent] : first_child_of_unstored_[parent];
    links_.push_back(ChildLink{record.id, head});
    head = links_.size();
  }
}

const EventRecord* EventStore::get(EventId id) const {
  // Ids equal positions. (Only after 2^64 insertions, which no memory holds, could an id sit
  // elsewhere, once the counter has saturated.)
  if (id < events_.size() && events_[id].id == id) return &events_[id];
  return nullptr;
}

std::vector<EventId> EventStore::causal_chain(EventId id) const {
  std::vector<bool> seen_stored(events_.size());
  // Ids that name no stored event; the host chooses them, hence the keyed hash.
  std::unordered_set<EventId, util::SeededIdHash> seen_other(0, util::SeededIdHash{seed_});
  auto mark = [&](EventId x) {
    if (x < seen_stored.size()) {
      if (seen_stored[x]) return false;
      seen_stored[x] = true;
      return true;
    }
    return seen_other.insert(x).second;
  };

  std::vector<EventId> stack{id};
  std::uint64_t prefix_pushed = 0;  // ids [0, prefix_pushed) are already on the stack or seen
  while (!stack.empty()) {
    const EventId x = stack.back();
    stack.pop_back();
    if (!mark(x)) continue;
    const EventRecord* record = get(x);
    if (record == nullptr) continue;
    for (; prefix_pushed < record->parents.prefix; ++prefix_pushed) stack.push_back(prefix_pushed);
    stack.insert(stack.end(), record->parents.explicit_ids.begin(), record->parents.explicit_ids.end());
  }

  std::vector<EventId> chain;
  for (EventId x = 0; x < seen_stored.size(); ++x)
    if (seen_stored[x] && x != id) chain.push_back(x);
  std::vector<EventId> others(seen_other.begin(), seen_other.end());
  std::sort(others.begin(), others.end());
  for (EventId x : others)
    if (x != id) chain.push_back(x);  // every such id exceeds the stored ones
  return chain;
}

EdgeList::iterator::iterator(const EventStore* store, std::size_t record, std::uint64_t parent)
    : store_(store), record_(record), parent_(parent) {
  skip_empty_records();
}

void EdgeList::iterator::skip_empty_records() {
  const auto& events = store_->events();
  while (record_ < events.size() && parent_ >= events[record_].parents.size()) {
    ++record_;
    parent_ = 0;
  }
}

Edge EdgeList::iterator::operator*() const {
  const EventRecord& record = store_->events()[record_];
  return Edge{record.parents[parent_], record.id, EdgeType::DataFlow};
}

EdgeList::iterator& EdgeList::iterator::operator++() {
  ++parent_;
  skip_empty_records();
  return *this;
}

EdgeList::iterator EdgeList::begin() const { return iterator(store_, 0, 0); }
EdgeList::iterator EdgeList::end() const { return iterator(store_, store_->events().size(), 0); }
std::uint64_t EdgeList::size() const { return store_->edge_count(); }

}  // namespace korvel::graph
