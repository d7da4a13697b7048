#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/observe/Published.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

using mornik::DispatchQueue;
using mornik::Flow::Future;
using mornik::Flow::Signal;

// Handlers on the main queue run while the main run loop runs.
void pumpUntil(const std::function<bool()>& done) { mornik::RunLoop::main().runUntil(done, 5.0); }

// A coroutine awaiting two futures; it resumes on its own queue each time.
mornik::Task<std::string> greet(std::shared_ptr<Future<std::string>> name,
                                std::shared_ptr<Future<int>> visits) {
  const std::string who = (co_await name).valueOr("stranger");
  const int count = (co_await visits).valueOr(0);
  co_return "hello " + who + ", visit #" + std::to_string(count) + " (resumed on " +
      DispatchQueue::currentLabel() + ")";
}

struct Thermostat {
  double shown = 0;              // written on the main queue
  std::vector<double> readings;  // written on the main queue
};

class Inbox : public mornik::ObservableObject {
 public:
  mornik::Published<int> unread{*this, 0};
};

}  // namespace

void flow() {
  heading("Futures and signals");

  // A future's work starts lazily, with the first handler, on its queue.
  const DispatchQueue worker("tour.worker");
  std::atomic<int> starts{0};
  auto download = Future<std::string>::make(worker, [&]() -> mornik::Result<std::string> {
    ++starts;
    return std::string("128");
  });
  say("future created; its work started " + std::to_string(starts.load()) + " time(s)");

  // A chain: the download's success completes a second future with the
  // parsed size; a failure passes on as the failure.
  auto size = Future<int>::promise(worker);
  download->onSuccess([size](const std::string& text) { size->complete(std::stoi(text)); })
      .onFailure([size](const mornik::Error& error) { size->complete(error); });
  bool shown = false;
  size->onSuccess(DispatchQueue::main(), [&](int kilobytes) {
    say("downloaded " + std::to_string(kilobytes) + " KB, shown on the main queue");
    shown = true;
  });
  pumpUntil([&] { return shown; });
  say("work ran " + std::to_string(starts.load()) +
      " time(s); wait() now returns at once: " + std::to_string(size->wait().value()));

  // A failed future reaches only failure handlers.
  auto broken = Future<int>::failed(mornik::WTF("disk is full", 28));
  say("failed future: " + broken->wait().error().descriptionTitle());

  // co_await from a task: the task resumes on its own queue.
  auto name = Future<std::string>::promise();
  auto visits = Future<int>::succeeded(3);
  std::string greeting;
  greet(name, visits).start(DispatchQueue("tour.greeter"), [&](mornik::Result<std::string> r) {
    DispatchQueue::main().async([&greeting, text = r.value()] { greeting = text; });
  });
  std::thread([name] { name->complete(std::string("Ada")); }).join();
  pumpUntil([&] { return !greeting.empty(); });
  say(greeting);

  // A signal remembers its latest value and feeds properties and handlers.
  auto temperature = Signal<double>::make(DispatchQueue::main(), 19.5);
  auto view = std::make_shared<Thermostat>();
  temperature->assign(view, &Thermostat::shown, DispatchQueue::main())
      .append(view, &Thermostat::readings, DispatchQueue::main());
  std::thread([temperature] {
    temperature->update(20.0);
    temperature->update(21.5);
  }).join();
  pumpUntil([&] { return view->readings.size() == 3; });
  std::string readings;
  for (double r : view->readings) readings += " " + std::to_string(r).substr(0, 4);
  say("thermostat shows " + std::to_string(view->shown).substr(0, 4) + "; readings:" + readings);

  // A late subscriber gets the latest value once, then every later one.
  std::vector<double> late;
  temperature->onUpdate([&](double t) { late.push_back(t); });
  temperature->update(22.0);
  pumpUntil([&] { return late.size() == 2; });
  say("late subscriber saw " + std::to_string(late[0]).substr(0, 4) + " then " +
      std::to_string(late[1]).substr(0, 4));

  // Observable objects announce changes; views re-read on the main queue.
  auto inbox = std::make_shared<Inbox>();
  int refreshes = 0;
  mornik::Subscription watching = inbox->objectWillChange().subscribe([&] {
    ++refreshes;
    say("inbox changed: " + std::to_string(inbox->unread.get()) + " unread");
  });
  std::thread([inbox] { inbox->unread = 5; }).join();
  pumpUntil([&] { return refreshes == 1; });
}

}  // namespace tour
