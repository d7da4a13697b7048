#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

#include "mornik/flow/future/Future.hpp"
#include "mornik/net/GSheets.hpp"
#include "mornik/platform/HttpClient.hpp"
#include "mornik/text/Json.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

// A stand-in for the spreadsheet service on 127.0.0.1: it keeps one block,
// which a PUT replaces and a GET returns; a key other than "tour-key" is
// refused as the service refuses writes with a bare API key.
class LocalSheet {
 public:
  LocalSheet() {
    server_.Get(".*", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard guard(lock_);
      response.set_content(
          R"({"range":"Data!A1:B2","majorDimension":"ROWS","values":)" + block_ + "}",
          "application/json");
    });
    server_.Put(".*", [this](const httplib::Request& request, httplib::Response& response) {
      if (request.get_param_value("key") != "tour-key") {
        response.status = 401;
        return;
      }
      std::lock_guard guard(lock_);
      block_ = mornik::decodeFromJson<mornik::Json>(request.body).value()["values"].dump();
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~LocalSheet() {
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  std::mutex lock_;
  std::string block_ = "[]";
  int port_ = 0;
  std::thread thread_;
};

std::string show(const mornik::GSheets::Values& rows) {
  std::string text;
  for (const auto& row : rows) {
    text += "[";
    for (const auto& cell : row) text += (text.back() == '[' ? "" : ", ") + cell;
    text += "] ";
  }
  return text;
}

mornik::Task<mornik::GSheets::Values> writeThenRead(std::shared_ptr<mornik::GSheets> sheets) {
  mornik::Task<> write = sheets->put("sheet-1", "Data", "A1:B2", {{"apples", "3"}, {"pears", "5"}});
  co_await std::move(write);
  co_return co_await sheets->fetch("sheet-1", "Data", "A1:B2");
}

}  // namespace

void net() {
  heading("Spreadsheet client over HTTP");
  LocalSheet service;
  mornik::HttpClientOptions httpOptions;
  httpOptions.noProxy = "*";
  mornik::GSheetsOptions options;
  options.baseAddress = service.base();  // the real service is the default
  options.client = mornik::HttpClient::makeCurl(httpOptions).value();
  auto sheets = mornik::GSheets::make("tour-key", options);

  // The asynchronous form: a Task that writes a block and reads it back.
  auto done = mornik::Flow::Future<mornik::GSheets::Values>::promise();
  writeThenRead(sheets).start(
      mornik::DispatchQueue::global(),
      [done](mornik::Result<mornik::GSheets::Values> rows) { done->complete(std::move(rows)); });
  say("written, then read back: " + show(done->wait().value()));

  // The completion form reports bad input at once, before any traffic.
  sheets->fetch("sheet-1", "My Data", "A1", [](mornik::Result<mornik::GSheets::Values> rows) {
    say("a page name with a blank: " + rows.error().domain());
  });
  // A refused write names the reason; the key never appears in messages.
  auto refused =
      mornik::GSheets::make("wrong-key", options)->putFuture("sheet-1", "Data", "A1", {{"x"}});
  const mornik::Error error = refused->wait().error();
  say("a write with a bare API key: " + std::to_string(error.code()) + " " + error.domain());
}

}  // namespace tour
