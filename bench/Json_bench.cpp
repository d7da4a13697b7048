// JSON helpers against calling the JSON library directly, in one run, on a
// settings-like value of about 1 MB of JSON: asJson against
// nlohmann::json(value).dump(), decodeFromJson against
// nlohmann::json::parse(text).get<T>().
//
// asJson's default output escapes '/' as "\/" (the value holds file paths),
// so it does one pass more than the anchor; the WithoutEscapingSlashes
// variant shows the cost of that pass. decodeFromJson checks that the text
// is UTF-8 before parsing, which the anchor does not.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "mornik/text/Json.hpp"

#include "bench/support/Goals.hpp"

namespace {

constexpr int kRepetitions = 7;

struct RecentFile {
  std::string name;
  std::string path;
  std::int64_t size = 0;
  double opened = 0;
  bool pinned = false;
  std::vector<std::string> tags;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(RecentFile, name, path, size, opened, pinned, tags)

struct AppSettings {
  std::string theme;
  int fontSize = 0;
  double zoom = 1;
  std::vector<RecentFile> recent;
  std::map<std::string, std::string> shortcuts;
  std::map<std::string, std::vector<int>> windowFrames;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(AppSettings, theme, fontSize, zoom, recent, shortcuts,
                                   windowFrames)

AppSettings makeSettings() {
  AppSettings settings{"dark", 13, 1.25, {}, {}, {}};
  for (int i = 0; settings.recent.size() < 5000; ++i) {
    const std::string n = std::to_string(i);
    settings.recent.push_back(RecentFile{
        std::string("Report ").append(n).append(" (final).txt"),
        std::string("/home/user/Documents/Projects/Quarterly/report-").append(n).append(".txt"),
        1024LL * i + 17,
        7.0e8 + i * 3.25,
        i % 7 == 0,
        {"work", std::string("q").append(std::to_string(i % 4 + 1)), "draft"}});
  }
  for (int i = 0; i < 3000; ++i) {
    // Built with append: g++ 12 at -O3 misreads "literal" + std::string (-Wrestrict).
    settings.shortcuts[std::string("command.action.").append(std::to_string(i))] =
        std::string("Ctrl+Shift+").append(1, static_cast<char>('A' + i % 26));
  }
  for (int i = 0; i < 500; ++i) {
    settings.windowFrames[std::string("window-").append(std::to_string(i))] = {i, i * 2, 800 + i,
                                                                               600 + i};
  }
  return settings;
}

const AppSettings& settings() {
  static const AppSettings value = makeSettings();
  return value;
}

const std::string& settingsText() {
  static const std::string text = nlohmann::json(settings()).dump();
  return text;
}

void setBytes(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
  state.counters["json_bytes"] = static_cast<double>(bytes);
}

void BM_AsJson(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = mornik::asJson(settings());
    bytes = text.value().size();
    benchmark::DoNotOptimize(text);
  }
  setBytes(state, bytes);
}
BENCHMARK(BM_AsJson)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_AsJson_WithoutEscapingSlashes(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = mornik::asJson(settings(), mornik::OutputFormatting::withoutEscapingSlashes);
    bytes = text.value().size();
    benchmark::DoNotOptimize(text);
  }
  setBytes(state, bytes);
}
BENCHMARK(BM_AsJson_WithoutEscapingSlashes)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_Nlohmann_Dump(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = nlohmann::json(settings()).dump();
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  setBytes(state, bytes);
}
BENCHMARK(BM_Nlohmann_Dump)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_DecodeFromJson(benchmark::State& state) {
  const std::string& text = settingsText();
  for (auto _ : state) {
    auto value = mornik::decodeFromJson<AppSettings>(text);
    benchmark::DoNotOptimize(value.value().recent.size());
  }
  setBytes(state, text.size());
}
BENCHMARK(BM_DecodeFromJson)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_Nlohmann_ParseGet(benchmark::State& state) {
  const std::string& text = settingsText();
  for (auto _ : state) {
    auto value = nlohmann::json::parse(text).get<AppSettings>();
    benchmark::DoNotOptimize(value.recent.size());
  }
  setBytes(state, text.size());
}
BENCHMARK(BM_Nlohmann_ParseGet)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

const bool kGoals = [] {
  mornik::bench::ratioGoal("asjson_1mb_vs_nlohmann_dump", "BM_AsJson", "BM_Nlohmann_Dump",
                           mornik::bench::kRealTime, "<=", 1.2);
  mornik::bench::ratioGoal("decodefromjson_1mb_vs_nlohmann_parse_get", "BM_DecodeFromJson",
                           "BM_Nlohmann_ParseGet", mornik::bench::kRealTime, "<=", 1.2);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
