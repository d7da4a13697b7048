#include "mornik/platform/HttpClient.hpp"

#include <algorithm>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/AdapterSlot.hpp"

namespace mornik {

namespace {

// Fails every request with why there is no real client.
class UnavailableHttpClient final : public HttpClient {
 public:
  // NOLINTNEXTLINE(bugprone-throw-keyword-missing): kept to be returned, not thrown
  explicit UnavailableHttpClient(Error why) : why_(std::move(why)) {}
  RequestID send(HttpRequest /*request*/, Completion completion) override {
    DispatchQueue::global().async(
        [completion = std::move(completion), why = why_] { completion(why); });
    return 0;
  }
  void cancel(RequestID /*id*/) override {}

 private:
  const Error why_;
};

detail::AdapterSlot<HttpClient>& slot() {
  static detail::AdapterSlot<HttpClient> client(
      "the HTTP client",
      [](const Error& why) -> std::shared_ptr<HttpClient> {
        return std::make_shared<UnavailableHttpClient>(why);
      },
      "mornik-net", "mornik::useNetAdapters()");
  return client;
}

}  // namespace

std::string redactedAddress(std::string_view address, const std::vector<std::string>& secrets) {
  const std::size_t query = address.find('?');
  if (query == std::string_view::npos || secrets.empty()) return std::string(address);
  const std::size_t fragment = std::min(address.find('#', query), address.size());
  std::string out(address.substr(0, query + 1));
  std::string_view rest = address.substr(query + 1, fragment - query - 1);
  while (true) {
    const std::size_t end = std::min(rest.find('&'), rest.size());
    const std::string_view pair = rest.substr(0, end);
    const std::size_t equals = pair.find('=');
    const std::string_view name = pair.substr(0, equals);
    if (equals != std::string_view::npos &&
        std::find(secrets.begin(), secrets.end(), name) != secrets.end()) {
      out.append(name).append("=REDACTED");
    } else {
      out.append(pair);
    }
    if (end == rest.size()) break;
    out.push_back('&');
    rest.remove_prefix(end + 1);
  }
  out.append(address.substr(fragment));
  return out;
}

std::shared_ptr<HttpClient> HttpClient::shared() { return slot().get(); }
void HttpClient::setShared(std::shared_ptr<HttpClient> client) { slot().set(std::move(client)); }
Result<std::shared_ptr<HttpClient>> HttpClient::forDesktop() { return slot().forDesktop(); }
void detail::setNetFactory(Result<std::shared_ptr<HttpClient>> (*factory)()) {
  slot().setFactory(factory);
}

HttpClient::RequestID MemoryHttpClient::send(HttpRequest request, Completion completion) {
  RequestID id = 0;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    requests_.push_back(request);
    id = requests_.size();
  }
  DispatchQueue::global().async(
      [respond = respond_, request = std::move(request), completion = std::move(completion)] {
        completion(respond(request));
      });
  return id;
}

std::vector<HttpRequest> MemoryHttpClient::requests() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return requests_;
}

}  // namespace mornik
