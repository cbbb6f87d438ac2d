#include "policy/loader.h"

#include <yaml.h>

#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "util/seeded_hash.h"

namespace korvel::policy {
namespace {

// ---------------------------------------------------------------------------------------------
// Messages and expectation texts. Schema messages follow one fixed wording; the placeholders are
// filled where the problem is found.

constexpr std::string_view kEmptyText = "EOF while parsing a value";
constexpr std::string_view kSeveralDocuments =
    "deserializing from YAML containing more than one document is not supported";
constexpr std::string_view kRiskMismatch =
    "data did not match any variant of untagged enum RiskCondition";
constexpr std::string_view kActionVariants = "one of `deny`, `escalate`, `halt`";
constexpr std::string_view kOutOfMemory = "out of memory";
constexpr std::string_view kUnexpectedEvent = "unexpected YAML event inside a node";

constexpr std::string_view kExpectDoc = "struct PolicyDoc";
constexpr std::string_view kExpectRule = "struct PolicyRule";
constexpr std::string_view kExpectWhen = "struct WhenConditions";
constexpr std::string_view kExpectRequires = "struct RequiresConditions";
constexpr std::string_view kExpectWindow = "struct WindowCount";
constexpr std::string_view kExpectSequence = "a sequence";
constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectU32 = "u32";
constexpr std::string_view kExpectAction = "enum PolicyAction";

std::string quoted_name(std::string_view open, std::string_view name, std::string_view close) {
  std::string text(open);
  text += name;
  text += close;
  return text;
}

std::string too_deep_message() {
  return "document nested deeper than " + std::to_string(kMaxNestingDepth) + " levels";
}
std::string alias_nodes_message() {
  return "aliases expand to more than " + std::to_string(kMaxAliasNodes) + " nodes";
}
std::string alias_bytes_message() {
  return "aliases expand to more than " + std::to_string(kMaxAliasBytes) + " bytes of scalars";
}

// The message as a double-quoted literal: quotes, backslashes and control characters escaped.
void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += "\\u{";
          if (byte >= 0x10) out += kHex[byte >> 4];
          out += kHex[byte & 0xf];
          out += '}';
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

// ---------------------------------------------------------------------------------------------
// Plain scalars as the YAML 1.2 core schema reads them.

enum class ScalarType : std::uint8_t { Null, Bool, Int, Float, Str };

bool is_null_text(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}
bool is_true_text(std::string_view s) { return s == "true" || s == "True" || s == "TRUE"; }
bool is_false_text(std::string_view s) { return s == "false" || s == "False" || s == "FALSE"; }

struct IntValue {
  bool negative = false;
  bool fits = true;  // the magnitude fits in 64 bits
  std::uint64_t magnitude = 0;
};

int digit_value(char c, int base) {
  int d = 16;
  if (c >= '0' && c <= '9')
    d = c - '0';
  else if (c >= 'a' && c <= 'f')
    d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    d = c - 'A' + 10;
  return d < base ? d : -1;
}

// [-+]? followed by decimal digits, 0o and octal digits, or 0x and hex digits.
std::optional<IntValue> parse_int(std::string_view s) {
  IntValue value;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    value.negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'o' || s[1] == 'x')) {
    base = s[1] == 'o' ? 8 : 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  for (const char c : s) {
    const int d = digit_value(c, base);
    if (d < 0) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(d);
    if (value.fits && value.magnitude > (kMax - digit) / static_cast<std::uint64_t>(base)) {
      value.fits = false;
    } else if (value.fits) {
      value.magnitude = value.magnitude * static_cast<std::uint64_t>(base) + digit;
    }
  }
  return value;
}

std::size_t count_digits(std::string_view s, std::size_t& i) {
  const std::size_t start = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  return i - start;
}

// [-+]? ( \.[0-9]+ | [0-9]+ ( \.[0-9]* )? ) ( [eE] [-+]? [0-9]+ )?, or the infinities and NaNs.
bool is_float_text(std::string_view s) {
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return true;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) s.remove_prefix(1);
  if (s == ".inf" || s == ".Inf" || s == ".INF") return true;
  std::size_t i = 0;
  std::size_t mantissa = count_digits(s, i);
  if (i < s.size() && s[i] == '.') {
    ++i;
    mantissa += count_digits(s, i);
  }
  if (mantissa == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (count_digits(s, i) == 0) return false;
  }
  return i == s.size();
}

ScalarType resolve_plain(std::string_view s) {
  if (is_null_text(s)) return ScalarType::Null;
  if (is_true_text(s) || is_false_text(s)) return ScalarType::Bool;
  if (parse_int(s)) return ScalarType::Int;
  if (is_float_text(s)) return ScalarType::Float;
  return ScalarType::Str;
}

// The number in plain decimal; beyond 64 bits, as written.
std::string int_text(const IntValue& value, std::string_view written) {
  if (!value.fits) return std::string(written);
  std::string text = value.negative && value.magnitude != 0 ? "-" : "";
  return text + std::to_string(value.magnitude);
}

// ---------------------------------------------------------------------------------------------
// Node events: what the schema layer reads. Aliases never show up here; they are replaced by the
// events of their anchored node.

struct Mark {
  std::uint64_t line = 1;  // 1-based
  std::uint64_t column = 1;
};

Mark mark_of(const yaml_mark_t& mark) { return Mark{mark.line + 1, mark.column + 1}; }

enum class NodeKind : std::uint8_t { Scalar, SequenceStart, SequenceEnd, MappingStart, MappingEnd };

struct Node {
  NodeKind kind = NodeKind::Scalar;
  bool plain = false;     // read by the core schema: plain style, not tagged as a string
  std::string_view text;  // Scalar only; valid until the next node is read
  Mark mark;

  bool opens() const { return kind == NodeKind::SequenceStart || kind == NodeKind::MappingStart; }
  bool closes() const { return kind == NodeKind::SequenceEnd || kind == NodeKind::MappingEnd; }
  ScalarType type() const { return plain ? resolve_plain(text) : ScalarType::Str; }
  bool is_null() const { return kind == NodeKind::Scalar && plain && is_null_text(text); }
  // Nothing written at all, as after `when:`.
  bool is_empty() const { return kind == NodeKind::Scalar && plain && text.empty(); }
  bool is_text() const { return kind == NodeKind::Scalar && type() == ScalarType::Str; }
};

// What was found, for "invalid type" messages.
std::string describe(const Node& node) {
  if (node.kind == NodeKind::MappingStart) return "map";
  if (node.kind == NodeKind::SequenceStart) return "sequence";
  switch (node.type()) {
    case ScalarType::Null:
      return "unit value";
    case ScalarType::Bool:
      return is_true_text(node.text) ? "boolean `true`" : "boolean `false`";
    case ScalarType::Int:
      return "integer `" + int_text(*parse_int(node.text), node.text) + "`";
    case ScalarType::Float:
      return quoted_name("floating point `", node.text, "`");
    case ScalarType::Str:
      break;
  }
  std::string text = "string ";
  append_quoted(text, node.text);
  return text;
}

bool resolvable(const yaml_event_t& event) {
  if (event.data.scalar.style != YAML_PLAIN_SCALAR_STYLE) return false;
  const auto* tag = reinterpret_cast<const char*>(event.data.scalar.tag);
  return tag == nullptr || (std::strcmp(tag, "!") != 0 && std::strcmp(tag, YAML_STR_TAG) != 0);
}

std::string_view view(const yaml_char_t* text, std::size_t length) {
  return text == nullptr ? std::string_view()
                         : std::string_view(reinterpret_cast<const char*>(text), length);
}

// Where libyaml's reader stopped, from its byte offset: lines and characters as its marks count
// them. Unknown for UTF-16 input, whose offsets are not in UTF-8 bytes.
std::optional<Mark> mark_at_offset(std::string_view bytes, std::size_t offset) {
  const auto at = [&](std::size_t i) {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
  };
  if ((at(0) == 0xfe && at(1) == 0xff) || (at(0) == 0xff && at(1) == 0xfe)) return std::nullopt;
  Mark mark;
  std::size_t i = (at(0) == 0xef && at(1) == 0xbb && at(2) == 0xbf) ? 3 : 0;
  for (offset = std::min(offset, bytes.size()); i < offset; ++i) {
    const unsigned c = at(i);
    const bool crlf_tail = c == '\n' && i > 0 && at(i - 1) == '\r';
    const bool unicode_break =
        (c == 0xc2 && at(i + 1) == 0x85) ||
        (c == 0xe2 && at(i + 1) == 0x80 && (at(i + 2) == 0xa8 || at(i + 2) == 0xa9));
    if (c == '\r' || (c == '\n' && !crlf_tail) || unicode_break) {
      ++mark.line;
      mark.column = 1;
    } else if ((c & 0xc0) != 0x80 && !crlf_tail) {
      ++mark.column;
    }
  }
  return mark;
}

LoadError parse_error(std::string message, std::optional<Mark> mark) {
  LoadError error{LoadError::Kind::Parse, std::move(message), std::nullopt, std::nullopt};
  if (mark) {
    error.line = mark->line;
    error.column = mark->column;
  }
  return error;
}

// ---------------------------------------------------------------------------------------------
// libyaml, owned.

class YamlEvent {
 public:
  YamlEvent() = default;
  YamlEvent(const YamlEvent&) = delete;
  YamlEvent& operator=(const YamlEvent&) = delete;
  ~YamlEvent() { reset(); }

  const yaml_event_t& operator*() const { return event_; }
  const yaml_event_t* operator->() const { return &event_; }

 private:
  friend class YamlParser;
  void reset() {
    if (held_) yaml_event_delete(&event_);
    held_ = false;
  }
  yaml_event_t event_{};
  bool held_ = false;
};

class YamlParser {
 public:
  explicit YamlParser(std::string_view bytes) : bytes_(bytes) {
    if (yaml_parser_initialize(&parser_) == 0) throw std::bad_alloc();
    // libyaml asserts on a null input pointer, which an empty view may carry.
    static constexpr unsigned char kEmpty[1] = {0};
    const auto* input = bytes.data() != nullptr ? reinterpret_cast<const unsigned char*>(bytes.data()) : kEmpty;
    yaml_parser_set_input_string(&parser_, input, bytes.size());
  }
  YamlParser(const YamlParser&) = delete;
  YamlParser& operator=(const YamlParser&) = delete;
  ~YamlParser() { yaml_parser_delete(&parser_); }

  // The next event, releasing the previous one; false on a syntax error.
  bool parse(YamlEvent& event) {
    event.reset();
    if (yaml_parser_parse(&parser_, &event.event_) == 0) return false;
    event.held_ = true;
    return true;
  }

  LoadError syntax_error() const {
    if (parser_.error == YAML_MEMORY_ERROR)
      return parse_error(std::string(kOutOfMemory), std::nullopt);
    std::string problem = parser_.problem != nullptr ? parser_.problem : "invalid YAML";
    if (parser_.error == YAML_READER_ERROR) {
      return parse_error(std::move(problem), mark_at_offset(bytes_, parser_.problem_offset));
    }
    return parse_error(std::move(problem), mark_of(parser_.problem_mark));
  }

 private:
  std::string_view bytes_;
  yaml_parser_t parser_{};
};

// ---------------------------------------------------------------------------------------------
// Anchor names: each to the latest anchor of that name. Open addressing over one array, since a
// document may define an anchor every few bytes; keyed hashing, since the names are the author's.

class AnchorNames {
 public:
  std::optional<std::size_t> find(std::string_view name) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint64_t hash = hash_of(name);
    for (std::size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == 0) return std::nullopt;
      const Entry& entry = entries_[slots_[i] - 1];
      if (entry.hash == hash && name_of(entry) == name) return entry.anchor;
    }
  }

  void assign(std::string_view name, std::size_t anchor) {
    if (slots_.empty()) {
      seed_ = util::random_seed();
      slots_.assign(kInitialSlots, 0);
    }
    const std::uint64_t hash = hash_of(name);
    std::size_t i = hash & (slots_.size() - 1);
    for (; slots_[i] != 0; i = (i + 1) & (slots_.size() - 1)) {
      Entry& entry = entries_[slots_[i] - 1];
      if (entry.hash == hash && name_of(entry) == name) {
        entry.anchor = anchor;
        return;
      }
    }
    entries_.push_back(Entry{hash, names_.size(), name.size(), anchor});
    names_ += name;
    slots_[i] = entries_.size();
    if (entries_.size() * 2 > slots_.size()) grow();
  }

 private:
  static constexpr std::size_t kInitialSlots = 16;  // a power of two, as every size after it

  struct Entry {
    std::uint64_t hash = 0;
    std::size_t offset = 0;  // the name in names_
    std::size_t length = 0;
    std::size_t anchor = 0;
  };

  std::uint64_t hash_of(std::string_view name) const {
    return util::siphash13(seed_, name.data(), name.size());
  }
  std::string_view name_of(const Entry& entry) const {
    return std::string_view(names_).substr(entry.offset, entry.length);
  }

  void grow() {
    std::vector<std::size_t> slots(slots_.size() * 2, 0);
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      std::size_t i = entries_[e].hash & (slots.size() - 1);
      while (slots[i] != 0) i = (i + 1) & (slots.size() - 1);
      slots[i] = e + 1;
    }
    slots_ = std::move(slots);
  }

  util::HashSeed seed_;
  std::vector<Entry> entries_;
  std::vector<std::size_t> slots_;  // 0 for free, else an index into entries_ plus one
  std::string names_;
};

// ---------------------------------------------------------------------------------------------
// The event reader: libyaml's event stream, one node event at a time, with the document framing
// checked, nesting bounded, and aliases replaced by replays of their anchored nodes.
//
// Events are consumed as libyaml produces them, never loaded first: libyaml's scanner costs grow
// with the nesting of flow collections, so the depth bound must stop it early. Events are
// recorded only while an anchored node is open, so documents without anchors cost no copies.
// Each alias is charged the full expanded size of its anchor (nested aliases included) when it is
// read, so the budget holds for aliases that are skipped as well as for those replayed.

class EventReader {
 public:
  explicit EventReader(std::string_view bytes) : parser_(bytes) {}

  // Past the stream start and the start of the first document.
  bool open_document() {
    if (!parse_live() || !parse_live()) return false;
    if (event_->type == YAML_STREAM_END_EVENT)
      return fail_here(mark_of(event_->start_mark), std::string(kEmptyText));
    return true;
  }

  // Past the end of the document, with nothing but the stream end after it.
  bool close_document() {
    if (!parse_live() || !parse_live()) return false;
    if (event_->type == YAML_DOCUMENT_START_EVENT) {
      return fail_here(mark_of(event_->start_mark), std::string(kSeveralDocuments));
    }
    return true;
  }

  // The document's next node event.
  bool next(Node& node) {
    for (;;) {
      if (!replay_.empty()) {
        Cursor& cursor = replay_.back();
        if (cursor.pos == cursor.end) {
          replay_.pop_back();
          continue;
        }
        const Recorded& recorded = recorded_[cursor.pos++];
        if (!recorded.is_alias) {
          node = replayed(recorded);
          return track_replay_depth(node);
        }
        const Anchor& anchor = anchors_[recorded.target];
        replay_.push_back(Cursor{anchor.begin, anchor.end});
        continue;
      }
      if (!parse_live()) return false;
      if (event_->type != YAML_ALIAS_EVENT) return live_node(node);
      if (!start_alias()) return false;
    }
  }

  // Records a problem; always false. Only the first problem counts.
  bool fail(Mark mark, std::string message) {
    return fail_with(parse_error(std::move(message), mark), true);
  }

  // The problem to report. A problem inside the first document yields to a second document, as
  // the text must hold exactly one before its content matters: the rest of the text is read
  // (events only, nesting still bounded) to find one.
  LoadError finish() {
    if (!error_) return parse_error(std::string(kUnexpectedEvent), std::nullopt);
    if (!look_further_) return *error_;
    std::size_t depth = live_depth_;
    while (parser_.parse(event_)) {
      switch (event_->type) {
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT:
          if (++depth > kMaxNestingDepth) return *error_;
          break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
          --depth;
          break;
        case YAML_DOCUMENT_START_EVENT:
          return parse_error(std::string(kSeveralDocuments), mark_of(event_->start_mark));
        case YAML_STREAM_END_EVENT:
        case YAML_NO_EVENT:
          return *error_;
        default:
          break;
      }
    }
    return *error_;
  }

 private:
  struct Anchor {
    std::size_t begin = 0;  // its node's events in recorded_
    std::size_t end = 0;
    std::uint64_t nodes = 0;  // expanded size: nodes and scalar bytes, nested aliases included
    std::uint64_t bytes = 0;
    std::size_t depth = 0;  // live depth of its collection
    bool complete = false;
  };
  struct Recorded {
    NodeKind kind = NodeKind::Scalar;
    bool plain = false;
    bool is_alias = false;
    Mark mark;
    std::size_t target = 0;  // scalar: offset in recorded_text_; alias: index in anchors_
    std::size_t length = 0;
  };
  struct Cursor {
    std::size_t pos = 0;
    std::size_t end = 0;
  };

  bool fail_with(LoadError error, bool look_further) {
    if (!error_) {
      error_ = std::move(error);
      look_further_ = look_further;
    }
    return false;
  }
  bool fail_here(Mark mark, std::string message) {
    return fail_with(parse_error(std::move(message), mark), false);
  }

  bool parse_live() { return parser_.parse(event_) || fail_with(parser_.syntax_error(), false); }

  bool live_node(Node& node) {
    const yaml_event_t& event = *event_;
    const yaml_char_t* anchor = nullptr;
    node = Node{};
    node.mark = mark_of(event.start_mark);
    switch (event.type) {
      case YAML_SCALAR_EVENT:
        node.kind = NodeKind::Scalar;
        node.plain = resolvable(event);
        node.text = view(event.data.scalar.value, event.data.scalar.length);
        anchor = event.data.scalar.anchor;
        break;
      case YAML_SEQUENCE_START_EVENT:
        node.kind = NodeKind::SequenceStart;
        anchor = event.data.sequence_start.anchor;
        break;
      case YAML_MAPPING_START_EVENT:
        node.kind = NodeKind::MappingStart;
        anchor = event.data.mapping_start.anchor;
        break;
      case YAML_SEQUENCE_END_EVENT:
        node.kind = NodeKind::SequenceEnd;
        break;
      case YAML_MAPPING_END_EVENT:
        node.kind = NodeKind::MappingEnd;
        break;
      default:
        return fail(node.mark, std::string(kUnexpectedEvent));
    }
    if (node.opens()) {
      if (live_depth_ >= kMaxNestingDepth) return fail_here(node.mark, too_deep_message());
      ++live_depth_;
    }
    if (anchor != nullptr)
      open_anchor(view(anchor, std::strlen(reinterpret_cast<const char*>(anchor))), node);
    if (!node.closes()) {
      ++node_count_;
      byte_count_ += node.text.size();
    }
    if (!open_anchors_.empty()) record(node);
    if (node.closes()) {
      if (!open_anchors_.empty() && anchors_[open_anchors_.back()].depth == live_depth_)
        close_anchor();
      --live_depth_;
    } else if (node.kind == NodeKind::Scalar && anchor != nullptr) {
      close_anchor();
    }
    return true;
  }

  void open_anchor(std::string_view name, const Node& node) {
    Anchor anchor;
    anchor.begin = recorded_.size();
    anchor.nodes = node_count_;  // counters at the start; the difference at the end is the size
    anchor.bytes = byte_count_;
    anchor.depth = node.opens() ? live_depth_ : 0;
    anchor_names_.assign(name, anchors_.size());
    open_anchors_.push_back(anchors_.size());
    anchors_.push_back(anchor);
  }

  void close_anchor() {
    Anchor& anchor = anchors_[open_anchors_.back()];
    open_anchors_.pop_back();
    anchor.end = recorded_.size();
    anchor.nodes = node_count_ - anchor.nodes;
    anchor.bytes = byte_count_ - anchor.bytes;
    anchor.complete = true;
  }

  void record(const Node& node) {
    Recorded recorded;
    recorded.kind = node.kind;
    recorded.plain = node.plain;
    recorded.mark = node.mark;
    if (node.kind == NodeKind::Scalar) {
      recorded.target = recorded_text_.size();
      recorded.length = node.text.size();
      recorded_text_ += node.text;
    }
    recorded_.push_back(recorded);
  }

  bool start_alias() {
    const Mark mark = mark_of(event_->start_mark);
    const std::string_view name =
        view(event_->data.alias.anchor,
             std::strlen(reinterpret_cast<const char*>(event_->data.alias.anchor)));
    const std::optional<std::size_t> found = anchor_names_.find(name);
    if (!found) return fail(mark, quoted_name("unknown anchor `", name, "`"));
    const std::size_t index = *found;
    const Anchor& anchor = anchors_[index];
    if (!anchor.complete)
      return fail(
          mark, quoted_name("recursive alias `*", name, "`: it lies inside its own anchored node"));
    if (anchor.nodes > kMaxAliasNodes - alias_nodes_) return fail(mark, alias_nodes_message());
    if (anchor.bytes > kMaxAliasBytes - alias_bytes_) return fail(mark, alias_bytes_message());
    alias_nodes_ += anchor.nodes;
    alias_bytes_ += anchor.bytes;
    node_count_ += anchor.nodes;
    byte_count_ += anchor.bytes;
    if (!open_anchors_.empty()) {
      Recorded recorded;
      recorded.is_alias = true;
      recorded.mark = mark;
      recorded.target = index;
      recorded_.push_back(recorded);
    }
    replay_origin_ = mark;
    replay_.push_back(Cursor{anchor.begin, anchor.end});
    return true;
  }

  Node replayed(const Recorded& recorded) const {
    Node node;
    node.kind = recorded.kind;
    node.plain = recorded.plain;
    node.mark = recorded.mark;
    if (recorded.kind == NodeKind::Scalar) {
      node.text = std::string_view(recorded_text_).substr(recorded.target, recorded.length);
    }
    return node;
  }

  // A replayed node sits at the alias's depth, which may carry it past the bound.
  bool track_replay_depth(const Node& node) {
    if (node.opens()) {
      if (live_depth_ + replay_depth_ >= kMaxNestingDepth)
        return fail_here(replay_origin_, too_deep_message());
      ++replay_depth_;
    } else if (node.closes()) {
      --replay_depth_;
    }
    return true;
  }

  YamlParser parser_;
  YamlEvent event_;
  std::optional<LoadError> error_;
  bool look_further_ = false;

  std::size_t live_depth_ = 0;    // open collections among the live events
  std::size_t replay_depth_ = 0;  // open collections among the replayed ones

  std::vector<Anchor> anchors_;
  AnchorNames anchor_names_;
  std::vector<std::size_t> open_anchors_;
  std::vector<Recorded> recorded_;
  std::string recorded_text_;
  std::vector<Cursor> replay_;
  Mark replay_origin_;

  std::uint64_t node_count_ = 0;  // nodes and scalar bytes read so far, with alias expansions
  std::uint64_t byte_count_ = 0;
  std::uint64_t alias_nodes_ = 0;  // what the aliases added
  std::uint64_t alias_bytes_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The schema layer: node events onto the policy types. Its recursion follows the schema, whose
// depth is fixed, except in `any_value`, which the reader's depth bound limits.

class Path {
 public:
  void push(std::string_view field) { segments_.push_back(Segment{field, 0}); }
  void push(std::size_t index) { segments_.push_back(Segment{{}, index}); }
  void pop() { segments_.pop_back(); }

  // "policies[0].when: ", or nothing at the root.
  std::string prefix() const {
    std::string text;
    for (const Segment& segment : segments_) {
      if (segment.field.empty()) {
        text += '[' + std::to_string(segment.index) + ']';
      } else {
        if (!text.empty()) text += '.';
        text += segment.field;
      }
    }
    if (!text.empty()) text += ": ";
    return text;
  }

 private:
  struct Segment {
    std::string_view field;  // empty for a sequence index
    std::size_t index;
  };
  std::vector<Segment> segments_;
};

template <typename Step>
class PathScope {
 public:
  PathScope(Path& path, Step step) : path_(path) { path_.push(step); }
  PathScope(const PathScope&) = delete;
  PathScope& operator=(const PathScope&) = delete;
  ~PathScope() { path_.pop(); }

 private:
  Path& path_;
};

template <std::size_t N>
using Fields = std::array<std::string_view, N>;

constexpr Fields<1> kDocFields = {"policies"};
enum RuleField : std::size_t {
  kName,
  kDescription,
  kWhen,
  kAction,
  kSeverity,
  kMessage,
  kRequires,
  kParams
};
constexpr Fields<8> kRuleFields = {"name",     "description", "when",     "action",
                                   "severity", "message",     "requires", "params"};
enum WhenField : std::size_t {
  kTool,
  kCategory,
  kTracedTo,
  kRisk,
  kAgentId,
  kCallsInWindow,
  kAgentFailures
};
constexpr Fields<7> kWhenFields = {"tool",
                                   "category",
                                   "traced_to",
                                   "risk",
                                   "agent_id",
                                   "calls_in_window",
                                   "agent_failures_in_window"};
enum RequiresField : std::size_t { kSessionHasInputFrom, kApprovalFrom };
constexpr Fields<2> kRequiresFields = {"session_has_input_from", "approval_from"};
enum WindowField : std::size_t { kCount, kWindowMinutes };
constexpr Fields<2> kWindowFields = {"count", "window_minutes"};

constexpr std::uint32_t bit(std::size_t field) { return 1u << field; }

template <std::size_t N>
std::size_t field_index(const Fields<N>& fields, std::string_view key) {
  for (std::size_t i = 0; i < N; ++i) {
    if (fields[i] == key) return i;
  }
  return N;
}

class Mapper {
 public:
  explicit Mapper(EventReader& reader) : reader_(reader) {}

  bool document(std::vector<PolicyRule>& rules) {
    Node root;
    return next(root) &&
           record(root, kExpectDoc, kDocFields, bit(0),
                  [&](std::size_t, const Node& value) { return rule_list(value, rules); });
  }

 private:
  bool next(Node& node) { return reader_.next(node); }

  bool fail(Mark mark, std::string_view message) {
    return reader_.fail(mark, path_.prefix() + std::string(message));
  }

  bool invalid_type(const Node& found, std::string_view expected) {
    return fail(found.mark,
                "invalid type: " + describe(found) + ", expected " + std::string(expected));
  }

  // A record: its known keys go to `on_field(index, value)`, unknown keys are skipped with their
  // values, a repeated known key is an error, and so is a missing required one. Written with no
  // value at all, a record is an empty mapping.
  template <std::size_t N, typename OnField>
  bool record(const Node& first, std::string_view expected, const Fields<N>& fields,
              std::uint32_t required, OnField&& on_field) {
    std::uint32_t seen = 0;
    if (first.kind == NodeKind::MappingStart) {
      if (!entries(fields, seen, on_field)) return false;
    } else if (!first.is_empty()) {
      return invalid_type(first, expected);
    }
    for (std::size_t i = 0; i < N; ++i) {
      if ((required & bit(i)) != 0 && (seen & bit(i)) == 0) {
        return fail(first.mark, quoted_name("missing field `", fields[i], "`"));
      }
    }
    return true;
  }

  template <std::size_t N, typename OnField>
  bool entries(const Fields<N>& fields, std::uint32_t& seen, OnField& on_field) {
    for (;;) {
      Node key;
      if (!next(key)) return false;
      if (key.kind == NodeKind::MappingEnd) return true;
      const std::size_t field = key.kind == NodeKind::Scalar ? field_index(fields, key.text) : N;
      Node value;
      if (field == N) {
        if (!skip(key) || !next(value) || !skip(value)) return false;
        continue;
      }
      if ((seen & bit(field)) != 0)
        return fail(key.mark, quoted_name("duplicate field `", fields[field], "`"));
      seen |= bit(field);
      if (!next(value)) return false;
      const PathScope scope(path_, fields[field]);
      if (!on_field(field, value)) return false;
    }
  }

  // An optional field: a plain null is the same as no key.
  template <typename T>
  bool optional(const Node& value, std::optional<T>& out, bool (Mapper::*read)(const Node&, T&)) {
    if (value.is_null()) return true;
    T parsed{};
    if (!(this->*read)(value, parsed)) return false;
    out = std::move(parsed);
    return true;
  }

  bool rule_list(const Node& first, std::vector<PolicyRule>& rules) {
    if (first.is_empty()) return true;
    if (first.kind != NodeKind::SequenceStart) return invalid_type(first, kExpectSequence);
    for (std::size_t i = 0;; ++i) {
      Node item;
      if (!next(item)) return false;
      if (item.kind == NodeKind::SequenceEnd) return true;
      const PathScope scope(path_, i);
      PolicyRule parsed;
      if (!rule(item, parsed)) return false;
      rules.push_back(std::move(parsed));
    }
  }

  bool rule(const Node& first, PolicyRule& out) {
    constexpr std::uint32_t kRequired = bit(kName) | bit(kWhen) | bit(kAction);
    return record(first, kExpectRule, kRuleFields, kRequired,
                  [&](std::size_t field, const Node& value) {
                    switch (field) {
                      case kName:
                        return text(value, out.name);
                      case kDescription:
                        return optional(value, out.description, &Mapper::text);
                      case kWhen:
                        return when(value, out.when);
                      case kAction:
                        return action(value, out.action);
                      case kSeverity:
                        return optional(value, out.severity, &Mapper::text);
                      case kMessage:
                        return optional(value, out.message, &Mapper::text);
                      case kRequires:
                        return optional(value, out.requires_, &Mapper::requires_conditions);
                      default:
                        return optional(value, out.params, &Mapper::any_value);
                    }
                  });
  }

  bool when(const Node& first, WhenConditions& out) {
    return record(first, kExpectWhen, kWhenFields, 0, [&](std::size_t field, const Node& value) {
      switch (field) {
        case kTool:
          return optional(value, out.tool, &Mapper::text);
        case kCategory:
          return optional(value, out.category, &Mapper::text);
        case kTracedTo:
          return optional(value, out.traced_to, &Mapper::text);
        case kRisk:
          return optional(value, out.risk, &Mapper::risk);
        case kAgentId:
          return optional(value, out.agent_id, &Mapper::text);
        case kCallsInWindow:
          return optional(value, out.calls_in_window, &Mapper::window);
        default:
          return optional(value, out.agent_failures_in_window, &Mapper::window);
      }
    });
  }

  bool requires_conditions(const Node& first, RequiresConditions& out) {
    return record(first, kExpectRequires, kRequiresFields, 0,
                  [&](std::size_t field, const Node& value) {
                    return field == kSessionHasInputFrom
                               ? optional(value, out.session_has_input_from, &Mapper::text_list)
                               : optional(value, out.approval_from, &Mapper::text);
                  });
  }

  bool window(const Node& first, WindowCount& out) {
    constexpr std::uint32_t kRequired = bit(kCount) | bit(kWindowMinutes);
    return record(first, kExpectWindow, kWindowFields, kRequired,
                  [&](std::size_t field, const Node& value) {
                    return u32(value, field == kCount ? out.count : out.window_minutes);
                  });
  }

  // Any scalar, as written.
  bool text(const Node& value, std::string& out) {
    if (value.kind != NodeKind::Scalar) return invalid_type(value, kExpectString);
    out.assign(value.text);
    return true;
  }

  bool text_list(const Node& first, std::vector<std::string>& out) {
    if (first.kind != NodeKind::SequenceStart) return invalid_type(first, kExpectSequence);
    for (std::size_t i = 0;; ++i) {
      Node item;
      if (!next(item)) return false;
      if (item.kind == NodeKind::SequenceEnd) return true;
      const PathScope scope(path_, i);
      if (!text(item, out.emplace_back())) return false;
    }
  }

  bool action(const Node& value, PolicyAction& out) {
    if (value.kind != NodeKind::Scalar) return invalid_type(value, kExpectAction);
    if (value.text == "deny")
      out = PolicyAction::Deny;
    else if (value.text == "escalate")
      out = PolicyAction::Escalate;
    else if (value.text == "halt")
      out = PolicyAction::Halt;
    else
      return fail(value.mark, quoted_name("unknown variant `", value.text, "`, expected ") +
                                  std::string(kActionVariants));
    return true;
  }

  // One text scalar, or a sequence of text scalars; numbers and booleans are not text.
  bool risk(const Node& first, RiskCondition& out) {
    if (first.is_text()) {
      out = std::string(first.text);
      return true;
    }
    if (first.kind != NodeKind::SequenceStart) return fail(first.mark, kRiskMismatch);
    std::vector<std::string> names;
    for (;;) {
      Node item;
      if (!next(item)) return false;
      if (item.kind == NodeKind::SequenceEnd) break;
      if (!item.is_text()) return fail(first.mark, kRiskMismatch);
      names.emplace_back(item.text);
    }
    out = std::move(names);
    return true;
  }

  bool u32(const Node& value, std::uint32_t& out) {
    const std::optional<IntValue> number =
        value.kind == NodeKind::Scalar && value.plain ? parse_int(value.text) : std::nullopt;
    if (!number) return invalid_type(value, kExpectU32);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (!number->fits || (number->negative && number->magnitude != 0) || number->magnitude > kMax) {
      return fail(value.mark,
                  "invalid value: integer `" + int_text(*number, value.text) + "`, expected u32");
    }
    out = static_cast<std::uint32_t>(number->magnitude);
    return true;
  }

  // Any value, kept as a tree. Recursion depth is bounded by kMaxNestingDepth.
  bool any_value(const Node& first, YamlValue& out) {
    switch (first.kind) {
      case NodeKind::Scalar:
        if (first.is_null()) {
          out.kind = YamlValue::Kind::Null;
        } else {
          out.kind = YamlValue::Kind::Scalar;
          out.scalar.assign(first.text);
        }
        return true;
      case NodeKind::SequenceStart:
        out.kind = YamlValue::Kind::Sequence;
        for (;;) {
          Node item;
          if (!next(item)) return false;
          if (item.kind == NodeKind::SequenceEnd) return true;
          if (!any_value(item, out.items.emplace_back())) return false;
        }
      case NodeKind::MappingStart:
        out.kind = YamlValue::Kind::Mapping;
        for (;;) {
          Node key;
          if (!next(key)) return false;
          if (key.kind == NodeKind::MappingEnd) return true;
          auto& entry = out.entries.emplace_back();
          Node item;
          if (!any_value(key, entry.first) || !next(item) || !any_value(item, entry.second))
            return false;
        }
      default:
        return fail(first.mark, kUnexpectedEvent);
    }
  }

  bool skip(const Node& first) {
    std::size_t depth = first.opens() ? 1 : 0;
    while (depth > 0) {
      Node node;
      if (!next(node)) return false;
      if (node.opens())
        ++depth;
      else if (node.closes())
        --depth;
    }
    return true;
  }

  EventReader& reader_;
  Path path_;
};

}  // namespace

ParseResult parse_policies(std::string_view bytes) {
  try {
    EventReader reader(bytes);
    Mapper mapper(reader);
    std::vector<PolicyRule> rules;
    if (reader.open_document() && mapper.document(rules) && reader.close_document()) return rules;
    return reader.finish();
  } catch (const std::bad_alloc&) {
    return parse_error(std::string(kOutOfMemory), std::nullopt);
  }
}

std::string load_error_text(const LoadError& error) {
  std::string text = error.kind == LoadError::Kind::Io ? "Io(" : "Parse(Error(";
  append_quoted(text, error.message);
  if (error.kind == LoadError::Kind::Parse) {
    if (error.line && error.column) {
      text +=
          ", line: " + std::to_string(*error.line) + ", column: " + std::to_string(*error.column);
    }
    text += ')';
  }
  text += ')';
  return text;
}

}  // namespace korvel::policy
