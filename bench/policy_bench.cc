// Loading a policy text of about 1 MiB and 5,000 rules shaped like the built-in ones, beside the
// floor: libyaml's own event parse of the same bytes, with no mapping onto the rule types.
#include <benchmark/benchmark.h>
#include <yaml.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "policy/defaults.h"
#include "policy/loader.h"

namespace {

constexpr std::size_t kRules = 5000;

// The built-in rules' bodies: each document after its name line, indented as a list item.
std::string_view body_of(std::string_view document) {
  const std::size_t name = document.find("  - name:");
  return document.substr(document.find('\n', name) + 1);
}

std::string policy_text() {
  std::string text = "policies:\n";
  for (std::size_t i = 0; i < kRules; ++i) {
    text += "  - name: korvel.bench.rule-" + std::to_string(i) + "\n";
    const auto documents = korvel::policy::default_documents();
    text += body_of(documents[i % documents.size()]);
  }
  return text;
}

const std::string& document() {
  static const std::string text = policy_text();
  return text;
}

// Every event of the text, each released at once: what any libyaml-based loader pays at least.
bool raw_event_parse(std::string_view text) {
  yaml_parser_t parser;
  if (yaml_parser_initialize(&parser) == 0) return false;
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  bool ok = true;
  for (bool done = false; !done;) {
    yaml_event_t event;
    if (yaml_parser_parse(&parser, &event) == 0) {
      ok = false;
      break;
    }
    done = event.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&event);
  }
  yaml_parser_delete(&parser);
  return ok;
}

void set_counters(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["rules"] = static_cast<double>(kRules);
  state.counters["MiB"] = static_cast<double>(text.size()) / (1 << 20);
}

void BM_FloorRawEventParse(benchmark::State& state) {
  const std::string& text = document();
  for (auto _ : state) benchmark::DoNotOptimize(raw_event_parse(text));
  set_counters(state, text);
}

void BM_ParsePolicies(benchmark::State& state) {
  const std::string& text = document();
  for (auto _ : state) {
    korvel::policy::ParseResult result = korvel::policy::parse_policies(text);
    if (!std::holds_alternative<std::vector<korvel::policy::PolicyRule>>(result)) {
      state.SkipWithError("the benchmark document did not load");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, text);
}

BENCHMARK(BM_FloorRawEventParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParsePolicies)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
