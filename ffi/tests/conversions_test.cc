// What the engine receives from the C calls, for the conversions a host cannot observe through
// the interface itself: ingest metadata, the tool registry entry, the note and tool name of a
// proposal, the stored result code. The calls are made through korvel.h; the engine behind the
// handle is then inspected directly.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>

#include "engine.h"
#include "graph/event.h"
#include "handles.h"
#include "korvel.h"

namespace {

using korvel::graph::ContentIngested;
using korvel::graph::ToolCallProposed;
using korvel::graph::ToolResultRecorded;
using korvel::policy::RiskLevel;

struct Handle {
  Handle() : raw(korvel_engine_new()) {}
  ~Handle() { korvel_engine_free(raw); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  template <typename Payload>
  const Payload& payload(std::uint64_t id) const {
    const auto* record = raw->engine.store().get(id);
    EXPECT_NE(record, nullptr);
    return std::get<Payload>(record->payload);
  }

  KorvelEngine* raw;
};

struct MetadataCase {
  const char* name;
  std::string_view json;  // data() null: a null pointer
  std::string_view channel;
  std::string_view sender;
};

// Test names carry the case name rather than a dump of its bytes.
void PrintTo(const MetadataCase& c, std::ostream* os) { *os << c.name; }

class Metadata : public testing::TestWithParam<MetadataCase> {};

TEST_P(Metadata, ReachesTheEventOrIsDroppedWhole) {
  const MetadataCase& c = GetParam();
  Handle h;
  std::uint64_t id = 0;
  ASSERT_EQ(korvel_ingest(h.raw, "x", 1, 2, c.json.data(), c.json.size(), &id), KORVEL_OK);
  const auto& content = h.payload<ContentIngested>(id);
  EXPECT_EQ(content.channel, c.channel);
  EXPECT_EQ(content.sender, c.sender);
}

INSTANTIATE_TEST_SUITE_P(
    Ingest, Metadata,
    testing::Values(
        MetadataCase{"channel_and_sender", R"({"channel":"chat","sender":"ann","x":"y"})", "chat", "ann"},
        MetadataCase{"sender_id_stands_in", R"({"sender_id":"u7"})", "", "u7"},
        MetadataCase{"escapes_are_read", R"({"channel":"a\"\u00e9\n"})", "a\"\xc3\xa9\n", ""},
        MetadataCase{"later_duplicate_wins", R"({"channel":"a","channel":"b"})", "b", ""},
        MetadataCase{"whitespace_around", " \t{\"channel\":\"c\"}\r\n", "c", ""},
        MetadataCase{"number_among_texts", R"({"channel":"c","sender":"s","n":1})", "", ""},
        MetadataCase{"null_value", R"({"channel":"c","n":null})", "", ""},
        MetadataCase{"array", R"(["channel","c"])", "", ""},
        MetadataCase{"trailing_characters", R"({"channel":"c"}x)", "", ""},
        MetadataCase{"two_values", R"({"channel":"c"} {})", "", ""},
        MetadataCase{"not_utf8", "{\"channel\":\"c\",\"k\":\"\xff\"}", "", ""},
        MetadataCase{"truncated", R"({"channel":"c")", "", ""},
        MetadataCase{"empty_object", "{}", "", ""},
        MetadataCase{"null_pointer", std::string_view(), "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Ingest, NullContentWithLengthZeroIsTheEmptyContent) {
  Handle h;
  std::uint64_t id = 0;
  ASSERT_EQ(korvel_ingest(h.raw, nullptr, 0, 4, nullptr, 0, &id), KORVEL_OK);
  const auto& content = h.payload<ContentIngested>(id);
  EXPECT_EQ(content.content_len, 0u);
  EXPECT_EQ(content.content_hash, korvel::graph::blake3_digest(""));
  EXPECT_EQ(content.trust_level, 4u);
}

struct ToolCase {
  const char* name;
  std::string_view json;
  RiskLevel risk;
  std::optional<std::string> category;
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

class ToolDescription : public testing::TestWithParam<ToolCase> {};

TEST_P(ToolDescription, GivesTheRegistryEntry) {
  const ToolCase& c = GetParam();
  Handle h;
  ASSERT_EQ(korvel_register_tool(h.raw, "t", 1, c.json.data(), c.json.size()), KORVEL_OK);
  ASSERT_TRUE(h.raw->engine.tools().contains("t"));
  korvel::policy::ToolInfo info = h.raw->engine.tools().get("t");
  EXPECT_EQ(info.risk, c.risk);
  EXPECT_EQ(info.category, c.category);
}

INSTANTIATE_TEST_SUITE_P(
    RegisterTool, ToolDescription,
    testing::Values(ToolCase{"upper_case_critical", R"({"risk":"CRITICAL"})", RiskLevel::Critical, {}},
                    ToolCase{"upper_case_low", R"({"risk":"LOW"})", RiskLevel::Low, {}},
                    ToolCase{"medium", R"({"risk":"medium"})", RiskLevel::Medium, {}},
                    ToolCase{"unknown_word", R"({"risk":"severe"})", RiskLevel::Medium, {}},
                    ToolCase{"number_risk", R"({"risk":2})", RiskLevel::Medium, {}},
                    ToolCase{"only_category", R"({"category":"files"})", RiskLevel::Medium, "files"},
                    ToolCase{"category_kept_unchanged", R"({"category":" Files ","risk":"high"})",
                             RiskLevel::High, " Files "},
                    ToolCase{"array", R"([{"risk":"high"}])", RiskLevel::Medium, {}},
                    ToolCase{"not_json", "risk: high", RiskLevel::Medium, {}},
                    ToolCase{"null_pointer", std::string_view(), RiskLevel::Medium, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegisterTool, SecondRegistrationReplacesTheEntryWhole) {
  Handle h;
  ASSERT_EQ(korvel_register_tool(h.raw, "t", 1, R"({"category":"net","risk":"high"})", 32), KORVEL_OK);
  ASSERT_EQ(korvel_register_tool(h.raw, "t", 1, "{}", 2), KORVEL_OK);
  EXPECT_EQ(h.raw->engine.tools().get("t"), (korvel::policy::ToolInfo{std::nullopt, RiskLevel::Medium}));
}

TEST(Propose, ToolAndNoteAreLenientTexts) {
  Handle h;
  std::uint64_t id = 0;
  korvel_propose(h.raw, "calc", 4, R"({"b":1,"a":2})", 13, "why", 3, nullptr, 0, &id);
  EXPECT_EQ(h.payload<ToolCallProposed>(id).tool, "calc");
  EXPECT_EQ(h.payload<ToolCallProposed>(id).note, "why");
  EXPECT_EQ(h.payload<ToolCallProposed>(id).param_keys, (std::vector<std::string>{"a", "b"}));

  korvel_propose(h.raw, nullptr, 10, "{}", 2, nullptr, 3, nullptr, 0, &id);
  EXPECT_EQ(h.payload<ToolCallProposed>(id).tool, "");
  EXPECT_EQ(h.payload<ToolCallProposed>(id).note, "");

  korvel_propose(h.raw, "a\xff", 2, "{}", 2, "n\xff", 2, nullptr, 0, &id);
  EXPECT_EQ(h.payload<ToolCallProposed>(id).tool, "");
  EXPECT_EQ(h.payload<ToolCallProposed>(id).note, "");
}

TEST(Propose, InputSourcesDoNotChangeTheParents) {
  Handle h;
  std::uint64_t first = 0, second = 0, proposal = 0;
  korvel_ingest(h.raw, "a", 1, 2, nullptr, 0, &first);
  korvel_ingest(h.raw, "b", 1, 2, nullptr, 0, &second);
  const std::uint64_t sources[] = {99, second, second};
  korvel_propose(h.raw, "t", 1, "{}", 2, nullptr, 0, sources, 3, &proposal);
  const auto* record = h.raw->engine.store().get(proposal);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->parents.to_vector(), (std::vector<std::uint64_t>{first, second}));
}

TEST(RecordResult, KeepsTheResultCodeAsItsBitPattern) {
  Handle h;
  std::uint64_t id = 0;
  ASSERT_EQ(korvel_record_result(h.raw, 7, "out", 3, -1, &id), KORVEL_OK);
  EXPECT_EQ(h.payload<ToolResultRecorded>(id).result_code, 4294967295u);
  ASSERT_EQ(korvel_record_result(h.raw, 7, "out", 3, INT32_MIN, &id), KORVEL_OK);
  EXPECT_EQ(h.payload<ToolResultRecorded>(id).result_code, 2147483648u);
  ASSERT_EQ(korvel_record_result(h.raw, 7, nullptr, 0, 3, &id), KORVEL_OK);
  EXPECT_EQ(h.payload<ToolResultRecorded>(id).output_len, 0u);
  EXPECT_EQ(h.payload<ToolResultRecorded>(id).result_code, 3u);
}

}  // namespace
