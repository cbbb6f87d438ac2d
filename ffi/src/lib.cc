// The exported C functions and the per-thread last-error slot.
//
// Every function that works on an engine has the same frame: empty the slot, apply its checks
// in a fixed order (the first that fails decides, before anything is copied or locked), turn
// the arguments into owned values, take the handle's lock, call one engine operation, write
// the out-parameters and report. Parsing of the interface's own JSON arguments happens before
// the lock so that a large argument does not hold up other threads. All bodies run inside
// `guarded`, the one place where exceptions are caught, so nothing is thrown across the C
// boundary.
#include "korvel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "engine.h"
#include "handles.h"
#include "policy/registry.h"
#include "util/json.h"

// The header's constants are what callers compile against; they must not drift.
static_assert(KORVEL_OK == 0);
static_assert(KORVEL_ERROR == -1);
static_assert(KORVEL_DENIED == -2);
static_assert(KORVEL_ESCALATED == -3);
static_assert(KORVEL_NOT_FOUND == -5);
static_assert(KORVEL_MAX_BYTES == 1048576);
static_assert(KORVEL_MAX_INPUT_SOURCES == 1024);
static_assert(KORVEL_TRUST_UNKNOWN == korvel::kMaxTrustLevel);
static_assert(std::is_same_v<korvel::EventId, std::uint64_t>);

namespace {

namespace json = korvel::util::json;
using korvel::EventId;

// The fixed messages stored in the slot, as {"error":"<message>"}.
namespace msg {
constexpr std::string_view kInvalidArgument = "invalid argument";
constexpr std::string_view kInvalidContentLength = "invalid content length";
constexpr std::string_view kInvalidTrustLevel = "invalid trust_level";
constexpr std::string_view kInvalidMetadataLength = "invalid metadata length";
constexpr std::string_view kInvalidToolOrParamsLength = "invalid tool or params length";
constexpr std::string_view kInvalidInputSourcesLength = "invalid input_sources length";
constexpr std::string_view kInvalidOutputLength = "invalid output length";
constexpr std::string_view kEventNotFound = "event not found";
constexpr std::string_view kInternalError = "internal error";
}  // namespace msg

constexpr std::uint64_t kMaxBytes = KORVEL_MAX_BYTES;
constexpr std::uint64_t kMaxInputSources = KORVEL_MAX_INPUT_SOURCES;

// ---- The last-error slot ------------------------------------------------------------------

// Empty, or one JSON text. Touched only by its own thread, so it needs no lock.
thread_local std::optional<std::string> last_error;

void clear_error() noexcept { last_error.reset(); }

void store(std::string json_text) { last_error = std::move(json_text); }

// Stores {"error":"<text>"}, the text escaped as a JSON string, and reports `status`.
std::int32_t fail(std::string_view text, std::int32_t status = KORVEL_ERROR) {
  store(json::error_object(text));
  return status;
}

// Used where an exception has already been caught, so it must not throw in turn: if even the
// fixed message cannot be stored, the slot is left empty rather than holding a stale text.
void store_internal_error() noexcept {
  try {
    store(json::error_object(msg::kInternalError));
  } catch (...) {
    clear_error();
  }
}

// Runs `body`, turning any exception (memory exhaustion, a failing lock, an internal fault)
// into `on_fault` with the internal-error message. Locks are scoped inside the bodies, so they
// are released before the handler runs and the handle stays usable.
template <typename Result, typename Body>
Result guarded(Result on_fault, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    store_internal_error();
    return on_fault;
  }
}

// The frame of every call that takes a handle.
template <typename Body>
std::int32_t engine_call(Body&& body) noexcept {
  clear_error();
  return guarded<std::int32_t>(KORVEL_ERROR, std::forward<Body>(body));
}

// ---- Arguments ----------------------------------------------------------------------------

// A strict byte argument: within the limit, and a null pointer only with length 0.
bool strict_ok(const char* bytes, std::uint64_t len) {
  return len <= kMaxBytes && (bytes != nullptr || len == 0);
}

// Only called once the length is known to be within the limit. A null pointer (length 0)
// becomes a view of a real empty string: the parsers behind the engine (libyaml among them)
// refuse a null data pointer even with length 0.
std::string_view view(const char* bytes, std::uint64_t len) {
  if (bytes == nullptr) return std::string_view("", 0);
  return {bytes, static_cast<std::size_t>(len)};
}

// A lenient text, or nothing when the pointer is null, the length over the limit or the bytes
// not UTF-8. Copied once tested, so the engine gets exactly the bytes that passed the test
// even if the host touches its buffer meanwhile.
std::optional<std::string> text_or_absent(const char* bytes, std::uint64_t len) {
  if (bytes == nullptr || len > kMaxBytes) return std::nullopt;
  std::string_view text = view(bytes, len);
  if (!json::valid_utf8(text)) return std::nullopt;
  return std::string(text);
}

std::string lenient_text(const char* bytes, std::uint64_t len) {
  return text_or_absent(bytes, len).value_or(std::string());
}

// Ingest metadata: a JSON object of string values, or nothing at all; a fault anywhere drops
// it whole.
std::optional<korvel::Metadata> read_metadata(const char* bytes, std::uint64_t len) {
  if (bytes == nullptr || len == 0) return std::nullopt;
  return json::parse_string_object(view(bytes, len), korvel::kMetadataKeys);
}

// A tool description; anything unusable keeps the defaults (risk medium, no category).
korvel::policy::ToolInfo read_tool_description(const char* bytes, std::uint64_t len) {
  korvel::policy::ToolInfo info;
  if (bytes == nullptr || len == 0) return info;
  json::ToolDescription description = json::parse_tool_description(view(bytes, len));
  if (description.risk) info.risk = korvel::policy::risk_from_str(*description.risk);
  info.category = std::move(description.category);
  return info;
}

// ---- Results ------------------------------------------------------------------------------

// A malloc'd copy of exactly text.size() bytes, which the host frees with korvel_free_string;
// null when the allocation fails. The texts handed out are never empty.
char* hand_out(std::string_view text) noexcept {
  auto* buffer = static_cast<char*>(std::malloc(text.size()));
  if (buffer != nullptr) std::memcpy(buffer, text.data(), text.size());
  return buffer;
}

// Members in ascending key order: allowed, [outcome,] reason, rule_id.
std::string decision_object(const korvel::Decision& decision) {
  json::Writer w;
  w.begin_object().key("allowed").boolean(false);
  if (decision.outcome == korvel::Outcome::Escalate) w.key("outcome").string("escalate");
  w.key("reason").string(decision.reason);
  w.key("rule_id");
  if (decision.rule_id) w.string(*decision.rule_id);
  else w.null();
  w.end_object();
  return w.take();
}

// Members in ascending key order: text, trace_chain, viewer_url (only when there is one).
std::string explain_object(const korvel::Explain& explanation) {
  json::Writer w;
  w.begin_object().key("text").string(explanation.summary);
  w.key("trace_chain").begin_array();
  for (EventId id : explanation.chain) w.number(id);
  w.end_array();
  if (explanation.viewer_url) w.key("viewer_url").string(*explanation.viewer_url);
  w.end_object();
  return w.take();
}

}  // namespace

extern "C" {

KorvelEngine* korvel_engine_new(void) {
  clear_error();
  return guarded<KorvelEngine*>(nullptr, [] { return std::make_unique<KorvelEngine>().release(); });
}

// No lock and no slot: the host guarantees that no other call on this handle is running.
void korvel_engine_free(KorvelEngine* engine) { std::unique_ptr<KorvelEngine> owned(engine); }

std::int32_t korvel_last_error(char** out_ptr, std::uint64_t* out_len) {
  return guarded<std::int32_t>(KORVEL_ERROR, [&]() -> std::int32_t {
    if (out_ptr == nullptr || out_len == nullptr) return KORVEL_ERROR;
    if (!last_error) {
      *out_ptr = nullptr;
      *out_len = 0;
      return KORVEL_NOT_FOUND;
    }
    char* buffer = hand_out(*last_error);
    if (buffer == nullptr) return KORVEL_ERROR;  // the message stays for a later try
    *out_ptr = buffer;
    *out_len = last_error->size();
    clear_error();
    return KORVEL_OK;
  });
}

void korvel_free_string(char* ptr, std::uint64_t len) {
  if (ptr != nullptr && len != 0) std::free(ptr);
}

std::int32_t korvel_ingest(KorvelEngine* engine, const char* content, std::uint64_t content_len,
                           std::uint32_t trust_level, const char* metadata, std::uint64_t metadata_len,
                           std::uint64_t* out_event_id) {
  return engine_call([&]() -> std::int32_t {
    if (engine == nullptr || out_event_id == nullptr) return fail(msg::kInvalidArgument);
    if (!strict_ok(content, content_len)) return fail(msg::kInvalidContentLength);
    if (trust_level > korvel::kMaxTrustLevel) return fail(msg::kInvalidTrustLevel);
    if (!strict_ok(metadata, metadata_len)) return fail(msg::kInvalidMetadataLength);

    std::optional<korvel::Metadata> meta = read_metadata(metadata, metadata_len);
    auto level = static_cast<korvel::TrustLevel>(trust_level);

    std::lock_guard guard(engine->lock);
    *out_event_id = engine->engine.ingest(view(content, content_len), level, meta ? &*meta : nullptr);
    return KORVEL_OK;
  });
}

std::int32_t korvel_set_label(KorvelEngine* engine, std::uint64_t event_id, const char* label,
                              std::uint64_t label_len) {
  return engine_call([&]() -> std::int32_t {
    if (engine == nullptr) return KORVEL_ERROR;

    std::string text = lenient_text(label, label_len);

    std::lock_guard guard(engine->lock);
    engine->engine.set_label(event_id, text);
    return KORVEL_OK;
  });
}

std::int32_t korvel_is_traced(KorvelEngine* engine, std::uint64_t event_id, const char* label,
                              std::uint64_t label_len, std::int32_t* out_result) {
  return engine_call([&]() -> std::int32_t {
    if (engine == nullptr || out_result == nullptr) return KORVEL_ERROR;

    std::string text = lenient_text(label, label_len);

    std::lock_guard guard(engine->lock);
    *out_result = engine->engine.is_traced_to(event_id, text) ? 1 : 0;
    return KORVEL_OK;
  });
}

std::int32_t korvel_register_tool(KorvelEngine* engine, const char* name, std::uint64_t name_len,
                                  const char* tool_json, std::uint64_t tool_json_len) {
  return engine_call([&]() -> std::int32_t {
    if (engine == nullptr || !strict_ok(tool_json, tool_json_len)) return KORVEL_ERROR;

    std::string tool_name = lenient_text(name, name_len);
    korvel::policy::ToolInfo info = read_tool_description(tool_json, tool_json_len);

    std::lock_guard guard(engine->lock);
    engine->engine.tools().register_tool(std::move(tool_name), std::move(info));
    return KORVEL_OK;
  });
}

std::int32_t korvel_load_policies_yaml(KorvelEngine* engine, const char* yaml, std::uint64_t yaml_len) {
  return engine_call([&]() -> std::int32_t {
    if (engine == nullptr || !strict_ok(yaml, yaml_len)) return KORVEL_ERROR;

    std::lock_guard guard(engine->lock);
    korvel::PolicyLoad load = engine->engine.load_policies_yaml(view(yaml, yaml_len));
    if (load.error) return fail(*load.error);
    return KORVEL_OK;
  });
}

std::int32_t korvel_propose(KorvelEngine* engine, const char* tool, std::uint64_t tool_len,
                            const char* params, std::uint64_t params_len, const char* note,
                            std::uint64_t note_len, const std::uint64_t* input_sources,
                            std::uint64_t input_sources_len, std::uint64_t* out_event_id) {
  return engine_call([&]() -> std::int32_t {
    if (engine == nullptr || out_event_id == nullptr) return fail(msg::kInvalidArgument);
    if (tool_len > kMaxBytes || params_len > kMaxBytes) return fail(msg::kInvalidToolOrParamsLength);
    if (params == nullptr && params_len != 0) return fail(msg::kInvalidToolOrParamsLength);
    if (input_sources_len > kMaxInputSources) return fail(msg::kInvalidInputSourcesLength);
    if (input_sources == nullptr && input_sources_len != 0) return fail(msg::kInvalidInputSourcesLength);

    std::string tool_name = lenient_text(tool, tool_len);
    std::optional<std::string> note_text = text_or_absent(note, note_len);
    std::optional<std::string_view> note_view;
    if (note_text) note_view = *note_text;
    std::span<const EventId> sources;
    if (input_sources != nullptr) sources = {input_sources, static_cast<std::size_t>(input_sources_len)};

    std::lock_guard guard(engine->lock);
    korvel::Decision decision = engine->engine.propose(tool_name, view(params, params_len), note_view, sources);
    *out_event_id = decision.event_id;
    if (decision.outcome == korvel::Outcome::Allow) return KORVEL_OK;
    store(decision_object(decision));
    return decision.outcome == korvel::Outcome::Escalate ? KORVEL_ESCALATED : KORVEL_DENIED;
  });
}

std::int32_t korvel_record_result(KorvelEngine* engine, std::uint64_t call_event_id, const char* output,
                                  std::uint64_t output_len, std::int32_t result_code,
                                  std::uint64_t* out_event_id) {
  return engine_call([&]() -> std::int32_t {
    if (engine == nullptr || out_event_id == nullptr) return fail(msg::kInvalidArgument);
    if (!strict_ok(output, output_len)) return fail(msg::kInvalidOutputLength);

    // The host's signed code is kept as its 32-bit pattern: -1 is stored as 4294967295.
    auto code = static_cast<std::uint32_t>(result_code);

    std::lock_guard guard(engine->lock);
    *out_event_id = engine->engine.record_result(call_event_id, view(output, output_len), code);
    return KORVEL_OK;
  });
}

std::int32_t korvel_explain(KorvelEngine* engine, std::uint64_t event_id, char** out_json,
                            std::uint64_t* out_len) {
  return engine_call([&]() -> std::int32_t {
    if (engine == nullptr || out_json == nullptr || out_len == nullptr) return KORVEL_ERROR;

    // The document is built under the lock so that it shows one state of the engine.
    std::lock_guard guard(engine->lock);
    std::optional<korvel::Explain> explanation = engine->engine.explain(event_id);
    if (!explanation) return fail(msg::kEventNotFound, KORVEL_NOT_FOUND);
    std::string text = explain_object(*explanation);
    char* buffer = hand_out(text);
    if (buffer == nullptr) throw std::bad_alloc();
    *out_json = buffer;
    *out_len = text.size();
    return KORVEL_OK;
  });
}

}  // extern "C"
