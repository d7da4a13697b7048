#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/LockedVar.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// The failure of an adapter whose real implementation lives in a library
// the program has not installed: POSIX ENOSYS, "<what> is not available:
// link <library> and call <install>".
inline Error libraryMissing(const std::string& what, const std::string& library,
                            const std::string& install) {
  return Error(std::string(kPOSIXErrorDomain), ENOSYS,
               {{std::string(kLocalizedDescriptionKey),
                 what + " is not available: link " + library + " and call " + install}});
}

// The same for the desktop library's adapters.
inline Error desktopLibraryMissing(const std::string& what) {
  return libraryMissing(what, "mornik-desktop", "mornik::useDesktopAdapters()");
}

// The process-wide instance of one adapter interface, the same shape for
// every adapter of platform/:
// - the instance the program installed with set(), else
// - the real adapter, made once on first use by the factory that its
//   library (the desktop library unless said otherwise) registers when it is
//   loaded (forDesktop()), else
// - the fallback, made from forDesktop()'s failure: an in-memory adapter, or
//   one that fails every call with that failure.
// Thread safety: every member may be called from any thread.
template <class Interface>
class AdapterSlot {
 public:
  using Pointer = std::shared_ptr<Interface>;
  using Factory = Result<Pointer> (*)();
  using Fallback = Pointer (*)(const Error& why);

  AdapterSlot(std::string what, Fallback fallback, std::string library = "mornik-desktop",
              std::string install = "mornik::useDesktopAdapters()")
      : what_(std::move(what)),
        library_(std::move(library)),
        install_(std::move(install)),
        fallback_(fallback) {}

  Pointer get() {
    Factory factory = nullptr;
    Pointer current = state_.access([&](State& state) {
      factory = state.factory;
      return state.installed;
    });
    if (current) return current;
    // Made outside the lock (opening a display or a bus takes a while); the
    // first one installed wins, and a loser is released outside the lock.
    Result<Pointer> made = make(factory);
    Pointer chosen = made.isSuccess() ? std::move(made.value()) : fallback_(made.error());
    return state_.access([&](State& state) {
      if (!state.installed) state.installed = chosen;
      return state.installed;
    });
  }

  // Installs `adapter`; null: the default again (made anew on next use).
  void set(Pointer adapter) {
    Pointer previous = state_.access(
        [&](State& state) { return std::exchange(state.installed, std::move(adapter)); });
  }

  Result<Pointer> forDesktop() {
    return make(state_.access([](State& state) { return state.factory; }));
  }

  void setFactory(Factory factory) {
    state_.access([&](State& state) { state.factory = factory; });
  }

 private:
  struct State {
    Pointer installed;
    Factory factory = nullptr;
  };

  Result<Pointer> make(Factory factory) const {
    if (factory == nullptr) return libraryMissing(what_, library_, install_);
    return factory();
  }

  const std::string what_;
  const std::string library_;
  const std::string install_;
  const Fallback fallback_;
  LockedVar<State> state_{State{}};
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
