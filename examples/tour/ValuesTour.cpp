#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/pool/Reduce.hpp"
#include "mornik/flow/pool/Streamed.hpp"
#include "mornik/flow/signal/Throttle.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

using mornik::DispatchQueue;

void pumpUntil(const std::function<bool()>& done) { mornik::RunLoop::main().runUntil(done, 5.0); }

}  // namespace

void values() {
  heading("Streamed values, throttling and combinators");

  // A streamed property: plain reads and writes, and a signal of its values.
  mornik::Streamed<std::string> query("");
  auto searches = std::make_shared<std::vector<std::string>>();
  std::mutex searchesLock;
  std::atomic<int> searched{0};
  // A burst of keystrokes becomes one search, about 0.2 s after it.
  query.signal()->debounce(0.2)->onUpdate(DispatchQueue::main(), [&](const std::string& q) {
    std::lock_guard lock(searchesLock);
    searches->push_back(q);
    ++searched;
  });
  for (const char* typed : {"m", "mo", "mor", "morn", "morni", "mornik"}) query = typed;
  pumpUntil([&] { return searched.load() >= 2; });
  {
    std::lock_guard lock(searchesLock);
    std::string seen;
    for (const auto& q : *searches) seen += (seen.empty() ? "\"" : ", \"") + q + "\"";
    say("six keystrokes, searches run for: " + seen +
        " (one at once, then only the last of the burst)");
  }

  // Combining: a future of two results, and the latest of two signals.
  auto pool = mornik::Flow::Pool::make(DispatchQueue("tour.values"));
  auto width = pool->future([]() -> mornik::Result<int> { return 1920; });
  auto height = pool->future([]() -> mornik::Result<int> { return 1080; });
  const auto size = pool->combine(width, height)->wait().value();
  say("combined futures: " + std::to_string(std::get<0>(size)) + "x" +
      std::to_string(std::get<1>(size)));

  auto temperature = mornik::Flow::Signal<double>::make(DispatchQueue("tour.sensor"));
  auto humidity = mornik::Flow::Signal<int>::make(DispatchQueue("tour.sensor"));
  std::atomic<bool> shown{false};
  std::string reading;
  pool->combineLatest(temperature, humidity)
      ->onUpdate(DispatchQueue::main(), [&](const std::tuple<double, int>& latest) {
        reading = std::to_string(static_cast<int>(std::get<0>(latest))) + " C, " +
                  std::to_string(std::get<1>(latest)) + " %";
        shown = std::get<1>(latest) == 40;
      });
  temperature->update(21.0);
  humidity->update(40);
  pumpUntil([&] { return shown.load(); });
  say("latest of two sensors: " + reading);

  // A running fold: each update folds into the accumulator.
  auto total = mornik::Flow::Reduce<int, int>::make(
      0, [](int sum, const int& value) { return sum + value; });
  for (int bytes : {512, 2048, 1024}) total->update(bytes);
  say("bytes received so far: " + std::to_string(total->accumulator().get()));
}

}  // namespace tour
