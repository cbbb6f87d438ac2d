#include "graph/event.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel::graph {
namespace {

std::string hex(const Digest& d) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : d) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TEST(Blake3Binding, OfficialVectors) {
  EXPECT_EQ(hex(blake3_digest("")), "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(hex(blake3_digest(std::string(1, '\0'))),
            "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213");
}

void append(std::string& out, std::initializer_list<int> bytes) {
  for (int b : bytes) out += static_cast<char>(b);
}

TEST(ComputeIntegrity, WorkedLayoutOfSeventyFiveBytes) {
  const Digest content = blake3_digest("hello");
  std::string bytes;
  append(bytes, {7, 0, 0, 0, 0, 0, 0, 0});   // id
  append(bytes, {1, 0, 0, 0});               // schema version
  append(bytes, {2, 1, 0, 0, 0, 0, 0, 0});   // time stamp 258
  append(bytes, {1});                        // tag
  append(bytes, {4, 0, 0, 0, 'c', 'h', 'a', 't'});
  append(bytes, {5, 0, 0, 0, 'a', 'g', 'e', 'n', 't'});
  bytes.append(reinterpret_cast<const char*>(content.data()), content.size());
  append(bytes, {5, 0, 0, 0});  // content length
  append(bytes, {3});           // trust level
  ASSERT_EQ(bytes.size(), 75u);

  const EventPayload payload = ContentIngested{"chat", "agent", content, 5, 3};
  EXPECT_EQ(compute_integrity(7, 1, 258, payload, {}), blake3_digest(bytes));
}

// The encodings of the other two kinds, built by hand.
TEST(ComputeIntegrity, ProposalAndResultLayouts) {
  const Digest d = blake3_digest("x");
  auto header = [](int tag) {
    std::string b;
    append(b, {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, tag});
    return b;
  };
  auto digest_bytes = [&] { return std::string(reinterpret_cast<const char*>(d.data()), d.size()); };

  std::string proposal = header(2);
  append(proposal, {2, 0, 0, 0, 'g', 'o'});
  proposal += digest_bytes();
  append(proposal, {3, 0, 0, 0});
  append(proposal, {1, 0, 0, 0, 'a', 2, 0, 0, 0, 'b', 'c'});  // keys, no count
  append(proposal, {0, 0, 0, 0});                             // empty note
  EXPECT_EQ(compute_integrity(1, 1, 9, ToolCallProposed{"go", d, 3, {"a", "bc"}, ""}, {}),
            blake3_digest(proposal));

  std::string result = header(3);
  append(result, {0, 0, 0, 0});
  result += digest_bytes();
  append(result, {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff});
  EXPECT_EQ(compute_integrity(1, 1, 9, ToolResultRecorded{"", d, 4, 0, 0xffffffffu}, {}),
            blake3_digest(result));
}

TEST(ComputeIntegrity, ParentDigestsAreAppendedInOrderAndRunsAreOneString) {
  const EventPayload payload = ToolCallProposed{};
  const Digest a = blake3_digest("a"), b = blake3_digest("b");
  const std::vector<Digest> flat{a, b, a};
  const std::span<const Digest> runs[] = {std::span(flat).first(1), std::span(flat).subspan(1)};
  EXPECT_EQ(compute_integrity_runs(3, 1, 4, payload, runs), compute_integrity(3, 1, 4, payload, flat));
  EXPECT_NE(compute_integrity(3, 1, 4, payload, std::vector<Digest>{a, b}),
            compute_integrity(3, 1, 4, payload, std::vector<Digest>{b, a}));
  EXPECT_NE(compute_integrity(3, 1, 4, payload, std::vector<Digest>{a}),
            compute_integrity(3, 1, 4, payload, std::vector<Digest>{a, a}));
}

TEST(SaturatedLen, StopsAtTheLargestThirtyTwoBitValue) {
  EXPECT_EQ(saturated_len(0), 0u);
  EXPECT_EQ(saturated_len(4294967295u), 4294967295u);
  EXPECT_EQ(saturated_len(std::size_t{1} << 40), 4294967295u);
}

}  // namespace
}  // namespace korvel::graph
