// Threads through the C interface: the last-error slot belongs to its thread, and concurrent
// calls on one handle are serialised into one consistent session. Also run under
// ThreadSanitizer.
#include "korvel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

struct EngineDeleter {
  void operator()(KorvelEngine* engine) const { korvel_engine_free(engine); }
};
using Engine = std::unique_ptr<KorvelEngine, EngineDeleter>;

// The calling thread's message, taken out of the slot; empty when there was none.
std::string take_message() {
  char* ptr = nullptr;
  std::uint64_t len = 0;
  if (korvel_last_error(&ptr, &len) != KORVEL_OK) return {};
  std::string message(ptr, len);
  korvel_free_string(ptr, len);
  return message;
}

constexpr std::string_view kInvalidArgument = R"({"error":"invalid argument"})";
constexpr std::string_view kInvalidTrustLevel = R"({"error":"invalid trust_level"})";
constexpr std::string_view kRateLimited =
    R"j({"allowed":false,"reason":"Tool call rate limit exceeded (30/min)","rule_id":"korvel.default.rate-limit"})j";

TEST(LastErrorSlot, BelongsToTheThreadThatStoredIt) {
  Engine engine(korvel_engine_new());
  std::uint64_t id = 0;
  ASSERT_EQ(korvel_ingest(nullptr, "x", 1, 0, nullptr, 0, &id), KORVEL_ERROR);

  std::string seen_by_other;
  std::string other_own;
  std::thread other([&] {
    seen_by_other = take_message();
    std::uint64_t other_id = 0;
    korvel_ingest(engine.get(), "x", 1, 9, nullptr, 0, &other_id);
    other_own = take_message();
  });
  other.join();

  EXPECT_EQ(seen_by_other, "");
  EXPECT_EQ(other_own, kInvalidTrustLevel);
  EXPECT_EQ(take_message(), kInvalidArgument);
}

// Eight threads share one handle and mix every kind of call. Every event id is handed out
// exactly once, labels set by a thread are seen by it, and each thread reads only its own
// decisions from its slot.
TEST(SharedHandle, ConcurrentCallsFormOneConsistentSession) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  Engine engine(korvel_engine_new());
  ASSERT_EQ(korvel_register_tool(engine.get(), "t", 1, R"({"risk":"low"})", 14), KORVEL_OK);

  struct Seen {
    std::vector<std::uint64_t> ingested;
    std::vector<std::uint64_t> proposed;
    std::vector<std::uint64_t> results;
    int label_misses = 0;
    int unexpected_statuses = 0;
    int foreign_messages = 0;
  };
  std::vector<Seen> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Seen& mine = seen[t];
      const std::string label = "thread-" + std::to_string(t);
      const std::string yaml = "policies:\n  - name: never-" + std::to_string(t) +
                               "\n    when: {tool: never}\n    action: deny\n";
      for (int round = 0; round < kRounds; ++round) {
        std::uint64_t id = 0;
        std::uint32_t trust = static_cast<std::uint32_t>((t + round) % 5);
        if (korvel_ingest(engine.get(), "content", 7, trust, R"({"channel":"c"})", 15, &id) != KORVEL_OK)
          ++mine.unexpected_statuses;
        mine.ingested.push_back(id);

        std::int32_t traced = 0;
        if (korvel_set_label(engine.get(), id, label.data(), label.size()) != KORVEL_OK ||
            korvel_is_traced(engine.get(), id, label.data(), label.size(), &traced) != KORVEL_OK || traced != 1)
          ++mine.label_misses;

        if (korvel_load_policies_yaml(engine.get(), yaml.data(), yaml.size()) != KORVEL_OK)
          ++mine.unexpected_statuses;

        std::int32_t status = korvel_propose(engine.get(), "t", 1, "{}", 2, nullptr, 0, nullptr, 0, &id);
        mine.proposed.push_back(id);
        std::string message = take_message();
        std::uint64_t call = id;
        // Past 30 proposals a minute the rate limit denies; nothing else may decide.
        if (status == KORVEL_OK) {
          if (!message.empty()) ++mine.foreign_messages;
        } else if (status == KORVEL_DENIED) {
          if (message != kRateLimited) ++mine.foreign_messages;
        } else {
          ++mine.unexpected_statuses;
        }

        // A clean output: scanned by the shared patterns, labelled nothing.
        if (korvel_record_result(engine.get(), call, "ok", 2, 0, &id) != KORVEL_OK) ++mine.unexpected_statuses;
        mine.results.push_back(id);

        char* json = nullptr;
        std::uint64_t len = 0;
        if (korvel_explain(engine.get(), id, &json, &len) != KORVEL_OK) ++mine.unexpected_statuses;
        else korvel_free_string(json, len);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<std::uint64_t> all;
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE("thread " + std::to_string(t));
    EXPECT_EQ(seen[t].label_misses, 0);
    EXPECT_EQ(seen[t].unexpected_statuses, 0);
    EXPECT_EQ(seen[t].foreign_messages, 0);
    // A thread's own events come in the order it recorded them.
    EXPECT_TRUE(std::is_sorted(seen[t].ingested.begin(), seen[t].ingested.end()));
    all.insert(all.end(), seen[t].ingested.begin(), seen[t].ingested.end());
    all.insert(all.end(), seen[t].proposed.begin(), seen[t].proposed.end());
    all.insert(all.end(), seen[t].results.begin(), seen[t].results.end());
  }
  std::sort(all.begin(), all.end());
  const std::uint64_t total = std::uint64_t{kThreads} * kRounds * 3;
  ASSERT_EQ(all.size(), total);
  for (std::uint64_t i = 0; i < total; ++i) ASSERT_EQ(all[i], i) << "ids must be 0..N-1, each once";

  // Labels stay where they were set, after all threads are done.
  for (int t = 0; t < kThreads; ++t) {
    const std::string label = "thread-" + std::to_string(t);
    for (std::uint64_t id : seen[t].ingested) {
      std::int32_t traced = 0;
      ASSERT_EQ(korvel_is_traced(engine.get(), id, label.data(), label.size(), &traced), KORVEL_OK);
      EXPECT_EQ(traced, 1) << label << " on event " << id;
    }
  }
  std::uint64_t next = 0;
  ASSERT_EQ(korvel_ingest(engine.get(), "x", 1, 0, nullptr, 0, &next), KORVEL_OK);
  EXPECT_EQ(next, total);
}

}  // namespace
