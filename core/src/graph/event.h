// Event records, their payloads and the integrity digest that seals each record together with
// the digests of its parents. Records are plain values, immutable once stored.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "graph/edges.h"

namespace korvel::graph {

using Digest = std::array<std::uint8_t, 32>;
static_assert(sizeof(Digest) == 32, "digests are hashed as one contiguous run of bytes");

inline constexpr std::uint32_t kSchemaVersion = 1;

struct ContentIngested {
  static constexpr std::uint8_t kTag = 1;
  std::string channel;
  std::string sender;
  Digest content_hash{};
  std::uint32_t content_len = 0;
  std::uint8_t trust_level = 0;
  bool operator==(const ContentIngested&) const = default;
};

struct ToolCallProposed {
  static constexpr std::uint8_t kTag = 2;
  std::string tool;
  Digest params_hash{};
  std::uint32_t params_len = 0;
  std::vector<std::string> param_keys;
  std::string note;
  bool operator==(const ToolCallProposed&) const = default;
};

struct ToolResultRecorded {
  static constexpr std::uint8_t kTag = 3;
  std::string tool;
  Digest output_hash{};
  std::uint32_t output_len = 0;
  std::uint64_t reserved = 0;
  std::uint32_t result_code = 0;
  bool operator==(const ToolResultRecorded&) const = default;
};

using EventPayload = std::variant<ContentIngested, ToolCallProposed, ToolResultRecorded>;

std::uint8_t payload_tag(const EventPayload& payload);

struct EventRecord {
  EventId id = 0;
  std::uint64_t timestamp_ms = 0;
  std::uint32_t schema_version = kSchemaVersion;
  ParentList parents;
  EventPayload payload;
  Digest integrity{};
};

// BLAKE3 (default, unkeyed) of `bytes`.
Digest blake3_digest(std::string_view bytes);

// A byte length as stored in events: saturated at 4294967295.
std::uint32_t saturated_len(std::size_t length);

// The record's digest: id, schema version, time stamp, payload tag and fields, then the parent
// digests, in that order, fed to one BLAKE3 hasher.
Digest compute_integrity(EventId id, std::uint32_t schema_version, std::uint64_t timestamp_ms,
                         const EventPayload& payload, std::span<const Digest> parent_digests);

// The same digest with the parent digests given as consecutive runs; each run is one hasher
// update, which keeps BLAKE3 at full SIMD speed on long runs.
Digest compute_integrity_runs(EventId id, std::uint32_t schema_version, std::uint64_t timestamp_ms,
                              const EventPayload& payload,
                              std::span<const std::span<const Digest>> parent_digest_runs);

}  // namespace korvel::graph
