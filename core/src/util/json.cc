#include "util/json.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>

namespace korvel::util::json {
namespace {

namespace dom = simdjson::dom;

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, the whole token.
bool is_json_number(std::string_view t) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < t.size() && is_digit(t[i])) ++i;
    return i - from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') ++i;
  else if (digits() == 0) return false;
  if (i < t.size() && t[i] == '.' && (++i, digits() == 0)) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == t.size();
}

// Whether a grammatical number's magnitude is at least 1, i.e. whether a double that cannot hold
// it overflowed rather than underflowed.
bool at_least_one(std::string_view t) {
  const std::size_t e = t.find_first_of("eE");
  const std::string_view mantissa = t.substr(0, e);
  const std::size_t point = mantissa.find('.');
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return false;  // zero
  const std::size_t int_end = point == std::string_view::npos ? mantissa.size() : point;
  // Decimal exponent of the leading digit, without the written exponent.
  std::int64_t exponent = first < int_end ? std::int64_t(int_end - first - 1) : -std::int64_t(first - int_end);
  if (e != std::string_view::npos) {
    std::string_view written = t.substr(e + 1);
    const bool negative = !written.empty() && written[0] == '-';
    if (!written.empty() && (written[0] == '-' || written[0] == '+')) written.remove_prefix(1);
    std::int64_t value = 0;
    for (char c : written) value = std::min<std::int64_t>(value * 10 + (c - '0'), 1'000'000'000);
    exponent += negative ? -value : value;
  }
  return exponent >= 0;
}

// Whether simdjson cannot represent this number: an integer beyond 64 bits, or a double
// beyond the double range. Tokens outside the JSON grammar are never rewritten, so such a
// text still fails to parse.
bool beyond_simdjson(std::string_view token) {
  if (!is_json_number(token)) return false;
  const char* end = token.data() + token.size();
  if (token.find_first_of(".eE") == std::string_view::npos) {
    std::int64_t s;
    std::uint64_t u;
    return std::from_chars(token.data(), end, s).ec != std::errc{} &&
           std::from_chars(token.data(), end, u).ec != std::errc{};
  }
  double value;
  return std::from_chars(token.data(), end, value).ec == std::errc::result_out_of_range && at_least_one(token);
}

enum class BigNumbers : std::uint8_t { AsNull, AsText };

// The text with each number that simdjson cannot represent replaced by `null`, or by a string
// holding the number as written.
std::string with_big_numbers_replaced(std::string_view text, BigNumbers as) {
  std::string out;
  out.reserve(text.size());
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string || c == '"' || (c != '-' && !is_digit(c))) {
      if (in_string && c == '\\' && i + 1 < text.size()) out += text[i++];
      else if (c == '"') in_string = !in_string;
      out += text[i];
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && is_number_char(text[end])) ++end;
    const std::string_view token = text.substr(i, end - i);
    if (!beyond_simdjson(token)) out += token;
    else if (as == BigNumbers::AsNull) out += "null";
    else out.append("\"").append(token).append("\"");
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
std::optional<dom::element> parse(std::string_view text, BigNumbers big_numbers = BigNumbers::AsNull) {
  dom::parser& parser = thread_parser();
  auto result = parser.parse(text.data(), text.size(), true);
  if (result.error() == simdjson::NUMBER_ERROR) {
    thread_local std::string rewritten;
    rewritten = with_big_numbers_replaced(text, big_numbers);
    result = parser.parse(rewritten.data(), rewritten.size(), true);
  }
  if (result.error()) return std::nullopt;
  return result.value_unsafe();
}

std::optional<dom::object> parse_object(std::string_view text, BigNumbers big_numbers = BigNumbers::AsNull) {
  auto root = parse(text, big_numbers);
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
      // A double keeps a fraction mark so that it never reads as an integer, and its exponent
      // is written plainly: 1e21, 1e-7.
      if (text.find_first_of(".e") == std::string::npos) text += ".0";
      if (auto e = text.find('e'); e != std::string::npos) {
        std::size_t digits = e + 1;
        if (text[digits] == '+') text.erase(digits, 1);
        else if (text[digits] == '-') ++digits;
        while (digits + 1 < text.size() && text[digits] == '0') text.erase(digits, 1);
      }
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
  // The later of repeated members counts, even when it is not a string and so is ignored.
  auto text_of = [](dom::element value) -> std::optional<std::string> {
    if (!value.is_string()) return std::nullopt;
    return std::string(std::string_view(value));
  };
  for (auto field : *object) {
    if (field.key == "risk") description.risk = text_of(field.value);
    else if (field.key == "category") description.category = text_of(field.value);
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
  // A number beyond what simdjson holds still gives its pair, with the number as written.
  auto object = parse_object(text, BigNumbers::AsText);
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
