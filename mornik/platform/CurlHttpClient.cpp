// The libcurl adapter of HttpClient (mornik-net).
//
// One multi handle per client. Its sockets are watched by the library's
// descriptor watcher (borrowed: libcurl opens and closes them) and its
// timeout is a DispatchTimerSource; every watch and the timer run their
// handlers on the client's serial queue, and every curl_multi_* and
// curl_easy_* call happens there too, so the engine needs no lock: its
// state belongs to that queue. Completions are handed to the callback queue.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "mornik/base/Error.hpp"
#include "mornik/concurrency/DispatchTimerSource.hpp"
#include "mornik/platform/HttpClient.hpp"
#include "mornik/reactor/FdWatcher.hpp"

namespace mornik {

namespace {

// Easy handles kept for the next requests (each keeps its buffers).
constexpr std::size_t kIdleHandles = 16;
// Timeouts of zero are run at once, this many in a row, before the timer
// takes over (libcurl asks again while it makes progress without waiting).
constexpr int kImmediateTimeouts = 8;

struct Transfer {
  HttpClient::RequestID id = 0;
  CURL* easy = nullptr;
  HttpRequest request;
  curl_slist* headers = nullptr;
  std::string body;
  std::size_t maxBody = 0;
  bool tooLarge = false;
  HttpClient::Completion completion;
  std::array<char, CURL_ERROR_SIZE> errorText{};
};

// The values of the secret query parameters of an address.
std::vector<std::string> secretValues(const HttpRequest& request) {
  std::vector<std::string> values;
  const std::string redacted = redactedAddress(request.address, request.secretQueryParameters);
  if (redacted == request.address) return values;
  const std::size_t query = request.address.find('?');
  std::string_view rest = std::string_view(request.address).substr(query + 1);
  rest = rest.substr(0, rest.find('#'));
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('&'), rest.size());
    const std::string_view pair = rest.substr(0, end);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && equals + 1 < pair.size() &&
        std::find(request.secretQueryParameters.begin(), request.secretQueryParameters.end(),
                  pair.substr(0, equals)) != request.secretQueryParameters.end()) {
      values.emplace_back(pair.substr(equals + 1));
    }
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return values;
}

Error transportError(CURLcode code, const Transfer& transfer) {
  std::string detail;
  if (transfer.tooLarge) {
    detail = "the answer is larger than " + std::to_string(transfer.maxBody) + " bytes";
  } else if (transfer.errorText[0] != '\0') {
    detail = transfer.errorText.data();
  } else {
    detail = curl_easy_strerror(code);
  }
  for (const std::string& secret : secretValues(transfer.request)) {
    for (std::size_t at = detail.find(secret); at != std::string::npos;
         at = detail.find(secret, at)) {
      detail.replace(at, secret.size(), "REDACTED");
    }
  }
  return Error(
      std::string(kHttpTransportErrorDomain), code,
      {{std::string(kLocalizedDescriptionKey),
        detail + " (" + transfer.request.method + " " +
            redactedAddress(transfer.request.address, transfer.request.secretQueryParameters) +
            ")"}});
}

Error cancelledError() {
  return Error(std::string(kPOSIXErrorDomain), ECANCELED,
               {{std::string(kLocalizedDescriptionKey), "the request was cancelled"}});
}

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

class CurlEngine : public std::enable_shared_from_this<CurlEngine> {
 public:
  explicit CurlEngine(HttpClient::Options options)
      : options_(std::move(options)),
        queue_("mornik.http"),
        callbackQueue_(options_.callbackQueue.value_or(DispatchQueue::global())) {}
  CurlEngine(const CurlEngine&) = delete;
  CurlEngine& operator=(const CurlEngine&) = delete;
  ~CurlEngine() { shutdown(); }

  bool start() {
    initCurlOnce();
    multi_ = curl_multi_init();
    share_ = curl_share_init();
    if (multi_ == nullptr || share_ == nullptr) return false;
    // Every handle is used on the engine's queue alone: the share needs no
    // lock functions.
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlEngine::onSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlEngine::onTimer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    return true;
  }

  const DispatchQueue& queue() const { return queue_; }

  // On the queue: starts a transfer.
  void submit(HttpClient::RequestID id, HttpRequest request, HttpClient::Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->id = id;
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    transfer->maxBody = options_.maxBodyBytes;
    if (multi_ == nullptr) {
      deliver(*transfer, transportError(CURLE_FAILED_INIT, *transfer));
      return;
    }
    CURL* easy = takeEasy();
    if (easy == nullptr) {
      deliver(*transfer, transportError(CURLE_OUT_OF_MEMORY, *transfer));
      return;
    }
    transfer->easy = easy;
    configure(*transfer);
    Transfer* raw = transfer.get();
    transfers_.emplace(id, std::move(transfer));
    if (const CURLMcode added = curl_multi_add_handle(multi_, easy); added != CURLM_OK) {
      std::snprintf(raw->errorText.data(), raw->errorText.size(), "%s", curl_multi_strerror(added));
      finish(raw, CURLE_FAILED_INIT, false);
      return;
    }
    runTimeouts();
  }

  // On the queue: ends a transfer still in flight.
  void cancel(HttpClient::RequestID id) {
    auto found = transfers_.find(id);
    if (found == transfers_.end()) return;
    Transfer* transfer = found->second.get();
    curl_multi_remove_handle(multi_, transfer->easy);
    complete(transfer, cancelledError());
    runTimeouts();
  }

  // On the queue (or as the last reference goes): ends every transfer with
  // ECANCELED and releases libcurl's handles.
  void shutdown() {
    while (!transfers_.empty()) {
      Transfer* transfer = transfers_.begin()->second.get();
      curl_multi_remove_handle(multi_, transfer->easy);
      complete(transfer, cancelledError());
    }
    for (CURL* easy : idle_) curl_easy_cleanup(easy);
    idle_.clear();
    if (multi_ != nullptr) curl_multi_cleanup(std::exchange(multi_, nullptr));
    if (share_ != nullptr) curl_share_cleanup(std::exchange(share_, nullptr));
    for (auto& [fd, watched] : watches_) watched.watch->cancel();
    watches_.clear();
    if (timer_) std::exchange(timer_, nullptr)->cancel();
  }

 private:
  struct Watched {
    std::shared_ptr<FdWatch> watch;
    std::uint64_t serial = 0;
  };

  CURL* takeEasy() {
    if (idle_.empty()) return curl_easy_init();
    CURL* easy = idle_.back();
    idle_.pop_back();
    return easy;
  }

  void configure(Transfer& transfer) {
    CURL* easy = transfer.easy;
    const HttpRequest& request = transfer.request;
    curl_easy_setopt(easy, CURLOPT_URL, request.address.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlEngine::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText.data());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed, never from https down to http (the address
    // may carry a key).
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options_.caFile.c_str());
    if (!options_.noProxy.empty()) {
      curl_easy_setopt(easy, CURLOPT_NOPROXY, options_.noProxy.c_str());
    }
    // Silence for `timeout` seconds ends the transfer: in connecting, and
    // afterwards as a speed below one byte a second for that long.
    const double seconds = std::isfinite(request.timeout) && request.timeout > 0
                               ? std::min(request.timeout, 1e6)
                               : 60.0;
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(seconds * 1000));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::ceil(seconds)));
    if (request.method == "GET" && request.body.empty()) {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    for (const auto& [name, value] : request.headers) {
      std::string line = name;
      line.append(": ").append(value);
      transfer.headers = curl_slist_append(transfer.headers, line.c_str());
    }
    // No "Expect: 100-continue": the body goes at once.
    transfer.headers = curl_slist_append(transfer.headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
  }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (transfer->body.size() + bytes > transfer->maxBody) {
      transfer->tooLarge = true;
      return 0;  // CURLE_WRITE_ERROR
    }
    transfer->body.append(data, bytes);
    return bytes;
  }

  static int onSocket(CURL* /*easy*/, curl_socket_t fd, int what, void* user, void* /*socketp*/) {
    return static_cast<CurlEngine*>(user)->watchSocket(fd, what);
  }

  int watchSocket(curl_socket_t fd, int what) {
    auto found = watches_.find(fd);
    if (what == CURL_POLL_REMOVE) {
      // Out of the watcher now: libcurl closes the socket after this.
      if (found != watches_.end()) {
        found->second.watch->cancel();
        watches_.erase(found);
      }
      return 0;
    }
    FdEvents interest = FdEvents::none;
    if ((what & CURL_POLL_IN) != 0) interest = interest | FdEvents::readable;
    if ((what & CURL_POLL_OUT) != 0) interest = interest | FdEvents::writable;
    if (found != watches_.end()) {
      found->second.watch->setInterest(interest);
      return 0;
    }
    const std::uint64_t serial = ++serial_;
    std::weak_ptr<CurlEngine> weak = weak_from_this();
    FdWatcher::Options options;
    options.interest = interest;
    options.queue = queue_;
    // A watch that ends on its own (the watcher could not arm it) tells
    // libcurl the socket failed, so its transfer ends now, not at its timeout.
    options.onEnd = [weak, fd, serial](const Result<void>& end) {
      auto self = weak.lock();
      if (!self || end.isSuccess()) return;
      auto current = self->watches_.find(fd);
      if (current == self->watches_.end() || current->second.serial != serial) return;
      self->watches_.erase(current);
      self->socketAction(fd, CURL_CSELECT_ERR);
      self->runTimeouts();
    };
    auto watch = FdWatcher::watchBorrowed(fd, std::move(options),
                                          [weak, fd](FdWatch& /*watch*/, FdEvents ready) {
                                            auto self = weak.lock();
                                            if (!self) return false;
                                            self->socketReady(fd, ready);
                                            return true;
                                          });
    if (watch.isFailure()) return -1;  // libcurl fails the transfers of this socket
    watches_.emplace(fd, Watched{std::move(watch.value()), serial});
    return 0;
  }

  static int onTimer(CURLM* /*multi*/, long milliseconds, void* user) {
    static_cast<CurlEngine*>(user)->setTimeout(milliseconds);
    return 0;
  }

  void setTimeout(long milliseconds) {
    if (milliseconds < 0) {
      if (timer_) std::exchange(timer_, nullptr)->cancel();
      return;
    }
    if (milliseconds == 0) {
      // Run by runTimeouts() when the current libcurl call has returned.
      timeoutNow_ = true;
      if (timer_) std::exchange(timer_, nullptr)->cancel();
      return;
    }
    armTimer(static_cast<double>(milliseconds) / 1000.0);
  }

  void armTimer(double seconds) {
    if (!timer_) {
      timer_ = DispatchTimerSource::make(queue_);
      timer_->setEventHandler([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
          self->socketAction(CURL_SOCKET_TIMEOUT, 0);
          self->runTimeouts();
        }
      });
      timer_->schedule(seconds);
      timer_->resume();
      return;
    }
    timer_->schedule(seconds);
  }

  void socketReady(curl_socket_t fd, FdEvents ready) {
    int mask = 0;
    if (hasAny(ready, FdEvents::readable | FdEvents::hangUp)) mask |= CURL_CSELECT_IN;
    if (hasAny(ready, FdEvents::writable)) mask |= CURL_CSELECT_OUT;
    if (hasAny(ready, FdEvents::error)) mask |= CURL_CSELECT_ERR;
    socketAction(fd, mask);
    runTimeouts();
  }

  // Timeouts of zero libcurl asked for meanwhile, run here rather than
  // through the timer (one trip through the queue fewer per step).
  void runTimeouts() {
    for (int i = 0; timeoutNow_ && i < kImmediateTimeouts; ++i) {
      timeoutNow_ = false;
      socketAction(CURL_SOCKET_TIMEOUT, 0);
    }
    if (timeoutNow_) {
      timeoutNow_ = false;
      armTimer(0);
    }
  }

  void socketAction(curl_socket_t fd, int mask) {
    if (multi_ == nullptr) return;
    int running = 0;
    curl_multi_socket_action(multi_, fd, mask, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
      // Read before the handle is removed: the message goes with it.
      const CURLcode code = message->data.result;
      finish(transfer, code, true);
    }
  }

  void finish(Transfer* transfer, CURLcode code, bool added) {
    if (added) curl_multi_remove_handle(multi_, transfer->easy);
    if (code != CURLE_OK) {
      complete(transfer, transportError(code, *transfer));
      return;
    }
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    complete(transfer, HttpResponse{static_cast<int>(status), std::move(transfer->body)});
  }

  // Gives the easy handle back, forgets the transfer and delivers.
  void complete(Transfer* transfer, Result<HttpResponse> outcome) {
    auto found = transfers_.find(transfer->id);
    std::unique_ptr<Transfer> owned = std::move(found->second);
    transfers_.erase(found);
    curl_slist_free_all(std::exchange(owned->headers, nullptr));
    if (idle_.size() < kIdleHandles && multi_ != nullptr) {
      curl_easy_reset(owned->easy);
      idle_.push_back(owned->easy);
    } else {
      curl_easy_cleanup(owned->easy);
    }
    deliver(*owned, std::move(outcome));
  }

  void deliver(Transfer& transfer, Result<HttpResponse> outcome) {
    callbackQueue_.async(
        [completion = std::move(transfer.completion), outcome = std::move(outcome)]() mutable {
          completion(std::move(outcome));
        });
  }

  const HttpClient::Options options_;
  const DispatchQueue queue_;
  const DispatchQueue callbackQueue_;
  // Everything below belongs to queue_.
  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;
  std::unordered_map<HttpClient::RequestID, std::unique_ptr<Transfer>> transfers_;
  std::vector<CURL*> idle_;
  std::map<curl_socket_t, Watched> watches_;
  std::uint64_t serial_ = 0;
  std::shared_ptr<DispatchTimerSource> timer_;
  bool timeoutNow_ = false;
};

class CurlHttpClient final : public HttpClient {
 public:
  explicit CurlHttpClient(std::shared_ptr<CurlEngine> engine) : engine_(std::move(engine)) {}
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;
  ~CurlHttpClient() override {
    engine_->queue().async([engine = engine_] { engine->shutdown(); });
  }

  RequestID send(HttpRequest request, Completion completion) override {
    const RequestID id = nextId_.fetch_add(1, std::memory_order_relaxed) + 1;
    engine_->queue().async([engine = engine_, id, request = std::move(request),
                            completion = std::move(completion)]() mutable {
      engine->submit(id, std::move(request), std::move(completion));
    });
    return id;
  }

  void cancel(RequestID id) override {
    engine_->queue().async([engine = engine_, id] { engine->cancel(id); });
  }

 private:
  const std::shared_ptr<CurlEngine> engine_;
  std::atomic<RequestID> nextId_{0};
};

Result<std::shared_ptr<HttpClient>> defaultCurlClient() { return HttpClient::makeCurl(); }

// Installed as the library is loaded, before the program's main().
[[maybe_unused]] const bool kInstalled = (useNetAdapters(), true);

}  // namespace

Result<std::shared_ptr<HttpClient>> HttpClient::makeCurl(Options options) {
  auto engine = std::make_shared<CurlEngine>(std::move(options));
  if (!engine->start()) {
    return Error(std::string(kHttpTransportErrorDomain), CURLE_FAILED_INIT,
                 {{std::string(kLocalizedDescriptionKey), "libcurl could not start"}});
  }
  return std::shared_ptr<HttpClient>(std::make_shared<CurlHttpClient>(std::move(engine)));
}

void useNetAdapters() { detail::setNetFactory(&defaultCurlClient); }

}  // namespace mornik
