#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/platform/HttpClient.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Where and how a GSheets sends its requests.
struct GSheetsOptions {
  // Scheme, host and port, without a trailing "/" (a local server in tests).
  std::string baseAddress = "https://sheets.googleapis.com";
  double readTimeout = 60.0;
  double writeTimeout = 60.0;
  // The client requests go through; null: HttpClient::shared().
  std::shared_ptr<HttpClient> client;
};

// Reads and writes rectangular blocks of cells of an online spreadsheet
// (the Google Sheets values interface, version 4) with an API key. Cells
// travel as text: a block is a list of rows, each a list of strings.
//
//   auto sheets = mornik::GSheets::make(apiKey);
//   sheets->fetch(sheetID, "Data", "A1:B2", [](mornik::Result<mornik::GSheets::Values> block) {
//     // on a background queue
//   });
//   mornik::GSheets::Values rows = co_await sheets->fetch(sheetID, "Data", "A1:B2");  // throws
//   co_await sheets->put(sheetID, "Data", "A1:B2", {{"a", "b"}, {"c", "d"}});
//   sheets->putFuture(sheetID, "Data", "A1", {{"x"}})->onFailure([](const mornik::Error& e) {});
//
// Requests: <base>/v4/spreadsheets/<sheetID>/values/<page>!<range>, the
// pieces joined unchanged (no percent-encoding) and parsed with URL::parse;
// an address that does not parse fails with Error("Invalid URL", 0) at once
// and nothing is sent. A read is a GET with "?key=<apiKey>"; a write is a
// PUT with "?valueInputOption=RAW&key=<apiKey>" (values stored as typed
// text), header "Content-Type: application/json" and the body
// {"majorDimension":"ROWS","range":<range>,"values":<values>} (the range
// alone, without page and "!"; members in the JSON library's order).
//
// Answers: a read fails with the transport's error (kHttpTransportErrorDomain
// of HttpClient), else with Error("No data", 0) for an empty body, else with
// the JSON decoder's error (domain "JSON") unless the body is an object with
// "range" and "majorDimension" as text and "values" as a list of lists of
// text (other members ignored); its status code is never looked at, so an
// error document of the service fails to decode. A write fails with the
// transport's error, else succeeds on status 200 whatever the body, else
// fails with Error("Google Sheets API", status), whose domain adds, for 401,
// kUnauthorizedSentence. Values that are not valid UTF-8 fail a write at
// once with the JSON encoder's error (code 316) and nothing is sent.
//
// Timeouts: a read fails when the transfer stays silent for kReadTimeout
// seconds, a write for kWriteTimeout (both 60 s unless Options say
// otherwise); see HttpRequest::timeout.
//
// Secrets: the API key is never part of an error or a message: addresses
// are shown with "key=REDACTED".
//
// Completions: the completion forms call their completion exactly once:
// inside the call for an invalid address or a body that cannot be encoded,
// else later on the HTTP client's callback queue (a background queue);
// callers hop to their own queue. The Task forms start when awaited or
// started and throw the same errors; the Future forms start when a handler
// is registered (or wait() is called) and fail with them.
//
// Ownership and lifetime: a GSheets holds its key and options only; the
// connections belong to the HTTP client (by default HttpClient::shared(),
// looked up at each request), which a request in flight keeps alive. The
// Task and Future forms keep the GSheets alive until they are done.
//
// Thread safety: immutable; every member may be called from any thread,
// and any number of requests may run at once.
class GSheets : public std::enable_shared_from_this<GSheets> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Values = std::vector<std::vector<std::string>>;
  using FetchCompletion = std::function<void(Result<Values>)>;
  using PutCompletion = std::function<void(Result<void>)>;

  static constexpr std::string_view kDefaultBaseAddress = "https://sheets.googleapis.com";
  static constexpr double kReadTimeout = 60.0;
  static constexpr double kWriteTimeout = 60.0;
  // Added to the domain of a write answered 401.
  static constexpr std::string_view kUnauthorizedSentence =
      " Possible issue reason: API keys are only valid for accessing public data... Modifying "
      "spreadsheet data requires authenticated requests using OAuth 2.0.";

  using Options = GSheetsOptions;

  static std::shared_ptr<GSheets> make(std::string apiKey, Options options = {});
  GSheets(Passkey /*unused*/, std::string apiKey, Options options);

  const std::string& apiKey() const noexcept { return apiKey_; }

  // Reads the block `range` of the tab `page` of spreadsheet `sheetID`.
  void fetch(std::string_view sheetID, std::string_view page, std::string_view range,
             FetchCompletion completion) const;
  Task<Values> fetch(std::string sheetID, std::string page, std::string range) const;
  Flow::Future<Values>::Pointer fetchFuture(std::string sheetID, std::string page,
                                            std::string range) const;

  // Overwrites the block `range` of the tab `page` with `values`.
  void put(std::string_view sheetID, std::string_view page, std::string_view range,
           const Values& values, PutCompletion completion) const;
  Task<void> put(std::string sheetID, std::string page, std::string range, Values values) const;
  Flow::Future<void>::Pointer putFuture(std::string sheetID, std::string page, std::string range,
                                        Values values) const;

 private:
  std::shared_ptr<HttpClient> client() const;

  const std::string apiKey_;
  const Options options_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
