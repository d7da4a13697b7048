#include "mornik/net/GSheets.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <httplib.h>

#include "tests/support/ListenBacklog.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using Values = GSheets::Values;
using Responder = std::function<void(httplib::Response&)>;

// What a request held: "<method> <target> [<Content-Type>] [<Expect>] <body>".
struct Received {
  std::string line;
  int port = 0;
};

// An HTTP(S) server on 127.0.0.1 that records each request and answers
// with `respond`.
class LocalServer {
 public:
  explicit LocalServer(std::unique_ptr<httplib::Server> server = nullptr)
      : server_(server ? std::move(server) : std::make_unique<httplib::Server>()) {
    // A thread per connection, so 100 kept-alive connections are all served.
    server_->new_task_queue = [] { return new httplib::ThreadPool(128); };
    server_->set_tcp_nodelay(true);
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard guard(lock_);
      received_.push_back({request.method + " " + request.target + " [" +
                               request.get_header_value("Content-Type") + "] [" +
                               request.get_header_value("Expect") + "] " + request.body,
                           request.remote_port});
      respond_(response);
    };
    server_->Get(".*", handle);
    server_->Put(".*", handle);
    port_ = server_->bind_to_any_port("127.0.0.1");
    test::widenListenBacklog(port_);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() before the loop runs would not end it.
    while (!server_->is_running()) std::this_thread::yield();
  }
  ~LocalServer() {
    server_->stop();
    thread_.join();
  }
  void answer(int status, std::string body) {
    setResponder([status, body](httplib::Response& r) { r.status = status, r.body = body; });
  }
  void setResponder(Responder respond) {
    std::lock_guard guard(lock_);
    respond_ = std::move(respond);
  }
  std::vector<Received> received() {
    std::lock_guard guard(lock_);
    return received_;
  }
  std::string base(const char* scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::mutex lock_;
  std::vector<Received> received_;
  Responder respond_ = [](httplib::Response& r) { r.status = 200; };
  int port_ = 0;
  std::thread thread_;
};

std::shared_ptr<HttpClient> localClient(std::string caFile = {}) {
  HttpClientOptions options;
  options.caFile = std::move(caFile);
  options.noProxy = "*";
  return HttpClient::makeCurl(std::move(options)).value();
}

// A client of its own, for a server at `base`.
std::shared_ptr<GSheets> sheetsAt(const std::string& base, std::string caFile = {},
                                  double timeout = 60) {
  return GSheets::make("K3Y-secret", {base, timeout, timeout, localClient(std::move(caFile))});
}

// Runs a completion form and returns its outcome; `synchronous` tells
// whether the completion ran inside the call. Fails the test when the
// completion runs other than exactly once.
template <class T, class Start>
Result<T> outcomeOf(Start start, bool* synchronous = nullptr) {
  auto future = Flow::Future<T>::promise();
  auto calls = std::make_shared<std::atomic<int>>(0);
  start([future, calls](Result<T> r) {
    calls->fetch_add(1);
    future->complete(std::move(r));
  });
  if (synchronous != nullptr) *synchronous = calls->load() == 1;
  Result<T> result = future->wait();
  test::waitFor([] { return false; }, 0.05);  // a second call would come meanwhile
  EXPECT_EQ(calls->load(), 1);
  return result;
}

Result<Values> read(const GSheets& sheets) {
  return outcomeOf<Values>([&](auto done) { sheets.fetch("S1", "Data", "A1:B2", done); });
}
Result<void> write(const GSheets& sheets, const Values& values, bool* synchronous = nullptr) {
  return outcomeOf<void>([&](auto done) { sheets.put("S1", "Data", "A1:B2", values, done); },
                         synchronous);
}

// An outcome as text: "<domain> <code>", "rows <n>" (a read), "done" (a
// write) or "status <n>".
template <class T>
std::string what(const Result<T>& r) {
  if (r.isFailure()) return r.error().domain() + " " + std::to_string(r.error().code());
  if constexpr (std::is_void_v<T>) {
    return "done";
  } else if constexpr (std::is_same_v<T, Values>) {
    return "rows " + std::to_string(r.value().size());
  } else {
    return "status " + std::to_string(r.value().status);
  }
}

const char* const kBlock =
    R"({"range":"Data!A1:B2","majorDimension":"ROWS","values":[["a","b"],["c"]]})";

TEST(GSheets, SendsTheExactRequestsOverOneConnectionAndNothingForBadInput) {
  LocalServer server;
  auto sheets = sheetsAt(server.base());
  server.answer(200, kBlock);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(read(*sheets).value(), (Values{{"a", "b"}, {"c"}}));
    EXPECT_TRUE(write(*sheets, {{"a/1", "b"}, {"c", "d"}}).isSuccess());
  }
  // Above 1 MiB libcurl would wait for "100 Continue" unless told not to.
  EXPECT_TRUE(write(*sheets, {{std::string(std::size_t{2} << 20, 'x')}}).isSuccess());
  const std::vector<Received> got = server.received();
  ASSERT_EQ(got.size(), 5U);
  EXPECT_NE(got[4].line.find(" [application/json] [] {"), std::string::npos);
  EXPECT_EQ(got[0].line, "GET /v4/spreadsheets/S1/values/Data!A1:B2?key=K3Y-secret [] [] ");
  EXPECT_EQ(
      got[1].line,
      "PUT /v4/spreadsheets/S1/values/Data!A1:B2?valueInputOption=RAW&key=K3Y-secret "
      R"([application/json] [] {"majorDimension":"ROWS","range":"A1:B2","values":[["a\/1","b"],["c","d"]]})");
  for (const Received& each : got) EXPECT_EQ(each.port, got[0].port);
  // Bad input fails inside the call, and nothing is sent.
  bool synchronous = false;
  EXPECT_EQ(what(outcomeOf<Values>([&](auto done) { sheets->fetch("S1", "My Data", "A1", done); },
                                   &synchronous)),
            "Invalid URL 0");
  EXPECT_TRUE(synchronous);
  EXPECT_EQ(what(write(*sheets, {{"ok", "\xff\xfe"}}, &synchronous)), "JSON 316");
  EXPECT_TRUE(synchronous);
  EXPECT_EQ(server.received().size(), 5U);
}

TEST(GSheets, AnswersBecomeTheDocumentedOutcomes) {
  const std::string gsa = "Google Sheets API ";
  std::string big = R"({"range":"A","majorDimension":"ROWS","values":[)";
  for (int row = 0; row < 1000; ++row)
    big += (row ? ",[\"" : "[\"") + std::string(1000, 'x') + "\"]";
  const struct {
    bool isWrite;
    int status;
    std::string body, expected;
  } rows[] = {
      {false, 404, R"({"x":1,"range":"A","majorDimension":"ROWS","values":[[],[]]})", "rows 2"},
      {false, 200, big + "]}", "rows 1000"},
      {false, 200, "hello", "JSON 101"},
      {false, 200, R"({"range":"A1:B2","majorDim)", "JSON 101"},
      {false, 403, R"({"error":{"code":403,"message":"denied"}})", "JSON 403"},
      {false, 200, R"({"range":"A","majorDimension":"ROWS"})", "JSON 403"},
      {false, 200, R"({"range":"A","majorDimension":"ROWS","values":[[1]]})", "JSON 302"},
      {false, 200, R"({"range":"A","majorDimension":"ROWS","values":[[null]]})", "JSON 302"},
      {false, 200, "", "No data 0"},
      {true, 200, "not json", "done"},
      {true, 401, "", "Google Sheets API" + std::string(GSheets::kUnauthorizedSentence) + " 401"},
      {true, 400, kBlock, gsa + "400"},
      {true, 204, "", gsa + "204"},
      {true, 500, "", gsa + "500"},
  };
  LocalServer server;
  auto sheets = sheetsAt(server.base());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.body.substr(0, 60));
    server.answer(row.status, row.body);
    EXPECT_EQ(row.isWrite ? what(write(*sheets, {{"v"}})) : what(read(*sheets)), row.expected);
  }
}

TEST(GSheets, TransportFailuresNameTheAddressButNeverTheKey) {
  LocalServer silent;  // answers after the client's timeout of 1 s
  silent.setResponder(
      [](httplib::Response&) { std::this_thread::sleep_for(std::chrono::seconds(3)); });
  LocalServer cut;
  cut.setResponder([](httplib::Response& r) {
    r.set_content_provider(1000, "application/json", [](size_t, size_t, httplib::DataSink& sink) {
      sink.write("{\"range\"", 8);
      return false;  // closes the connection mid-body
    });
  });
  const std::pair<std::string, int> rows[] = {
      {"http://127.0.0.1:1", 7}, {silent.base(), 28}, {cut.base(), 18}};
  for (const auto& [base, code] : rows) {
    SCOPED_TRACE(base);
    const Result<Values> failure = read(*sheetsAt(base, "", 1));
    EXPECT_EQ(what(failure), std::string(kHttpTransportErrorDomain) + " " + std::to_string(code));
    const std::string description =
        failure.isFailure() ? failure.error().localizedDescription() : "";
    EXPECT_EQ(description.find("K3Y"), std::string::npos) << description;
    EXPECT_NE(description.find(base + "/v4/spreadsheets/S1/values/Data!A1:B2?key=REDACTED"),
              std::string::npos)
        << description;
  }
}

TEST(GSheets, HundredConcurrentReadsCompleteOnceEach) {
  LocalServer server;
  server.answer(200, kBlock);
  auto sheets = sheetsAt(server.base());
  constexpr int kReads = 100;
  std::atomic<int> complete{0};  // successful calls
  for (int i = 0; i < kReads; ++i) {
    sheets->fetch("S1", "Data", "A1", [&](Result<Values> block) {
      if (block.isSuccess() && block.value().size() == 2) complete.fetch_add(1);
    });
  }
  EXPECT_TRUE(test::waitFor([&] { return complete.load() == kReads; }, 60));
  test::waitFor([] { return false; }, 0.1);  // a second call would come meanwhile
  EXPECT_EQ(complete.load(), kReads);
}

TEST(GSheets, TaskAndFutureFormsCarryTheSameOutcomes) {
  LocalServer server;
  auto sheets = sheetsAt(server.base());
  server.answer(401, "");
  auto task = sheets->put("S1", "Data", "A1", {{"x"}});
  auto thrown = Flow::Future<void>::promise();
  std::move(task).start(DispatchQueue::global(), [thrown](Result<void> r) { thrown->complete(r); });
  EXPECT_EQ(what(thrown->wait()),
            "Google Sheets API" + std::string(GSheets::kUnauthorizedSentence) + " 401");
  server.answer(200, kBlock);
  auto future = sheets->fetchFuture("S1", "Data", "A1");
  EXPECT_EQ(server.received().size(), 1U);  // not started yet
  EXPECT_EQ(future->wait().value(), (Values{{"a", "b"}, {"c"}}));
}

TEST(GSheets, TrustsOnlyTheCertificateItIsGiven) {
  test::TempDir dir;
  const std::string cert = (dir.path() / "cert.pem").string();
  const std::string key = (dir.path() / "key.pem").string();
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  LocalServer server(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str()));
  server.answer(200, kBlock);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(what(read(*sheetsAt(server.base("https"), cert))), "rows 2");
  }
  EXPECT_EQ(what(read(*sheetsAt(server.base("https")))), "HTTP transport 60");
}

TEST(HttpClient, CancelAndReleaseEndRequestsInFlight) {
  LocalServer server;
  std::atomic<bool> release{false};
  server.setResponder([&](httplib::Response& r) {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r.status = 200;
  });
  auto client = localClient();
  HttpRequest request;
  request.address = server.base() + "/slow";
  const std::string cancelled = "POSIX " + std::to_string(ECANCELED);
  auto answer =
      outcomeOf<HttpResponse>([&](auto done) { client->cancel(client->send(request, done)); });
  EXPECT_EQ(what(answer), cancelled);
  // A client released with a request in flight.
  answer = outcomeOf<HttpResponse>([&](auto done) { localClient()->send(request, done); });
  EXPECT_EQ(what(answer), cancelled);
  release = true;
}

}  // namespace
}  // namespace mornik
