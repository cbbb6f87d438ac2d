// The engine: everything known about one agent session, and the operations that record and
// judge what the host reports.
//
// Every operation runs with exclusive access (the C layer holds one lock per engine) and never
// fails midway on accepted input; the only failures are a rejected policy document (an error
// text) and explaining an event that is not stored (nothing). Recording follows one order:
// insert into the store, tell the sink, apply the operation's own labels, propagate labels
// from the parents, append to the session. In the usual shape, where an event derives from
// every earlier one, its parents cost a constant number of bytes and its seal one BLAKE3 pass
// over the earlier events' digests; nothing else grows with the session.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/store.h"
#include "policy/datalog.h"
#include "policy/evaluator.h"
#include "policy/registry.h"
#include "policy/types.h"
#include "sink.h"
#include "trace/index.h"
#include "util/json.h"

namespace korvel {

using graph::EventId;
using policy::Outcome;

enum class EdgeMode : std::uint8_t { Session = 0, SessionAndInputs = 1, InputsOnly = 2 };

// Levels 0 to 4; the engine accepts no other.
enum class TrustLevel : std::uint8_t { System = 0, Operator = 1, User = 2, External = 3, Unknown = 4 };
inline constexpr std::uint8_t kMaxTrustLevel = 4;

using Metadata = util::json::StringMap;
// The only metadata keys ingest reads; the rest may be dropped before it is called.
inline constexpr std::string_view kMetadataKeys[] = {"channel", "sender", "sender_id"};

struct Decision {
  std::string reason;                  // empty when allowed
  std::optional<std::string> rule_id;  // absent when allowed
  EventId event_id = 0;                // the proposal event, whatever the outcome
  bool allowed = false;
  Outcome outcome = Outcome::Allow;
};

struct Explain {
  std::string summary;
  std::vector<EventId> chain;
  std::optional<std::string> viewer_url;
};

struct PolicyLoad {
  std::size_t added = 0;
  std::optional<std::string> error;  // the load error's text; nothing was added
};

// What an engine is built with. Fixed for the engine's life.
struct EngineOptions {
  EdgeMode edge_mode = EdgeMode::Session;
  graph::Clock clock = graph::system_clock_ms;  // time stamps and evaluation windows
  std::unique_ptr<EventSink> sink;              // a NoOpSink when null
  std::vector<policy::datalog::DatalogRule> datalog_rules;
  std::optional<std::string> viewer_base_url;  // link base for explanations
};

class Engine {
 public:
  // An engine holding the built-in rules.
  explicit Engine(EdgeMode edge_mode);
  explicit Engine(EngineOptions options);
  // An engine whose rules are exactly `rules`.
  static Engine new_with_policies(EdgeMode edge_mode, std::vector<policy::PolicyRule> rules);
  static Engine new_with_policies(EngineOptions options, std::vector<policy::PolicyRule> rules);

  Engine(Engine&&) noexcept = default;
  Engine& operator=(Engine&&) noexcept = default;

  // Appends the document's rules after those already held, or nothing if it does not load.
  PolicyLoad load_policies_yaml(std::string_view document);

  EventId ingest(std::string_view content, TrustLevel trust_level, const Metadata* metadata);
  void set_label(EventId id, std::string_view label);
  bool is_traced_to(EventId id, std::string_view label) const;

  Decision propose(std::string_view tool, std::string_view params, std::optional<std::string_view> note,
                   std::span<const EventId> input_sources);
  EventId record_result(EventId call_event_id, std::string_view output, std::uint32_t result_code);
  std::optional<Explain> explain(EventId id) const;

  policy::ToolRegistry& tools() { return tools_; }
  const policy::ToolRegistry& tools() const { return tools_; }
  const graph::EventStore& store() const { return store_; }
  const trace::TraceIndex& trace() const { return trace_; }
  const std::vector<EventId>& session_events() const { return session_.events(); }
  const std::vector<policy::PolicyRule>& policies() const { return policies_; }
  const std::vector<policy::datalog::DatalogRule>& datalog_rules() const { return datalog_rules_; }
  const std::optional<std::string>& viewer_base_url() const { return viewer_base_url_; }
  EdgeMode edge_mode() const { return edge_mode_; }

 private:
  Engine(EngineOptions options, std::vector<policy::PolicyRule> rules);
  graph::ParentList session_parents() const;
  graph::ParentList proposal_parents(std::span<const EventId> input_sources) const;
  enum class OwnLabels : std::uint8_t { None, External, Injected };
  EventId record(graph::EventPayload payload, graph::ParentList parents, ContentKind kind,
                 std::string_view bytes, OwnLabels own_labels);

  graph::Clock clock_;
  graph::EventStore store_;
  trace::TraceIndex trace_;
  policy::SessionIndex session_;  // session_events and what the evaluator needs of them
  std::vector<policy::PolicyRule> policies_;
  std::vector<policy::datalog::DatalogRule> datalog_rules_;
  policy::ToolRegistry tools_;
  std::optional<std::string> viewer_base_url_;
  std::unique_ptr<EventSink> sink_;
  EdgeMode edge_mode_;
};

}  // namespace korvel
