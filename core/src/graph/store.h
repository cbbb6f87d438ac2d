// The append-only event store: records in insertion order (a record's id is its position),
// their causal edges, and the causal chain of an event.
//
// Guarantees: ids are handed out from 0 in insertion order; records never change or move once
// stored (references stay valid for the store's life); `get` of a stored id is O(1); insertion
// costs one BLAKE3 pass over the record and its parents' digests, and the digests of all
// stored events are kept as one contiguous run so that the usual "every earlier event" parent
// list is hashed in a single update. Not thread-safe: the engine's lock serialises access.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph/edges.h"
#include "graph/event.h"
#include "util/seeded_hash.h"

namespace korvel::graph {

// Milliseconds since the Unix epoch; 0 for a clock that reads earlier than the epoch.
using Clock = std::function<std::uint64_t()>;
std::uint64_t system_clock_ms();

class EventStore;

// The store's edges in insertion order: each record's parents, record by record.
class EdgeList {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Edge;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Edge;

    Edge operator*() const;
    iterator& operator++();
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const {
      return record_ == other.record_ && parent_ == other.parent_;
    }

   private:
    friend class EdgeList;
    iterator(const EventStore* store, std::size_t record, std::uint64_t parent);
    void skip_empty_records();
    const EventStore* store_;
    std::size_t record_;
    std::uint64_t parent_;
  };

  explicit EdgeList(const EventStore& store) : store_(&store) {}
  iterator begin() const;
  iterator end() const;
  std::uint64_t size() const;

 private:
  const EventStore* store_;
};

class EventStore {
 public:
  explicit EventStore(Clock clock = system_clock_ms, util::HashSeed seed = util::random_seed());

  // Appends one record whose parents are `parents` (all DataFlow edges) and returns its id.
  // Parent ids need not be stored; those that are not contribute no digest.
  EventId insert(EventPayload payload, ParentList parents);
  // The same, with the edges listed one by one.
  EventId insert(EventPayload payload, std::span<const std::pair<EventId, EdgeType>> edges);

  const EventRecord* get(EventId id) const;

  // Every ancestor of the event, ascending, without the event itself. Iterative: no depth limit.
  std::vector<EventId> causal_chain(EventId id) const;

  const std::deque<EventRecord>& events() const { return events_; }
  EdgeList edges() const { return EdgeList(*this); }
  std::uint64_t edge_count() const { return edge_count_; }
  EventId next_id() const { return next_id_; }

  // Calls f(child) for each stored event that names `id` explicitly among its parents (each
  // record once), leaving out those that name it through their prefix: those are the records
  // after `id` whose prefix exceeds it. In no particular order.
  template <typename F>
  void for_each_explicit_child(EventId id, F&& f) const {
    for (std::uint64_t link = first_child(id); link != 0; link = links_[link - 1].next) f(links_[link - 1].child);
  }

 private:
  // Children named explicitly, as linked lists in one arena: a link's `next` is the index + 1
  // of the following link, 0 ending the list.
  struct ChildLink {
    EventId child;
    std::uint64_t next;
  };
  std::uint64_t first_child(EventId id) const;
  void index_children(const EventRecord& record);

  Clock clock_;
  util::HashSeed seed_;
  std::deque<EventRecord> events_;
  std::vector<Digest> digests_;  // digests_[i] == events_[i].integrity, contiguous
  std::vector<ChildLink> links_;
  std::vector<std::uint64_t> first_child_;  // by stored id
  std::unordered_map<EventId, std::uint64_t, util::SeededIdHash> first_child_of_unstored_;
  std::uint64_t edge_count_ = 0;
  EventId next_id_ = 0;
};

}  // namespace korvel::graph
