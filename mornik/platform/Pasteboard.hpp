#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The desktop's general clipboard: a set of representations of one item,
// each named by a MIME type.
//
//   auto pasteboard = mornik::Pasteboard::general();
//   pasteboard->clearContents();
//   pasteboard->setString("copied");                       // text/plain;charset=utf-8
//   pasteboard->setData(mornik::Pasteboard::kUriList, bytes);
//   pasteboard->setContents({{"image/png", png}});          // a new copy, in one step
//   std::optional<std::string> text = pasteboard->string();  // also what other programs copied
//
// An interface, with an adapter per desktop:
// - X11 (makeX11): a library thread owns the CLIPBOARD selection through its
//   own connection and answers other programs' requests: TARGETS, the text
//   representation as UTF8_STRING, STRING (Latin-1; other characters become
//   '?'), TEXT, text/plain and text/plain;charset=utf-8, and every other
//   representation under its MIME type as the target name (text/uri-list,
//   image/png, ...). Large data goes in increments (INCR). Reading asks the
//   selection's owner and waits at most two seconds for it. The selection
//   is taken and given up with the server's time of the taking, so the
//   notice of an earlier give-up never wipes a newer copy.
// - Wayland (makeWayland): the wl-copy and wl-paste programs (wl-clipboard).
//   wl-copy offers one representation: each setData() replaces what the
//   clipboard offers with that representation alone. clearContents() is
//   wl-copy --clear, which some compositors (weston) ignore.
// - MemoryPasteboard: in this process only (tests, machines without a
//   display, and programs that do not link the desktop library, which holds
//   the other two).
//
// Text types: kPlainText is the type of setString() and string(); a
// representation of any other text/plain form is not converted.
//
// Thread safety: general() and setGeneral() may be called from any thread;
// the adapters of this file allow every member from any thread.
class Pasteboard {
 public:
  using Bytes = std::vector<std::uint8_t>;
  using Representation = std::pair<std::string, Bytes>;  // MIME type, bytes

  static constexpr std::string_view kPlainText = "text/plain;charset=utf-8";
  static constexpr std::string_view kUriList = "text/uri-list";
  static constexpr std::string_view kPng = "image/png";

  virtual ~Pasteboard() = default;
  Pasteboard(const Pasteboard&) = delete;
  Pasteboard& operator=(const Pasteboard&) = delete;

  // Removes every representation (and gives up the selection on X11).
  virtual Result<void> clearContents() = 0;
  // Adds the representation `type`, replacing one of the same type.
  virtual Result<void> setData(std::string_view type, Bytes bytes) = 0;
  // Makes these the clipboard's representations, in one step: what
  // clearContents() and then setData() for each do, where the adapter
  // allows without an empty clipboard in between (X11).
  virtual Result<void> setContents(std::vector<Representation> representations);
  // The representation `type` of what the clipboard holds (whoever put it
  // there), or nothing.
  virtual std::optional<Bytes> data(std::string_view type) const = 0;
  // The types the clipboard offers, as its owner names them.
  virtual std::vector<std::string> types() const = 0;

  // setData(kPlainText, text).
  Result<void> setString(std::string_view text);
  // data(kPlainText) as text.
  std::optional<std::string> string() const;

  // The general clipboard: the one installed last, else (chosen on first
  // use) forDesktop(), else a MemoryPasteboard.
  static std::shared_ptr<Pasteboard> general();
  // Installs `pasteboard` as the general one; null: the default again.
  static void setGeneral(std::shared_ptr<Pasteboard> pasteboard);

  // The adapter for this session: Wayland when WAYLAND_DISPLAY is set and
  // wl-copy is installed, else X11 when DISPLAY is set. Fails with "no
  // display: neither WAYLAND_DISPLAY nor DISPLAY is set" on a headless
  // machine, with the adapter's failure, or with ENOSYS when the program
  // does not link the desktop library.
  static Result<std::shared_ptr<Pasteboard>> forDesktop();
  // The X11 adapter on `display` (empty: $DISPLAY). Fails with "cannot open
  // the X display <name>". (mornik-desktop)
  static Result<std::shared_ptr<Pasteboard>> makeX11(const std::string& display = {});
  // The Wayland adapter. Fails with "wl-copy is not installed" without
  // wl-clipboard. (mornik-desktop)
  static Result<std::shared_ptr<Pasteboard>> makeWayland();

 protected:
  Pasteboard() = default;
};

// A clipboard held in memory: what tests and headless runs use.
//
// Thread safety: every member may be called from any thread.
class MemoryPasteboard final : public Pasteboard {
 public:
  MemoryPasteboard() = default;

  Result<void> clearContents() override MORNIK_EXCLUDES(lock_);
  Result<void> setData(std::string_view type, Bytes bytes) override MORNIK_EXCLUDES(lock_);
  std::optional<Bytes> data(std::string_view type) const override MORNIK_EXCLUDES(lock_);
  std::vector<std::string> types() const override MORNIK_EXCLUDES(lock_);

  // How many times clearContents() ran (so a caller can check that a write
  // cleared the clipboard first).
  int clearCount() const MORNIK_EXCLUDES(lock_);

 private:
  mutable UnfairLock lock_;
  std::map<std::string, Bytes, std::less<>> contents_ MORNIK_GUARDED_BY(lock_);
  int clears_ MORNIK_GUARDED_BY(lock_) = 0;
};

}  // namespace mornik

MORNIK_EXPORTS_END
