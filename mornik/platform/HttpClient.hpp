#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The domain of transport failures (no connection, a timeout, a broken
// answer, a certificate that does not verify): the code is the transport's
// own number (libcurl's CURLcode: 6 cannot resolve, 7 cannot connect, 18
// partial answer, 28 timeout, 56 receive failure, 60 certificate) and the
// description says what happened and to which address (secrets redacted).
inline constexpr std::string_view kHttpTransportErrorDomain = "HTTP transport";

// One request: an absolute http or https address, a method, headers and a
// body, and how long the transfer may stay silent.
struct HttpRequest {
  std::string method = "GET";
  std::string address;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // The transfer fails with a timeout (code 28) when connecting takes this
  // long, or when no byte goes either way for this long; whole seconds,
  // rounded up.
  double timeout = 60.0;
  // Query parameters whose values are secret (an API key): wherever the
  // client shows the address (error descriptions), their values read
  // "REDACTED", and the values appear nowhere else in its messages.
  std::vector<std::string> secretQueryParameters;
};

// The answer to a request that reached a server: any status (a 404 is an
// answer, not a failure) and the body as it arrived (decompressed).
struct HttpResponse {
  int status = 0;
  std::string body;
};

// The address with the values of the named query parameters replaced by
// "REDACTED" ("https://h/p?key=REDACTED&x=1"): what messages show.
std::string redactedAddress(std::string_view address, const std::vector<std::string>& secrets);

// Options of the libcurl adapter (HttpClient::makeCurl).
struct HttpClientOptions {
  // Certificates to trust instead of the system's (a PEM file); empty:
  // the system's. Verification is never turned off.
  std::string caFile;
  // Hosts that never go through a proxy ("*": none does), beside the
  // environment's no_proxy.
  std::string noProxy;
  // The largest answer body accepted; a larger one fails the request
  // (code 23, "the answer is larger than <n> bytes").
  std::size_t maxBodyBytes = std::size_t{64} * 1024 * 1024;
  // Where completions run; none: the global queue.
  std::optional<DispatchQueue> callbackQueue;
};

// An HTTP client: sends requests and hands each outcome to a completion.
//
//   auto client = mornik::HttpClient::shared();
//   mornik::HttpRequest request;
//   request.address = "https://example.org/data.json";
//   client->send(std::move(request), [](mornik::Result<mornik::HttpResponse> answer) {
//     if (answer.isSuccess()) use(answer.value().status, answer.value().body);
//   });
//
// Adapters:
// - the libcurl adapter (makeCurl, in mornik-net): one multi handle driven
//   by the library's descriptor watcher and a timer source on one serial
//   queue (no thread or loop of its own), connections kept and reused
//   across requests, HTTP/2 where the server offers it, TLS verified, the
//   environment's proxy settings (http_proxy, https_proxy, no_proxy);
// - MemoryHttpClient: answers from a function, in this process (tests).
//
// Completions: each request's completion is called exactly once, never
// inside send(), on the client's callback queue (a background queue): with
// the response, or with a transport failure (kHttpTransportErrorDomain), or
// with POSIX ECANCELED "the request was cancelled" after cancel().
//
// Lifetime: a request in flight keeps nothing of the caller's but its
// completion; releasing the client cancels what is in flight.
//
// Thread safety: shared() and setShared() may be called from any thread;
// the adapters of this file allow every member from any thread.
class HttpClient {
 public:
  using Completion = std::function<void(Result<HttpResponse>)>;
  using RequestID = std::uint64_t;

  virtual ~HttpClient() = default;
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Starts the request; returns its id for cancel().
  virtual RequestID send(HttpRequest request, Completion completion) = 0;
  // Ends the request if it is still in flight: its completion then hears
  // ECANCELED. An unknown or finished id does nothing.
  virtual void cancel(RequestID id) = 0;

  using Options = HttpClientOptions;

  // The process-wide client, whose connections all requests share: the one
  // installed last, else (made on first use) forDesktop(), else one that
  // fails every request with forDesktop()'s failure.
  static std::shared_ptr<HttpClient> shared();
  // Installs `client` as the shared one; null: the default again.
  static void setShared(std::shared_ptr<HttpClient> client);
  // The real client (libcurl, default options). Fails with ENOSYS "the HTTP
  // client is not available: link mornik-net and call
  // mornik::useNetAdapters()" when the program does not link mornik-net.
  static Result<std::shared_ptr<HttpClient>> forDesktop();
  // A libcurl client of its own (mornik-net). Fails when libcurl cannot
  // start.
  static Result<std::shared_ptr<HttpClient>> makeCurl(Options options = {});

 protected:
  HttpClient() = default;
};

// A client that answers every request with `respond(request)`, on the
// global queue, and keeps the requests it was sent.
//
// Thread safety: every member may be called from any thread; `respond` may
// run on several threads at once.
class MemoryHttpClient final : public HttpClient {
 public:
  using Responder = std::function<Result<HttpResponse>(const HttpRequest&)>;
  explicit MemoryHttpClient(Responder respond) : respond_(std::move(respond)) {}

  RequestID send(HttpRequest request, Completion completion) override MORNIK_EXCLUDES(lock_);
  // Requests are answered at once; there is nothing to cancel.
  void cancel(RequestID /*id*/) override {}

  // The requests sent so far, in order.
  std::vector<HttpRequest> requests() const MORNIK_EXCLUDES(lock_);

 private:
  const Responder respond_;
  mutable UnfairLock lock_;
  std::vector<HttpRequest> requests_ MORNIK_GUARDED_BY(lock_);
};

// Installs the net library's adapters (libcurl) as the defaults of
// HttpClient: forDesktop() and shared() use them from then on. Defined in
// mornik-net, which also calls it when it is loaded; call it anyway (a
// linker with --as-needed drops a library whose symbols go unused).
//
// Thread safety: may be called from any thread, any number of times.
void useNetAdapters();

namespace detail {
// Registers the real adapter's factory (mornik-net does, when loaded).
void setNetFactory(Result<std::shared_ptr<HttpClient>> (*factory)());
}  // namespace detail

}  // namespace mornik

MORNIK_EXPORTS_END
