#include "policy/datalog.h"

#include "util/seeded_hash.h"

namespace korvel::policy::datalog {
namespace {

constexpr std::string_view kDenyPredicate = "deny";
constexpr std::string_view kEscalatePredicate = "escalate";

// One key per process, so fact sets cannot be flooded with colliding values.
const util::HashSeed& value_seed() {
  static const util::HashSeed seed = util::random_seed();
  return seed;
}

}  // namespace

std::string to_text(const Value& value) {
  if (value.kind == Value::Kind::Str) return value.str;
  return std::to_string(value.id);
}

std::size_t ValueHash::operator()(const Value& value) const {
  // The kind is mixed into the key: a Str and an Id with the same spelling hash independently.
  util::HashSeed seed = value_seed();
  seed.k1 ^= static_cast<std::uint64_t>(value.kind) + 1;
  const std::uint64_t hash = value.kind == Value::Kind::Str
                                 ? util::siphash13(seed, value.str.data(), value.str.size())
                                 : util::siphash13(seed, &value.id, sizeof value.id);
  return static_cast<std::size_t>(hash);
}

bool is_verdict_rule(const DatalogRule& rule) {
  return rule.head.predicate == kDenyPredicate || rule.head.predicate == kEscalatePredicate;
}

}  // namespace korvel::policy::datalog

// ---- Evaluation ----

namespace korvel::policy::datalog {
namespace {

using graph::EventId;

constexpr std::string_view kEventPredicate = "event";
constexpr std::string_view kDataflowPredicate = "dataflow";
constexpr std::string_view kTracedPredicate = "traced";
constexpr std::string_view kToolCallPredicate = "tool_call";
constexpr std::string_view kToolIdPredicate = "tool_id";
constexpr std::string_view kParamPredicate = "param";

constexpr std::string_view kDefaultVerdictRule = "datalog";

// Head term positions of a verdict rule; term 0 is never read.
constexpr std::size_t kVerdictRuleTerm = 1;
constexpr std::size_t kVerdictMessageTerm = 2;

TupleSet event_facts(const graph::EventStore& store) {
  TupleSet facts;
  const std::uint64_t count = store.events().size();
  for (EventId id = 0; id < count; ++id)
    if (store.get(id) != nullptr) facts.insert(Tuple{Value::Id(id)});
  return facts;
}

TupleSet dataflow_facts(const graph::EventStore& store) {
  TupleSet facts;
  facts.reserve(static_cast<std::size_t>(store.edge_count()));
  for (const graph::Edge edge : store.edges())
    if (edge.kind == graph::EdgeType::DataFlow)
      facts.insert(Tuple{Value::Id(edge.from), Value::Id(edge.to)});
  return facts;
}

TupleSet traced_facts(const graph::EventStore& store, const trace::TraceIndex& trace) {
  TupleSet facts;
  const std::uint64_t count = store.events().size();
  for (EventId id = 0; id < count; ++id) {
    if (store.get(id) == nullptr || !trace.has_labels(id)) continue;
    for (std::string& label : trace.trace_set(id))
      facts.insert(Tuple{Value::Id(id), Value::Str(std::move(label))});
  }
  return facts;
}

TupleSet param_facts(const DatalogBuiltins& builtins) {
  TupleSet facts;
  for (const auto& [key, text] : builtins.params)
    facts.insert(Tuple{Value::Id(builtins.call_id), Value::Str(key), Value::Str(text)});
  return facts;
}

// Arity and constants only: turns most tuples away before any bindings are copied.
bool fits(std::span<const Term> terms, const Tuple& tuple) {
  if (terms.size() != tuple.size()) return false;
  for (std::size_t i = 0; i < terms.size(); ++i)
    if (terms[i].kind == Term::Kind::Const && !(terms[i].value == tuple[i])) return false;
  return true;
}

// The fact set of every body atom, in body order; nothing when one of them has no facts, for
// then the body has no solution.
std::optional<std::vector<const TupleSet*>> body_fact_sets(std::span<const Atom> body,
                                                           const FactSet& facts) {
  std::vector<const TupleSet*> sets;
  sets.reserve(body.size());
  for (const Atom& atom : body) {
    const auto found = facts.find(atom.predicate);
    if (found == facts.end() || found->second.empty()) return std::nullopt;
    sets.push_back(&found->second);
  }
  return sets;
}

// Calls `on_solution(Bindings&&)` for every solution of `body` extending `start`, in
// depth-first order (the first atom's tuples outermost), until it returns true. Returns
// whether it did. An explicit stack of one frame per atom keeps the call depth fixed.
// `facts` must not change during the search.
template <typename OnSolution>
bool search_body(std::span<const Atom> body, const FactSet& facts, const Bindings& start,
                 EventId call_id, OnSolution&& on_solution) {
  if (body.empty()) return on_solution(Bindings(start));
  const auto sets = body_fact_sets(body, facts);
  if (!sets) return false;

  struct Frame {
    TupleSet::const_iterator next;  // the next tuple to try for this frame's atom
    Bindings bindings;              // the bindings before this frame's atom
  };
  std::vector<Frame> frames;
  frames.reserve(body.size());
  frames.push_back(Frame{(*sets)[0]->begin(), start});
  while (!frames.empty()) {
    const std::size_t depth = frames.size() - 1;
    Frame& frame = frames.back();
    if (frame.next == (*sets)[depth]->end()) {
      frames.pop_back();
      continue;
    }
    const Tuple& tuple = *frame.next++;
    const std::span<const Term> terms = body[depth].terms;
    if (!fits(terms, tuple)) continue;
    Bindings extended = frame.bindings;
    if (!unify_atom(terms, tuple, extended, call_id)) continue;
    if (depth + 1 < body.size()) {
      frames.push_back(Frame{(*sets)[depth + 1]->begin(), std::move(extended)});
    } else if (on_solution(std::move(extended))) {
      return true;
    }
  }
  return false;
}

// The head's fact under `bindings`; nothing when a head variable is unbound.
std::optional<Tuple> head_tuple(const Atom& head, const Bindings& bindings) {
  Tuple tuple;
  tuple.reserve(head.terms.size());
  for (const Term& term : head.terms) {
    if (term.kind == Term::Kind::Const) {
      tuple.push_back(term.value);
      continue;
    }
    const auto bound = bindings.find(term.var);
    if (bound == bindings.end()) return std::nullopt;
    tuple.push_back(bound->second);
  }
  return tuple;
}

// One derivation rule over the current facts; returns whether it added a fact.
bool apply_rule(const DatalogRule& rule, FactSet& facts, EventId call_id) {
  const auto known = facts.find(rule.head.predicate);
  const TupleSet* existing = known == facts.end() ? nullptr : &known->second;
  // New facts wait until the search is over: the head's set may be one it is scanning.
  TupleSet derived;
  bool solved = false;
  search_body(rule.body, facts, Bindings{}, call_id, [&](Bindings&& solution) {
    solved = true;
    std::optional<Tuple> tuple = head_tuple(rule.head, solution);
    if (tuple && (existing == nullptr || !existing->contains(*tuple)))
      derived.insert(std::move(*tuple));
    return false;
  });
  if (!solved) return false;
  TupleSet& head_facts = facts[rule.head.predicate];
  const std::size_t before = head_facts.size();
  head_facts.merge(derived);
  return head_facts.size() != before;
}

// The text of a verdict rule's head term at `position` when that term is a constant.
std::optional<std::string> constant_text(const Atom& head, std::size_t position) {
  if (position >= head.terms.size()) return std::nullopt;
  const Term& term = head.terms[position];
  if (term.kind != Term::Kind::Const) return std::nullopt;
  return to_text(term.value);
}


DatalogVerdict verdict_of(const DatalogRule& rule) {
  DatalogVerdict verdict;
  verdict.rule =
      constant_text(rule.head, kVerdictRuleTerm).value_or(std::string(kDefaultVerdictRule));
  std::optional<std::string> message = constant_text(rule.head, kVerdictMessageTerm);
  verdict.message = message ? std::move(*message) : rule_triggered(verdict.rule);
  verdict.outcome = rule.head.predicate == kEscalatePredicate ? Outcome::Escalate : Outcome::Deny;
  return verdict;
}

bool has_verdict_rule(std::span<const DatalogRule> rules) {
  for (const DatalogRule& rule : rules)
    if (is_verdict_rule(rule)) return true;
  return false;
}

}  // namespace

std::size_t TupleHash::operator()(const Tuple& tuple) const {
  std::uint64_t hash = tuple.size();
  for (const Value& value : tuple) {
    // Order-sensitive mixing (the 64-bit golden ratio), so that (1, 2) and (2, 1) differ.
    hash ^= ValueHash{}(value) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
  }
  return static_cast<std::size_t>(hash);
}

FactSet builtin_facts(const DatalogBuiltins& builtins) {
  FactSet facts;
  facts.emplace(kEventPredicate, event_facts(builtins.store));
  facts.emplace(kDataflowPredicate, dataflow_facts(builtins.store));
  facts.emplace(kTracedPredicate, traced_facts(builtins.store, builtins.trace));
  facts.emplace(kToolCallPredicate, TupleSet{Tuple{Value::Id(builtins.call_id)}});
  facts.emplace(kToolIdPredicate, TupleSet{Tuple{Value::Id(builtins.call_id),
                                                 Value::Str(std::string(builtins.tool_name))}});
  facts.emplace(kParamPredicate, param_facts(builtins));
  return facts;
}

void derive_facts(std::span<const DatalogRule> rules, FactSet& facts, EventId call_id) {
  // Ends: facts are only added, and every derivable value is a rule constant or a built-in value.
  bool changed = true;
  while (changed) {
    changed = false;
    for (const DatalogRule& rule : rules)
      if (!is_verdict_rule(rule) && apply_rule(rule, facts, call_id)) changed = true;
  }
}

bool unify_atom(std::span<const Term> terms, const Tuple& tuple, Bindings& bindings,
                EventId call_id) {
  if (terms.size() != tuple.size()) return false;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const Term& term = terms[i];
    if (term.kind == Term::Kind::Const) {
      if (!(term.value == tuple[i])) return false;
      continue;
    }
    Value candidate = term.var == kCallVariable ? Value::Id(call_id) : tuple[i];
    const auto bound = bindings.find(term.var);
    if (bound == bindings.end()) {
      bindings.emplace(term.var, std::move(candidate));
    } else if (!(bound->second == candidate)) {
      return false;
    }
  }
  return true;
}

bool body_matches(std::span<const Atom> body, const FactSet& facts, Bindings& bindings,
                  EventId call_id) {
  return search_body(body, facts, bindings, call_id, [&](Bindings&& solution) {
    bindings = std::move(solution);
    return true;
  });
}

std::optional<DatalogVerdict> evaluate_datalog(std::span<const DatalogRule> rules,
                                               const DatalogBuiltins& builtins) {
  // Without a verdict rule nothing can fire, so the facts need not be built.
  if (!has_verdict_rule(rules)) return std::nullopt;
  FactSet facts = builtin_facts(builtins);
  derive_facts(rules, facts, builtins.call_id);
  for (const DatalogRule& rule : rules) {
    if (!is_verdict_rule(rule)) continue;
    Bindings bindings{{std::string(kCallVariable), Value::Id(builtins.call_id)}};
    if (body_matches(rule.body, facts, bindings, builtins.call_id)) return verdict_of(rule);
  }
  return std::nullopt;
}

}  // namespace korvel::policy::datalog
