#include "graph/store.h"

#include <gtest/gtest.h>

#include <random>

#include "graph/literal_graph_for_test.h"

namespace korvel::graph {
namespace {

EventPayload content(std::uint8_t trust = 2) { return ContentIngested{"", "", blake3_digest(""), 0, trust}; }

struct StoreFixture : ::testing::Test {
  std::uint64_t now = 1000;
  EventStore store{[this] { return now++; }};
  EventId add(std::vector<EventId> explicit_ids, std::uint64_t prefix = 0) {
    return store.insert(content(), ParentList{prefix, std::move(explicit_ids)});
  }
};

TEST_F(StoreFixture, IdsCountFromZeroAndRecordsKeepWhatWasPassed) {
  EXPECT_EQ(add({}), 0u);
  EXPECT_EQ(add({0, 0, 99}), 1u);
  const EventRecord* r = store.get(1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->id, 1u);
  EXPECT_EQ(r->timestamp_ms, 1001u);
  EXPECT_EQ(r->schema_version, 1u);
  EXPECT_EQ(r->parents.to_vector(), (std::vector<EventId>{0, 0, 99}));
  EXPECT_EQ(store.get(2), nullptr);
  EXPECT_EQ(store.next_id(), 2u);
  EXPECT_EQ(store.edge_count(), 3u);
}

TEST_F(StoreFixture, DigestCoversStoredParentsOnlyAndRepeatsCount) {
  add({});
  const Digest d0 = store.get(0)->integrity;
  add({0, 7, 0});  // 7 is not stored: it contributes nothing
  const EventRecord* r = store.get(1);
  const std::vector<Digest> expected{d0, d0};
  EXPECT_EQ(r->integrity, compute_integrity(1, 1, r->timestamp_ms, r->payload, expected));
}

TEST_F(StoreFixture, SelfAndLaterIdsAreNeverFoundWhileHashing) {
  add({0, 1});
  const EventRecord* r = store.get(0);
  EXPECT_EQ(r->integrity, compute_integrity(0, 1, r->timestamp_ms, r->payload, {}));
}

TEST_F(StoreFixture, PrefixBeyondTheStoredEventsKeepsItsIds) {
  add({});
  add({5}, 3);  // names 0, 1 (itself), 2, then 5
  EXPECT_EQ(store.get(1)->parents.to_vector(), (std::vector<EventId>{0, 1, 2, 5}));
  const std::vector<Digest> expected{store.get(0)->integrity};
  EXPECT_EQ(store.get(1)->integrity,
            compute_integrity(1, 1, store.get(1)->timestamp_ms, store.get(1)->payload, expected));
}

TEST(SystemClock, ReadsMillisecondsSinceTheEpoch) {
  EXPECT_GT(system_clock_ms(), 1'600'000'000'000u);  // after 2020
}

struct ChainCase {
  const char* what;
  std::vector<std::vector<EventId>> parents;  // explicit parents by event
  EventId of;
  std::vector<EventId> chain;
};

class CausalChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(CausalChain, ListsEveryAncestorOnceAscending) {
  EventStore store([] { return 0; });
  for (const auto& p : GetParam().parents) store.insert(content(), ParentList{0, p});
  EXPECT_EQ(store.causal_chain(GetParam().of), GetParam().chain);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CausalChain,
    ::testing::Values(ChainCase{"unknown id", {{}}, 9, {}}, ChainCase{"no parents", {{}}, 0, {}},
                      ChainCase{"diamond", {{}, {0}, {0}, {1, 2}}, 3, {0, 1, 2}},
                      ChainCase{"unstored ancestor listed", {{}, {0, 42}, {1}}, 2, {0, 1, 42}},
                      ChainCase{"cycle back to start", {{1}, {0}}, 0, {1}},
                      ChainCase{"duplicates", {{}, {0, 0}}, 1, {0}}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name)
        if (c == ' ') c = '_';
      return name;
    });

TEST(CausalChainLong, MillionEventChainNeedsNoDeepStack) {
  EventStore store([] { return 0; });
  constexpr EventId kLength = 1'000'000;
  store.insert(content(), ParentList{});
  for (EventId id = 1; id < kLength; ++id) store.insert(content(), ParentList{0, {id - 1}});
  EXPECT_EQ(store.causal_chain(kLength - 1).size(), kLength - 1);
}

// The compact store against the literal one on seeded random graphs with repeats, unknown ids,
// later ids and cycles: parents, edge list, digests and causal chains all agree.
TEST(StoreAgainstLiteral, RandomGraphsAgree) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    EventStore store([] { return 5; });
    testing::LiteralStore literal;
    std::vector<Digest> digests;
    const EventId n = 20 + rng() % 40;
    for (EventId id = 0; id < n; ++id) {
      ParentList parents = testing::random_parents(rng, id);
      const std::vector<EventId> expanded = parents.to_vector();
      ASSERT_EQ(store.insert(content(), parents), literal.insert(expanded));
      std::vector<Digest> found;
      for (EventId p : expanded)
        if (p < digests.size()) found.push_back(digests[p]);
      const EventRecord& r = *store.get(id);
      ASSERT_EQ(r.parents.to_vector(), expanded);
      ASSERT_EQ(r.integrity, compute_integrity(id, 1, 5, r.payload, found));
      digests.push_back(r.integrity);
    }
    std::vector<Edge> edges(store.edges().begin(), store.edges().end());
    EXPECT_EQ(edges, literal.edges);
    EXPECT_EQ(store.edges().size(), literal.edges.size());
    for (EventId id = 0; id < n + 5; ++id) EXPECT_EQ(store.causal_chain(id), literal.causal_chain(id)) << id;
    EXPECT_EQ(store.causal_chain(1000001), literal.causal_chain(1000001));
  }
}

}  // namespace
}  // namespace korvel::graph
