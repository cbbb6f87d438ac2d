#include "trace/index.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "graph/literal_graph_for_test.h"

namespace korvel::trace {
namespace {

using graph::ParentList;
using Labels = std::vector<std::string_view>;

graph::EventPayload payload() { return graph::ToolCallProposed{}; }

std::set<std::string> labels_of(const TraceIndex& index, EventId id) {
  auto list = index.trace_set(id);
  return {list.begin(), list.end()};
}

struct TraceFixture : ::testing::Test {
  graph::EventStore store{[] { return 0; }};
  TraceIndex index;
  EventId add(ParentList parents) { return store.insert(payload(), std::move(parents)); }
};

TEST_F(TraceFixture, SetReportsChangesAndNeverKeepsAnEmptySet) {
  EXPECT_FALSE(index.set(0, Labels{}));
  EXPECT_FALSE(index.has_labels(0));
  EXPECT_TRUE(index.set(0, Labels{"a", "b"}));
  EXPECT_FALSE(index.set(0, Labels{"b", "a", "b"}));  // same set, other order
  EXPECT_TRUE(index.set(0, Labels{"a"}));
  EXPECT_TRUE(index.set(0, Labels{}));
  EXPECT_FALSE(index.has_labels(0));
  EXPECT_TRUE(labels_of(index, 0).empty());
}

TEST_F(TraceFixture, MergeAddsAndComparisonIsExact) {
  index.merge_into(3, Labels{});
  EXPECT_FALSE(index.has_labels(3));
  index.merge_into(3, Labels{"Secret", ""});
  index.merge_into(3, Labels{"Secret"});
  EXPECT_EQ(labels_of(index, 3), (std::set<std::string>{"", "Secret"}));
  EXPECT_TRUE(index.is_traced_to(3, ""));
  EXPECT_FALSE(index.is_traced_to(3, "secret"));
  EXPECT_FALSE(index.is_traced_to(4, "Secret"));
  EXPECT_FALSE(index.is_traced_to(3, "never seen"));
}

TEST_F(TraceFixture, LabelsReachGrandchildrenThroughUnlabelledChildren) {
  add({});
  add({0, {0}});
  add({0, {1}});
  index.set(2, Labels{"mine"});
  index.merge_into(0, Labels{"x"});
  // Event 0's own set is unchanged by propagation, so nothing is pushed: derived events keep
  // what they had.
  index.propagate_from(0, store);
  EXPECT_FALSE(index.is_traced_to(1, "x"));
  // Pulling into 1 changes it, and the change reaches 2.
  index.propagate_from(1, store);
  EXPECT_EQ(labels_of(index, 2), (std::set<std::string>{"mine", "x"}));
}

TEST_F(TraceFixture, EveryEarlierEventPrefixPullsAllTheirLabels) {
  add({});
  add({});
  index.set(0, Labels{"external"});
  index.set(1, Labels{"injected"});
  add({2, {}});
  index.propagate_from(2, store);
  EXPECT_EQ(labels_of(index, 2), (std::set<std::string>{"external", "injected"}));
}

TEST_F(TraceFixture, TwoEventsThatNameEachOtherEndWithBothLabels) {
  add({0, {1}});
  add({0, {0}});
  index.set(0, Labels{"a"});
  index.set(1, Labels{"b"});
  index.propagate_from(0, store);
  EXPECT_EQ(labels_of(index, 0), (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(labels_of(index, 1), (std::set<std::string>{"a", "b"}));
}

TEST_F(TraceFixture, MillionEventChainPropagatesWithoutDeepStack) {
  constexpr EventId kLength = 1'000'000;
  add({});
  for (EventId id = 1; id < kLength; ++id) add({0, {id - 1}});
  index.set(0, Labels{"seed"});
  index.merge_into(1, Labels{"other"});
  index.propagate_from(1, store);
  EXPECT_TRUE(index.is_traced_to(kLength - 1, "seed"));
}

// The index against the literal recursive procedure on seeded random graphs and operation
// sequences shaped like the engine's: insert then set/propagate, labels set on any id, later
// ids and cycles.
TEST(TraceAgainstLiteral, RandomSessionsAgree) {
  const std::vector<std::string> pool{"external", "injected", "", "a", "B"};
  for (std::uint64_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    graph::EventStore store([] { return 0; });
    testing::LiteralStore literal_store;
    TraceIndex index;
    testing::LiteralTrace literal;
    auto pick = [&] {
      std::set<std::string> s;
      for (auto n = rng() % 3; n > 0; --n) s.insert(pool[rng() % pool.size()]);
      return s;
    };
    auto views = [](const std::set<std::string>& s) { return std::vector<std::string_view>(s.begin(), s.end()); };
    const EventId n = 10 + rng() % 30;
    for (EventId id = 0; id < n; ++id) {
      ParentList parents = testing::random_parents(rng, id);
      literal_store.insert(parents.to_vector());
      store.insert(payload(), parents);
      if (rng() % 3 == 0) {
        auto s = pick();
        index.set(id, views(s));
        literal.set(id, s);
      }
      index.propagate_from(id, store);
      literal.propagate_from(id, literal_store);
      if (rng() % 3 == 0) {  // a label set on an earlier, current or later id
        const EventId target = rng() % (id + 4);
        auto s = pick();
        index.merge_into(target, views(s));
        literal.merge_into(target, s);
        index.propagate_from(target, store);
        literal.propagate_from(target, literal_store);
      }
    }
    for (EventId id = 0; id < n + 5; ++id) ASSERT_EQ(labels_of(index, id), literal.get(id)) << "id " << id;
  }
}

}  // namespace
}  // namespace korvel::trace
