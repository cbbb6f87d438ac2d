// korvel_propose through the C interface at the end of sessions of growing length, with the
// six built-in rules and 20 loaded rules that are tried to their last test and do not fire.
// Beside each, the floor: one BLAKE3 pass over the proposal's parent digests.
#include <benchmark/benchmark.h>

#include "floors.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "korvel.h"

namespace {

// Every condition holds except the last: the session has user input, so `requires` is met.
std::string loaded_rules() {
  std::string yaml = "policies:\n";
  for (int i = 0; i < 20; ++i)
    yaml += "  - name: host.rule-" + std::to_string(i) +
            "\n    when:\n      tool: fetch\n      category: web\n      risk: [low, medium]\n"
            "      calls_in_window: {count: 0, window_minutes: 60}\n"
            "    requires:\n      session_has_input_from: [user]\n    action: deny\n";
  return yaml;
}

struct Host {
  KorvelEngine* engine = korvel_engine_new();
  ~Host() { korvel_engine_free(engine); }

  explicit Host(std::int64_t earlier_events) {
    const std::string rules = loaded_rules();
    korvel_load_policies_yaml(engine, rules.data(), rules.size());
    const char tool_json[] = R"({"risk":"low","category":"web"})";
    korvel_register_tool(engine, "fetch", 5, tool_json, std::strlen(tool_json));
    std::uint64_t id;
    const char meta[] = R"({"channel":"chat"})";
    korvel_ingest(engine, "hello", 5, 2, meta, std::strlen(meta), &id);
    while (static_cast<std::int64_t>(id) + 1 < earlier_events) korvel_ingest(engine, "x", 1, 0, nullptr, 0, &id);
  }
};

// The built-in rate limit would fire after 30 calls a minute and cut the rule list short, so
// a fresh session is built (untimed) every `kCallsPerSession` calls.
constexpr int kCallsPerSession = 25;

void BM_ProposeAtSessionEnd(benchmark::State& state) {
  auto host = std::make_unique<Host>(state.range(0));
  const char params[] = R"({"url":"https://example.org/a","depth":2})";
  std::uint64_t id;
  int calls = 0;
  for (auto _ : state) {
    if (++calls % kCallsPerSession == 0) {
      state.PauseTiming();
      host = std::make_unique<Host>(state.range(0));
      state.ResumeTiming();
    }
    std::int32_t status =
        korvel_propose(host->engine, "fetch", 5, params, std::strlen(params), nullptr, 0, nullptr, 0, &id);
    if (status != KORVEL_OK) state.SkipWithError("a rule fired");
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_ProposeAtSessionEnd)
    ->Arg(100)->Arg(1'000)->Arg(10'000)->Iterations(500)->Repetitions(5)
    ->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

using korvel::bench::BM_Blake3FloorOfParentDigests;
BENCHMARK(BM_Blake3FloorOfParentDigests)
    ->Arg(100)->Arg(1'000)->Arg(10'000)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
