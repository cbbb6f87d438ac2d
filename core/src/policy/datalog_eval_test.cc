#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "policy/datalog.h"

namespace korvel::policy::datalog {

void PrintTo(const Value& value, std::ostream* out) {
  if (value.kind == Value::Kind::Str) {
    *out << "'" << value.str << "'";
  } else {
    *out << value.id;
  }
}

void PrintTo(const DatalogVerdict& verdict, std::ostream* out) {
  *out << "{rule \"" << verdict.rule << "\", message \"" << verdict.message << "\", outcome "
       << static_cast<int>(verdict.outcome) << "}";
}

namespace {

using graph::EventId;
using graph::ParentList;

// Rule-writing shorthand: V("X") a variable, S("x") a Str constant, I(5) an Id constant.
Term V(std::string name) { return Term::Var(std::move(name)); }
Term S(std::string text) { return Term::Const(Value::Str(std::move(text))); }
Term I(std::uint64_t id) { return Term::Const(Value::Id(id)); }
Atom atom(std::string predicate, std::vector<Term> terms = {}) {
  return Atom{std::move(predicate), std::move(terms)};
}
DatalogRule rule(Atom head, std::vector<Atom> body = {}) {
  return DatalogRule{std::move(head), std::move(body)};
}
Tuple ids(std::initializer_list<std::uint64_t> list) {
  Tuple tuple;
  for (std::uint64_t id : list) tuple.push_back(Value::Id(id));
  return tuple;
}

// What a proposal sees: events inserted in order with these parents (the last one is the
// call), labels added directly (no propagation), and the call's parameters.
struct Session {
  std::vector<ParentList> parents;
  std::vector<std::pair<EventId, std::string>> labels;
  std::vector<std::pair<std::string, std::string>> params;
  std::string tool = "http_get";
};

// Event 0 labelled "external", event 1 unlabelled, call 2 derived from both.
Session usual_session() {
  return Session{{{}, {}, ParentList{2, {}}},
                 {{0, "external"}},
                 {{"url", "https://example.org"}, {"flag", "true"}}};
}

// 0 -> 1 -> 2 -> 3, the call.
Session chain_session() { return Session{{{}, {0, {0}}, {0, {1}}, {0, {2}}}, {}, {}}; }

// 0 -> 1 -> 2 -> 0 (event 0 names a later id), then the call 3 without parents.
Session cycle_session() { return Session{{{0, {2}}, {0, {0}}, {0, {1}}, {}}, {}, {}}; }

struct Built {
  graph::EventStore store{[] { return 0; }};
  trace::TraceIndex index;
  EventId call_id = 0;
  std::vector<std::pair<std::string, std::string>> params;
  std::string tool;

  explicit Built(const Session& session) : params(session.params), tool(session.tool) {
    for (const ParentList& parents : session.parents)
      call_id = store.insert(graph::ToolCallProposed{}, parents);
    for (const auto& [id, label] : session.labels)
      index.merge_into(id, std::vector<std::string_view>{label});
  }
  DatalogBuiltins builtins() const { return DatalogBuiltins{params, tool, store, index, call_id}; }
};

std::optional<DatalogVerdict> evaluate(const Session& session,
                                       const std::vector<DatalogRule>& rules) {
  const Built built(session);
  return evaluate_datalog(rules, built.builtins());
}

FactSet derived(const Session& session, const std::vector<DatalogRule>& rules) {
  const Built built(session);
  FactSet facts = builtin_facts(built.builtins());
  derive_facts(rules, facts, built.call_id);
  return facts;
}

const std::vector<DatalogRule> kReach = {
    rule(atom("reach", {V("X"), V("Y")}), {atom("dataflow", {V("X"), V("Y")})}),
    rule(atom("reach", {V("X"), V("Z")}),
         {atom("reach", {V("X"), V("Y")}), atom("dataflow", {V("Y"), V("Z")})}),
};

std::vector<DatalogRule> with_reach(std::vector<DatalogRule> rules) {
  rules.insert(rules.end(), kReach.begin(), kReach.end());
  return rules;
}

DatalogVerdict deny_default() { return {"datalog", "Rule datalog triggered", Outcome::Deny}; }

// ---- unify_atom ----

struct UnifyCase {
  const char* name;
  std::vector<Term> terms;
  Tuple tuple;
  Bindings before;
  bool matches;
  Bindings after;  // when it matches
};

TEST(UnifyAtom, Table) {
  constexpr EventId kCall = 9;
  const std::vector<UnifyCase> cases = {
      {"empty atom, empty tuple", {}, {}, {}, true, {}},
      {"arity differs", {V("X")}, ids({1, 2}), {}, false, {}},
      {"equal Id constant", {I(5)}, ids({5}), {}, true, {}},
      {"Str '5' is not Id 5", {S("5")}, ids({5}), {}, false, {}},
      {"Id 5 is not Str '5'", {I(5)}, {Value::Str("5")}, {}, false, {}},
      {"variable takes the value", {V("X"), V("Y")}, ids({1, 2}), {}, true,
       {{"X", Value::Id(1)}, {"Y", Value::Id(2)}}},
      {"repeated variable needs equal values", {V("X"), V("X")}, ids({1, 2}), {}, false, {}},
      {"repeated variable with equal values", {V("X"), V("X")}, ids({4, 4}), {}, true,
       {{"X", Value::Id(4)}}},
      {"bound variable must agree", {V("X")}, ids({1}), {{"X", Value::Id(2)}}, false, {}},
      {"bound variable agreeing", {V("X")}, ids({2}), {{"X", Value::Id(2)}}, true,
       {{"X", Value::Id(2)}}},
      {"names are case-sensitive", {V("x")}, ids({1}), {{"X", Value::Id(2)}}, true,
       {{"X", Value::Id(2)}, {"x", Value::Id(1)}}},
      {"A matches any value and stands for the call", {V("A"), V("Y")}, ids({3, 4}), {}, true,
       {{"A", Value::Id(kCall)}, {"Y", Value::Id(4)}}},
      {"A matches a Str position too", {V("A")}, {Value::Str("x")}, {}, true,
       {{"A", Value::Id(kCall)}}},
      {"A bound elsewhere fails", {V("A")}, ids({kCall}), {{"A", Value::Id(1)}}, false, {}},
  };
  for (const UnifyCase& c : cases) {
    Bindings bindings = c.before;
    EXPECT_EQ(unify_atom(c.terms, c.tuple, bindings, kCall), c.matches) << c.name;
    if (c.matches) {
      EXPECT_EQ(bindings, c.after) << c.name;
    }
  }
}

// ---- body_matches ----

TEST(BodyMatches, ReplacesBindingsOnlyOnSuccess) {
  FactSet facts;
  facts["edge"] = {ids({1, 2}), ids({2, 3})};
  facts["none"] = {};
  const Bindings start = {{"A", Value::Id(7)}};
  const auto matches = [&](std::vector<Atom> body, Bindings& bindings) {
    return body_matches(body, facts, bindings, 7);
  };

  Bindings bindings = start;
  EXPECT_TRUE(matches({}, bindings)) << "an empty body holds";
  EXPECT_EQ(bindings, start);

  // The first atom matches two tuples; only (1, 2) continues to (2, 3).
  EXPECT_TRUE(matches({atom("edge", {V("X"), V("Y")}), atom("edge", {V("Y"), V("Z")})}, bindings));
  EXPECT_EQ(bindings, (Bindings{{"A", Value::Id(7)},
                                {"X", Value::Id(1)},
                                {"Y", Value::Id(2)},
                                {"Z", Value::Id(3)}}));

  for (const std::vector<Atom>& failing : std::vector<std::vector<Atom>>{
           {atom("edge", {V("X"), V("Y")}), atom("edge", {V("Y"), I(1)})},  // fails late
           {atom("edge", {V("X"), V("Y")}), atom("missing", {V("X")})},
           {atom("none", {})},
           {atom("edge", {V("X")})},
       }) {
    bindings = start;
    EXPECT_FALSE(matches(failing, bindings));
    EXPECT_EQ(bindings, start);
  }
}

// A body far longer than any call stack could follow recursively.
TEST(BodyMatches, LongBodiesNeedNoDeepStack) {
  const Built built(usual_session());
  const std::vector<Atom> body(200000, atom("tool_call", {V("A")}));
  EXPECT_EQ(evaluate_datalog(std::vector<DatalogRule>{rule(atom("deny", {V("A")}), body)},
                             built.builtins()),
            deny_default());
}

// ---- built-in facts ----

TEST(BuiltinFacts, DrawnFromStoreIndexAndProposal) {
  Session session = usual_session();
  session.parents.push_back(ParentList{0, {1, 1, 9}});  // a repeated edge, an unstored parent
  session.labels.push_back({1, "a"});
  session.labels.push_back({1, ""});
  session.labels.push_back({5, "not stored"});
  const FactSet facts = derived(session, {});

  const FactSet expected = {
      {"event", {ids({0}), ids({1}), ids({2}), ids({3})}},
      {"dataflow", {ids({0, 2}), ids({1, 2}), ids({1, 3}), ids({9, 3})}},
      {"traced",
       {{Value::Id(0), Value::Str("external")}, {Value::Id(1), Value::Str("a")},
        {Value::Id(1), Value::Str("")}}},
      {"tool_call", {ids({3})}},
      {"tool_id", {{Value::Id(3), Value::Str("http_get")}}},
      {"param",
       {{Value::Id(3), Value::Str("url"), Value::Str("https://example.org")},
        {Value::Id(3), Value::Str("flag"), Value::Str("true")}}},
  };
  EXPECT_EQ(facts, expected);
}

TEST(BuiltinFacts, EveryPredicatePresentEvenWhenEmpty) {
  const graph::EventStore store([] { return 0; });
  const trace::TraceIndex index;
  const FactSet facts = builtin_facts(DatalogBuiltins{{}, "", store, index, 0});
  for (const char* predicate : {"event", "dataflow", "traced", "param"}) {
    ASSERT_TRUE(facts.contains(predicate)) << predicate;
    EXPECT_TRUE(facts.at(predicate).empty()) << predicate;
  }
  EXPECT_EQ(facts.at("tool_call"), (TupleSet{ids({0})}));
  EXPECT_EQ(facts.at("tool_id"), (TupleSet{{Value::Id(0), Value::Str("")}}));
}

// ---- derivation ----

TEST(DeriveFacts, ReachabilityOverAChainAndACycle) {
  EXPECT_EQ(derived(chain_session(), kReach).at("reach"),
            (TupleSet{ids({0, 1}), ids({1, 2}), ids({2, 3}), ids({0, 2}), ids({1, 3}),
                      ids({0, 3})}));
  TupleSet all_pairs;
  for (std::uint64_t from = 0; from < 3; ++from)
    for (std::uint64_t to = 0; to < 3; ++to) all_pairs.insert(ids({from, to}));
  EXPECT_EQ(derived(cycle_session(), kReach).at("reach"), all_pairs);
}

struct DeriveCase {
  const char* name;
  std::vector<DatalogRule> rules;
  TupleSet expected;  // the facts of "p"
};

TEST(DeriveFacts, HeadsTable) {
  const std::vector<DeriveCase> cases = {
      {"empty body, constant head: exactly that fact", {rule(atom("p", {S("on"), I(4)}))},
       {{Value::Str("on"), Value::Id(4)}}},
      {"empty body, empty head", {rule(atom("p"))}, {Tuple{}}},
      {"empty body leaves every variable unbound", {rule(atom("p", {V("X")}))}, {}},
      {"A in the head alone is unbound", {rule(atom("p", {V("A")}), {atom("event", {V("X")})})},
       {}},
      {"head variable the body never binds",
       {rule(atom("p", {V("X"), V("Z")}), {atom("event", {V("X")})})}, {}},
      {"A bound by the body is the call, whatever the fact",
       {rule(atom("p", {V("A")}), {atom("event", {V("A")})})}, {ids({2})}},
      {"a later rule sees an earlier rule's facts",
       {rule(atom("q", {I(1)})), rule(atom("p", {V("X")}), {atom("q", {V("X")})})}, {ids({1})}},
      {"an earlier rule sees a later rule's facts in the next pass",
       {rule(atom("p", {V("X")}), {atom("q", {V("X")})}), rule(atom("q", {I(1)}))}, {ids({1})}},
      {"verdict rules derive nothing",
       {rule(atom("deny", {I(1)})), rule(atom("p", {V("X")}), {atom("deny", {V("X")})})},
       {}},
  };
  for (const DeriveCase& c : cases) {
    const FactSet facts = derived(usual_session(), c.rules);
    const auto found = facts.find("p");
    EXPECT_EQ(found == facts.end() ? TupleSet{} : found->second, c.expected) << c.name;
  }
}

// The derivation phase written the plain way: binding lists materialised atom by atom.
void derive_literally(std::span<const DatalogRule> rules, FactSet& facts, EventId call_id) {
  for (bool changed = true; changed;) {
    changed = false;
    for (const DatalogRule& r : rules) {
      if (is_verdict_rule(r)) continue;
      std::vector<Bindings> list(1);
      for (const Atom& a : r.body) {
        if (!facts.contains(a.predicate)) {
          list.clear();
          break;
        }
        std::vector<Bindings> next;
        for (const Bindings& b : list)
          for (const Tuple& t : facts.at(a.predicate)) {
            Bindings copy = b;
            if (unify_atom(a.terms, t, copy, call_id)) next.push_back(std::move(copy));
          }
        list = std::move(next);
        if (list.empty()) break;
      }
      if (list.empty()) continue;
      TupleSet& head = facts[r.head.predicate];
      for (const Bindings& b : list) {
        Tuple t;
        bool bound = true;
        for (const Term& term : r.head.terms) {
          if (term.kind == Term::Kind::Const) {
            t.push_back(term.value);
          } else if (b.contains(term.var)) {
            t.push_back(b.at(term.var));
          } else {
            bound = false;
          }
        }
        if (bound && head.insert(t).second) changed = true;
      }
    }
  }
}

TEST(DeriveFacts, AgreesWithMaterialisedBindingLists) {
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const std::vector<std::string> predicates = {"event", "dataflow", "traced", "p", "q"};
  const auto random_term = [&] {
    switch (pick(6)) {
      case 0: return V("A");
      case 1: return V("X");
      case 2: return V("Y");
      case 3: return S("external");
      default: return I(static_cast<std::uint64_t>(pick(4)));
    }
  };
  const auto random_atom = [&](int max_arity) {
    Atom a{predicates[static_cast<std::size_t>(pick(static_cast<int>(predicates.size())))], {}};
    for (int n = pick(max_arity + 1); n > 0; --n) a.terms.push_back(random_term());
    return a;
  };

  for (int round = 0; round < 200; ++round) {
    Session session;
    for (EventId id = 0; id < 4; ++id) {
      ParentList parents;
      for (int n = pick(3); n > 0; --n)
        parents.explicit_ids.push_back(static_cast<EventId>(pick(4)));
      session.parents.push_back(parents);
      if (pick(2) == 0) session.labels.push_back({id, "external"});
    }
    std::vector<DatalogRule> rules;
    for (int n = 1 + pick(4); n > 0; --n) {
      DatalogRule r{random_atom(2), {}};
      static const std::string kHeads[] = {"p", "q"};
      if (r.head.predicate != kHeads[0] && r.head.predicate != kHeads[1]) r.head.predicate = kHeads[pick(2)];
      for (int m = pick(3); m > 0; --m) r.body.push_back(random_atom(2));
      rules.push_back(std::move(r));
    }

    const Built built(session);
    FactSet expected = builtin_facts(built.builtins());
    FactSet actual = expected;
    derive_literally(rules, expected, built.call_id);
    derive_facts(rules, actual, built.call_id);
    ASSERT_EQ(actual, expected) << "seed " << seed << ", round " << round;
  }
}

// ---- evaluate_datalog ----

struct VerdictCase {
  const char* name;
  Session session;
  std::vector<DatalogRule> rules;
  std::optional<DatalogVerdict> expected;
};

TEST(EvaluateDatalog, VerdictTable) {
  const Session usual = usual_session();
  Session six_events = usual;
  six_events.parents.resize(6);
  Session labelled_call = usual;
  labelled_call.labels = {{2, "external"}};
  Session self_loop = usual;
  self_loop.parents[1] = ParentList{0, {1}};

  const Atom deny = atom("deny", {V("A")});
  const std::vector<VerdictCase> cases = {
      {"empty rule list", usual, {}, std::nullopt},
      {"empty body fires with the default texts", usual, {rule(deny)}, deny_default()},
      {"no head terms at all", usual, {rule(atom("deny"))}, deny_default()},
      {"constant name and message", usual,
       {rule(atom("escalate", {V("A"), S("r-17"), S("needs review")}))},
       DatalogVerdict{"r-17", "needs review", Outcome::Escalate}},
      {"Id name fills the message template", usual, {rule(atom("deny", {V("A"), I(17)}))},
       DatalogVerdict{"17", "Rule 17 triggered", Outcome::Deny}},
      {"variable name is never resolved", usual,
       {rule(atom("deny", {V("A"), V("R")}), {atom("tool_id", {V("A"), V("R")})})}, deny_default()},
      {"variable name, constant message", usual,
       {rule(atom("deny", {V("A"), V("R"), S("blocked")}))},
       DatalogVerdict{"datalog", "blocked", Outcome::Deny}},
      {"Deny with a capital is no verdict rule", usual, {rule(atom("Deny", {V("A")}))},
       std::nullopt},
      {"derivation rules alone give no verdict", usual, kReach, std::nullopt},

      {"A's position matches any event's label", usual,
       {rule(deny, {atom("traced", {V("A"), S("external")})})}, deny_default()},
      {"labels compare exactly", usual, {rule(deny, {atom("traced", {V("X"), S("External")})})},
       std::nullopt},
      {"external event with an outgoing edge", usual,
       {rule(deny, {atom("traced", {V("X"), S("external")}), atom("dataflow", {V("X"), V("Y")})})},
       deny_default()},
      {"external event without an outgoing edge", labelled_call,
       {rule(deny, {atom("traced", {V("X"), S("external")}), atom("dataflow", {V("X"), V("Y")})})},
       std::nullopt},
      {"the call's tool by name", usual,
       {rule(deny, {atom("tool_call", {V("C")}), atom("tool_id", {V("C"), S("http_get")})})},
       deny_default()},
      {"another tool's name", usual,
       {rule(deny, {atom("tool_call", {V("C")}), atom("tool_id", {V("C"), S("shell")})})},
       std::nullopt},

      {"predicate without facts", usual, {rule(deny, {atom("approved", {V("A")})})}, std::nullopt},
      {"empty atom against unary facts", usual, {rule(deny, {atom("event")})}, std::nullopt},
      {"two terms never match param", usual, {rule(deny, {atom("param", {V("A"), S("url")})})},
       std::nullopt},
      {"param by key, whatever its text", usual,
       {rule(deny, {atom("param", {V("A"), S("url"), V("U")})})}, deny_default()},
      {"param key absent", usual, {rule(deny, {atom("param", {V("A"), S("method"), V("U")})})},
       std::nullopt},
      {"boolean param as the text true", usual,
       {rule(deny, {atom("param", {V("A"), S("flag"), S("true")})})}, deny_default()},

      {"Str '5' is not event 5", six_events, {rule(deny, {atom("event", {S("5")})})}, std::nullopt},
      {"Id 5 is event 5", six_events, {rule(deny, {atom("event", {I(5)})})}, deny_default()},
      {"repeated variable without a self-loop", usual,
       {rule(deny, {atom("dataflow", {V("X"), V("X")})})},
       std::nullopt},
      {"repeated variable with a self-loop", self_loop,
       {rule(deny, {atom("dataflow", {V("X"), V("X")})})}, deny_default()},

      {"reachability along a chain", chain_session(),
       with_reach({rule(deny, {atom("reach", {I(0), I(3)})})}),
       deny_default()},
      {"reachability never runs backwards", chain_session(),
       with_reach({rule(deny, {atom("reach", {I(3), I(0)})})}), std::nullopt},
      {"a cycle terminates and reaches itself", cycle_session(),
       with_reach({rule(deny, {atom("reach", {I(1), I(1)})})}), deny_default()},
      {"unbound head variable derives nothing", usual,
       {rule(atom("p", {V("X"), V("Z")}), {atom("event", {V("X")})}),
        rule(deny, {atom("p", {V("X"), V("Y")})})},
       std::nullopt},
      {"constant fact from an empty body", usual,
       {rule(atom("mode", {S("strict")})), rule(deny, {atom("mode", {S("strict")})})},
       deny_default()},
      {"A in a head needs A in the body", usual,
       {rule(atom("marked", {V("A")})), rule(deny, {atom("marked", {V("X")})})}, std::nullopt},
      {"A bound through the body is the call's id", usual,
       {rule(atom("marked", {V("A")}), {atom("event", {V("A")})}),
        rule(deny, {atom("marked", {I(2)})})},
       deny_default()},

      {"earlier escalate decides", usual,
       {rule(atom("escalate", {V("A"), S("first")})), rule(atom("deny", {V("A"), S("second")}))},
       DatalogVerdict{"first", "Rule first triggered", Outcome::Escalate}},
      {"earlier deny decides", usual,
       {rule(atom("deny", {V("A"), S("first")})), rule(atom("escalate", {V("A"), S("second")}))},
       DatalogVerdict{"first", "Rule first triggered", Outcome::Deny}},
      {"a rule that does not fire passes on", usual,
       {rule(atom("deny", {V("A"), S("never")}), {atom("approved", {V("A")})}),
        rule(atom("escalate", {V("A"), S("later")}))},
       DatalogVerdict{"later", "Rule later triggered", Outcome::Escalate}},
      {"a verdict rule sees facts of rules listed after it", chain_session(),
       {rule(deny, {atom("reach", {I(0), I(3)})}), kReach[0], kReach[1]}, deny_default()},
  };
  for (const VerdictCase& c : cases) EXPECT_EQ(evaluate(c.session, c.rules), c.expected) << c.name;
}

}  // namespace
}  // namespace korvel::policy::datalog
