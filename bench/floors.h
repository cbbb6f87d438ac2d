// The floors the benchmarks print beside their figures: work any implementation must do.
#pragma once

#include <benchmark/benchmark.h>
#include <blake3.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace korvel::bench {

// One-shot BLAKE3 of `bytes`, its digest kept from the optimiser.
inline void blake3_once(std::string_view bytes) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes.data(), bytes.size());
  std::uint8_t digest[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(&hasher, digest, sizeof digest);
  benchmark::DoNotOptimize(digest);
}

// Hashing range(0) parent digests in one update: what sealing an event with that many parents
// costs at the least.
inline void BM_Blake3FloorOfParentDigests(benchmark::State& state) {
  const std::vector<char> digests(static_cast<std::size_t>(state.range(0)) * BLAKE3_OUT_LEN, 0x5a);
  for (auto _ : state) blake3_once(std::string_view(digests.data(), digests.size()));
}

}  // namespace korvel::bench
