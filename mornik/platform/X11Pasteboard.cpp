// The X11 adapter of Pasteboard: a library thread that owns the CLIPBOARD
// selection and answers other programs' requests for it.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "mornik/concurrency/BlockingScope.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/platform/Pasteboard.hpp"

// clang-format off
// Last: Xlib's macros (Success, None, Bool, ...) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
// clang-format on

namespace mornik {

namespace {

using Bytes = Pasteboard::Bytes;

// The names under which the text representation is also offered.
constexpr std::array<const char*, 5> kTextTargets{"UTF8_STRING", "text/plain;charset=utf-8", "TEXT",
                                                  "text/plain", "STRING"};
constexpr auto kReadTimeout = std::chrono::seconds(2);

// UTF-8 to Latin-1, for the STRING target; other characters become '?'.
Bytes latin1(const Bytes& utf8) {
  Bytes out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const std::uint8_t lead = utf8[i];
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length == 2 && i + 1 < utf8.size()) {
      const unsigned code = ((lead & 0x1Fu) << 6) | (utf8[i + 1] & 0x3Fu);
      out.push_back(code <= 0xFF ? static_cast<std::uint8_t>(code) : '?');
    } else {
      out.push_back('?');
    }
    i += length;
  }
  return out;
}

// A transfer in increments to another program: the rest of `data` goes to
// `property` of `requestor` each time that program deletes the property.
struct Outgoing {
  Window requestor = 0;
  Atom property = 0;
  Atom type = 0;
  Bytes data;
  std::size_t offset = 0;
};

// The read in flight: what was asked, and what has come so far.
struct Incoming {
  Atom target = 0;
  bool incremental = false;
  Bytes data;
  std::chrono::steady_clock::time_point deadline;
  std::promise<std::optional<Bytes>> answer;
};

class X11Pasteboard final : public Pasteboard {
 public:
  explicit X11Pasteboard(Display* display) : display_(display) {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(display_, window_, PropertyChangeMask);
    clipboard_ = atom("CLIPBOARD");
    targets_ = atom("TARGETS");
    incr_ = atom("INCR");
    utf8_ = atom("UTF8_STRING");
    readProperty_ = atom("MORNIK_CLIPBOARD");
    timeProperty_ = atom("MORNIK_TIMESTAMP");
    const long maxRequest = std::max(XExtendedMaxRequestSize(display_), XMaxRequestSize(display_));
    chunk_ = std::min<std::size_t>(static_cast<std::size_t>(maxRequest) * 4 / 2,
                                   std::size_t{256} * 1024);
    XFlush(display_);
    thread_ = std::thread([this] { run(); });
  }

  ~X11Pasteboard() override {
    post([this] { stopping_ = true; });
    thread_.join();
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
    ::close(wake_);
  }
  X11Pasteboard(const X11Pasteboard&) = delete;
  X11Pasteboard& operator=(const X11Pasteboard&) = delete;

  Result<void> clearContents() override {
    return call<Result<void>>([this]() -> Result<void> {
      giveUp();
      return {};
    });
  }

  Result<void> setData(std::string_view type, Bytes bytes) override {
    return call<Result<void>>([this, name = std::string(type), &bytes]() -> Result<void> {
      contents_.insert_or_assign(name, std::move(bytes));
      return owned_ ? Result<void>() : claim();
    });
  }

  // Taken afresh while owned, not given up and taken back: the clipboard is
  // never without an owner, and programs that watch it see one new copy.
  Result<void> setContents(std::vector<Representation> representations) override {
    return call<Result<void>>([this, &representations]() -> Result<void> {
      if (representations.empty()) {
        giveUp();
        return {};
      }
      contents_.clear();
      for (auto& [type, bytes] : representations) {
        contents_.insert_or_assign(std::move(type), std::move(bytes));
      }
      return claim();
    });
  }

  std::optional<Bytes> data(std::string_view type) const override {
    const bool text = type == kPlainText;
    return read(text ? "UTF8_STRING" : std::string(type), std::string(type));
  }

  std::vector<std::string> types() const override {
    std::vector<std::string> names;
    std::optional<Bytes> list = read("TARGETS", {});
    if (!list) return names;
    const std::size_t count = list->size() / sizeof(Atom);
    std::vector<Atom> atoms(count);
    std::copy_n(list->data(), count * sizeof(Atom), reinterpret_cast<std::uint8_t*>(atoms.data()));
    call<int>([&] {
      for (Atom each : atoms) {
        if (char* name = XGetAtomName(display_, each)) {
          names.emplace_back(name);
          XFree(name);
        }
      }
      return 0;
    });
    return names;
  }

 private:
  Atom atom(const char* name) const { return XInternAtom(display_, name, False); }

  // Takes the selection with the server's time now.
  Result<void> claim() {
    claimed_ = serverTime();
    XSetSelectionOwner(display_, clipboard_, window_, claimed_);
    owned_ = XGetSelectionOwner(display_, clipboard_) == window_;
    if (owned_) return {};
    contents_.clear();
    return WTF("the X server did not give this program the clipboard", 0);
  }

  void giveUp() {
    contents_.clear();
    // With the time of the claim: a newer owner keeps the clipboard.
    if (owned_) XSetSelectionOwner(display_, clipboard_, None, claimed_);
    owned_ = false;
  }

  // The server's time now: the time stamp of the change that an empty
  // append to a property of this program's window makes.
  Time serverTime() {
    XChangeProperty(display_, window_, timeProperty_, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent event;
    XIfEvent(
        display_, &event,
        [](Display* /*display*/, XEvent* each, XPointer self) -> Bool {
          const auto* pasteboard = reinterpret_cast<const X11Pasteboard*>(self);
          return each->type == PropertyNotify && each->xproperty.window == pasteboard->window_ &&
                 each->xproperty.atom == pasteboard->timeProperty_;
        },
        reinterpret_cast<XPointer>(this));
    return event.xproperty.time;
  }

  // Asks the owner for `target`; while this program owns the clipboard, its
  // own representation `ownType` answers at once.
  std::optional<Bytes> read(const std::string& target, const std::string& ownType) const {
    // The owner's answer may take up to kReadTimeout, and another read may
    // be waiting for its own first.
    const BlockingScope blocking;
    std::unique_lock<std::mutex> oneRead(readLock_);
    auto answer =
        call<std::future<std::optional<Bytes>>>([&]() -> std::future<std::optional<Bytes>> {
          std::promise<std::optional<Bytes>> ready;
          if (owned_ && !ownType.empty()) {
            auto found = contents_.find(ownType);
            ready.set_value(found == contents_.end() ? std::nullopt
                                                     : std::optional<Bytes>(found->second));
            return ready.get_future();
          }
          incoming_.emplace();
          incoming_->target = atom(target.c_str());
          incoming_->deadline = std::chrono::steady_clock::now() + kReadTimeout;
          auto future = incoming_->answer.get_future();
          XConvertSelection(display_, clipboard_, incoming_->target, readProperty_, window_,
                            CurrentTime);
          XFlush(display_);
          return future;
        });
    return answer.get();
  }

  // Runs `work` on the library thread and waits for its result.
  template <class R, class F>
  R call(F work) const {
    std::packaged_task<R()> task(std::move(work));
    std::future<R> done = task.get_future();
    post([&task] { task(); });
    const BlockingScope blocking;
    return done.get();
  }

  void post(std::function<void()> work) const {
    commands_.access([&](auto& queue) { queue.push_back(std::move(work)); });
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_, &one, sizeof one);
  }

  void run() {
    pthread_setname_np(pthread_self(), "mornik.x11clip");
    while (!stopping_) {
      int timeout = -1;
      if (incoming_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            incoming_->deadline - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::max<long long>(0, left.count()));
      }
      XFlush(display_);
      if (XPending(display_) == 0) {
        std::array<pollfd, 2> fds{{{ConnectionNumber(display_), POLLIN, 0}, {wake_, POLLIN, 0}}};
        ::poll(fds.data(), fds.size(), timeout);
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(wake_, &count, sizeof count);
      }
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        handle(event);
      }
      auto work = commands_.access([](auto& queue) { return std::exchange(queue, {}); });
      for (auto& each : work) each();
      if (incoming_ && std::chrono::steady_clock::now() >= incoming_->deadline) finishRead({});
    }
  }

  void handle(XEvent& event) {
    switch (event.type) {
      case SelectionRequest:
        answer(event.xselectionrequest);
        break;
      case SelectionClear:
        if (event.xselectionclear.selection == clipboard_ && lost(event.xselectionclear)) {
          owned_ = false;
          contents_.clear();
        }
        break;
      case SelectionNotify:
        if (incoming_ && event.xselection.requestor == window_) received(event.xselection);
        break;
      case PropertyNotify:
        propertyChanged(event.xproperty);
        break;
      default:
        break;
    }
  }

  // Whether `event` means another program took the clipboard. The notice of
  // our own give-up comes after we may have claimed it again: it bears the
  // time of a change before the claim, or of the same millisecond, when the
  // server tells who owns it now.
  bool lost(const XSelectionClearEvent& event) {
    // (Server times are milliseconds that wrap around every 49 days.)
    const auto sinceClaim = static_cast<std::int32_t>(static_cast<std::uint32_t>(event.time) -
                                                      static_cast<std::uint32_t>(claimed_));
    if (!owned_ || sinceClaim < 0) return false;
    return XGetSelectionOwner(display_, clipboard_) != window_;
  }

  // The representation that answers `target`, if any.
  std::optional<Bytes> representation(Atom target) {
    char* name = XGetAtomName(display_, target);
    if (name == nullptr) return std::nullopt;
    const std::string wanted = name;
    XFree(name);
    const bool textTarget = std::find(std::begin(kTextTargets), std::end(kTextTargets), wanted) !=
                            std::end(kTextTargets);
    auto found = contents_.find(textTarget ? std::string(kPlainText) : wanted);
    if (found == contents_.end()) return std::nullopt;
    return wanted == "STRING" ? latin1(found->second) : found->second;
  }

  void answer(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    // Old clients name no property: the target's name is the property.
    reply.property = request.property == None ? request.target : request.property;
    // NOLINTNEXTLINE(bugprone-branch-clone): refusals at both ends of the chain
    if (!owned_ || request.selection != clipboard_) {
      reply.property = None;
    } else if (request.target == targets_) {
      std::vector<Atom> offered{targets_};
      for (const auto& [type, bytes] : contents_) {
        if (type == kPlainText) {
          for (const char* each : kTextTargets) offered.push_back(atom(each));
        } else {
          offered.push_back(atom(type.c_str()));
        }
      }
      XChangeProperty(display_, request.requestor, reply.property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offered.data()),
                      static_cast<int>(offered.size()));
    } else if (std::optional<Bytes> bytes = representation(request.target)) {
      const Atom type = request.target == atom("TEXT") ? utf8_ : request.target;
      if (bytes->size() > chunk_) {
        // In increments: announce the size, then send a piece each time the
        // requestor deletes the property.
        const long size = static_cast<long>(bytes->size());
        XSelectInput(display_, request.requestor, PropertyChangeMask);
        XChangeProperty(display_, request.requestor, reply.property, incr_, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        outgoing_.push_back(
            Outgoing{request.requestor, reply.property, type, std::move(*bytes), 0});
      } else {
        XChangeProperty(display_, request.requestor, reply.property, type, 8, PropModeReplace,
                        bytes->data(), static_cast<int>(bytes->size()));
      }
    } else {
      reply.property = None;
    }
    XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(display_);
  }

  void propertyChanged(const XPropertyEvent& event) {
    if (event.state == PropertyDelete) {
      auto transfer = std::find_if(outgoing_.begin(), outgoing_.end(), [&](const Outgoing& each) {
        return each.requestor == event.window && each.property == event.atom;
      });
      if (transfer == outgoing_.end()) return;
      const std::size_t size = std::min(chunk_, transfer->data.size() - transfer->offset);
      XChangeProperty(display_, transfer->requestor, transfer->property, transfer->type, 8,
                      PropModeReplace, transfer->data.data() + transfer->offset,
                      static_cast<int>(size));
      transfer->offset += size;
      if (size == 0) {  // the empty piece ends the transfer
        if (transfer->requestor != window_) {
          XSelectInput(display_, transfer->requestor, NoEventMask);
        }
        outgoing_.erase(transfer);
      }
      XFlush(display_);
    } else if (incoming_ && incoming_->incremental && event.window == window_ &&
               event.atom == readProperty_) {
      std::optional<Bytes> piece = takeProperty(nullptr);
      if (!piece || piece->empty()) {
        finishRead(std::move(incoming_->data));
      } else {
        incoming_->data.insert(incoming_->data.end(), piece->begin(), piece->end());
        incoming_->deadline = std::chrono::steady_clock::now() + kReadTimeout;
      }
    }
  }

  void received(const XSelectionEvent& event) {
    if (event.property == None) {
      finishRead({});
      return;
    }
    Atom type = None;
    std::optional<Bytes> bytes = takeProperty(&type);
    if (type == incr_) {
      incoming_->incremental = true;  // pieces follow as property changes
      return;
    }
    finishRead(std::move(bytes));
  }

  // Reads and deletes the read property of this program's window.
  std::optional<Bytes> takeProperty(Atom* typeOut) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* value = nullptr;
    if (XGetWindowProperty(display_, window_, readProperty_, 0, 0x1FFFFFFF, True, AnyPropertyType,
                           &type, &format, &count, &after, &value) != Success) {
      return std::nullopt;
    }
    if (typeOut != nullptr) *typeOut = type;
    // Xlib hands 32-bit items as longs.
    const std::size_t itemSize = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
    Bytes bytes(value, value + count * itemSize);
    if (value != nullptr) XFree(value);
    if (type == None) return std::nullopt;
    return bytes;
  }

  void finishRead(std::optional<Bytes> bytes) {
    if (!incoming_) return;
    incoming_->answer.set_value(std::move(bytes));
    incoming_.reset();
  }

  Display* const display_;
  Window window_ = 0;
  Atom clipboard_ = 0, targets_ = 0, incr_ = 0, utf8_ = 0, readProperty_ = 0, timeProperty_ = 0;
  std::size_t chunk_ = 0;
  int wake_ = -1;
  mutable LockedVar<std::deque<std::function<void()>>> commands_{{}};
  mutable std::mutex readLock_;
  std::thread thread_;
  // Touched by the library thread only.
  bool stopping_ = false;
  bool owned_ = false;
  Time claimed_ = CurrentTime;  // of the claim, while owned_
  std::map<std::string, Bytes, std::less<>> contents_;
  std::deque<Outgoing> outgoing_;
  mutable std::optional<Incoming> incoming_;
};

}  // namespace

Result<std::shared_ptr<Pasteboard>> Pasteboard::makeX11(const std::string& display) {
  const char* name = display.empty() ? nullptr : display.c_str();
  Display* connection = XOpenDisplay(name);
  if (connection == nullptr) {
    const char* fromEnvironment = std::getenv("DISPLAY");  // NOLINT(concurrency-mt-unsafe)
    return WTF("cannot open the X display " +
                   (name != nullptr ? display
                                    : std::string(fromEnvironment ? fromEnvironment : "(unset)")),
               0);
  }
  return std::shared_ptr<Pasteboard>(std::make_shared<X11Pasteboard>(connection));
}

}  // namespace mornik
