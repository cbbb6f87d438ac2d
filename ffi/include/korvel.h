/* Korvel: an in-process policy engine for the host program of an AI agent.
 *
 * Conventions that hold for every function below:
 *
 *  1. Handle. KorvelEngine is opaque. korvel_engine_new creates one and korvel_engine_free
 *     destroys it; nothing else does. A handle holds one engine session, in memory only.
 *  2. Bytes. Every text or byte argument is a pointer and a length in bytes; nothing is
 *     NUL-terminated and no terminator is looked for. A length is a uint64_t: the width of
 *     size_t on 64-bit platforms, so a size_t converts to it without loss. A byte argument
 *     longer than KORVEL_MAX_BYTES, or a null pointer with a non-zero length, is rejected; a
 *     null pointer with length 0 is the empty string. "Lenient" texts (labels, tool names,
 *     notes) are never rejected: a null pointer, a length over the limit or bytes that are
 *     not UTF-8 make them the empty text.
 *  3. Last error. Each thread has one last-error slot, shared by all handles: empty, or one
 *     UTF-8 JSON text such as {"error":"invalid argument"}. korvel_engine_new and every call
 *     that takes a handle (except korvel_engine_free) empty it first; a failure that has a
 *     message, a denied or escalated proposal and a failed policy load fill it; after any
 *     other outcome it stays empty. korvel_last_error moves the message out. A message is
 *     read only on the thread whose call stored it.
 *  4. Returned buffers. korvel_last_error and korvel_explain hand out (pointer, length): a
 *     buffer of exactly that many bytes, not NUL-terminated, owned by the caller from then
 *     on. Give it back with korvel_free_string and that same pointer and length, once.
 *  5. Status codes are the KORVEL_* constants below; no other value is returned.
 *  6. Threads. Calls on one handle may come from any threads: the handle's lock serialises
 *     them, and no call calls back into the host. korvel_engine_free takes no lock and must
 *     not race any other call on that handle. The library starts no threads.
 *  7. Faults. Memory exhaustion or an internal fault inside a call returns KORVEL_ERROR with
 *     {"error":"internal error"} in the slot (when even that cannot be stored, the slot is
 *     left empty). The handle stays usable; the interrupted operation may or may not have
 *     taken effect. Nothing is thrown or aborted across this interface.
 */
#ifndef KORVEL_H
#define KORVEL_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KORVEL_BUILDING_LIBRARY)
#define KORVEL_API __declspec(dllexport)
#else
#define KORVEL_API __declspec(dllimport)
#endif
#elif defined(KORVEL_BUILDING_LIBRARY)
#define KORVEL_API __attribute__((visibility("default")))
#else
#define KORVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
#define KORVEL_OK 0           /* success; for korvel_propose: allowed */
#define KORVEL_ERROR (-1)     /* argument rejected or operation failed */
#define KORVEL_DENIED (-2)    /* korvel_propose: denied, decision object in the slot */
#define KORVEL_ESCALATED (-3) /* korvel_propose: escalated, decision object in the slot */
#define KORVEL_NOT_FOUND (-5) /* no such event, or korvel_last_error found the slot empty */

/* Largest accepted byte length of any argument, and number of input sources per proposal. */
#define KORVEL_MAX_BYTES 1048576u
#define KORVEL_MAX_INPUT_SOURCES 1024u

/* Trust levels of korvel_ingest. Levels 3 and 4 label the content "external". */
#define KORVEL_TRUST_SYSTEM 0u
#define KORVEL_TRUST_OPERATOR 1u
#define KORVEL_TRUST_USER 2u
#define KORVEL_TRUST_EXTERNAL 3u
#define KORVEL_TRUST_UNKNOWN 4u

typedef struct KorvelEngine KorvelEngine;

/* A new engine with the built-in rules and an empty slot. NULL only when the handle itself
 * cannot be allocated. */
KORVEL_API KorvelEngine* korvel_engine_new(void);

/* Destroys the engine and all it holds. NULL does nothing. Leaves the slot as it was. */
KORVEL_API void korvel_engine_free(KorvelEngine* engine);

/* Moves the thread's message out: *out_ptr, *out_len receive the buffer (see 4).
 * KORVEL_OK; KORVEL_NOT_FOUND with NULL and 0 written when the slot is empty; KORVEL_ERROR,
 * slot untouched, when an out-pointer is null or the buffer cannot be allocated. */
KORVEL_API int32_t korvel_last_error(char** out_ptr, uint64_t* out_len);

/* Releases a buffer from korvel_last_error or korvel_explain. NULL or length 0 does nothing. */
KORVEL_API void korvel_free_string(char* ptr, uint64_t len);

/* Records content entering the agent's context; the new event id goes to *out_event_id.
 * metadata: optional JSON object of string values ("channel", "sender", "sender_id" are
 * read); anything else is dropped whole, silently. KORVEL_OK, or KORVEL_ERROR with "invalid
 * argument", "invalid content length", "invalid trust_level" or "invalid metadata length". */
KORVEL_API int32_t korvel_ingest(KorvelEngine* engine, const char* content, uint64_t content_len,
                                 uint32_t trust_level, const char* metadata, uint64_t metadata_len,
                                 uint64_t* out_event_id);

/* Adds a label (lenient text) to an event's labels; any id is accepted. Later events that
 * derive from it inherit it. KORVEL_OK; KORVEL_ERROR without message for a null engine. */
KORVEL_API int32_t korvel_set_label(KorvelEngine* engine, uint64_t event_id, const char* label,
                                    uint64_t label_len);

/* Writes 1 to *out_result when the event carries the label (lenient text), else 0.
 * KORVEL_OK; KORVEL_ERROR without message for a null engine or out_result. */
KORVEL_API int32_t korvel_is_traced(KorvelEngine* engine, uint64_t event_id, const char* label,
                                    uint64_t label_len, int32_t* out_result);

/* Registers a tool under a name (lenient text), replacing any entry of that name. tool_json:
 * optional JSON object with string members "risk" (low, medium, high, critical; ASCII case
 * ignored; default medium) and "category"; anything unusable gives the defaults.
 * KORVEL_OK; KORVEL_ERROR without message for a null engine or a bad tool_json length. */
KORVEL_API int32_t korvel_register_tool(KorvelEngine* engine, const char* name, uint64_t name_len,
                                        const char* tool_json, uint64_t tool_json_len);

/* Appends the rules of one YAML policy document, all or none. KORVEL_OK; KORVEL_ERROR without
 * message for a null engine or a bad length; KORVEL_ERROR with {"error":"<load error>"} when
 * the document does not load. */
KORVEL_API int32_t korvel_load_policies_yaml(KorvelEngine* engine, const char* yaml,
                                             uint64_t yaml_len);

/* Records a proposed call (tool and note lenient; it derives from every earlier event, whatever
 * input_sources name) and decides it; its event id goes to *out_event_id. KORVEL_OK allowed;
 * KORVEL_DENIED / KORVEL_ESCALATED with {"allowed":false,["outcome":"escalate",]"reason":..,
 * "rule_id":..} in the slot; KORVEL_ERROR with "invalid argument", "invalid tool or params
 * length" or "invalid input_sources length". */
KORVEL_API int32_t korvel_propose(KorvelEngine* engine, const char* tool, uint64_t tool_len,
                                  const char* params, uint64_t params_len, const char* note,
                                  uint64_t note_len, const uint64_t* input_sources,
                                  uint64_t input_sources_len, uint64_t* out_event_id);

/* Records the output of an executed call (result_code kept unchanged); the result's event id
 * goes to *out_event_id. KORVEL_OK, or KORVEL_ERROR with "invalid argument" or
 * "invalid output length". */
KORVEL_API int32_t korvel_record_result(KorvelEngine* engine, uint64_t call_event_id,
                                        const char* output, uint64_t output_len,
                                        int32_t result_code, uint64_t* out_event_id);

/* Explains an event: {"text":...,"trace_chain":[...]} (plus "viewer_url" when configured) in
 * *out_json, *out_len (see 4). KORVEL_OK; KORVEL_ERROR without message for a null pointer;
 * KORVEL_NOT_FOUND with "event not found" and the out-parameters untouched. */
KORVEL_API int32_t korvel_explain(KorvelEngine* engine, uint64_t event_id, char** out_json,
                                  uint64_t* out_len);

#ifdef __cplusplus
}
#endif

#endif /* KORVEL_H */
