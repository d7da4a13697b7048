#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "mornik/concurrency/DispatchGroup.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/concurrency/Task.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

// A coroutine: it hops to a background queue, sleeps without holding a
// thread, and reports where it ran.
mornik::Task<std::string> fetchReport(mornik::DispatchQueue background) {
  co_await mornik::resumeOn(background);
  const auto before = std::chrono::steady_clock::now();
  co_await mornik::sleep(0.02);
  const auto slept =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before);
  co_return "ran on \"" + mornik::DispatchQueue::currentLabel() + "\", slept " +
      std::to_string(static_cast<int>(slept.count())) + " ms";
}

mornik::Task<> showReport(mornik::DispatchQueue background, std::string& out) {
  const std::string report = co_await fetchReport(background);
  out = report + ", back on \"" + mornik::DispatchQueue::currentLabel() + "\"";
}

}  // namespace

void executor() {
  heading("Dispatch queues, the main run loop and tasks");

  // A serial queue runs items one at a time, in order, whoever submits them.
  mornik::DispatchQueue journal("tour.journal");
  std::vector<int> entries;  // touched only by the journal's items
  mornik::DispatchGroup group;
  for (int i = 1; i <= 5; ++i) {
    group.async(mornik::DispatchQueue::global(),
                [&, i] { journal.sync([&] { entries.push_back(i); }); });
  }
  group.wait();
  say("5 global items wrote " + std::to_string(journal.sync([&] { return entries.size(); })) +
      " journal entries, one at a time");

  // Work for the main queue runs on this (the main) thread while its run loop
  // runs; a delayed item never runs early.
  std::atomic<bool> done{false};
  std::string seen;
  const auto posted = std::chrono::steady_clock::now();
  mornik::DispatchQueue::global().asyncAfter(0.015, [&] {
    mornik::DispatchQueue::main().async([&] {
      const auto waited =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - posted);
      seen = "main-queue item after " + std::to_string(static_cast<int>(waited.count())) +
             " ms (asked for 15), on \"" + mornik::DispatchQueue::currentLabel() + "\"";
      done = true;
    });
  });
  mornik::RunLoop::main().runUntil([&] { return done.load(); }, 5.0);
  say(seen);

  // A task started on the main queue awaits another that hops away.
  std::string report;
  std::atomic<bool> finished{false};
  showReport(mornik::DispatchQueue("tour.background"), report)
      .start(mornik::DispatchQueue::main(), [&](mornik::Result<void> outcome) {
        outcome.value();
        finished = true;
      });
  mornik::RunLoop::main().runUntil([&] { return finished.load(); }, 5.0);
  say("task " + report);
}

}  // namespace tour
