#include "engine.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace korvel {
namespace {

using graph::ParentList;

struct Told {
  std::string what;
  EventId id;
  bool operator==(const Told&) const = default;
};

// Records what it is told, and what the engine's labels were at that moment.
class RecordingSink final : public EventSink {
 public:
  explicit RecordingSink(std::vector<Told>& log) : log_(log) {}
  void event_recorded(const graph::EventRecord& record) override { log_.push_back({"event", record.id}); }
  void content_recorded(EventId id, ContentKind kind, std::string_view bytes) override {
    log_.push_back({"content" + std::to_string(int(kind)) + ":" + std::string(bytes), id});
  }

 private:
  std::vector<Told>& log_;
};

struct ManualClock {
  std::uint64_t now = 1'000'000;
  graph::Clock clock() {
    return [this] { return now; };
  }
};

Engine engine_in(EdgeMode mode) { return Engine(mode); }

std::vector<EventId> parents(const Engine& e, EventId id) { return e.store().get(id)->parents.to_vector(); }

void register_tool(Engine& e, std::string name, policy::RiskLevel risk = policy::RiskLevel::Medium,
                   std::optional<std::string> category = std::nullopt) {
  e.tools().register_tool(std::move(name), policy::ToolInfo{std::move(category), risk});
}

TEST(EngineConstruction, StartsWithTheBuiltInRulesAndNothingElse) {
  Engine e(EdgeMode::Session);
  EXPECT_TRUE(e.store().events().empty());
  EXPECT_TRUE(e.session_events().empty());
  ASSERT_EQ(e.policies().size(), 6u);
  EXPECT_EQ(e.policies()[0].name, "korvel.default.external-trace-containment");
  EXPECT_TRUE(e.datalog_rules().empty());
  EXPECT_FALSE(e.viewer_base_url());
  EXPECT_FALSE(e.tools().contains(""));
}

TEST(EngineLoading, AppendsWholeDocumentsOrNothing) {
  Engine e(EdgeMode::Session);
  const char* three = "policies:\n  - {name: a, when: {}, action: deny}\n  - {name: b, when: {}, action: halt}\n"
                      "  - {name: c, when: {}, action: escalate}\n";
  EXPECT_EQ(e.load_policies_yaml(three).added, 3u);
  EXPECT_EQ(e.load_policies_yaml(three).added, 3u);
  ASSERT_EQ(e.policies().size(), 12u);
  EXPECT_EQ(e.policies()[6].name, "a");
  EXPECT_EQ(e.policies()[11].name, "c");

  PolicyLoad bad = e.load_policies_yaml("policies:\n  - {name: a, when: {}, action: deny}\n  - {name: b, when: {}}\n");
  ASSERT_TRUE(bad.error);
  EXPECT_EQ(bad.added, 0u);
  EXPECT_EQ(e.policies().size(), 12u);
  EXPECT_EQ(e.load_policies_yaml("policies: []").added, 0u);
}

TEST(EngineRecording, FollowsTheFixedOrderForEveryOperation) {
  std::vector<Told> log;
  EngineOptions options;
  options.sink = std::make_unique<RecordingSink>(log);
  Engine e(std::move(options));
  register_tool(e, "t");
  const EventId a = e.ingest("hello", TrustLevel::User, nullptr);
  const Decision d = e.propose("t", "{}", std::nullopt, {});
  const EventId r = e.record_result(d.event_id, "out", 0);
  EXPECT_EQ(log, (std::vector<Told>{{"event", a}, {"content0:hello", a}, {"event", d.event_id},
                                    {"content1:{}", d.event_id}, {"event", r}, {"content2:out", r}}));
  EXPECT_EQ(e.session_events(), (std::vector<EventId>{0, 1, 2}));
}

TEST(EngineEdgeModes, ChooseTheParentsOfEachKindOfEvent) {
  const std::vector<EventId> sources{1, 9, 1, 0};
  struct Case {
    EdgeMode mode;
    std::vector<EventId> content_parents, proposal_parents;
  };
  for (const Case& c : {Case{EdgeMode::Session, {0, 1}, {0, 1, 2}},
                        Case{EdgeMode::SessionAndInputs, {0, 1}, {0, 1, 2, 9}},
                        Case{EdgeMode::InputsOnly, {}, {1, 9, 1, 0}}}) {
    SCOPED_TRACE(int(c.mode));
    Engine e = engine_in(c.mode);
    e.ingest("a", TrustLevel::User, nullptr);
    e.ingest("b", TrustLevel::User, nullptr);
    EXPECT_EQ(parents(e, e.ingest("c", TrustLevel::User, nullptr)), c.content_parents);
    const Decision d = e.propose("t", "", std::nullopt, sources);
    EXPECT_EQ(parents(e, d.event_id), c.proposal_parents);
    EXPECT_EQ(parents(e, e.record_result(d.event_id, "", 0)), (std::vector<EventId>{d.event_id}));
  }
}

TEST(EngineIngest, ReadsChannelAndSenderFromMetadata) {
  struct Case {
    std::optional<Metadata> metadata;
    std::string channel, sender;
  };
  for (const Case& c : {Case{std::nullopt, "", ""}, Case{Metadata{}, "", ""},
                        Case{Metadata{{"sender_id", "u1"}}, "", "u1"},
                        Case{Metadata{{"sender", "s"}, {"sender_id", "u1"}}, "", "s"},
                        Case{Metadata{{"channel", "chat"}, {"other", "x"}}, "chat", ""}}) {
    Engine e(EdgeMode::Session);
    const EventId id = e.ingest("x", TrustLevel::System, c.metadata ? &*c.metadata : nullptr);
    const auto& payload = std::get<graph::ContentIngested>(e.store().get(id)->payload);
    EXPECT_EQ(payload.channel, c.channel);
    EXPECT_EQ(payload.sender, c.sender);
    EXPECT_EQ(payload.content_hash, graph::blake3_digest("x"));
    EXPECT_EQ(payload.content_len, 1u);
  }
}

TEST(EngineLabels, UntrustedContentIsExternalAndLabelsFlowForward) {
  Engine e(EdgeMode::Session);
  const EventId user = e.ingest("u", TrustLevel::User, nullptr);
  e.set_label(5, "pre");  // an id not handed out yet
  const EventId page = e.ingest("p", TrustLevel::External, nullptr);
  const EventId later = e.ingest("l", TrustLevel::User, nullptr);
  EXPECT_FALSE(e.is_traced_to(user, "external"));
  EXPECT_TRUE(e.is_traced_to(page, "external"));
  EXPECT_TRUE(e.is_traced_to(later, "external"));

  e.set_label(user, "mine");
  EXPECT_TRUE(e.is_traced_to(user, "mine"));
  EXPECT_FALSE(e.is_traced_to(page, "mine"));  // recorded before the label was set
  EXPECT_TRUE(e.is_traced_to(e.ingest("n", TrustLevel::System, nullptr), "mine"));

  e.ingest("4", TrustLevel::User, nullptr);
  EXPECT_TRUE(e.is_traced_to(5, "pre"));  // set ahead of time, kept at trust level user
  Engine f(EdgeMode::InputsOnly);
  f.set_label(0, "pre");
  f.ingest("x", TrustLevel::Unknown, nullptr);
  EXPECT_FALSE(f.is_traced_to(0, "pre"));  // replaced by {"external"}
  EXPECT_TRUE(f.is_traced_to(0, "external"));
}

TEST(EnginePropose, RecordsTheCallWhateverTheDecision) {
  Engine e(EdgeMode::Session);
  const Decision d = e.propose("missing", R"({"b":1,"a":2,"b":3})", "why", {});
  EXPECT_FALSE(d.allowed);
  EXPECT_EQ(d.outcome, Outcome::Deny);
  EXPECT_EQ(d.rule_id, "korvel.builtin.unregistered-tool");
  EXPECT_EQ(d.reason, "Tool 'missing' is not registered");
  const auto& payload = std::get<graph::ToolCallProposed>(e.store().get(d.event_id)->payload);
  EXPECT_EQ(payload.param_keys, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(payload.note, "why");
  EXPECT_EQ(e.session_events(), (std::vector<EventId>{d.event_id}));

  register_tool(e, "t");
  const Decision ok = e.propose("t", "[1]", std::nullopt, {});
  EXPECT_TRUE(ok.allowed);
  EXPECT_EQ(ok.reason, "");
  EXPECT_FALSE(ok.rule_id);
  const auto& p2 = std::get<graph::ToolCallProposed>(e.store().get(ok.event_id)->payload);
  EXPECT_TRUE(p2.param_keys.empty());
  EXPECT_EQ(p2.params_len, 3u);
}

TEST(EngineResults, FlaggedOutputIsInjectedAndTaintsLaterCalls) {
  Engine e(EdgeMode::Session);
  register_tool(e, "t");
  const Decision d = e.propose("t", "", std::nullopt, {});
  const EventId clean = e.record_result(d.event_id, "fine", 7);
  EXPECT_FALSE(e.is_traced_to(clean, "injected"));
  const EventId dirty = e.record_result(d.event_id, "key sk-abcdefghijklmnopqrstuvwxyz", static_cast<std::uint32_t>(-1));
  EXPECT_TRUE(e.is_traced_to(dirty, "injected"));
  const auto& payload = std::get<graph::ToolResultRecorded>(e.store().get(dirty)->payload);
  EXPECT_EQ(payload.tool, "t");
  EXPECT_EQ(payload.result_code, 0xffffffffu);
  const Decision after = e.propose("t", "", std::nullopt, {});
  EXPECT_EQ(after.rule_id, "korvel.default.tainted-data-block");

  const EventId orphan = e.record_result(999, "\xff\xfe", 0);
  EXPECT_EQ(std::get<graph::ToolResultRecorded>(e.store().get(orphan)->payload).tool, "");
  EXPECT_EQ(e.store().causal_chain(orphan), (std::vector<EventId>{999}));
}

TEST(EngineExplain, SummarisesTheChainAndItsLabels) {
  EngineOptions options;
  options.viewer_base_url = "https://viewer.example//";
  Engine e(std::move(options));
  EXPECT_FALSE(e.explain(0));
  e.ingest("a", TrustLevel::External, nullptr);  // 0 {external}
  e.ingest("b", TrustLevel::User, nullptr);      // 1 {external}
  const Explain first = *e.explain(0);
  EXPECT_EQ(first.summary, "Event 0 [external]. Chain: no predecessors.");
  EXPECT_TRUE(first.chain.empty());
  const Explain second = *e.explain(1);
  EXPECT_EQ(second.summary, "Event 1 [external]. Chain: 0(external).");
  EXPECT_EQ(second.viewer_url, "https://viewer.example/trace/event_1");

  Engine plain(EdgeMode::InputsOnly);
  plain.ingest("a", TrustLevel::System, nullptr);
  plain.ingest("b", TrustLevel::System, nullptr);
  plain.set_label(0, "x");
  const EventId call = plain.propose("t", "", std::nullopt, std::vector<EventId>{0, 1, 42}).event_id;
  EXPECT_EQ(plain.explain(call)->summary, "Event 2 [x]. Chain: 0(x) \u2192 1 \u2192 42.");
  EXPECT_FALSE(plain.explain(call)->viewer_url);
}

TEST(EngineRateLimit, TheThirtyFirstCallWithinAMinuteIsDeniedAndDenialsCount) {
  ManualClock time;
  EngineOptions options;
  options.clock = time.clock();
  Engine e(std::move(options));
  register_tool(e, "t");
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(e.propose("t", "", std::nullopt, {}).allowed) << i;
  EXPECT_EQ(e.propose("t", "", std::nullopt, {}).rule_id, "korvel.default.rate-limit");
  time.now += 59'999;  // every call is still within the window
  EXPECT_EQ(e.propose("t", "", std::nullopt, {}).rule_id, "korvel.default.rate-limit");
  time.now += 60'000;
  EXPECT_TRUE(e.propose("t", "", std::nullopt, {}).allowed);
  time.now -= 120'000;  // the clock stepped back: the later stamps still count
  EXPECT_EQ(e.propose("t", "", std::nullopt, {}).rule_id, "korvel.default.rate-limit");
}

// The session index against the literal passes over the session's events, on seeded random
// sessions with a clock that jumps both ways.
TEST(SessionIndexAgainstLiteral, WindowCountsAndTrustInputsAgree) {
  const std::vector<std::string> names{"system", "operator", "user", "external", "unknown", "nobody"};
  for (std::uint64_t seed = 1; seed <= 50; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    ManualClock time;
    graph::EventStore store(time.clock());
    policy::SessionIndex index;
    for (int i = 0; i < 60; ++i) {
      time.now += rng() % 5 == 0 ? -(rng() % 5000) : rng() % 3000;
      graph::EventPayload payload = graph::ToolCallProposed{};
      if (rng() % 3 == 0) payload = graph::ContentIngested{"", "", {}, 0, static_cast<std::uint8_t>(rng() % 5)};
      index.add(*store.get(store.insert(std::move(payload), ParentList{})));

      const std::uint64_t cutoff = time.now - rng() % 20000;
      std::uint64_t literal_calls = 0;
      for (EventId id : index.events()) {
        const graph::EventRecord* r = store.get(id);
        if (std::holds_alternative<graph::ToolCallProposed>(r->payload) && r->timestamp_ms >= cutoff) ++literal_calls;
      }
      ASSERT_EQ(index.proposals_since(cutoff), literal_calls);

      std::vector<std::string> wanted;
      for (const auto& n : names)
        if (rng() % 3 == 0) wanted.push_back(n);
      bool literal_met = false;
      for (EventId id : index.events())
        if (const auto* c = std::get_if<graph::ContentIngested>(&store.get(id)->payload))
          literal_met = literal_met || std::count(wanted.begin(), wanted.end(), policy::trust_level_name(c->trust_level));
      ASSERT_EQ(index.has_input_from(wanted), literal_met);
    }
  }
}

}  // namespace
}  // namespace korvel
