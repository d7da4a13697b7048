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
#include <netinet/in.h>
#include <sys/socket.h>

#include "mornik/fileio/UniqueFd.hpp"

#include "tests/support/RunLoopWait.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using Values = GSheets::Values;
using Responder = std::function<void(httplib::Response&)>;

struct Received {
  std::string method, target, contentType, expect, body;
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
      received_.push_back({request.method, request.target, request.get_header_value("Content-Type"),
                           request.get_header_value("Expect"), request.body, request.remote_port});
      respond_(response);
    };
    server_->Get(".*", handle);
    server_->Put(".*", handle);
    port_ = server_->bind_to_any_port("127.0.0.1");
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
  options.noProxy = "*";
  options.caFile = std::move(caFile);
  return HttpClient::makeCurl(std::move(options)).value();
}

std::shared_ptr<GSheets> sheetsAt(const std::string& base, std::shared_ptr<HttpClient> client,
                                  double timeout = 60) {
  GSheetsOptions options;
  options.baseAddress = base;
  options.client = std::move(client);
  options.readTimeout = options.writeTimeout = timeout;
  return GSheets::make("K3Y-secret", std::move(options));
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
  EXPECT_TRUE(test::waitFor([&] { return future->maybeFailure() || future->maybeSuccess(); }));
  Result<T> result = future->wait();
  // A second call would come soon after the first.
  test::waitFor([] { return false; }, 0.05);
  EXPECT_EQ(calls->load(), 1);
  return result;
}

Result<Values> read(const GSheets& sheets, const char* page = "Data") {
  return outcomeOf<Values>([&](auto done) { sheets.fetch("S1", page, "A1:B2", done); });
}
Result<void> write(const GSheets& sheets, const Values& values, bool* synchronous = nullptr) {
  return outcomeOf<void>([&](auto done) { sheets.put("S1", "Data", "A1:B2", values, done); },
                         synchronous);
}

void expectError(const std::optional<Error>& error, const std::string& domain, int code) {
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), domain);
  EXPECT_EQ(error->code(), code);
}

const char* const kBlock =
    R"({"range":"Data!A1:B2","majorDimension":"ROWS","values":[["a","b"],["c"]]})";

TEST(GSheets, SendsTheExactRequestsAndReusesOneConnection) {
  LocalServer server;
  auto sheets = sheetsAt(server.base(), localClient());
  server.answer(200, kBlock);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(read(*sheets).value(), (Values{{"a", "b"}, {"c"}}));
    EXPECT_TRUE(write(*sheets, {{"a/1", "b"}, {"c", "d"}}).isSuccess());
  }
  // Above 1 MiB libcurl would wait for "100 Continue" unless told not to.
  EXPECT_TRUE(write(*sheets, {{std::string(std::size_t{2} << 20, 'x')}}).isSuccess());
  const std::vector<Received> got = server.received();
  ASSERT_EQ(got.size(), 5U);
  EXPECT_EQ(got[4].expect, "");
  EXPECT_EQ(got[0].method, "GET");
  EXPECT_EQ(got[0].target, "/v4/spreadsheets/S1/values/Data!A1:B2?key=K3Y-secret");
  EXPECT_EQ(got[0].body, "");
  EXPECT_EQ(got[1].method, "PUT");
  EXPECT_EQ(got[1].target,
            "/v4/spreadsheets/S1/values/Data!A1:B2?valueInputOption=RAW&key=K3Y-secret");
  EXPECT_EQ(got[1].contentType, "application/json");
  EXPECT_EQ(got[1].expect, "");
  EXPECT_EQ(got[1].body,
            R"({"majorDimension":"ROWS","range":"A1:B2","values":[["a\/1","b"],["c","d"]]})");
  for (const Received& each : got) EXPECT_EQ(each.port, got[0].port);
}

struct Row {
  const char* name;
  bool isWrite;
  int status;
  std::string body;
  std::string domain;  // empty: success
  int code;
};

// Success rows: `code` is the number of rows read.
TEST(GSheets, AnswersBecomeTheDocumentedOutcomes) {
  const std::string gsa = "Google Sheets API";
  std::string big = R"({"range":"A","majorDimension":"ROWS","values":[)";
  for (int row = 0; row < 1000; ++row)
    big += (row ? ",[\"" : "[\"") + std::string(1000, 'x') + "\"]";
  const Row rows[] = {
      {"other keys ignored, status not read", false, 404,
       R"({"x":1,"range":"A","majorDimension":"ROWS","values":[["a","b"],["c"]]})", "", 2},
      {"1 MB", false, 200, big + "]}", "", 1000},
      {"not JSON", false, 200, "hello", "JSON", 101},
      {"truncated JSON", false, 200, R"({"range":"A1:B2","majorDim)", "JSON", 101},
      {"error document", false, 403, R"({"error":{"code":403,"message":"denied"}})", "JSON", 403},
      {"no values", false, 200, R"({"range":"A","majorDimension":"ROWS"})", "JSON", 403},
      {"numbers", false, 200, R"({"range":"A","majorDimension":"ROWS","values":[[1]]})", "JSON",
       302},
      {"nulls", false, 200, R"({"range":"A","majorDimension":"ROWS","values":[[null]]})", "JSON",
       302},
      {"empty body", false, 200, "", "No data", 0},
      {"200 whatever the body", true, 200, "not json", "", 0},
      {"401", true, 401, "", gsa + GSheets::kUnauthorizedSentence.data(), 401},
      {"400", true, 400, kBlock, gsa, 400},
      {"204", true, 204, "", gsa, 204},
      {"500", true, 500, "", gsa, 500},
  };
  LocalServer server;
  auto sheets = sheetsAt(server.base(), localClient());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    server.answer(row.status, row.body);
    if (row.isWrite) {
      const Result<void> done = write(*sheets, {{"v"}});
      if (row.domain.empty()) {
        EXPECT_TRUE(done.isSuccess());
      } else {
        expectError(done.maybeFailure(), row.domain, row.code);
      }
    } else {
      const Result<Values> block = read(*sheets);
      if (row.domain.empty()) {
        EXPECT_EQ(static_cast<int>(block.value().size()), row.code);
      } else {
        expectError(block.maybeFailure(), row.domain, row.code);
      }
    }
  }
}

TEST(GSheets, BadInputFailsAtOnceAndSendsNothing) {
  LocalServer server;
  auto sheets = sheetsAt(server.base(), localClient());
  bool synchronous = false;
  expectError(outcomeOf<Values>([&](auto done) { sheets->fetch("S1", "My Data", "A1", done); },
                                &synchronous)
                  .maybeFailure(),
              "Invalid URL", 0);
  EXPECT_TRUE(synchronous);
  expectError(write(*sheets, {{"ok", "\xff\xfe"}}, &synchronous).maybeFailure(), "JSON", 316);
  EXPECT_TRUE(synchronous);
  EXPECT_TRUE(server.received().empty());
}

TEST(GSheets, TransportFailuresNameTheAddressButNeverTheKey) {
  LocalServer server;
  // A socket that listens and never accepts: connections complete, no answer.
  UniqueFd silent(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(silent.get(), 4), 0);
  ::getsockname(silent.get(), reinterpret_cast<sockaddr*>(&address), &length);
  const std::string silentBase = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  std::string refusedBase;
  {
    LocalServer gone;
    refusedBase = gone.base();
  }
  server.setResponder([](httplib::Response& r) {
    r.set_content_provider(1000, "application/json", [](size_t, size_t, httplib::DataSink& sink) {
      sink.write("{\"range\"", 8);
      return false;  // closes the connection mid-body
    });
  });
  const struct {
    std::string base;
    int code;
  } rows[] = {{refusedBase, 7}, {silentBase, 28}, {server.base(), 18}};
  auto client = localClient();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.base);
    const auto failure = read(*sheetsAt(row.base, client, 1)).maybeFailure();
    expectError(failure, std::string(kHttpTransportErrorDomain), row.code);
    const std::string description = failure ? failure->localizedDescription() : "";
    EXPECT_EQ(description.find("K3Y"), std::string::npos) << description;
    EXPECT_NE(description.find(row.base + "/v4/spreadsheets/S1/values/Data!A1:B2?key=REDACTED"),
              std::string::npos)
        << description;
  }
}

TEST(GSheets, HundredConcurrentReadsCompleteOnceEach) {
  LocalServer server;
  server.answer(200, kBlock);
  auto sheets = sheetsAt(server.base(), localClient());
  constexpr int kReads = 100;
  std::vector<std::atomic<int>> calls(kReads);
  std::atomic<int> complete{0};
  for (int i = 0; i < kReads; ++i) {
    sheets->fetch("S1", "Data", "A1", [&, i](Result<Values> block) {
      if (block.isSuccess() && block.value().size() == 2) complete.fetch_add(1);
      calls[i].fetch_add(1);
    });
  }
  EXPECT_TRUE(test::waitFor([&] { return complete.load() == kReads; }, 60));
  for (auto& each : calls) EXPECT_EQ(each.load(), 1);
}

TEST(GSheets, TaskAndFutureFormsCarryTheSameOutcomes) {
  LocalServer server;
  auto sheets = sheetsAt(server.base(), localClient());
  server.answer(401, "");
  auto task = sheets->put("S1", "Data", "A1", {{"x"}});
  auto thrown = Flow::Future<void>::promise();
  std::move(task).start(DispatchQueue::global(), [thrown](Result<void> r) { thrown->complete(r); });
  expectError(thrown->wait().maybeFailure(),
              "Google Sheets API" + std::string(GSheets::kUnauthorizedSentence), 401);
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
    EXPECT_EQ(read(*sheetsAt(server.base("https"), localClient(cert))).value().size(), 2U);
  }
  expectError(read(*sheetsAt(server.base("https"), localClient())).maybeFailure(),
              std::string(kHttpTransportErrorDomain), 60);
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
  expectError(outcomeOf<HttpResponse>([&](auto done) {
                client->cancel(client->send(request, done));
              }).maybeFailure(),
              "POSIX", ECANCELED);
  auto dropped = outcomeOf<HttpResponse>([&](auto done) {
    localClient()->send(request, done);  // the client goes at once
  });
  expectError(dropped.maybeFailure(), "POSIX", ECANCELED);
  release = true;
}

}  // namespace
}  // namespace mornik
