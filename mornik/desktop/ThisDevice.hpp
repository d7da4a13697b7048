#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Which machine this is: the kind of device and system (fixed by the
// build), the processor architecture (asked of the kernel), and the
// hardware address of the primary network interface.
//
//   if (mornik::CPU::architecture() == mornik::CPUType::arm) ...
//   std::string address = mornik::Network::macAddress();   // "3c:22:fb:01:a2:9e" or ""
//
// Thread safety: every member may be called from any thread.

// The device flags, answered for a Linux desktop. The device flags say what
// kind of device the program runs on, and callers use them to choose the
// desktop code paths, so isMac (a desktop or laptop computer) is true and
// the phone, tablet, TV and headset flags are false. The system flags say
// which operating system it is: neither macOS nor iOS, but Linux.
namespace ThisDevice {
inline constexpr bool isMac = true;
inline constexpr bool isIPad = false;
inline constexpr bool isIPhone = false;
inline constexpr bool isTV = false;
inline constexpr bool isVision = false;
namespace Os {
inline constexpr bool isMacOS = false;
inline constexpr bool isIOS = false;
inline constexpr bool isLinux = true;
}  // namespace Os
}  // namespace ThisDevice

enum class CPUType { x86, arm, undefined };

struct CPU {
  // From uname(): x86_64 and i386 to i686 are x86; aarch64, arm64 and
  // arm* are arm; anything else, or a failed uname(), undefined.
  static CPUType architecture();
  // The same rule for a machine name as uname() gives it.
  static CPUType architectureOf(std::string_view machine);
};

// The primary network interface (platform/HardwareAddress.hpp says which
// one: the first physical interface's permanent address, stable across
// boots and networks).
class Network {
 public:
  // An opaque handle on the primary Ethernet-class interface.
  class Interfaces {
   public:
    explicit Interfaces(std::vector<std::uint8_t> address) : address_(std::move(address)) {}
    const std::vector<std::uint8_t>& address() const { return address_; }

   private:
    std::vector<std::uint8_t> address_;
  };

  Network() = delete;

  // The primary interface, or none when the machine has none.
  static std::optional<Interfaces>
  FindEthernetInterfaces();  // NOLINT(readability-identifier-naming)
  // The first 6 bytes of its hardware address; none when it has fewer.
  static std::optional<std::vector<std::uint8_t>>
  GetMACAddress(  // NOLINT(readability-identifier-naming)
      const Interfaces& interfaces);
  // The address as "%02x" joined by ":", or "".
  static std::string macAddress();
};

}  // namespace mornik

MORNIK_EXPORTS_END
