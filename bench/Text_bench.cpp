// Text utilities against the plain ICU ways of doing the same, in one run:
// indexing characters against walking ICU's break iterator from the start,
// replacement with a cached pattern against compiling it on every call, and
// date formatting with a cached formatter against building one per call.
#include <cstdlib>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include <unicode/brkiter.h>
#include <unicode/regex.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include "mornik/text/Date.hpp"
#include "mornik/text/DateFormat.hpp"
#include "mornik/text/StringUtils.hpp"

#include "bench/support/Goals.hpp"

namespace {

constexpr int kRepetitions = 3;
constexpr std::size_t kCharacters = 10'000;

std::string asciiText() {
  std::string text;
  const std::string words = "The quick brown fox jumps over the lazy dog. ";
  while (text.size() < kCharacters) text += words;
  text.resize(kCharacters);
  return text;
}

// 10,000 characters: words with an emoji with a skin tone, a flag, a ZWJ
// family and an accented letter every few words.
std::string mixedText() {
  const std::string pieces[] = {"Hello ",
                                "\xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD",
                                " world ",
                                "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",
                                " caf\xC3\xA9 ",
                                "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F"
                                "\x91\xA7",
                                " ok "};
  std::string text;
  for (std::size_t i = 0; mornik::count(text) < kCharacters; ++i) text += pieces[i % 7];
  return std::string(mornik::first(text, kCharacters));
}

const std::string& ascii() {
  static const std::string text = asciiText();
  return text;
}
const std::string& mixed() {
  static const std::string text = mixedText();
  return text;
}

// ---- s[i] for every i ----

void sweepOurs(benchmark::State& state, const std::string& text) {
  const auto n = static_cast<std::ptrdiff_t>(mornik::count(text));
  for (auto _ : state) {
    for (std::ptrdiff_t i = 0; i < n; ++i) benchmark::DoNotOptimize(mornik::at(text, i));
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// The naive way: for each i, walk ICU's character break iterator from the
// start to the i-th boundary and copy the character.
void sweepNaive(benchmark::State& state, const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> iterator(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  UText utext = UTEXT_INITIALIZER;
  utext_openUTF8(&utext, text.data(), static_cast<std::int64_t>(text.size()), &status);
  iterator->setText(&utext, status);
  const auto n = static_cast<std::ptrdiff_t>(mornik::count(text));
  for (auto _ : state) {
    for (std::ptrdiff_t i = 0; i < n; ++i) {
      std::int32_t start = iterator->first();
      for (std::ptrdiff_t step = 0; step < i; ++step) start = iterator->next();
      const std::int32_t end = iterator->next();
      benchmark::DoNotOptimize(std::string(text, static_cast<std::size_t>(start),
                                           static_cast<std::size_t>(end - start)));
    }
  }
  utext_close(&utext);
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_At_Ascii(benchmark::State& state) { sweepOurs(state, ascii()); }
void BM_BreakIteratorWalk_Ascii(benchmark::State& state) { sweepNaive(state, ascii()); }
void BM_At_Mixed(benchmark::State& state) { sweepOurs(state, mixed()); }
void BM_BreakIteratorWalk_Mixed(benchmark::State& state) { sweepNaive(state, mixed()); }
BENCHMARK(BM_At_Ascii)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_BreakIteratorWalk_Ascii)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_At_Mixed)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_BreakIteratorWalk_Mixed)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// ---- Regular-expression replacement ----

const std::string kSentence =
    "Order 12345 shipped on 2024-03-15 to 221B Baker Street; invoice 67890 follows.";
constexpr const char* kPattern = "(\\d{4})-(\\d{2})-(\\d{2})|\\b\\d{5}\\b";
constexpr const char* kTemplate = "<$0>";

void BM_Replace_CachedPattern(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(mornik::replace(kSentence, kPattern, kTemplate));
}
BENCHMARK(BM_Replace_CachedPattern)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_Replace_CompileEachCall(benchmark::State& state) {
  for (auto _ : state) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::unique_ptr<icu::RegexPattern> pattern(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(kPattern), 0, parseError, status));
    std::unique_ptr<icu::RegexMatcher> matcher(
        pattern->matcher(icu::UnicodeString::fromUTF8(kSentence), status));
    std::string out;
    matcher->replaceAll(icu::UnicodeString::fromUTF8(kTemplate), status).toUTF8String(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Replace_CompileEachCall)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// ---- Date formatting ----

constexpr const char* kDatePattern = "yyyy-MM-dd HH:mm:ss EEE";

mornik::Date sampleDate() { return mornik::Date::fromUnixTimestamp(1710495000.0); }

void BM_StringWithFormat_Warm(benchmark::State& state) {
  const mornik::Date d = sampleDate();
  benchmark::DoNotOptimize(mornik::stringWithFormat(d, kDatePattern));  // warm-up
  for (auto _ : state) benchmark::DoNotOptimize(mornik::stringWithFormat(d, kDatePattern));
  state.counters["us_per_call"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 1e6,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StringWithFormat_Warm)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_SimpleDateFormat_EachCall(benchmark::State& state) {
  const UDate ms = sampleDate().unixTimestamp() * 1000.0;
  for (auto _ : state) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString::fromUTF8(kDatePattern),
                                 icu::Locale::getDefault(), status);
    icu::UnicodeString text;
    format.format(ms, text);
    std::string out;
    text.toUTF8String(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_SimpleDateFormat_EachCall)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

const bool kGoals = [] {
  // A fixed zone and locale, so runs compare on every machine.
  setenv("TZ", "Europe/Berlin", 1);
  mornik::resetSystemTimeZone();
  mornik::setCurrentLocale("en_US");
  mornik::bench::ratioGoal("at_every_index_ascii_10k_vs_break_iterator_walk", "BM_At_Ascii",
                           "BM_BreakIteratorWalk_Ascii", mornik::bench::kRealTime, "<=", 0.05);
  mornik::bench::ratioGoal("at_every_index_mixed_emoji_10k_vs_break_iterator_walk", "BM_At_Mixed",
                           "BM_BreakIteratorWalk_Mixed", mornik::bench::kRealTime, "<=", 1.5);
  mornik::bench::ratioGoal("replace_cached_pattern_vs_compile_each_call",
                           "BM_Replace_CachedPattern", "BM_Replace_CompileEachCall",
                           mornik::bench::kRealTime, "<=", 0.2);
  mornik::bench::counterGoal("string_with_format_warm_us_per_call", "BM_StringWithFormat_Warm",
                             "us_per_call", "<=", 3.0);
  mornik::bench::ratioGoal("string_with_format_warm_vs_new_simple_date_format",
                           "BM_StringWithFormat_Warm", "BM_SimpleDateFormat_EachCall",
                           mornik::bench::kRealTime, "<=", 0.1);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
