#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

namespace mornik {

// The desktop's general clipboard, as the library writes plain text to it.
//
//   auto clipboard = mornik::Clipboard::general();
//   clipboard->clearContents();
//   clipboard->setString("copied");
//
// An interface, so that the library's own users of the clipboard (the error
// view's copy action) stay independent of the desktop: the desktop adapter
// implements it and installs itself with setGeneral(); tests install or pass
// a MemoryClipboard.
//
// Until an adapter is installed, general() is a MemoryClipboard private to
// this process: text copied then stays inside the process.
//
// Thread safety: general() and setGeneral() may be called from any thread;
// implementations say what they allow.
class Clipboard {
 public:
  virtual ~Clipboard() = default;
  Clipboard(const Clipboard&) = delete;
  Clipboard& operator=(const Clipboard&) = delete;

  // Removes everything the clipboard holds.
  virtual void clearContents() = 0;
  // Puts `text` on the clipboard as plain text.
  virtual void setString(std::string_view text) = 0;
  // The plain text the clipboard holds, if any.
  virtual std::optional<std::string> string() const = 0;

  // The general clipboard: the one installed last, else the in-process one.
  static std::shared_ptr<Clipboard> general();
  // Installs `clipboard` as the general clipboard; null installs a new
  // in-process one.
  static void setGeneral(std::shared_ptr<Clipboard> clipboard);

 protected:
  Clipboard() = default;
};

// A clipboard held in memory: what tests and headless runs use.
//
// Thread safety: every member may be called from any thread.
class MemoryClipboard final : public Clipboard {
 public:
  MemoryClipboard() = default;

  void clearContents() override MORNIK_EXCLUDES(lock_);
  void setString(std::string_view text) override MORNIK_EXCLUDES(lock_);
  std::optional<std::string> string() const override MORNIK_EXCLUDES(lock_);

  // How many times clearContents() ran (so a caller can check that a write
  // cleared the clipboard first).
  int clearCount() const MORNIK_EXCLUDES(lock_);

 private:
  mutable UnfairLock lock_;
  std::optional<std::string> text_ MORNIK_GUARDED_BY(lock_);
  int clears_ MORNIK_GUARDED_BY(lock_) = 0;
};

}  // namespace mornik
