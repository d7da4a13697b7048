// Parsing hexadecimal colour text: Color::fromHexString against Pango's
// pango_color_parse on the same 1,000,000 "#RRGGBB" strings, in interleaved
// rounds.
//
// - ours: Color::fromHexString (lower-casing, prefix removal, the signed
//   64-bit reading), the result summed so nothing is optimised away;
// - pango: pango_color_parse into a PangoColor.
//
// Each run is timed by the CPU time of the parsing thread, not the wall
// clock: parsing never waits, so CPU time is its whole cost, and on a shared
// machine the wall clock also counts the time other processes hold the core.
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <pango/pango.h>

#include "mornik/ui/Color.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

double threadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}
constexpr int kStrings = 1'000'000;

const std::vector<std::string>& texts() {
  static const std::vector<std::string> all = [] {
    std::mt19937 engine(7);
    std::uniform_int_distribution<unsigned> rgb(0, 0xFFFFFF);
    std::vector<std::string> out;
    out.reserve(kStrings);
    char buffer[8];
    for (int i = 0; i < kStrings; ++i) {
      // Upper- and lower-case digits alike.
      std::snprintf(buffer, sizeof buffer, i % 2 == 0 ? "#%06X" : "#%06x", rgb(engine));
      out.emplace_back(buffer);
    }
    return out;
  }();
  return all;
}

template <class F>
std::vector<double> perStringNs(F parse) {
  const auto& all = texts();
  unsigned long sum = 0;
  const double start = threadCpuNs();
  for (const std::string& text : all) sum += parse(text);
  const double ns = threadCpuNs() - start;
  benchmark::DoNotOptimize(sum);
  return {ns / kStrings};
}

std::vector<double> oursOnce() {
  return perStringNs([](const std::string& text) {
    const auto color = mornik::Color::fromHexString(text);
    return color ? color->uInt() : 0U;
  });
}

std::vector<double> pangoOnce() {
  return perStringNs([](const std::string& text) {
    PangoColor color;
    return pango_color_parse(&color, text.c_str()) ? unsigned{color.red} + color.blue : 0U;
  });
}

void BM_HexColorParse(benchmark::State& state) {
  texts();
  mornik::bench::runInterleaved(state, {"ns_per_string"},
                                {{"ours", oursOnce}, {"pango", pangoOnce}}, 7);
}
BENCHMARK(BM_HexColorParse)->Iterations(1)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  mornik::bench::counterGoal("hex_color_parse_ns", "BM_HexColorParse", "ours_ns_per_string",
                             "<=", 50.0);
  mornik::bench::counterGoal("hex_color_parse_cost_vs_pango", "BM_HexColorParse",
                             "ns_per_string_ratio_vs_pango", "<=", 2.0);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
