/* The C interface as a C host sees it: every export, its checks in their order (the first
 * failing check decides), the exact bytes of every message, and the last-error slot. */
#include "korvel.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int passed;
static int failed;
static const char *current_case = "";

#define CHECK(cond) check((cond) != 0, #cond, __LINE__)

static int check(int ok, const char *what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    fprintf(stderr, "c_api_test.c:%d: [%s] check failed: %s\n", line, current_case, what);
  }
  return ok;
}

/* A string literal as (pointer, length); the length counts every byte, NULs included. */
#define LIT(s) (s), (uint64_t)(sizeof(s) - 1)

#define MAX KORVEL_MAX_BYTES
#define SENTINEL_ID UINT64_C(0xdeadbeefcafe)

#define ERR_ARGUMENT "{\"error\":\"invalid argument\"}"
#define ERR_CONTENT "{\"error\":\"invalid content length\"}"
#define ERR_TRUST "{\"error\":\"invalid trust_level\"}"
#define ERR_METADATA "{\"error\":\"invalid metadata length\"}"
#define ERR_TOOL_PARAMS "{\"error\":\"invalid tool or params length\"}"
#define ERR_SOURCES "{\"error\":\"invalid input_sources length\"}"
#define ERR_OUTPUT "{\"error\":\"invalid output length\"}"
#define ERR_NOT_FOUND "{\"error\":\"event not found\"}"

#define UNREGISTERED_EMPTY \
  "{\"allowed\":false,\"reason\":\"Tool '' is not registered\"," \
  "\"rule_id\":\"korvel.builtin.unregistered-tool\"}"
#define EXTERNAL_TRACE_DENIAL \
  "{\"allowed\":false,\"reason\":\"Outbound network action blocked: data traces to external " \
  "source\",\"rule_id\":\"korvel.default.external-trace-containment\"}"
#define HIGH_RISK_DENIAL \
  "{\"allowed\":false,\"reason\":\"High-risk tool requires recorded user input in session\"," \
  "\"rule_id\":\"korvel.default.high-risk-gating\"}"
#define TAINTED_DENIAL \
  "{\"allowed\":false,\"reason\":\"Action blocked: data contains detected sensitive content " \
  "(credentials, PII)\",\"rule_id\":\"korvel.default.tainted-data-block\"}"

/* 1048577 bytes of 'a' (valid UTF-8, not JSON): long enough for every over-limit case. */
static char big[MAX + 1];
static uint64_t sources[KORVEL_MAX_INPUT_SOURCES + 1];

/* Takes the slot's message; true when it holds exactly these bytes (reported otherwise). */
static int slot_is(const char *expected, uint64_t expected_len) {
  char *ptr = NULL;
  uint64_t len = 0;
  int32_t status = korvel_last_error(&ptr, &len);
  int same = status == KORVEL_OK && len == expected_len && memcmp(ptr, expected, (size_t)len) == 0;
  if (!same)
    fprintf(stderr, "  slot: status %d, %llu bytes: %.*s\n  want: %.*s\n", (int)status,
            (unsigned long long)len, (int)len, ptr ? ptr : "", (int)expected_len, expected);
  korvel_free_string(ptr, len);
  return same;
}

/* True when the slot is empty: -5 with a null pointer and length 0 written. */
static int slot_empty(void) {
  char *ptr = big;
  uint64_t len = 99;
  int32_t status = korvel_last_error(&ptr, &len);
  if (status == KORVEL_OK) {
    fprintf(stderr, "  slot unexpectedly holds: %.*s\n", (int)len, ptr);
    korvel_free_string(ptr, len);
  }
  return status == KORVEL_NOT_FOUND && ptr == NULL && len == 0;
}

/* Leaves {"error":"invalid argument"} in the slot, so that a later call can show it empties it. */
static void plant_message(void) {
  uint64_t id;
  korvel_ingest(NULL, LIT("x"), 0, NULL, 0, &id);
}

/* An engine with the tool "t" registered at risk low: proposals of "t" are allowed. */
static KorvelEngine *engine_with_tool(void) {
  KorvelEngine *e = korvel_engine_new();
  korvel_register_tool(e, LIT("t"), LIT("{\"risk\":\"low\"}"));
  return e;
}

/* True when nothing was recorded in `e`: the next event it records is event 0. */
static int nothing_recorded(KorvelEngine *e) {
  uint64_t id = SENTINEL_ID;
  return korvel_ingest(e, LIT("probe"), 0, NULL, 0, &id) == KORVEL_OK && id == 0;
}

/* A rejected call stores its message, leaves the out-parameter and the engine untouched; an
 * accepted one leaves the slot empty and records the engine's first event. */
static void check_recording_outcome(KorvelEngine *e, const char *message, uint64_t id) {
  if (message) {
    CHECK(slot_is(message, strlen(message)));
    CHECK(id == SENTINEL_ID);
    CHECK(nothing_recorded(e));
  } else {
    CHECK(slot_empty());
    CHECK(id == 0);
  }
}

static int32_t propose_simple(KorvelEngine *e, const char *tool, uint64_t tool_len, uint64_t *out) {
  return korvel_propose(e, tool, tool_len, LIT("{}"), NULL, 0, NULL, 0, out);
}

/* ---- The last-error slot and returned buffers ------------------------------------------ */

static void test_last_error_slot(void) {
  KorvelEngine *e;
  char *ptr = NULL;
  uint64_t len = 0;
  char local = 'x';

  current_case = "fresh engine: slot empty";
  e = korvel_engine_new();
  CHECK(e != NULL);
  CHECK(slot_empty());

  current_case = "a failing ingest leaves exactly the 28-byte message, once";
  CHECK(sizeof(ERR_ARGUMENT) - 1 == 28);
  plant_message();
  CHECK(slot_is(LIT(ERR_ARGUMENT)));
  CHECK(slot_empty());

  current_case = "null out-parameters: -1 and the message stays";
  plant_message();
  CHECK(korvel_last_error(NULL, &len) == KORVEL_ERROR);
  CHECK(korvel_last_error(&ptr, NULL) == KORVEL_ERROR);
  CHECK(korvel_last_error(NULL, NULL) == KORVEL_ERROR);
  CHECK(slot_is(LIT(ERR_ARGUMENT)));

  current_case = "korvel_engine_new empties the slot";
  plant_message();
  korvel_engine_free(korvel_engine_new());
  CHECK(slot_empty());

  current_case = "korvel_engine_free and korvel_free_string leave the slot as it was";
  plant_message();
  korvel_engine_free(e);
  korvel_engine_free(NULL);
  korvel_free_string(NULL, 5);
  korvel_free_string(&local, 0); /* would crash if it freed anything */
  CHECK(slot_is(LIT(ERR_ARGUMENT)));
}

/* Every call that takes a handle empties the slot first, whether it then succeeds or fails
 * without a message. */
typedef int32_t (*call_fn)(KorvelEngine *e);

static int32_t load_empty_list(KorvelEngine *e) { return korvel_load_policies_yaml(e, LIT("policies: []")); }
static int32_t load_null_handle(KorvelEngine *e) { (void)e; return korvel_load_policies_yaml(NULL, LIT("policies: []")); }
static int32_t load_over_limit(KorvelEngine *e) { return korvel_load_policies_yaml(e, big, MAX + 1); }
static int32_t load_null_with_length(KorvelEngine *e) { return korvel_load_policies_yaml(e, NULL, 1); }
static int32_t register_ok(KorvelEngine *e) { return korvel_register_tool(e, LIT("u"), LIT("{}")); }
static int32_t register_null_handle(KorvelEngine *e) { (void)e; return korvel_register_tool(NULL, LIT("u"), LIT("{}")); }
static int32_t register_over_limit(KorvelEngine *e) { return korvel_register_tool(e, LIT("u"), big, MAX + 1); }
static int32_t register_null_with_length(KorvelEngine *e) { return korvel_register_tool(e, LIT("u"), NULL, 1); }
static int32_t ingest_ok(KorvelEngine *e) { uint64_t id; return korvel_ingest(e, LIT("x"), 0, NULL, 0, &id); }
static int32_t set_label_ok(KorvelEngine *e) { return korvel_set_label(e, 0, LIT("l")); }
static int32_t set_label_null_handle(KorvelEngine *e) { (void)e; return korvel_set_label(NULL, 0, LIT("l")); }
static int32_t is_traced_ok(KorvelEngine *e) { int32_t r; return korvel_is_traced(e, 0, LIT("l"), &r); }
static int32_t is_traced_null_handle(KorvelEngine *e) { int32_t r; (void)e; return korvel_is_traced(NULL, 0, LIT("l"), &r); }
static int32_t is_traced_null_out(KorvelEngine *e) { return korvel_is_traced(e, 0, LIT("l"), NULL); }
static int32_t propose_allowed(KorvelEngine *e) { uint64_t id; return propose_simple(e, LIT("t"), &id); }
static int32_t record_ok(KorvelEngine *e) { uint64_t id; return korvel_record_result(e, 0, LIT("out"), 0, &id); }
static int32_t explain_ok(KorvelEngine *e) {
  char *json;
  uint64_t len, id;
  korvel_ingest(e, LIT("x"), 0, NULL, 0, &id);
  plant_message();
  int32_t status = korvel_explain(e, id, &json, &len);
  if (status == KORVEL_OK) korvel_free_string(json, len);
  return status;
}
static int32_t explain_null_handle(KorvelEngine *e) { char *j; uint64_t n; (void)e; return korvel_explain(NULL, 0, &j, &n); }
static int32_t explain_null_json(KorvelEngine *e) { uint64_t n; return korvel_explain(e, 0, NULL, &n); }
static int32_t explain_null_len(KorvelEngine *e) { char *j; return korvel_explain(e, 0, &j, NULL); }

static void test_calls_empty_the_slot(void) {
  static const struct {
    const char *name;
    call_fn call;
    int32_t status;
  } cases[] = {
      {"load_policies_yaml succeeds", load_empty_list, KORVEL_OK},
      {"load_policies_yaml null handle: no message", load_null_handle, KORVEL_ERROR},
      {"load_policies_yaml over the limit: no message", load_over_limit, KORVEL_ERROR},
      {"load_policies_yaml null yaml with length: no message", load_null_with_length, KORVEL_ERROR},
      {"register_tool succeeds", register_ok, KORVEL_OK},
      {"register_tool null handle: no message", register_null_handle, KORVEL_ERROR},
      {"register_tool description over the limit: no message", register_over_limit, KORVEL_ERROR},
      {"register_tool null description with length: no message", register_null_with_length, KORVEL_ERROR},
      {"ingest succeeds", ingest_ok, KORVEL_OK},
      {"set_label succeeds", set_label_ok, KORVEL_OK},
      {"set_label null handle: no message", set_label_null_handle, KORVEL_ERROR},
      {"is_traced succeeds", is_traced_ok, KORVEL_OK},
      {"is_traced null handle: no message", is_traced_null_handle, KORVEL_ERROR},
      {"is_traced null out_result: no message", is_traced_null_out, KORVEL_ERROR},
      {"propose allowed", propose_allowed, KORVEL_OK},
      {"record_result succeeds", record_ok, KORVEL_OK},
      {"explain succeeds", explain_ok, KORVEL_OK},
      {"explain null handle: no message", explain_null_handle, KORVEL_ERROR},
      {"explain null out_json: no message", explain_null_json, KORVEL_ERROR},
      {"explain null out_len: no message", explain_null_len, KORVEL_ERROR},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    KorvelEngine *e = engine_with_tool();
    current_case = cases[i].name;
    plant_message();
    CHECK(cases[i].call(e) == cases[i].status);
    CHECK(slot_empty());
    korvel_engine_free(e);
  }
}

/* ---- Content calls ----------------------------------------------------------------------- */

static void test_ingest_checks(void) {
  static const struct {
    const char *name;
    int null_handle, null_out;
    const char *content;
    uint64_t content_len;
    uint32_t trust_level;
    const char *metadata;
    uint64_t metadata_len;
    int32_t status;
    const char *message; /* NULL: the slot stays empty */
  } cases[] = {
      {"null handle", 1, 0, "x", 1, 0, NULL, 0, KORVEL_ERROR, ERR_ARGUMENT},
      {"null out_event_id", 0, 1, "x", 1, 0, NULL, 0, KORVEL_ERROR, ERR_ARGUMENT},
      {"null out_event_id beats oversized content", 0, 1, big, MAX + 1, 0, NULL, 0, KORVEL_ERROR, ERR_ARGUMENT},
      {"content of 1048577 bytes", 0, 0, big, MAX + 1, 0, NULL, 0, KORVEL_ERROR, ERR_CONTENT},
      {"null content with length 5", 0, 0, NULL, 5, 0, NULL, 0, KORVEL_ERROR, ERR_CONTENT},
      {"oversized content beats trust 9 and oversized metadata", 0, 0, big, MAX + 1, 9, big, MAX + 1,
       KORVEL_ERROR, ERR_CONTENT},
      {"trust level 5", 0, 0, "x", 1, 5, NULL, 0, KORVEL_ERROR, ERR_TRUST},
      {"trust level 4294967295", 0, 0, "x", 1, UINT32_MAX, NULL, 0, KORVEL_ERROR, ERR_TRUST},
      {"trust level 5 beats null metadata with length 3", 0, 0, "x", 1, 5, NULL, 3, KORVEL_ERROR, ERR_TRUST},
      {"metadata of 1048577 bytes", 0, 0, "x", 1, 0, big, MAX + 1, KORVEL_ERROR, ERR_METADATA},
      {"null metadata with length 3", 0, 0, "x", 1, 0, NULL, 3, KORVEL_ERROR, ERR_METADATA},
      {"content of exactly 1048576 bytes", 0, 0, big, MAX, 0, NULL, 0, KORVEL_OK, NULL},
      {"null content with length 0 is empty content", 0, 0, NULL, 0, 0, NULL, 0, KORVEL_OK, NULL},
      {"content that is not UTF-8", 0, 0, "\xff\xfe", 2, 2, NULL, 0, KORVEL_OK, NULL},
      {"trust level 4", 0, 0, "x", 1, 4, NULL, 0, KORVEL_OK, NULL},
      {"metadata of exactly 1048576 bytes, not JSON: dropped", 0, 0, "x", 1, 0, big, MAX, KORVEL_OK, NULL},
      {"metadata with a number among texts: dropped", 0, 0, "x", 1, 0,
       LIT("{\"channel\":\"c\",\"n\":1}"), KORVEL_OK, NULL},
      {"metadata that is an array: dropped", 0, 0, "x", 1, 0, LIT("[\"a\"]"), KORVEL_OK, NULL},
      {"metadata with trailing characters: dropped", 0, 0, "x", 1, 0, LIT("{\"channel\":\"c\"} x"), KORVEL_OK, NULL},
      {"metadata that is not UTF-8: dropped", 0, 0, "x", 1, 0, LIT("{\"channel\":\"\xff\"}"), KORVEL_OK, NULL},
      {"metadata of string values", 0, 0, "x", 1, 0, LIT("{\"channel\":\"c\"}"), KORVEL_OK, NULL},
      {"non-null metadata with length 0", 0, 0, "x", 1, 0, "{", 0, KORVEL_OK, NULL},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    KorvelEngine *e = korvel_engine_new();
    uint64_t id = SENTINEL_ID;
    current_case = cases[i].name;
    plant_message();
    CHECK(korvel_ingest(cases[i].null_handle ? NULL : e, cases[i].content, cases[i].content_len,
                        cases[i].trust_level, cases[i].metadata, cases[i].metadata_len,
                        cases[i].null_out ? NULL : &id) == cases[i].status);
    check_recording_outcome(e, cases[i].message, id);
    korvel_engine_free(e);
  }
}

static void test_trust_levels_label_external(void) {
  uint32_t level;
  for (level = 0; level <= KORVEL_TRUST_UNKNOWN; ++level) {
    KorvelEngine *e = korvel_engine_new();
    uint64_t first, second;
    int32_t traced = -1;
    current_case = "trust levels 3 and 4 label the content external";
    CHECK(korvel_ingest(e, LIT("x"), level, NULL, 0, &first) == KORVEL_OK);
    CHECK(korvel_is_traced(e, first, LIT("external"), &traced) == KORVEL_OK);
    CHECK(traced == (level >= KORVEL_TRUST_EXTERNAL));

    current_case = "later content derives from earlier content and inherits its label";
    CHECK(korvel_ingest(e, LIT("y"), KORVEL_TRUST_SYSTEM, NULL, 0, &second) == KORVEL_OK);
    CHECK(second == first + 1);
    CHECK(korvel_is_traced(e, second, LIT("external"), &traced) == KORVEL_OK);
    CHECK(traced == (level >= KORVEL_TRUST_EXTERNAL));
    korvel_engine_free(e);
  }
}

/* A lenient label never fails; every fault makes it the empty label. */
static void test_lenient_labels(void) {
  static const struct {
    const char *name;
    const char *label;
    uint64_t len;
    int is_empty_label;
  } cases[] = {
      {"null pointer with length 5", NULL, 5, 1},
      {"length over the limit", big, MAX + 1, 1},
      {"bytes that are not UTF-8", "a\xff", 2, 1},
      {"non-null pointer with length 0", "x", 0, 1},
      {"exactly 1048576 bytes is the label itself", big, MAX, 0},
      {"a NUL byte inside: the length decides", "a\0b", 3, 0},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    KorvelEngine *e = korvel_engine_new();
    uint64_t id;
    int32_t traced = -1;
    current_case = cases[i].name;
    korvel_ingest(e, LIT("x"), 0, NULL, 0, &id);
    plant_message();
    CHECK(korvel_set_label(e, id, cases[i].label, cases[i].len) == KORVEL_OK);
    CHECK(slot_empty());
    CHECK(korvel_is_traced(e, id, "", 0, &traced) == KORVEL_OK);
    CHECK(traced == cases[i].is_empty_label);
    /* The same argument asks about the same label. */
    CHECK(korvel_is_traced(e, id, cases[i].label, cases[i].len, &traced) == KORVEL_OK);
    CHECK(traced == 1);
    CHECK(korvel_is_traced(e, id, LIT("a"), &traced) == KORVEL_OK);
    CHECK(traced == 0);
    korvel_engine_free(e);
  }
}

static void test_labels(void) {
  KorvelEngine *e = korvel_engine_new();
  uint64_t id;
  int32_t traced = 7;

  current_case = "is_traced of an id no event has answers 0";
  CHECK(korvel_is_traced(e, 42, LIT("external"), &traced) == KORVEL_OK);
  CHECK(traced == 0);

  current_case = "is_traced with a null handle or out_result leaves out_result";
  traced = 7;
  CHECK(korvel_is_traced(NULL, 0, LIT("x"), &traced) == KORVEL_ERROR);
  CHECK(traced == 7);

  current_case = "set_label accepts any id, and a later event of that id starts with the label";
  CHECK(korvel_set_label(e, 0, LIT("local_sensitive")) == KORVEL_OK);
  CHECK(korvel_ingest(e, LIT("x"), KORVEL_TRUST_USER, NULL, 0, &id) == KORVEL_OK);
  CHECK(id == 0);
  CHECK(korvel_is_traced(e, 0, LIT("local_sensitive"), &traced) == KORVEL_OK);
  CHECK(traced == 1);
  korvel_engine_free(e);
}

/* ---- Tool, policy and decision calls ---------------------------------------------------- */

/* Risk and category are observed through the built-in rules: a high or critical tool is denied
 * while the session holds no user input; a network_outbound tool is denied once external
 * content was ingested (that rule comes first). */
static void test_tool_descriptions(void) {
  static const struct {
    const char *name;
    const char *json;
    uint64_t len;
    int high_risk, network;
  } cases[] = {
      {"upper-case CRITICAL is critical", LIT("{\"risk\":\"CRITICAL\"}"), 1, 0},
      {"mixed-case HiGh is high", LIT("{\"risk\":\"HiGh\"}"), 1, 0},
      {"low", LIT("{\"risk\":\"low\"}"), 0, 0},
      {"medium", LIT("{\"risk\":\"medium\"}"), 0, 0},
      {"a risk given as a number is medium", LIT("{\"risk\":3}"), 0, 0},
      {"a risk with a surrounding blank is medium", LIT("{\"risk\":\" high\"}"), 0, 0},
      {"only a category: that category, risk medium", LIT("{\"category\":\"network_outbound\"}"), 0, 1},
      {"risk and category", LIT("{\"category\":\"network_outbound\",\"risk\":\"high\"}"), 1, 1},
      {"a category that is not a string is ignored", LIT("{\"category\":1,\"risk\":\"high\"}"), 1, 0},
      {"the category compares exactly", LIT("{\"category\":\"Network_Outbound\"}"), 0, 0},
      {"the later of two risk members counts", LIT("{\"risk\":\"low\",\"risk\":\"critical\"}"), 1, 0},
      {"JSON whitespace around the object", LIT(" \n{\"risk\":\"high\"}\t"), 1, 0},
      {"an array keeps the defaults", LIT("[{\"risk\":\"high\"}]"), 0, 0},
      {"invalid JSON keeps the defaults", LIT("{\"risk\":\"high\""), 0, 0},
      {"trailing characters keep the defaults", LIT("{\"risk\":\"high\"} x"), 0, 0},
      {"invalid UTF-8 keeps the defaults", LIT("{\"risk\":\"high\",\"x\":\"\xff\"}"), 0, 0},
      {"a null description with length 0 gives the defaults", NULL, 0, 0, 0},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    KorvelEngine *e = korvel_engine_new();
    uint64_t id;
    int32_t expected;
    current_case = cases[i].name;
    CHECK(korvel_register_tool(e, LIT("tool"), cases[i].json, cases[i].len) == KORVEL_OK);

    expected = cases[i].high_risk ? KORVEL_DENIED : KORVEL_OK;
    CHECK(propose_simple(e, LIT("tool"), &id) == expected);
    if (cases[i].high_risk) CHECK(slot_is(LIT(HIGH_RISK_DENIAL)));

    korvel_ingest(e, LIT("page"), KORVEL_TRUST_EXTERNAL, NULL, 0, &id);
    expected = cases[i].network || cases[i].high_risk ? KORVEL_DENIED : KORVEL_OK;
    CHECK(propose_simple(e, LIT("tool"), &id) == expected);
    if (cases[i].network) CHECK(slot_is(LIT(EXTERNAL_TRACE_DENIAL)));
    else if (cases[i].high_risk) CHECK(slot_is(LIT(HIGH_RISK_DENIAL)));
    else CHECK(slot_empty());
    korvel_engine_free(e);
  }
}

static void test_tool_names(void) {
  static const struct {
    const char *name;
    const char *tool;
    uint64_t len;
  } empty_names[] = {
      {"a null name registers the empty name", NULL, 5},
      {"a name over the limit registers the empty name", big, MAX + 1},
      {"a name that is not UTF-8 registers the empty name", "t\xff", 2},
  };
  KorvelEngine *e;
  uint64_t id;
  size_t i;

  current_case = "the empty name is not registered by default";
  e = korvel_engine_new();
  CHECK(propose_simple(e, "", 0, &id) == KORVEL_DENIED);
  CHECK(slot_is(LIT(UNREGISTERED_EMPTY)));
  korvel_engine_free(e);

  for (i = 0; i < sizeof empty_names / sizeof empty_names[0]; ++i) {
    current_case = empty_names[i].name;
    e = korvel_engine_new();
    CHECK(korvel_register_tool(e, empty_names[i].tool, empty_names[i].len, LIT("{}")) == KORVEL_OK);
    CHECK(propose_simple(e, "", 0, &id) == KORVEL_OK);
    korvel_engine_free(e);
  }

  current_case = "a name of exactly 1048576 bytes is that name";
  e = korvel_engine_new();
  CHECK(korvel_register_tool(e, big, MAX, LIT("{}")) == KORVEL_OK);
  CHECK(propose_simple(e, big, MAX, &id) == KORVEL_OK);
  CHECK(propose_simple(e, "", 0, &id) == KORVEL_DENIED);
  CHECK(slot_is(LIT(UNREGISTERED_EMPTY)));
  korvel_engine_free(e);

  current_case = "registering a name again replaces the entry whole";
  e = korvel_engine_new();
  CHECK(korvel_register_tool(e, LIT("net"), LIT("{\"category\":\"network_outbound\"}")) == KORVEL_OK);
  CHECK(korvel_register_tool(e, LIT("net"), LIT("{\"risk\":\"low\"}")) == KORVEL_OK);
  korvel_ingest(e, LIT("page"), KORVEL_TRUST_EXTERNAL, NULL, 0, &id);
  CHECK(propose_simple(e, LIT("net"), &id) == KORVEL_OK);
  korvel_engine_free(e);
}

static void test_propose_checks(void) {
  static const struct {
    const char *name;
    int null_handle, null_out;
    const char *tool;
    uint64_t tool_len;
    const char *params;
    uint64_t params_len;
    const char *note;
    uint64_t note_len;
    int null_sources;
    uint64_t sources_len;
    int32_t status;
    const char *message; /* the error or the decision object; NULL: the slot stays empty */
  } cases[] = {
      {"null handle", 1, 0, "t", 1, "{}", 2, NULL, 0, 0, 0, KORVEL_ERROR, ERR_ARGUMENT},
      {"null out_event_id", 0, 1, "t", 1, "{}", 2, NULL, 0, 0, 0, KORVEL_ERROR, ERR_ARGUMENT},
      {"null out_event_id beats an oversized tool", 0, 1, big, MAX + 1, "{}", 2, NULL, 0, 0, 0,
       KORVEL_ERROR, ERR_ARGUMENT},
      {"tool of 1048577 bytes", 0, 0, big, MAX + 1, "{}", 2, NULL, 0, 0, 0, KORVEL_ERROR, ERR_TOOL_PARAMS},
      {"params of 1048577 bytes", 0, 0, "t", 1, big, MAX + 1, NULL, 0, 0, 0, KORVEL_ERROR, ERR_TOOL_PARAMS},
      {"null params with length 2", 0, 0, "t", 1, NULL, 2, NULL, 0, 0, 0, KORVEL_ERROR, ERR_TOOL_PARAMS},
      {"null params beat 1025 input sources", 0, 0, "t", 1, NULL, 2, NULL, 0, 0, 1025, KORVEL_ERROR,
       ERR_TOOL_PARAMS},
      {"1025 input sources", 0, 0, "t", 1, "{}", 2, NULL, 0, 0, 1025, KORVEL_ERROR, ERR_SOURCES},
      {"null input sources with count 1", 0, 0, "t", 1, "{}", 2, NULL, 0, 1, 1, KORVEL_ERROR, ERR_SOURCES},
      {"1024 input sources", 0, 0, "t", 1, "{}", 2, NULL, 0, 0, 1024, KORVEL_OK, NULL},
      {"null input sources with count 0", 0, 0, "t", 1, "{}", 2, NULL, 0, 1, 0, KORVEL_OK, NULL},
      {"null params with length 0", 0, 0, "t", 1, NULL, 0, NULL, 0, 0, 0, KORVEL_OK, NULL},
      {"params that are not JSON", 0, 0, "t", 1, "\xff{", 2, NULL, 0, 0, 0, KORVEL_OK, NULL},
      {"params of exactly 1048576 bytes", 0, 0, "t", 1, big, MAX, NULL, 0, 0, 0, KORVEL_OK, NULL},
      {"a note: null with length 5", 0, 0, "t", 1, "{}", 2, NULL, 5, 0, 0, KORVEL_OK, NULL},
      {"a note over the limit", 0, 0, "t", 1, "{}", 2, big, MAX + 1, 0, 0, KORVEL_OK, NULL},
      {"a note that is not UTF-8", 0, 0, "t", 1, "{}", 2, "\xc3", 1, 0, 0, KORVEL_OK, NULL},
      {"a note", 0, 0, "t", 1, "{}", 2, "why", 3, 0, 0, KORVEL_OK, NULL},
      {"a null tool with length 10 is the empty name", 0, 0, NULL, 10, "{}", 2, NULL, 0, 0, 0,
       KORVEL_DENIED, UNREGISTERED_EMPTY},
      {"a tool that is not UTF-8 is the empty name", 0, 0, "t\xff", 2, "{}", 2, NULL, 0, 0, 0,
       KORVEL_DENIED, UNREGISTERED_EMPTY},
      {"an unregistered tool is denied", 0, 0, "u\"", 2, "{}", 2, NULL, 0, 0, 0, KORVEL_DENIED,
       "{\"allowed\":false,\"reason\":\"Tool 'u\\\"' is not registered\","
       "\"rule_id\":\"korvel.builtin.unregistered-tool\"}"},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    KorvelEngine *e = engine_with_tool();
    uint64_t id = SENTINEL_ID;
    current_case = cases[i].name;
    plant_message();
    CHECK(korvel_propose(cases[i].null_handle ? NULL : e, cases[i].tool, cases[i].tool_len,
                         cases[i].params, cases[i].params_len, cases[i].note, cases[i].note_len,
                         cases[i].null_sources ? NULL : sources, cases[i].sources_len,
                         cases[i].null_out ? NULL : &id) == cases[i].status);
    if (cases[i].message) CHECK(slot_is(cases[i].message, strlen(cases[i].message)));
    else CHECK(slot_empty());
    if (cases[i].status == KORVEL_ERROR) {
      CHECK(id == SENTINEL_ID);
      CHECK(nothing_recorded(e));
    } else {
      CHECK(id == 0);
    }
    korvel_engine_free(e);
  }
}

static const char policy_yaml[] =
    "policies:\n"
    "  - name: review-x\n"
    "    when: {tool: x}\n"
    "    action: escalate\n"
    "  - name: block-y\n"
    "    when: {tool: y}\n"
    "    action: halt\n"
    "    message: \"no \\\"y\\\"\\tever\"\n";

static void test_decisions(void) {
  KorvelEngine *e = korvel_engine_new();
  uint64_t id = SENTINEL_ID;

  korvel_register_tool(e, LIT("x"), LIT("{}"));
  korvel_register_tool(e, LIT("y"), LIT("{}"));
  korvel_register_tool(e, LIT("net"), LIT("{\"category\":\"network_outbound\"}"));

  current_case = "a policy document that loads";
  plant_message();
  CHECK(korvel_load_policies_yaml(e, LIT(policy_yaml)) == KORVEL_OK);
  CHECK(slot_empty());

  current_case = "allowed: 0, the event id, an empty slot";
  CHECK(propose_simple(e, LIT("net"), &id) == KORVEL_OK);
  CHECK(id == 0);
  CHECK(slot_empty());

  current_case = "escalated: -3 and four members, outcome second";
  id = SENTINEL_ID;
  CHECK(propose_simple(e, LIT("x"), &id) == KORVEL_ESCALATED);
  CHECK(id == 1);
  CHECK(slot_is(LIT("{\"allowed\":false,\"outcome\":\"escalate\",\"reason\":\"Rule review-x triggered\","
                    "\"rule_id\":\"review-x\"}")));

  current_case = "halt denies: -2, three members, the reason escaped";
  id = SENTINEL_ID;
  CHECK(propose_simple(e, LIT("y"), &id) == KORVEL_DENIED);
  CHECK(id == 2);
  CHECK(slot_is(LIT("{\"allowed\":false,\"reason\":\"no \\\"y\\\"\\tever\",\"rule_id\":\"block-y\"}")));

  current_case = "a built-in rule comes before loaded rules";
  korvel_ingest(e, LIT("page"), KORVEL_TRUST_EXTERNAL, NULL, 0, &id);
  id = SENTINEL_ID;
  CHECK(propose_simple(e, LIT("net"), &id) == KORVEL_DENIED);
  CHECK(id == 4);
  CHECK(slot_is(LIT(EXTERNAL_TRACE_DENIAL)));

  korvel_engine_free(e);
}

static void test_policy_load_errors(void) {
  static const char bad_action[] =
      "policies:\n"
      "  - name: a\n"
      "    when: {}\n"
      "    action: Deny\n";
  static const char second_rule_bad[] =
      "policies:\n"
      "  - name: a\n"
      "    when: {}\n"
      "    action: deny\n"
      "  - name: b\n"
      "    when: {}\n";
  static const char eof_prefix[] = "{\"error\":\"Parse(Error(\\\"EOF while parsing a value\\\"";
  KorvelEngine *e = engine_with_tool();
  char *ptr = NULL;
  uint64_t len = 0, id;

  current_case = "a rejected document: -1 and the load error as an escaped JSON string";
  CHECK(korvel_load_policies_yaml(e, LIT(bad_action)) == KORVEL_ERROR);
  CHECK(slot_is(LIT("{\"error\":\"Parse(Error(\\\"policies[0].action: unknown variant `Deny`, expected "
                    "one of `deny`, `escalate`, `halt`\\\", line: 4, column: 13))\"}")));

  current_case = "a null document with length 0 is the empty document, which does not load";
  CHECK(korvel_load_policies_yaml(e, NULL, 0) == KORVEL_ERROR);
  CHECK(korvel_last_error(&ptr, &len) == KORVEL_OK);
  CHECK(len > sizeof eof_prefix && memcmp(ptr, eof_prefix, sizeof eof_prefix - 1) == 0);
  CHECK(len >= 2 && memcmp(ptr + len - 2, "\"}", 2) == 0);
  korvel_free_string(ptr, len);

  current_case = "a document is loaded whole or not at all";
  CHECK(korvel_load_policies_yaml(e, LIT(second_rule_bad)) == KORVEL_ERROR);
  CHECK(slot_is(LIT("{\"error\":\"Parse(Error(\\\"policies[1]: missing field `action`\\\", line: 5, "
                    "column: 5))\"}")));
  CHECK(propose_simple(e, LIT("t"), &id) == KORVEL_OK); /* rule a, which denies all, is absent */
  korvel_engine_free(e);
}

static void test_record_result_checks(void) {
  static const struct {
    const char *name;
    int null_handle, null_out;
    uint64_t call;
    const char *output;
    uint64_t output_len;
    int32_t result_code;
    int32_t status;
    const char *message;
  } cases[] = {
      {"null handle", 1, 0, 0, "ok", 2, 0, KORVEL_ERROR, ERR_ARGUMENT},
      {"null out_event_id", 0, 1, 0, "ok", 2, 0, KORVEL_ERROR, ERR_ARGUMENT},
      {"null out_event_id beats oversized output", 0, 1, 0, big, MAX + 1, 0, KORVEL_ERROR, ERR_ARGUMENT},
      {"output of 1048577 bytes", 0, 0, 0, big, MAX + 1, 0, KORVEL_ERROR, ERR_OUTPUT},
      {"null output with length 7", 0, 0, 0, NULL, 7, 0, KORVEL_ERROR, ERR_OUTPUT},
      {"null output with length 0 is empty output", 0, 0, 0, NULL, 0, 0, KORVEL_OK, NULL},
      {"output of exactly 1048576 bytes", 0, 0, 0, big, MAX, 0, KORVEL_OK, NULL},
      {"output that is not UTF-8", 0, 0, 0, "\x80", 1, 0, KORVEL_OK, NULL},
      {"a negative result code", 0, 0, 0, "ok", 2, -1, KORVEL_OK, NULL},
      {"a call id never handed out", 0, 0, UINT64_MAX, "ok", 2, INT32_MIN, KORVEL_OK, NULL},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    KorvelEngine *e = korvel_engine_new();
    uint64_t id = SENTINEL_ID;
    current_case = cases[i].name;
    plant_message();
    CHECK(korvel_record_result(cases[i].null_handle ? NULL : e, cases[i].call, cases[i].output,
                               cases[i].output_len, cases[i].result_code,
                               cases[i].null_out ? NULL : &id) == cases[i].status);
    check_recording_outcome(e, cases[i].message, id);
    korvel_engine_free(e);
  }
}

static void test_record_result_flags_sensitive_output(void) {
  KorvelEngine *e = engine_with_tool();
  uint64_t call, result;
  int32_t traced = -1;

  current_case = "a flagged output labels the result injected, and later calls are denied";
  CHECK(propose_simple(e, LIT("t"), &call) == KORVEL_OK);
  CHECK(korvel_record_result(e, call, LIT("ssn 123-45-6789"), 0, &result) == KORVEL_OK);
  CHECK(result == call + 1);
  CHECK(korvel_is_traced(e, result, LIT("injected"), &traced) == KORVEL_OK);
  CHECK(traced == 1);
  CHECK(propose_simple(e, LIT("t"), &call) == KORVEL_DENIED);
  CHECK(slot_is(LIT(TAINTED_DENIAL)));
  korvel_engine_free(e);
}

/* ---- Explain ------------------------------------------------------------------------------ */

/* Explains `id` and compares the document byte for byte. */
static int explains_as(KorvelEngine *e, uint64_t id, const char *expected, uint64_t expected_len) {
  char *json = NULL;
  uint64_t len = 0;
  int same;
  if (korvel_explain(e, id, &json, &len) != KORVEL_OK) return 0;
  same = len == expected_len && memcmp(json, expected, (size_t)len) == 0;
  if (!same) fprintf(stderr, "  got:  %.*s\n  want: %.*s\n", (int)len, json, (int)expected_len, expected);
  korvel_free_string(json, len);
  return same;
}

static void test_explain(void) {
  KorvelEngine *e = korvel_engine_new();
  char local = 'x';
  char *json = &local;
  uint64_t len = 12345, id;

  current_case = "an unknown event: -5, the 27-byte message, out-parameters untouched";
  CHECK(korvel_explain(e, 0, &json, &len) == KORVEL_NOT_FOUND);
  CHECK(json == &local && len == 12345);
  CHECK(sizeof(ERR_NOT_FOUND) - 1 == 27);
  CHECK(slot_is(LIT(ERR_NOT_FOUND)));

  current_case = "the first event: no predecessors and an empty trace_chain";
  korvel_ingest(e, LIT("a"), KORVEL_TRUST_SYSTEM, NULL, 0, &id);
  CHECK(explains_as(e, 0, LIT("{\"text\":\"Event 0. Chain: no predecessors.\",\"trace_chain\":[]}")));
  CHECK(slot_empty());

  current_case = "the arrow reaches the host as the raw bytes e2 86 92";
  korvel_ingest(e, LIT("b"), KORVEL_TRUST_SYSTEM, NULL, 0, &id);
  korvel_ingest(e, LIT("c"), KORVEL_TRUST_SYSTEM, NULL, 0, &id);
  CHECK(explains_as(e, 2,
                    LIT("{\"text\":\"Event 2. Chain: 0 \xe2\x86\x92 1.\",\"trace_chain\":[0,1]}")));

  current_case = "a label with a quotation mark and a line feed is escaped";
  korvel_set_label(e, 0, LIT("a\"b\nc"));
  CHECK(explains_as(e, 0,
                    LIT("{\"text\":\"Event 0 [a\\\"b\\nc]. Chain: no predecessors.\",\"trace_chain\":[]}")));
  korvel_engine_free(e);

  current_case = "ids in trace_chain are exact for every 64-bit value";
  e = korvel_engine_new();
  korvel_record_result(e, UINT64_MAX, LIT("ok"), 0, &id);
  CHECK(explains_as(e, id,
                    LIT("{\"text\":\"Event 0. Chain: 18446744073709551615.\","
                        "\"trace_chain\":[18446744073709551615]}")));
  korvel_engine_free(e);
}

int main(void) {
  size_t i;
  memset(big, 'a', sizeof big);
  for (i = 0; i < sizeof sources / sizeof sources[0]; ++i) sources[i] = (uint64_t)i * 7919u;

  test_last_error_slot();
  test_calls_empty_the_slot();
  test_ingest_checks();
  test_trust_levels_label_external();
  test_lenient_labels();
  test_labels();
  test_tool_descriptions();
  test_tool_names();
  test_propose_checks();
  test_decisions();
  test_policy_load_errors();
  test_record_result_checks();
  test_record_result_flags_sensitive_output();
  test_explain();

  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
