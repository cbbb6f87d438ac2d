// Ingesting content through the C interface, as a host does: 1 KiB of content with small
// metadata, and 1 MiB of content with 1 MiB of metadata (a JSON object of string values, the
// largest accepted). Beside each, the floor: one BLAKE3 hash of the content and one simdjson
// parse of the metadata bytes as the host passes them (unpadded, so simdjson copies them),
// which any ingest must pay. The engine is replaced every kBatch ingests, outside the timing,
// so that every figure is taken on a short session.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdint>
#include <random>
#include <string>

#include "floors.h"
#include "korvel.h"

namespace {

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * 1024;
constexpr int kBatch = 1000;

// Printable pseudo-random bytes, so that no pattern or encoding trick makes the hash cheaper.
std::string content_of(std::size_t size) {
  std::mt19937_64 rng(7);
  std::string text(size, ' ');
  for (char& c : text) c = static_cast<char>('!' + rng() % 94);
  return text;
}

// The 35-byte {"channel":"bench","sender":"host"} below 1 KiB; otherwise an object of 1000-byte
// string values after those two members, padded to exactly `size` bytes.
std::string metadata_of(std::size_t size) {
  std::string json = R"({"channel":"bench","sender":"host")";
  if (size < static_cast<std::size_t>(kKiB)) return json + "}";
  const std::string value(1000, 'v');
  for (int i = 0; json.size() + 1024 < size; ++i) json += ",\"k" + std::to_string(i) + "\":\"" + value + "\"";
  // The last member takes up the rest: ,"pad":"..."} is 10 bytes plus its value.
  json += ",\"pad\":\"" + std::string(size - json.size() - 10, 'p') + "\"}";
  return json;
}

void BM_IngestThroughCApi(benchmark::State& state) {
  const std::string content = content_of(static_cast<std::size_t>(state.range(0)));
  const std::string metadata = metadata_of(static_cast<std::size_t>(state.range(1)));
  if (metadata.size() != static_cast<std::size_t>(state.range(1))) {
    state.SkipWithError("metadata of the wrong size");
    return;
  }
  KorvelEngine* engine = korvel_engine_new();
  int in_batch = 0;
  for (auto _ : state) {
    if (in_batch == kBatch) {
      state.PauseTiming();
      korvel_engine_free(engine);
      engine = korvel_engine_new();
      in_batch = 0;
      state.ResumeTiming();
    }
    std::uint64_t id = 0;
    if (korvel_ingest(engine, content.data(), content.size(), KORVEL_TRUST_USER, metadata.data(),
                      metadata.size(), &id) != KORVEL_OK) {
      state.SkipWithError("korvel_ingest failed");
      break;
    }
    benchmark::DoNotOptimize(id);
    ++in_batch;
  }
  korvel_engine_free(engine);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(content.size() + metadata.size()));
}

void BM_Floor(benchmark::State& state) {
  const std::string content = content_of(static_cast<std::size_t>(state.range(0)));
  const std::string metadata = metadata_of(static_cast<std::size_t>(state.range(1)));
  simdjson::dom::parser parser;
  for (auto _ : state) {
    korvel::bench::blake3_once(content);

    auto document = parser.parse(metadata.data(), metadata.size(), true);
    if (document.error()) {
      state.SkipWithError("metadata does not parse");
      break;
    }
    benchmark::DoNotOptimize(document.value_unsafe());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(content.size() + metadata.size()));
}

// {content bytes, metadata bytes}.
BENCHMARK(BM_IngestThroughCApi)->Args({kKiB, 35})->Args({kMiB, kMiB})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Floor)->Args({kKiB, 35})->Args({kMiB, kMiB})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
