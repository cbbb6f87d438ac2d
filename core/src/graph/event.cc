#include "graph/event.h"

#include <blake3.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace korvel::graph {
namespace {

// Feeds the hashed byte string to BLAKE3, gathering small pieces first. BLAKE3 hashes the
// chunks of one update side by side, but a chunk begun by an earlier update is finished one
// block at a time; gathering the record's fields with the first parent digests into one update
// keeps the first chunks in the parallel path.
class Feed {
 public:
  Feed() { blake3_hasher_init(&hasher_); }

  void bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      if (pending_ == 0 && size >= sizeof buffer_) {  // chunk-aligned already: hash in place
        blake3_hasher_update(&hasher_, p, size);
        return;
      }
      const std::size_t n = std::min(size, sizeof buffer_ - pending_);
      std::memcpy(buffer_ + pending_, p, n);
      pending_ += n;
      p += n;
      size -= n;
      if (pending_ == sizeof buffer_) flush();
    }
  }

  template <typename Int>
  void little_endian(Int value) {
    std::uint8_t buf[sizeof(Int)];
    for (std::size_t i = 0; i < sizeof(Int); ++i) buf[i] = static_cast<std::uint8_t>(value >> (8 * i));
    bytes(buf, sizeof buf);
  }

  // The low 32 bits of the length, then the bytes.
  void text(std::string_view s) {
    little_endian(static_cast<std::uint32_t>(s.size()));
    bytes(s.data(), s.size());
  }

  void digest(const Digest& d) { bytes(d.data(), d.size()); }

  void fields(const ContentIngested& p) {
    text(p.channel);
    text(p.sender);
    digest(p.content_hash);
    little_endian(p.content_len);
    little_endian(p.trust_level);
  }

  void fields(const ToolCallProposed& p) {
    text(p.tool);
    digest(p.params_hash);
    little_endian(p.params_len);
    for (const std::string& key : p.param_keys) text(key);  // no element count
    text(p.note);
  }

  void fields(const ToolResultRecorded& p) {
    text(p.tool);
    digest(p.output_hash);
    little_endian(p.output_len);
    little_endian(p.reserved);
    little_endian(p.result_code);
  }

  Digest finish() {
    flush();
    Digest out;
    blake3_hasher_finalize(&hasher_, out.data(), out.size());
    return out;
  }

 private:
  void flush() {
    if (pending_ > 0) blake3_hasher_update(&hasher_, buffer_, pending_);
    pending_ = 0;
  }

  // Whole chunks, so that what follows a full buffer starts on a chunk boundary.
  std::uint8_t buffer_[8 * BLAKE3_CHUNK_LEN];
  std::size_t pending_ = 0;
  blake3_hasher hasher_;
};

void feed_record(Feed& feed, EventId id, std::uint32_t schema_version, std::uint64_t timestamp_ms,
                 const EventPayload& payload) {
  feed.little_endian(id);
  feed.little_endian(schema_version);
  feed.little_endian(timestamp_ms);
  feed.little_endian(payload_tag(payload));
  std::visit([&](const auto& p) { feed.fields(p); }, payload);
}

}  // namespace

std::uint8_t payload_tag(const EventPayload& payload) {
  return std::visit([](const auto& p) { return std::decay_t<decltype(p)>::kTag; }, payload);
}

Digest blake3_digest(std::string_view bytes) {
  Feed feed;
  feed.bytes(bytes.data(), bytes.size());
  return feed.finish();
}

std::uint32_t saturated_len(std::size_t length) {
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  return length > kMax ? kMax : static_cast<std::uint32_t>(length);
}

Digest compute_integrity(EventId id, std::uint32_t schema_version, std::uint64_t timestamp_ms,
                         const EventPayload& payload, std::span<const Digest> parent_digests) {
  const std::span<const Digest> runs[] = {parent_digests};
  return compute_integrity_runs(id, schema_version, timestamp_ms, payload, runs);
}

Digest compute_integrity_runs(EventId id, std::uint32_t schema_version, std::uint64_t timestamp_ms,
                              const EventPayload& payload,
                              std::span<const std::span<const Digest>> parent_digest_runs) {
  Feed feed;
  feed_record(feed, id, schema_version, timestamp_ms, payload);
  for (std::span<const Digest> run : parent_digest_runs) feed.bytes(run.data(), run.size_bytes());
  return feed.finish();
}

}  // namespace korvel::graph
