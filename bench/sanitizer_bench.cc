// Scanning 1 MiB of tool output for sensitive content: the fast scanner, the plain six-search
// procedure it replaces, and the floor (one BLAKE3 hash plus one UTF-8 validation of the same
// bytes, which recording the output pays anyway). Inputs: clean English, clean mixed-script text,
// and near-misses that make a backtracking engine work hardest.
#include <benchmark/benchmark.h>

#include "floors.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sanitizer/patterns.h"
#include "util/json.h"

namespace {

constexpr std::size_t kInputBytes = 1 << 20;

std::string pick(std::mt19937_64& rng, const std::vector<std::string>& words) {
  return words[std::uniform_int_distribution<std::size_t>(0, words.size() - 1)(rng)];
}

// Sentences of words drawn from `words`, up to kInputBytes and cut at a word end.
std::string prose(const std::vector<std::string>& words) {
  static const std::vector<std::string> kEndings = {". ", ", ", "; ", "? ", ".\n\n", " - "};
  std::mt19937_64 rng(42);
  std::string text;
  while (true) {
    std::string sentence;
    int length = std::uniform_int_distribution<int>(6, 18)(rng);
    for (int i = 0; i < length; ++i) {
      if (i > 0) sentence += ' ';
      sentence += pick(rng, words);
    }
    sentence += pick(rng, kEndings);
    if (text.size() + sentence.size() > kInputBytes) break;
    text += sentence;
  }
  return text;
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = std::min(text.find(' ', at), text.size());
    out.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::string english() {
  return prose(words(
      "the agent fetched a page about weather in Paris and summarised it for user who asked "
      "whether to bring umbrella tomorrow morning forecast shows light rain after ten o'clock with "
      "temperatures near 12 degrees wind from west is expected ease by evening according national "
      "service report updated at 06:00 local time readers should check again before leaving home "
      "because conditions can change quickly decaf coffee beaded facade well-known "
      "state-of-the-art 2024 Monday section 3.2 (see notes)"));
}

std::string mixed_script() {
  return prose(words(
      "the agent fetched погода в Москве завтра дождь καιρός στην Αθήνα 天气 预报 明天 有雨 东京の "
      "天気は 晴れ الطقس في القاهرة مشمس मौसम दिल्ली में बारिश 날씨 서울 맑음 temperature ١٢ درجة "
      "१५ °C well-known что-то 😀 café naïve Straße report at 06:00 2024 ok"));
}

// Pieces repeated up to kInputBytes; never cut inside a piece, so the text stays valid UTF-8.
std::string filled_with(const std::function<std::string(std::mt19937_64&)>& piece) {
  std::mt19937_64 rng(7);
  std::string text;
  for (std::string next = piece(rng); text.size() + next.size() <= kInputBytes; next = piece(rng)) {
    text += next;
  }
  return text;
}

std::string run_of(std::mt19937_64& rng, std::string_view alphabet, int length) {
  std::string out;
  std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
  for (int i = 0; i < length; ++i) out += alphabet[letter(rng)];
  return out;
}

constexpr std::string_view kHexDigits = "0123456789abcdef";
constexpr std::string_view kAlnum =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::string_view kBase64Url =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";

struct Corpus {
  const char* name;
  std::string text;
};

std::vector<Corpus> corpora() {
  return {
      {"english", english()},
      {"mixed_script", mixed_script()},
      {"hex31_runs", filled_with([](auto& rng) { return run_of(rng, kHexDigits, 31) + " "; })},
      {"hex_runs_16_to_31", filled_with([](auto& rng) {
         return run_of(rng, kHexDigits, std::uniform_int_distribution<int>(16, 31)(rng)) + " ";
       })},
      {"sk_19", filled_with([](auto& rng) { return "sk-" + run_of(rng, kAlnum, 19) + " "; })},
      {"eyJ_19", filled_with([](auto& rng) { return "eyJ" + run_of(rng, kBase64Url, 19) + "."; })},
      {"ssn_short_groups", filled_with([](auto&) { return std::string("123-45-678 "); })},
      {"digit_hyphen_run", filled_with([](auto&) { return std::string("1234-56-7890"); })},
      {"arabic_indic_digit_hyphen_run",
       filled_with([](auto&) { return std::string("١٢٣٤-٥٦-٧٨٩٠"); })},
  };
}

void scan(benchmark::State& state, const std::string& text, bool (*procedure)(std::string_view)) {
  for (auto _ : state) benchmark::DoNotOptimize(procedure(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void hash_and_validate(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    korvel::bench::blake3_once(text);
    benchmark::DoNotOptimize(korvel::util::json::valid_utf8(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Builds the scanner and the six patterns before timing, reports what the scanner's first use
// cost, and flags an input that is not the near-miss it should be.
void warm_up(const std::vector<Corpus>& all) {
  auto start = std::chrono::steady_clock::now();
  korvel::sanitizer::matches_suspicious("warm up");
  auto built = std::chrono::steady_clock::now();
  benchmark::AddCustomContext(
      "scanner_first_use_ms",
      std::to_string(std::chrono::duration<double, std::milli>(built - start).count()));
  for (const Corpus& corpus : all) {
    bool plain = korvel::sanitizer::matches_suspicious_plain(corpus.text);
    if (plain || korvel::sanitizer::matches_suspicious(corpus.text) != plain) {
      benchmark::AddCustomContext(std::string("warning_") + corpus.name, "input is suspicious");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  static const std::vector<Corpus> all = corpora();
  warm_up(all);
  for (const Corpus& corpus : all) {
    const std::string& text = corpus.text;
    benchmark::RegisterBenchmark(
        (std::string("matches_suspicious/") + corpus.name).c_str(),
        [&text](benchmark::State& s) { scan(s, text, korvel::sanitizer::matches_suspicious); });
    benchmark::RegisterBenchmark((std::string("plain_six_searches/") + corpus.name).c_str(),
                                 [&text](benchmark::State& s) {
                                   scan(s, text, korvel::sanitizer::matches_suspicious_plain);
                                 });
    benchmark::RegisterBenchmark((std::string("floor_blake3_utf8/") + corpus.name).c_str(),
                                 [&text](benchmark::State& s) { hash_and_validate(s, text); });
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
