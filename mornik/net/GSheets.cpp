#include "mornik/net/GSheets.hpp"

#include <optional>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/text/Json.hpp"
#include "mornik/text/URL.hpp"

namespace mornik {

namespace {

// The body of a read: all three members required, others ignored.
struct SheetResponse {
  std::string range;
  std::string majorDimension;
  GSheets::Values values;
};
// Only decoded, never encoded: no to_json.
// NOLINTNEXTLINE(readability-identifier-naming): the JSON library's name
void from_json(const nlohmann::json& json, SheetResponse& response) {
  json.at("range").get_to(response.range);
  json.at("majorDimension").get_to(response.majorDimension);
  json.at("values").get_to(response.values);
}

// The request address, or nothing when the joined text is not a URL.
std::optional<std::string> address(const std::string& base, std::string_view sheetID,
                                   std::string_view page, std::string_view range,
                                   std::string_view query) {
  std::string text = base;
  text.append("/v4/spreadsheets/").append(sheetID).append("/values/").append(page);
  text.append("!").append(range).append(query);
  if (!URL::parse(text)) return std::nullopt;
  return text;
}

Error invalidURL() { return Error("Invalid URL", 0); }

Result<GSheets::Values> readAnswer(Result<HttpResponse> answer) {
  if (answer.isFailure()) return answer.error();
  if (answer.value().body.empty()) return Error("No data", 0);
  Result<SheetResponse> decoded = decodeFromJson<SheetResponse>(answer.value().body);
  if (decoded.isFailure()) return decoded.error();
  return std::move(decoded.value().values);
}

Result<void> writeAnswer(const Result<HttpResponse>& answer) {
  if (answer.isFailure()) return answer.error();
  const int status = answer.value().status;
  if (status == 200) return {};
  std::string domain = "Google Sheets API";
  if (status == 401) domain.append(GSheets::kUnauthorizedSentence);
  return Error(std::move(domain), status);
}

Task<GSheets::Values> fetchTask(Flow::Future<GSheets::Values>::Pointer future) {
  Result<GSheets::Values> outcome = co_await std::move(future);
  if (outcome.isFailure()) throw outcome.error();
  co_return std::move(outcome.value());
}

Task<void> putTask(Flow::Future<void>::Pointer future) {
  Result<void> outcome = co_await std::move(future);
  if (outcome.isFailure()) throw outcome.error();
}

}  // namespace

std::shared_ptr<GSheets> GSheets::make(std::string apiKey, Options options) {
  return std::make_shared<GSheets>(Passkey(), std::move(apiKey), std::move(options));
}

GSheets::GSheets(Passkey /*unused*/, std::string apiKey, Options options)
    : apiKey_(std::move(apiKey)), options_(std::move(options)) {}

std::shared_ptr<HttpClient> GSheets::client() const {
  return options_.client ? options_.client : HttpClient::shared();
}

void GSheets::fetch(std::string_view sheetID, std::string_view page, std::string_view range,
                    FetchCompletion completion) const {
  std::optional<std::string> url =
      address(options_.baseAddress, sheetID, page, range, "?key=" + apiKey_);
  if (!url) {
    completion(invalidURL());
    return;
  }
  HttpRequest request;
  request.address = std::move(*url);
  request.timeout = options_.readTimeout;
  request.secretQueryParameters = {"key"};
  std::shared_ptr<HttpClient> http = client();
  // The completion keeps the client alive while the request is in flight.
  http->send(std::move(request),
             [http, completion = std::move(completion)](Result<HttpResponse> answer) mutable {
               completion(readAnswer(std::move(answer)));
             });
}

void GSheets::put(std::string_view sheetID, std::string_view page, std::string_view range,
                  const Values& values, PutCompletion completion) const {
  std::optional<std::string> url =
      address(options_.baseAddress, sheetID, page, range, "?valueInputOption=RAW&key=" + apiKey_);
  if (!url) {
    completion(invalidURL());
    return;
  }
  Result<std::string> body =
      asJson(Json{{"range", range}, {"majorDimension", "ROWS"}, {"values", values}});
  if (body.isFailure()) {
    completion(body.error());
    return;
  }
  HttpRequest request;
  request.method = "PUT";
  request.address = std::move(*url);
  request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body.value());
  request.timeout = options_.writeTimeout;
  request.secretQueryParameters = {"key"};
  std::shared_ptr<HttpClient> http = client();
  http->send(std::move(request),
             [http, completion = std::move(completion)](
                 const Result<HttpResponse>& answer) mutable { completion(writeAnswer(answer)); });
}

Flow::Future<GSheets::Values>::Pointer GSheets::fetchFuture(std::string sheetID, std::string page,
                                                            std::string range) const {
  return Flow::Future<Values>::make(
      std::nullopt,
      [self = shared_from_this(), sheetID = std::move(sheetID), page = std::move(page),
       range = std::move(range)](const Flow::Future<Values>::Pointer& future) {
        self->fetch(sheetID, page, range,
                    [future](Result<Values> block) { future->complete(std::move(block)); });
      });
}

Flow::Future<void>::Pointer GSheets::putFuture(std::string sheetID, std::string page,
                                               std::string range, Values values) const {
  return Flow::Future<void>::make(
      std::nullopt, [self = shared_from_this(), sheetID = std::move(sheetID),
                     page = std::move(page), range = std::move(range),
                     values = std::move(values)](const Flow::Future<void>::Pointer& future) {
        self->put(sheetID, page, range, values,
                  [future](Result<void> done) { future->complete(std::move(done)); });
      });
}

Task<GSheets::Values> GSheets::fetch(std::string sheetID, std::string page,
                                     std::string range) const {
  return fetchTask(fetchFuture(std::move(sheetID), std::move(page), std::move(range)));
}

Task<void> GSheets::put(std::string sheetID, std::string page, std::string range,
                        Values values) const {
  return putTask(
      putFuture(std::move(sheetID), std::move(page), std::move(range), std::move(values)));
}

}  // namespace mornik
