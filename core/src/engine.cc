#include "engine.h"

#include <charconv>
#include <unordered_set>

#include "policy/defaults.h"
#include "policy/loader.h"
#include "sanitizer/patterns.h"

namespace korvel {
namespace {

constexpr std::string_view kExternalLabel = "external";
constexpr std::string_view kInjectedLabel = "injected";

std::string_view metadata_value(const Metadata& metadata, std::string_view key) {
  auto it = metadata.find(key);
  return it == metadata.end() ? std::string_view{} : std::string_view(it->second);
}

std::string_view sender_of(const Metadata& metadata) {
  if (metadata.contains("sender")) return metadata_value(metadata, "sender");
  return metadata_value(metadata, "sender_id");
}

std::string decimal(std::uint64_t value) {
  char buf[24];
  auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  return std::string(buf, end);
}

std::string joined(const std::vector<std::string>& labels, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (i > 0) out += separator;
    out += labels[i];
  }
  return out;
}

EngineOptions options_in(EdgeMode edge_mode) {
  EngineOptions options;
  options.edge_mode = edge_mode;
  return options;
}

// A sink must not be able to fail a recording.
template <typename F>
void tell_sink(F&& f) {
  try {
    f();
  } catch (...) {
  }
}

}  // namespace

Engine::Engine(EdgeMode edge_mode) : Engine(options_in(edge_mode)) {}

Engine::Engine(EngineOptions options) : Engine(std::move(options), policy::default_rules()) {}

Engine::Engine(EngineOptions options, std::vector<policy::PolicyRule> rules)
    : clock_(options.clock ? std::move(options.clock) : graph::Clock(graph::system_clock_ms)),
      store_(clock_),
      trace_(util::random_seed()),
      policies_(std::move(rules)),
      datalog_rules_(std::move(options.datalog_rules)),
      tools_(util::random_seed()),
      viewer_base_url_(std::move(options.viewer_base_url)),
      sink_(options.sink ? std::move(options.sink) : std::make_unique<NoOpSink>()),
      edge_mode_(options.edge_mode) {}

Engine Engine::new_with_policies(EdgeMode edge_mode, std::vector<policy::PolicyRule> rules) {
  return Engine(options_in(edge_mode), std::move(rules));
}

Engine Engine::new_with_policies(EngineOptions options, std::vector<policy::PolicyRule> rules) {
  return Engine(std::move(options), std::move(rules));
}

PolicyLoad Engine::load_policies_yaml(std::string_view document) {
  auto parsed = policy::parse_policies(document);
  if (auto* error = std::get_if<policy::LoadError>(&parsed)) return PolicyLoad{0, policy::load_error_text(*error)};
  auto& rules = std::get<std::vector<policy::PolicyRule>>(parsed);
  policies_.insert(policies_.end(), std::make_move_iterator(rules.begin()), std::make_move_iterator(rules.end()));
  return PolicyLoad{rules.size(), std::nullopt};
}

// Every session event is a stored event and ids are dense, so "every id in the session, in
// order" is the id range [0, n).
graph::ParentList Engine::session_parents() const {
  if (edge_mode_ == EdgeMode::InputsOnly) return {};
  return graph::ParentList{session_.events().size(), {}};
}

graph::ParentList Engine::proposal_parents(std::span<const EventId> input_sources) const {
  if (edge_mode_ == EdgeMode::InputsOnly)
    return graph::ParentList{0, std::vector<EventId>(input_sources.begin(), input_sources.end())};
  graph::ParentList parents = session_parents();
  if (edge_mode_ == EdgeMode::SessionAndInputs) {
    std::unordered_set<EventId, util::SeededIdHash> added(0, util::SeededIdHash{util::process_seed()});
    for (EventId source : input_sources)
      if (source >= parents.prefix && added.insert(source).second) parents.explicit_ids.push_back(source);
  }
  return parents;
}

EventId Engine::record(graph::EventPayload payload, graph::ParentList parents, ContentKind kind,
                       std::string_view bytes, OwnLabels own_labels) {
  const EventId id = store_.insert(std::move(payload), std::move(parents));
  const graph::EventRecord* stored = store_.get(id);
  if (stored != nullptr) tell_sink([&] { sink_->event_recorded(*stored); });
  tell_sink([&] { sink_->content_recorded(id, kind, bytes); });
  if (own_labels == OwnLabels::External) {
    // Untrusted content replaces whatever labels were set on this id ahead of time.
    const std::string_view labels[] = {kExternalLabel};
    trace_.set(id, labels);
  } else if (own_labels == OwnLabels::Injected) {
    const std::string_view labels[] = {kInjectedLabel};
    trace_.merge_into(id, labels);
  }
  trace_.propagate_from(id, store_);
  if (stored != nullptr) session_.add(*stored);
  return id;
}

EventId Engine::ingest(std::string_view content, TrustLevel trust_level, const Metadata* metadata) {
  const bool has_metadata = metadata != nullptr && !metadata->empty();
  graph::ContentIngested payload{
      has_metadata ? std::string(metadata_value(*metadata, "channel")) : std::string{},
      has_metadata ? std::string(sender_of(*metadata)) : std::string{},
      graph::blake3_digest(content),
      graph::saturated_len(content.size()),
      static_cast<std::uint8_t>(trust_level)};
  const bool untrusted = trust_level == TrustLevel::External || trust_level == TrustLevel::Unknown;
  return record(std::move(payload), session_parents(), ContentKind::IngestedContent, content,
                untrusted ? OwnLabels::External : OwnLabels::None);
}

void Engine::set_label(EventId id, std::string_view label) {
  const std::string_view labels[] = {label};
  trace_.merge_into(id, labels);
  trace_.propagate_from(id, store_);
}

bool Engine::is_traced_to(EventId id, std::string_view label) const { return trace_.is_traced_to(id, label); }

Decision Engine::propose(std::string_view tool, std::string_view params, std::optional<std::string_view> note,
                         std::span<const EventId> input_sources) {
  graph::ToolCallProposed payload{std::string(tool), graph::blake3_digest(params),
                                  graph::saturated_len(params.size()), util::json::object_keys(params),
                                  std::string(note.value_or(std::string_view{}))};
  const EventId id = record(std::move(payload), proposal_parents(input_sources), ContentKind::ToolParams, params,
                            OwnLabels::None);
  const policy::EvaluationInput input{policies_, id,       tool,           store_,
                                      trace_,    tools_,   session_,       datalog_rules_,
                                      params,    clock_};
  policy::Verdict verdict = policy::evaluate(input);
  const bool allowed = verdict.outcome == Outcome::Allow;
  return Decision{std::move(verdict.reason), std::move(verdict.rule_id), id, allowed, verdict.outcome};
}

EventId Engine::record_result(EventId call_event_id, std::string_view output, std::uint32_t result_code) {
  std::string tool;
  if (const graph::EventRecord* call = store_.get(call_event_id))
    if (const auto* proposal = std::get_if<graph::ToolCallProposed>(&call->payload)) tool = proposal->tool;
  graph::ToolResultRecorded payload{std::move(tool), graph::blake3_digest(output), graph::saturated_len(output.size()),
                                    0, result_code};
  // Exactly one parent, the call, whatever the edge mode.
  return record(std::move(payload), graph::ParentList{0, {call_event_id}}, ContentKind::ToolOutput, output,
                sanitizer::matches_suspicious(output) ? OwnLabels::Injected : OwnLabels::None);
}

std::optional<Explain> Engine::explain(EventId id) const {
  if (store_.get(id) == nullptr) return std::nullopt;
  Explain out;
  out.chain = store_.causal_chain(id);

  // Built by appending: g++ 12 warns falsely (-Wrestrict) on literal + string at -O3.
  std::string& summary = out.summary;
  summary.append("Event ").append(decimal(id));
  if (auto labels = trace_.trace_set(id); !labels.empty()) summary.append(" [").append(joined(labels, ", ")).append("]");
  summary.append(". Chain: ");
  if (out.chain.empty()) summary.append("no predecessors");
  for (std::size_t i = 0; i < out.chain.size(); ++i) {
    if (i > 0) summary.append(" \u2192 ");
    summary.append(decimal(out.chain[i]));
    if (auto labels = trace_.trace_set(out.chain[i]); !labels.empty())
      summary.append("(").append(joined(labels, ",")).append(")");
  }
  summary.append(".");

  if (viewer_base_url_) {
    std::string_view base = *viewer_base_url_;
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    out.viewer_url.emplace(base).append("/trace/event_").append(decimal(id));
  }
  return out;
}

}  // namespace korvel
