#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The hardware address of the machine's primary network interface: the
// machine's identity for keys bound to it (crypto/SymmetricKey.hpp) and for
// Network::macAddress() (desktop/ThisDevice.hpp).
//
// Because keys are derived from it, the address must not change with the
// network the machine is on, with a reboot or with the containers and VPNs
// that come and go. So the sysfs source answers the permanent address
// (ETHTOOL_GPERMADDR; when the driver reports all zeros, the interface's
// `address` file, if the kernel says that address is the permanent one) of
// the first physical interface — one with a `device` link in sysfs, of the
// Ethernet class (wired or wireless) — in ifindex order. Bridges, veth and
// tun devices have no `device` link and are never chosen; a randomised or
// user-set address is never answered, since the permanent one is read
// instead. (An address chosen by following the default route would change
// whenever the machine changes networks, and with it every derived key.)
//
// New network hardware (a replaced board, a different first adapter) means
// a new address: data sealed under keys derived from the old one cannot be
// opened any more.
//
// Thread safety: every member may be called from any thread.
class HardwareAddressSource {
 public:
  virtual ~HardwareAddressSource() = default;
  HardwareAddressSource(const HardwareAddressSource&) = delete;
  HardwareAddressSource& operator=(const HardwareAddressSource&) = delete;

  // The primary interface's address as the hardware reports it (usually 6
  // bytes), or no bytes when there is none.
  virtual std::vector<std::uint8_t> primaryAddress() = 0;

  // The permanent address of an interface by name; no bytes when it cannot
  // be read. The real one asks the driver (ETHTOOL_GPERMADDR).
  using PermanentAddressReader = std::function<std::vector<std::uint8_t>(const std::string&)>;
  static std::vector<std::uint8_t> ethtoolPermanentAddress(const std::string& interface);

  // The source described above, over a folder laid out like /sys/class/net.
  static std::shared_ptr<HardwareAddressSource> makeSysfs(
      std::filesystem::path netFolder = "/sys/class/net",
      PermanentAddressReader permanent = &ethtoolPermanentAddress);

  // The process-wide source: the one installed last, else makeSysfs().
  static std::shared_ptr<HardwareAddressSource> shared();
  // Installs `source` as the shared one (null: the default again).
  static void setShared(std::shared_ptr<HardwareAddressSource> source);

 protected:
  HardwareAddressSource() = default;
};

// A source that answers the bytes it was given, for tests and for programs
// that bring their own machine identity.
class FixedHardwareAddress final : public HardwareAddressSource {
 public:
  explicit FixedHardwareAddress(std::vector<std::uint8_t> address) : address_(std::move(address)) {}
  std::vector<std::uint8_t> primaryAddress() override { return address_; }

 private:
  const std::vector<std::uint8_t> address_;
};

// The first 6 bytes as "%02x" joined by ":" ("3c:22:fb:01:a2:9e"); "" when
// fewer than 6 bytes are given.
std::string formatHardwareAddress(const std::vector<std::uint8_t>& address);

}  // namespace mornik

MORNIK_EXPORTS_END
