#include "util/json.h"

#include <simdjson.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace korvel::util::json {
namespace {

namespace dom = simdjson::dom;

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Whether simdjson could not represent this number token: an integer beyond 64 bits or a
// double beyond the double range.
bool out_of_range(std::string_view token) {
  if (token.find_first_of(".eE") == std::string_view::npos) {
    std::int64_t s;
    std::uint64_t u;
    const char* end = token.data() + token.size();
    if (std::from_chars(token.data(), end, s).ec == std::errc{}) return false;
    return std::from_chars(token.data(), end, u).ec != std::errc{};
  }
  std::string copy(token);
  errno = 0;
  double value = std::strtod(copy.c_str(), nullptr);
  return errno == ERANGE && value != 0.0;
}

// Rewrites each out-of-range number token to `null` padded with blanks. Such tokens are at
// least five characters long ("1e309", twenty digits), so the rewrite fits in place.
std::string with_big_numbers_as_null(std::string_view text) {
  std::string out(text);
  bool in_string = false;
  for (std::size_t i = 0; i < out.size(); ++i) {
    char c = out[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
      continue;
    }
    if (c != '-' && (c < '0' || c > '9')) continue;
    std::size_t end = i;
    while (end < out.size() && is_number_char(out[end])) ++end;
    std::string_view token(out.data() + i, end - i);
    if (token.size() >= 5 && out_of_range(token)) {
      out.replace(i, 4, "null");
      for (std::size_t j = i + 4; j < end; ++j) out[j] = ' ';
    }
    i = end - 1;
  }
  return out;
}

// One parser per thread: it keeps its buffers between calls, and the host may call from many
// threads at once.
dom::parser& thread_parser() {
  thread_local dom::parser parser;
  return parser;
}

// Parses `text` as exactly one JSON value. The element lives until the thread's next parse.
std::optional<dom::element> parse(std::string_view text) {
  dom::parser& parser = thread_parser();
  auto result = parser.parse(text.data(), text.size(), true);
  if (result.error() == simdjson::NUMBER_ERROR) {
    thread_local std::string rewritten;
    rewritten = with_big_numbers_as_null(text);
    result = parser.parse(rewritten.data(), rewritten.size(), true);
  }
  if (result.error()) return std::nullopt;
  return result.value_unsafe();
}

std::optional<dom::object> parse_object(std::string_view text) {
  auto root = parse(text);
  if (!root || !root->is_object()) return std::nullopt;
  return dom::object(*root);
}

std::string number_text(dom::element value) {
  char buf[64];
  std::to_chars_result r{};
  switch (value.type()) {
    case dom::element_type::INT64:
      r = std::to_chars(buf, buf + sizeof buf, std::int64_t(value));
      return std::string(buf, r.ptr);
    case dom::element_type::UINT64:
      r = std::to_chars(buf, buf + sizeof buf, std::uint64_t(value));
      return std::string(buf, r.ptr);
    default: {
      r = std::to_chars(buf, buf + sizeof buf, double(value));
      std::string text(buf, r.ptr);
      // A double keeps a fraction mark so that it never reads as an integer.
      if (text.find_first_of(".e") == std::string::npos) text += ".0";
      return text;
    }
  }
}

}  // namespace

bool valid_utf8(std::string_view bytes) { return simdjson::validate_utf8(bytes.data(), bytes.size()); }

namespace {

std::optional<StringMap> string_members(std::string_view text, const std::span<const std::string_view>* keep) {
  auto object = parse_object(text);
  if (!object) return std::nullopt;
  StringMap map;
  for (auto field : *object) {
    if (!field.value.is_string()) return std::nullopt;
    if (keep != nullptr && std::find(keep->begin(), keep->end(), field.key) == keep->end()) continue;
    map.insert_or_assign(std::string(field.key), std::string(std::string_view(field.value)));
  }
  return map;
}

}  // namespace

std::optional<StringMap> parse_string_object(std::string_view text) { return string_members(text, nullptr); }

std::optional<StringMap> parse_string_object(std::string_view text, std::span<const std::string_view> keep) {
  return string_members(text, &keep);
}

ToolDescription parse_tool_description(std::string_view text) {
  ToolDescription description;
  auto object = parse_object(text);
  if (!object) return description;
  for (auto field : *object) {
    if (!field.value.is_string()) continue;
    if (field.key == "risk") description.risk = std::string(std::string_view(field.value));
    else if (field.key == "category") description.category = std::string(std::string_view(field.value));
  }
  return description;
}

std::vector<std::string> object_keys(std::string_view text) {
  std::vector<std::string> keys;
  auto object = parse_object(text);
  if (!object) return keys;
  for (auto field : *object) keys.emplace_back(field.key);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

std::vector<std::pair<std::string, std::string>> scalar_members(std::string_view text) {
  std::map<std::string, std::optional<std::string>, std::less<>> members;
  auto object = parse_object(text);
  if (!object) return {};
  for (auto field : *object) {
    std::optional<std::string> value;
    switch (field.value.type()) {
      case dom::element_type::BOOL: value = bool(field.value) ? "true" : "false"; break;
      case dom::element_type::STRING: value = std::string(std::string_view(field.value)); break;
      case dom::element_type::INT64:
      case dom::element_type::UINT64:
      case dom::element_type::DOUBLE: value = number_text(field.value); break;
      default: break;  // null, arrays and objects give no pair
    }
    members.insert_or_assign(std::string(field.key), std::move(value));
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  for (auto& [name, value] : members)
    if (value) pairs.emplace_back(name, std::move(*value));
  return pairs;
}

void Writer::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_in_container_) out_ += ',';
  first_in_container_ = false;
}

Writer& Writer::begin_object() {
  separate();
  out_ += '{';
  first_in_container_ = true;
  return *this;
}

Writer& Writer::end_object() {
  out_ += '}';
  first_in_container_ = false;
  return *this;
}

Writer& Writer::begin_array() {
  separate();
  out_ += '[';
  first_in_container_ = true;
  return *this;
}

Writer& Writer::end_array() {
  out_ += ']';
  first_in_container_ = false;
  return *this;
}

Writer& Writer::key(std::string_view name) {
  string(name);
  out_ += ':';
  after_key_ = true;
  return *this;
}

Writer& Writer::string(std::string_view text) {
  separate();
  static constexpr char hex[] = "0123456789abcdef";
  out_ += '"';
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '\b': out_ += "\\b"; break;
      case '\t': out_ += "\\t"; break;
      case '\n': out_ += "\\n"; break;
      case '\f': out_ += "\\f"; break;
      case '\r': out_ += "\\r"; break;
      default:
        if (byte < 0x20) {
          out_ += "\\u00";
          out_ += hex[byte >> 4];
          out_ += hex[byte & 0xf];
        } else {
          out_ += c;
        }
    }
  }
  out_ += '"';
  return *this;
}

Writer& Writer::number(std::uint64_t value) {
  separate();
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, r.ptr);
  return *this;
}

Writer& Writer::boolean(bool value) {
  separate();
  out_ += value ? "true" : "false";
  return *this;
}

Writer& Writer::null() {
  separate();
  out_ += "null";
  return *this;
}

std::string error_object(std::string_view message) {
  Writer w;
  w.begin_object().key("error").string(message).end_object();
  return w.take();
}

}  // namespace korvel::util::json
