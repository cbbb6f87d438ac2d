// Datalog values, terms, atoms and rules, and their evaluation over facts drawn from the
// event graph for one proposed call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "graph/store.h"
#include "policy/types.h"
#include "trace/index.h"

namespace korvel::policy::datalog {

// A `Str` (owned text) or an `Id` (unsigned 64-bit, an event id in every built-in fact).
struct Value {
  enum class Kind : std::uint8_t { Str, Id };
  Kind kind = Kind::Str;
  std::string str;
  std::uint64_t id = 0;

  static Value Str(std::string text) { return Value{Kind::Str, std::move(text), 0}; }
  static Value Id(std::uint64_t id) { return Value{Kind::Id, {}, id}; }

  bool operator==(const Value& other) const {
    return kind == other.kind && (kind == Kind::Str ? str == other.str : id == other.id);
  }
};

// The text itself for `Str`, plain decimal for `Id`.
std::string to_text(const Value& value);

struct ValueHash {
  std::size_t operator()(const Value& value) const;
};

struct Term {
  enum class Kind : std::uint8_t { Var = 0, Const = 1 };
  Kind kind = Kind::Var;
  std::string var;  // Var: the variable's name
  Value value;      // Const

  static Term Var(std::string name) { return Term{Kind::Var, std::move(name), {}}; }
  static Term Const(Value v) { return Term{Kind::Const, {}, std::move(v)}; }
  bool operator==(const Term& other) const {
    return kind == other.kind && (kind == Kind::Var ? var == other.var : value == other.value);
  }
};

struct Atom {
  std::string predicate;
  std::vector<Term> terms;
  bool operator==(const Atom&) const = default;
};

struct DatalogRule {
  Atom head;
  std::vector<Atom> body;
  bool operator==(const DatalogRule&) const = default;
};

// The call variable: always stands for the proposed call.
inline constexpr std::string_view kCallVariable = "A";

// "deny" or "escalate" exactly.
bool is_verdict_rule(const DatalogRule& rule);

// ---- Evaluation ----
//
// One call of `evaluate_datalog` builds the facts of one proposal from the store, the trace
// index and the proposal itself, derives further facts until none is new, then tries the
// verdict rules in list order. Nothing is kept between calls; store and index are only read.
//
// Cost: facts are grouped by predicate and every atom scans its predicate's tuples; every pass
// re-runs every rule. "dataflow" holds one fact per edge, so a session in which each event
// derives from all earlier ones gives n²/2 facts for n events. Searches are iterative, so no
// body length or fact count deepens the call stack.

using Tuple = std::vector<Value>;

struct TupleHash {
  std::size_t operator()(const Tuple& tuple) const;
};

using TupleSet = std::unordered_set<Tuple, TupleHash>;
// Predicate -> its facts. Tuples of different lengths may share a predicate; an atom only
// matches tuples of its own arity.
using FactSet = std::unordered_map<std::string, TupleSet>;
using Bindings = std::map<std::string, Value, std::less<>>;

struct DatalogBuiltins {
  std::vector<std::pair<std::string, std::string>> params;  // the proposal's (key, value text)
  std::string_view tool_name;
  const graph::EventStore& store;
  const trace::TraceIndex& trace;
  graph::EventId call_id;
};

struct DatalogVerdict {
  std::string rule;
  std::string message;
  Outcome outcome = Outcome::Deny;  // Deny or Escalate, never Allow
  bool operator==(const DatalogVerdict&) const = default;
};

// The verdict of the first verdict rule whose body holds, after deriving all facts; nothing
// for an empty rule list or when no verdict rule fires. Never fails.
std::optional<DatalogVerdict> evaluate_datalog(std::span<const DatalogRule> rules,
                                               const DatalogBuiltins& builtins);

// The six built-in predicates, each present even when it has no facts: event(E),
// dataflow(From, To), traced(E, Label), tool_call(Call), tool_id(Call, Tool),
// param(Call, Key, Value).
FactSet builtin_facts(const DatalogBuiltins& builtins);

// Runs the derivation rules (all but "deny" and "escalate") in passes until a pass adds no
// fact. A head variable that the body leaves unbound derives nothing.
void derive_facts(std::span<const DatalogRule> rules, FactSet& facts, graph::EventId call_id);

// Matches one atom against one fact, extending `bindings`. "A" stands for Id(call_id) and
// matches any value at its position. On false `bindings` may hold partial additions, so pass
// a copy.
bool unify_atom(std::span<const Term> terms, const Tuple& tuple, Bindings& bindings,
                graph::EventId call_id);

// Depth-first search, atoms left to right, for the first solution of `body`. On true
// `bindings` is replaced by that solution; on false it is unchanged.
bool body_matches(std::span<const Atom> body, const FactSet& facts, Bindings& bindings,
                  graph::EventId call_id);

}  // namespace korvel::policy::datalog
