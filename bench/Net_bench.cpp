// The spreadsheet client against a local HTTP server (cpp-httplib on
// 127.0.0.1), in interleaved rounds. The server answers every request with
// a block of 100 cells (10 rows of 10).
//
// Sequential reads, 1,000 in a row, per request:
// - ours: GSheets::fetch through a libcurl client of its own (one per run),
//   each read waiting for the previous one's completion: the request goes
//   to the client's queue, the socket through the descriptor watcher, the
//   answer is decoded and handed to a background queue;
// - bare: one libcurl easy handle reused for every request,
//   curl_easy_perform on the calling thread, the body only collected.
// Both runs also count the connections the server saw (one is reuse).
//
// Concurrent reads, 100 at once, wall time until all have completed:
// - ours: 100 GSheets::fetch calls through a fresh client;
// - bare: a fresh libcurl multi handle with 100 easy handles, driven by
//   curl_multi_perform and curl_multi_poll on the calling thread.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <mutex>
#include <semaphore>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <curl/curl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "mornik/net/GSheets.hpp"
#include "mornik/platform/HttpClient.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"
#include "tests/support/ListenBacklog.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr int kSequential = 1000;
constexpr int kConcurrent = 100;
constexpr int kRounds = 7;

class Server {
 public:
  Server() {
    std::string block = R"({"range":"Data!A1:J10","majorDimension":"ROWS","values":[)";
    for (int row = 0; row < 10; ++row) {
      block += row == 0 ? "[" : ",[";
      for (int column = 0; column < 10; ++column) {
        block += (column == 0 ? "\"" : ",\"") + std::to_string(row * 10 + column) + "\"";
      }
      block += "]";
    }
    block += "]}";
    server_.new_task_queue = [] { return new httplib::ThreadPool(4 * kConcurrent); };
    server_.set_keep_alive_max_count(1 << 30);
    server_.set_keep_alive_timeout(60);
    // Headers and body go in separate writes: without this each answer
    // waits for the client's delayed acknowledgement.
    server_.set_tcp_nodelay(true);
    server_.Get(".*", [this, block](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard guard(lock_);
        ports_.insert(request.remote_port);
      }
      // A type the server does not compress: its compression would hide
      // the clients' costs.
      response.set_content(block, "application/vnd.sheet+json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    mornik::test::widenListenBacklog(port_);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~Server() {
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The connections seen since the last call.
  double takeConnections() {
    std::lock_guard guard(lock_);
    return static_cast<double>(std::exchange(ports_, {}).size());
  }

 private:
  httplib::Server server_;
  std::mutex lock_;
  std::set<int> ports_;
  int port_ = 0;
  std::thread thread_;
};

Server& server() {
  static Server theServer;
  return theServer;
}

std::shared_ptr<mornik::GSheets> freshSheets() {
  mornik::HttpClientOptions options;
  options.noProxy = "*";
  mornik::GSheetsOptions sheetsOptions;
  sheetsOptions.baseAddress = server().base();
  sheetsOptions.client = mornik::HttpClient::makeCurl(options).value();
  return mornik::GSheets::make("bench-key", sheetsOptions);
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

CURL* bareEasy(const std::string& url, std::string* body) {
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");  // as ours asks
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
  return easy;
}

const std::string& url() {
  static const std::string address =
      server().base() + "/v4/spreadsheets/S/values/Data!A1:J10?key=bench-key";
  return address;
}

// ---- Sequential reads ----

std::vector<double> oursSequential() {
  auto sheets = freshSheets();
  server().takeConnections();
  std::binary_semaphore done(0);
  const auto start = Clock::now();
  for (int i = 0; i < kSequential; ++i) {
    sheets->fetch("S", "Data", "A1:J10", [&](mornik::Result<mornik::GSheets::Values> block) {
      if (block.isFailure() || block.value().size() != 10) std::abort();
      done.release();
    });
    done.acquire();
  }
  const double micros = secondsSince(start) * 1e6 / kSequential;
  return {micros, server().takeConnections()};
}

std::vector<double> bareSequential() {
  std::string body;
  CURL* easy = bareEasy(url(), &body);
  server().takeConnections();
  const auto start = Clock::now();
  for (int i = 0; i < kSequential; ++i) {
    body.clear();
    if (curl_easy_perform(easy) != CURLE_OK || body.empty()) std::abort();
  }
  const double micros = secondsSince(start) * 1e6 / kSequential;
  curl_easy_cleanup(easy);
  return {micros, server().takeConnections()};
}

void BM_SequentialReads(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"us_per_request", "connections"},
                                {{"ours", oursSequential}, {"bare", bareSequential}}, kRounds);
}
BENCHMARK(BM_SequentialReads)->Iterations(1)->Unit(benchmark::kSecond);

// ---- Concurrent reads ----

std::vector<double> oursConcurrent() {
  auto sheets = freshSheets();
  std::latch done(kConcurrent);
  const auto start = Clock::now();
  for (int i = 0; i < kConcurrent; ++i) {
    sheets->fetch("S", "Data", "A1:J10", [&](mornik::Result<mornik::GSheets::Values> block) {
      if (block.isFailure()) std::abort();
      done.count_down();
    });
  }
  done.wait();
  return {secondsSince(start) * 1e3};
}

std::vector<double> bareConcurrent() {
  CURLM* multi = curl_multi_init();
  std::vector<std::string> bodies(kConcurrent);
  std::vector<CURL*> easies;
  const auto start = Clock::now();
  for (int i = 0; i < kConcurrent; ++i) {
    easies.push_back(bareEasy(url(), &bodies[static_cast<std::size_t>(i)]));
    curl_multi_add_handle(multi, easies.back());
  }
  int running = 1;
  while (running > 0) {
    curl_multi_perform(multi, &running);
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  const double millis = secondsSince(start) * 1e3;
  for (CURL* easy : easies) {
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
  }
  curl_multi_cleanup(multi);
  for (const std::string& body : bodies) {
    if (body.empty()) std::abort();
  }
  return {millis};
}

void BM_ConcurrentReads(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ms_wall"},
                                {{"ours", oursConcurrent}, {"bare", bareConcurrent}}, kRounds);
}
BENCHMARK(BM_ConcurrentReads)->Iterations(1)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("gsheets_1000_sequential_reads_vs_reused_easy_handle", "BM_SequentialReads",
              "us_per_request_ratio_vs_bare", "<=", 1.2);
  counterGoal("gsheets_sequential_reads_connections", "BM_SequentialReads", "ours_connections",
              "<=", 1);
  counterGoal("gsheets_100_concurrent_reads_vs_bare_multi", "BM_ConcurrentReads",
              "ms_wall_ratio_vs_bare", "<=", 1.2);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
