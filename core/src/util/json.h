// JSON at the library's edges: reading the host's small JSON arguments with simdjson, and
// writing the library's own compact JSON output.
//
// Every reader here is total: any input, valid or not, gives a result, never an exception.
// Numbers beyond what simdjson represents (integers over 64 bits, doubles beyond the double
// range) are valid JSON, so a document holding one is still read; such a number reads as null,
// except in `scalar_members`, which gives it as written. A document nested deeper than 1024
// levels counts as not parsing.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::util::json {

bool valid_utf8(std::string_view bytes);

using StringMap = std::map<std::string, std::string, std::less<>>;

// The text as one JSON object all of whose member values are strings; a later duplicate member
// replaces an earlier one. Nothing for anything else (invalid UTF-8, not JSON, not an object,
// a non-string value, trailing characters). With `keep`, the whole object is still checked but
// only the members named there are copied out.
std::optional<StringMap> parse_string_object(std::string_view text);
std::optional<StringMap> parse_string_object(std::string_view text, std::span<const std::string_view> keep);

struct ToolDescription {
  std::optional<std::string> risk;
  std::optional<std::string> category;
};

// "risk" and "category" of a JSON object when they are strings; the later of duplicates counts.
ToolDescription parse_tool_description(std::string_view text);

// The member names of a JSON object, ascending in byte order and without repeats; empty for
// anything that is not a JSON object.
std::vector<std::string> object_keys(std::string_view text);

// (name, value text) for each member of a JSON object whose value is a boolean, a number or a
// string, in ascending name order; a later duplicate replaces an earlier one. Empty for anything
// that is not a JSON object.
std::vector<std::pair<std::string, std::string>> scalar_members(std::string_view text);

// Compact JSON output. The caller writes object members in ascending key order.
class Writer {
 public:
  Writer& begin_object();
  Writer& end_object();
  Writer& begin_array();
  Writer& end_array();
  Writer& key(std::string_view name);
  Writer& string(std::string_view text);
  Writer& number(std::uint64_t value);
  Writer& boolean(bool value);
  Writer& null();

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void separate();
  std::string out_;
  bool first_in_container_ = true;
  bool after_key_ = false;
};

// {"error":"<message>"}
std::string error_object(std::string_view message);

}  // namespace korvel::util::json
