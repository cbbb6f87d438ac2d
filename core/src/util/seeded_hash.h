// Keyed hashing for the engine's hash maps.
//
// Event ids, labels and tool names come from the host and, through it, from whatever the
// agent read, so the maps keyed by them use SipHash-1-3 under a per-map random key: an
// adversary who chooses the keys cannot predict their buckets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::util {

struct HashSeed {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// A fresh key from the system random source. Never fails: without one (no getrandom, no
// /dev/urandom) it falls back to a mix of clock and addresses.
HashSeed random_seed();

// One key for the whole process, drawn once, for short-lived sets of host-chosen values.
HashSeed process_seed();

std::uint64_t siphash13(HashSeed seed, const void* data, std::size_t size);

struct SeededStringHash {
  using is_transparent = void;
  HashSeed seed;
  std::size_t operator()(std::string_view text) const {
    return static_cast<std::size_t>(siphash13(seed, text.data(), text.size()));
  }
  std::size_t operator()(const std::string& text) const { return (*this)(std::string_view(text)); }
};

struct SeededIdHash {
  HashSeed seed;
  std::size_t operator()(std::uint64_t id) const {
    return static_cast<std::size_t>(siphash13(seed, &id, sizeof id));
  }
};

}  // namespace korvel::util
