#include "graph/edges.h"

#include <gtest/gtest.h>

namespace korvel::graph {
namespace {

TEST(ParentList, ReadsAsThePrefixThenTheExplicitIds) {
  const ParentList parents{3, {7, 1, 7}};
  EXPECT_EQ(parents.size(), 6u);
  EXPECT_EQ(parents.to_vector(), (std::vector<EventId>{0, 1, 2, 7, 1, 7}));
  EXPECT_EQ(parents[4], 1u);
  EXPECT_TRUE(ParentList{}.empty());
}

}  // namespace
}  // namespace korvel::graph
