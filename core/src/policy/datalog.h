// Datalog values, terms, atoms and rules, and their evaluation over facts drawn from the
// event graph for one proposed call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

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

}  // namespace korvel::policy::datalog
